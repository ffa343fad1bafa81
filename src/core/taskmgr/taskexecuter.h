// CTaskExecuter: runs one background task on a thread of its own, up to five tries,
// and keeps the task's state for the manager. The executer owns the task and shares
// the record with the manager; its thread co-owns the executer, so that a thread the
// manager gave up waiting for (see Stop) touches nothing that has been freed.
//
// Locks: the executer lock covers the record's taskState and is the innermost lock;
// the executer's own thread takes no other. The join lock lets one caller at a time
// wait for the thread.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "common/unknown.h"
#include "core/interfaces/itask.h"
#include "core/interfaces/itaskmgr.h"
#include "core/interfaces/taskdata.h"
#include "platform/workerthread.h"

class ILocalStorage;
class IRemoteStorage;
class ISyncCenter;

// A record shared by the manager's lists and the executer running it; released with
// its last owner.
using SharedTaskData = std::shared_ptr<TaskDataBase>;
inline SharedTaskData ShareTaskData(TaskDataBase* record) { return SharedTaskData(record, TaskDataReleaser()); }

// The task-list entry of a record.
inline TaskListEntry EntryOf(const TaskDataBase& r) {
  return {r.strId, r.strFullPath, r.nDirection, r.taskState.eTaskStateType, r.taskState.hrResult,
          r.taskState.nDoneSize, r.taskState.nTotalSize, r.nOpenFlags};
}

class CTaskExecuter : public std::enable_shared_from_this<CTaskExecuter> {
 public:
  // The sync centre is referenced for the executer's life; the storages are borrowed:
  // the sync centre stops the task manager, waiting for every task, before it lets
  // them go.
  CTaskExecuter(ISyncCenter* syncCenter, ILocalStorage* localStorage, IRemoteStorage* remoteStorage, int tries);
  ~CTaskExecuter();
  CTaskExecuter(const CTaskExecuter&) = delete;
  CTaskExecuter& operator=(const CTaskExecuter&) = delete;

  // Marks the record running with token, makes its task with factory and starts the
  // thread. When there is no task or no thread, the record finishes at once with
  // E_FAIL (the manager reaps it as any other).
  void StartTask(SharedTaskData record, const std::string& token, const TaskFactory& factory);
  // Cancels the task (no further try is made) and waits up to wait for the thread;
  // a thread that has not ended by then is left to end by itself, with a log line.
  // Never on the executer's own thread.
  void StopTask(std::chrono::milliseconds wait);
  // True once the record is finished and the thread has left it (read without the
  // join lock, which a stopping caller may hold while it waits).
  bool Ended() const;
  // Joins a thread that has returned. Call only when Ended().
  void Join();
  // The record's state and a list entry of it, read under the executer lock.
  TaskState GetTaskState() const;
  TaskListEntry Entry() const;
  const SharedTaskData& Record() const { return m_record; }

  // The progress function handed to the task; context is the executer.
  static HRESULT OnProgress(void* context, double dlTotal, double dlNow, double ulTotal, double ulNow, double);
  // False for success and the results no further try can change.
  static bool IsRetryable(HRESULT hr);

 private:
  void Run();
  void SetFinished(HRESULT hr);

  RefPtr<ISyncCenter> m_syncCenter;
  ILocalStorage* m_localStorage;
  IRemoteStorage* m_remoteStorage;
  int m_tries;
  int32_t m_reserved10 = 0;
  SharedTaskData m_record;
  std::unique_ptr<ITask> m_task;
  std::atomic<bool> m_cancelled{false};
  std::atomic<bool> m_running{false};  // the thread has not yet left Run
  mutable std::mutex m_lock;  // m_record->taskState
  std::mutex m_joinLock;      // m_thread's joins
  CWorkerThread m_thread;
};
