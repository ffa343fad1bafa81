#include "core/remotestorage/clsfactory.h"

#include "common/checks.h"
#include "core/remotestorage/transport/transport.h"

CClsFactory::CClsFactory() : m_pfnTransport(&::CreateTransport) {}

CClsFactory& CClsFactory::GetInstance() {
  // Never destroyed: a worker may still make a request while the process exits.
  static CClsFactory* instance = new CClsFactory();
  return *instance;
}

HRESULT CClsFactory::CreateTransport(ITransport** transport) {
  TransportCreateFn creator;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    creator = m_pfnTransport;
  }
  if (!creator) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: m_pfnTransport");
    return E_FAIL;
  }
  if (transport == nullptr) return E_POINTER;
  return creator(transport);
}

TransportCreateFn CClsFactory::SetTransportCreator(TransportCreateFn creator) {
  if (!creator) creator = &::CreateTransport;
  std::lock_guard<std::mutex> lock(m_mutex);
  std::swap(creator, m_pfnTransport);
  return creator;
}
