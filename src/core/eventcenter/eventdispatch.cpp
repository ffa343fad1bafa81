#include "core/eventcenter/eventdispatch.h"

#include <new>

#include "common/checks.h"
#include "common/tracestack.h"
#include "core/interfaces/isynccenter.h"
#include "core/interfaces/itaskmgr.h"

HRESULT CEventDispatch::Init(IEventCenter* pEvnetCenter, ISyncCenter* syncCenter) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE("CEventDispatch::Init()", &hr);
  ASSERT(pEvnetCenter);
  ERROR_CHECK_BOOLEX(syncCenter);
  void* object = nullptr;
  hr = syncCenter->GetInterface(ILocalStorage::kIID, &object);
  ERROR_CHECK_COM(hr);
  RefPtr<ILocalStorage> localStorage = RefPtr<ILocalStorage>::Adopt(static_cast<ILocalStorage*>(object));
  object = nullptr;
  hr = syncCenter->GetInterface(ITaskMgr::kIID, &object);
  ERROR_CHECK_COM(hr);
  RefPtr<ITaskMgr>::Adopt(static_cast<ITaskMgr*>(object)).reset();  // only its presence counts
  std::lock_guard<std::mutex> guard(m_mutex);
  m_pEventCenter = pEvnetCenter;
  m_pSyncCenter = syncCenter;
  m_pLocalStorage = std::move(localStorage);
  return hr;
}

HRESULT CEventDispatch::UnInit() {
  HRESULT hr = S_OK;
  TRACE_SCOPE("CEventDispatch::UnInit()", &hr);
  return hr;
}

HRESULT CEventDispatch::XSpaceChange(int64_t opVer, int64_t shareVer, int64_t /*unused*/) {
  HRESULT hr = S_OK;
  TRACE_SCOPE("CEventDispatch::XSpaceChange()", &hr);
  RefPtr<ILocalStorage> localStorage;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    localStorage = m_pLocalStorage;
  }
  if (!localStorage) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:m_pLocalStorage");
    return hr = E_FAIL;
  }
  // An answer is the service's current state: taken as it is, also when it is behind
  // what is stored.
  localStorage->AdoptServiceVersions(opVer, shareVer);
  return hr;
}

HRESULT CreateEventDispatch(IEventDispatch** ppObj) {
  ASSERT(ppObj);
  if (!ppObj) return E_FAIL;
  CEventDispatch* pEventDispatch = new (std::nothrow) CEventDispatch();
  ERROR_CHECK_BOOLEX(pEventDispatch);
  pEventDispatch->AddRef();
  *ppObj = pEventDispatch;
  return S_OK;
}
