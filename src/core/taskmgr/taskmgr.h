// CTaskMgr: ITaskMgr over its two halves, the synchronous dispatcher (CSyncTaskMgr)
// and the background manager (CAsyncTaskMgr).
#pragma once

#include "common/unknown.h"
#include "core/interfaces/itaskmgr.h"
#include "core/taskmgr/asynctaskmgr.h"
#include "core/taskmgr/synctaskmgr.h"
#include "core/taskmgr/taskmgroptions.h"

class CTaskMgr final : public CUnknownImpl<ITaskMgr> {
 public:
  explicit CTaskMgr(const TaskMgrOptions& options);

  HRESULT Init(ISyncCenter* syncCenter, ILocalStorage* localStorage, IRemoteStorage* remoteStorage) override;
  HRESULT UnInit() override;
  HRESULT Start() override;
  HRESULT Stop(uint32_t timeoutMs) override;
  HRESULT ExecuteTask(TaskDataBase* record, RecordTree* reply, int32_t tries) override;
  HRESULT AddTask(TaskDataBase* record, bool force, TaskCompletionCallback callback, void* context) override;
  HRESULT CancelTask(const std::string& id) override;
  HRESULT Reserved10() override;
  HRESULT GetTaskList(bool finished, std::vector<TaskListEntry>* tasks) override;
  HRESULT RemoveFinishedTask(const std::string& id) override;
  HRESULT RetryTask(const std::string& id, TaskCompletionCallback callback, void* context) override;

 private:
  CSyncTaskMgr m_sync;
  CAsyncTaskMgr m_async;
};

// Makes a task manager and stores it in *ppObj with one reference, which the caller
// releases (after Stop: a manager released while it runs is stopped as by
// Stop(minStopWait)). S_OK; E_FAIL with nothing stored when ppObj is null or the
// object cannot be made. The defaults: no task factory (the file tasks then fail
// with E_FAIL), a tick of 1000 ms, stop waits of at least 2000 ms per task.
HRESULT CreateTaskMgr(ITaskMgr** ppObj);
// The same with the task factory and the waits of options in place of the defaults.
HRESULT CreateTaskMgr(ITaskMgr** ppObj, const TaskMgrOptions& options);
