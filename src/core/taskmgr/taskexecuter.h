// CTaskExecuter: runs one background task on a thread of its own, up to a number of
// tries, and keeps the task's state for the manager.
//
// Ownership: the executer owns the task (ITask) and shares the record with the
// manager's lists. It holds a reference on the sync centre and on both storages for
// its whole life, and its thread co-owns the executer, so that a thread the manager
// gave up waiting for (Stop, CancelTask) touches nothing that has been freed, even
// after the sync centre has let the storages go.
//
// Threads: StartTask is called once, by the manager under its lock, before the
// executer is shared. StopTask, Ended, GetTaskState and Join may be called from any
// thread, also at once; never on the executer's own thread. Entry and Record are for
// the manager while the executer is in its running list (no other run of the record
// exists then).
//
// Locks: the executer lock covers the record's taskState while the task runs and is
// innermost; the executer's own thread takes no other lock of the manager. Once the
// run has ended the executer no longer reads or writes the record: a retry may be
// running it again on another executer.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "common/unknown.h"
#include "core/interfaces/ilocalstorage.h"
#include "core/interfaces/iremotestorage.h"
#include "core/interfaces/isynccenter.h"
#include "core/interfaces/itask.h"
#include "core/taskmgr/taskrecord.h"
#include "platform/workerthread.h"

class CTaskExecuter : public std::enable_shared_from_this<CTaskExecuter> {
 public:
  // Takes a reference on each of the three (none may be null).
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
  void StopTask(std::chrono::milliseconds wait);
  // True once the run has finished and the thread has left the task.
  bool Ended() const;
  // Joins a thread that has returned. Call only when Ended().
  void Join();
  // The record's state: while the task runs, as it is now; after, as the run ended
  // it (a copy, which a later run of the record does not change).
  TaskState GetTaskState() const;
  // The running task's list entry, named id (the name the manager knows it by: the
  // task may rename its record while it runs, so the record's own id is not read).
  TaskListEntry Entry(const std::string& id) const;
  const SharedTaskData& Record() const { return m_record; }

  // The progress function handed to the task; context is the executer. The task's
  // sizes become the pair of its direction: bytes sent for an upload, received for a
  // download. Takes the executer's lock.
  static HRESULT OnProgress(void* context, double dlTotal, double dlNow, double ulTotal, double ulNow, double);
  // Whether another try may change the result: false for every success (S_FALSE too:
  // done without a transfer) and for the results no further try can change
  // (cancelled, fileVerConflict, parentNotExist, targetNotExist, emptyFile, overSpace,
  // serverDenyReadOnly, a locked local file);
  // true for every other failure (network failures, other service words, local
  // errors), which the executer tries again at once while tries are left.
  static bool IsRetryable(HRESULT hr);

 private:
  void Run();
  void SetFinished(HRESULT hr);

  RefPtr<ISyncCenter> m_syncCenter;
  RefPtr<ILocalStorage> m_localStorage;
  RefPtr<IRemoteStorage> m_remoteStorage;
  int m_tries;
  int32_t m_reserved10 = 0;
  SharedTaskData m_record;
  std::unique_ptr<ITask> m_task;
  std::atomic<bool> m_cancelled{false};
  std::atomic<bool> m_running{false};  // the thread has not yet left Run
  mutable std::mutex m_lock;           // m_record->taskState while running; m_ended, m_endState
  bool m_ended = false;
  TaskState m_endState;
  CWorkerThread m_thread;
};
