#include "core/taskmgr/taskmgr.h"

#include <new>

#include "common/checks.h"
#include "common/log.h"
#include "core/interfaces/isynccenter.h"

CTaskMgr::CTaskMgr(const TaskMgrOptions& options) : m_sync(options.taskFactory), m_async(options) {}

HRESULT CTaskMgr::Init(ISyncCenter* syncCenter, ILocalStorage* localStorage, IRemoteStorage* remoteStorage) {
  ASSERT(syncCenter && localStorage && remoteStorage);
  if (!syncCenter || !localStorage || !remoteStorage) return E_POINTER;
  std::string token;
  HRESULT hr = syncCenter->GetUserInfo(nullptr, &token, nullptr, nullptr);
  ERROR_CHECK_COM(hr);
  m_sync.Init(syncCenter, localStorage, remoteStorage);
  m_async.Init(syncCenter, localStorage, remoteStorage);
  return hr;
}

HRESULT CTaskMgr::UnInit() { return S_OK; }

HRESULT CTaskMgr::Start() { return m_async.Start(); }

HRESULT CTaskMgr::Stop(uint32_t timeoutMs) {
  m_async.Stop(timeoutMs);
  return S_OK;
}

HRESULT CTaskMgr::ExecuteTask(TaskDataBase* record, RecordTree* reply, int32_t tries) {
  return m_sync.ExecuteTask(record, reply, tries);
}

HRESULT CTaskMgr::AddTask(TaskDataBase* record, bool force, TaskCompletionCallback callback, void* context) {
  return m_async.AddTask(record, force, callback, context);
}

HRESULT CTaskMgr::CancelTask(const std::string& id) { return m_async.CancelTask(id); }

HRESULT CTaskMgr::Reserved10() {
  OSTREL_LOG(kLogError, "%s", "*ASSERT*: 0");
  return S_OK;
}

HRESULT CTaskMgr::GetTaskList(bool finished, std::vector<TaskListEntry>* tasks) {
  return m_async.GetTaskList(finished, tasks);
}

HRESULT CTaskMgr::RemoveFinishedTask(const std::string& id) { return m_async.RemoveFinishedTask(id); }

HRESULT CTaskMgr::RetryTask(const std::string& id, TaskCompletionCallback callback, void* context) {
  return m_async.RetryTask(id, callback, context);
}

HRESULT CreateTaskMgr(ITaskMgr** ppObj) { return CreateTaskMgr(ppObj, TaskMgrOptions()); }

HRESULT CreateTaskMgr(ITaskMgr** ppObj, const TaskMgrOptions& options) {
  ASSERT(ppObj);
  if (!ppObj) return E_FAIL;
  CTaskMgr* pTaskMgr = new (std::nothrow) CTaskMgr(options);
  ERROR_CHECK_BOOLEX(pTaskMgr);
  pTaskMgr->AddRef();
  *ppObj = pTaskMgr;
  return S_OK;
}
