// ITaskMgr: the one way the engine talks to the service. ExecuteTask runs a task
// record on the caller's thread; AddTask queues it for the background, where at most
// five tasks run at once, each on its own thread. Created by CreateTaskMgr
// (core/taskmgr/taskmgr.h).
//
// Life: Init, then Start; Stop (from then on adds and retries are refused), then
// UnInit. Init and Start come from the one thread that sets the manager up, before
// it is shared. Every other call may come from any thread, also at once: several
// threads run ExecuteTask side by side, the UI polls GetTaskList while another thread
// adds, cancels or retries, and sign-out and shut-down may Stop it at the same time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/unknown.h"

class ILocalStorage;
class IRemoteStorage;
class ISyncCenter;
class RecordTree;
class TaskDataBase;

// Called once when a background task has ended, with a copy of its record as it ended
// (taskState says how), valid during the call. It runs on the manager's thread with
// no lock of the manager held, so it may call the manager again; it must not wait for
// a thread that may be stopping the manager. No callback runs once Stop has returned.
using TaskCompletionCallback = void (*)(TaskDataBase* record, void* context);

// One task of a task-list snapshot, copied from its record.
struct TaskListEntry {
  std::string strId;
  std::string strFullPath;
  int32_t nDirection = 0;
  int32_t eTaskStateType = 0;
  HRESULT hrResult = S_OK;
  int64_t nDoneSize = 0;
  int64_t nTotalSize = 0;
  int32_t nOpenFlags = 0;
};

class ITaskMgr : public IUnknown {
 public:
  static constexpr IID kIID = GuidFromString("{129815B2-98A4-43DB-975A-7DD3EC4E171E}");

  // Keeps the three (borrowed: they must outlive Stop; a background task holds its
  // own references) and reads the session token from the sync centre. E_POINTER when
  // one is null; the failure of the token query (the manager is not set up then).
  virtual HRESULT Init(ISyncCenter* syncCenter, ILocalStorage* localStorage, IRemoteStorage* remoteStorage) = 0;
  // Nothing to undo beyond Stop: S_OK.
  virtual HRESULT UnInit() = 0;
  // Starts the background manager's thread.
  virtual HRESULT Start() = 0;
  // Drops the waiting tasks, cancels the running ones and waits for them and for the
  // manager's thread, within timeoutMs (0xFFFFFFFF: no bound); a task that does not end
  // in time is left to end by itself, and its callback never runs. Later adds are
  // refused. Once it returns no completion callback runs: it waits for those already
  // under way, whatever the bound (unless called from one of them). S_OK.
  virtual HRESULT Stop(uint32_t timeoutMs) = 0;
  // Runs the record on this thread up to tries times while it fails with a network
  // result; the last result. reply (may be null) receives the service's reply.
  virtual HRESULT ExecuteTask(TaskDataBase* record, RecordTree* reply, int32_t tries) = 0;
  // Hands the record to the background manager, which owns it from now on; with force
  // it starts at once even when five tasks run.
  virtual HRESULT AddTask(TaskDataBase* record, bool force, TaskCompletionCallback callback, void* context) = 0;
  // Drops a waiting task (no callback) or cancels a running one (one callback).
  virtual HRESULT CancelTask(const std::string& id) = 0;
  // An unused slot: logs an assertion line and returns S_OK.
  virtual HRESULT Reserved10() = 0;
  // Appends the finished tasks, or the running then the waiting ones, in id order.
  virtual HRESULT GetTaskList(bool finished, std::vector<TaskListEntry>* tasks) = 0;
  // Releases the finished task with this id, or every finished task for "".
  virtual HRESULT RemoveFinishedTask(const std::string& id) = 0;
  // Adds the finished task with this id again, with a new callback. S_FALSE for "".
  virtual HRESULT RetryTask(const std::string& id, TaskCompletionCallback callback, void* context) = 0;

 protected:
  ~ITaskMgr() = default;
};

inline constexpr IID IID_ITaskMgr = ITaskMgr::kIID;
