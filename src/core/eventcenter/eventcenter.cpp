#include "core/eventcenter/eventcenter.h"

#include <new>
#include <string>

#include "common/checks.h"
#include "common/tracestack.h"
#include "core/eventcenter/eventdispatch.h"
#include "core/interfaces/iremotestorage.h"
#include "core/interfaces/isynccenter.h"

HRESULT CEventCenter::Init(ISyncCenter* syncCenter) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE("CEventCenter::Init()", &hr);
  ERROR_CHECK_BOOLEX(syncCenter);

  hr = CreateEventDispatch(m_pEventDispatch.Receive());
  ERROR_CHECK_COM_MSG(hr, "Create EventDispatch Failed!");
  hr = m_pEventDispatch->Init(this, syncCenter);
  ERROR_CHECK_COM_MSG(hr, "Init EventDispatch Failed!");

  std::string bstrToken;
  std::string bstrUserId;
  hr = syncCenter->GetUserInfo(nullptr, &bstrToken, &bstrUserId, nullptr);
  ERROR_CHECK_COM(hr);
  if (bstrToken.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(bstrToken)");
  if (bstrUserId.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(bstrUserId)");
  if (bstrToken.empty() || bstrUserId.empty()) return hr = E_FAIL;  // nobody is signed in

  void* object = nullptr;
  hr = syncCenter->GetInterface(IRemoteStorage::kIID, &object);
  ERROR_CHECK_COM(hr);
  RefPtr<IRemoteStorage> remoteStorage = RefPtr<IRemoteStorage>::Adopt(static_cast<IRemoteStorage*>(object));
  hr = m_heartbeat.Init(bstrToken, bstrUserId, remoteStorage.get(), m_pEventDispatch.get());
  return hr;
}

HRESULT CEventCenter::UnInit() {
  HRESULT hr = S_OK;
  TRACE_SCOPE("CEventCenter::UnInit()", &hr);
  if (m_pEventDispatch) {
    HRESULT hrDispatch = m_pEventDispatch->UnInit();
    ASSERT(SUCCEEDED(hrDispatch));
  }
  m_heartbeat.UnInit();
  return hr;
}

HRESULT CEventCenter::Start() {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE("CEventCenter::Start()", &hr);
  hr = m_heartbeat.StartWork();
  ASSERT(SUCCEEDED(hr));
  return hr;
}

HRESULT CEventCenter::Stop() {
  HRESULT hr = S_OK;
  TRACE_SCOPE("CEventCenter::Stop()", &hr);
  m_heartbeat.StopWork();
  return hr;
}

HRESULT CreateEventCenter(IEventCenter** ppObj) { return CreateEventCenter(ppObj, HeartbeatPolicy()); }

HRESULT CreateEventCenter(IEventCenter** ppObj, const HeartbeatPolicy& policy) {
  ASSERT(ppObj);
  if (!ppObj) return E_FAIL;
  CEventCenter* pEventCenter = new (std::nothrow) CEventCenter(policy);
  ERROR_CHECK_BOOLEX(pEventCenter);
  pEventCenter->AddRef();
  *ppObj = pEventCenter;
  return S_OK;
}
