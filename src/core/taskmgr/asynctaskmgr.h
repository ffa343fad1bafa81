// CAsyncTaskMgr: the background half of the task manager. Records handed to AddTask
// wait in a queue or run, at most kMaxRunning at once (a forced task starts beyond
// that), each on an executer's thread. A manager thread ticks every tickPeriod: it
// reaps the tasks that have ended (their completion callbacks run then) and starts at
// most one waiting task, the one with the smallest id. Ended tasks stay listed until
// they are removed or retried.
//
// Every list is ordered by task id; two tasks with one id are kept apart, in the order
// they came. One lock covers the lists. Nobody waits for a thread while holding it,
// and completion callbacks run after it is released, so a callback may call any
// member (Stop included).
//
// Threads: every member may be called from any thread, also at once (Stop from two
// threads included). Completion callbacks run on the manager thread (on the caller's
// for Tick). A callback must not wait for a thread that may be stopping the manager.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/interfaces/itaskmgr.h"
#include "core/taskmgr/taskmgroptions.h"
#include "platform/workerthread.h"

class CAsyncTaskMgr {
 public:
  static constexpr size_t kMaxRunning = 5;

  explicit CAsyncTaskMgr(TaskMgrOptions options = {});
  // Stops a manager still running as Stop(minStopWait) does.
  ~CAsyncTaskMgr();
  CAsyncTaskMgr(const CAsyncTaskMgr&) = delete;
  CAsyncTaskMgr& operator=(const CAsyncTaskMgr&) = delete;

  // Keeps the three (borrowed until Stop; each executer holds a reference on them for
  // its life, so a task Stop gives up on may go on using them).
  HRESULT Init(ISyncCenter* syncCenter, ILocalStorage* localStorage, IRemoteStorage* remoteStorage);
  // Starts the manager thread. S_OK when it runs (also when it ran already).
  HRESULT Start();
  // Drops the waiting tasks (no callbacks), cancels the running ones and waits for
  // each up to max(timeout / running, minStopWait), then for the manager thread up to
  // timeoutMs (0xFFFFFFFF: no bound). Tasks that do not end in time are left to end by
  // themselves; their callbacks are not called. Adds and retries are refused from now.
  // Once Stop has begun no task is reaped, so an ended task stays listed as running
  // and gets no callback; the callbacks of a tick already under way run to their end
  // and Stop waits for them, whatever the bound (but for one it is called from). When
  // it returns no callback runs, and the caller may free what the callbacks use.
  // Several threads may stop the manager at once; each returns within its own bound,
  // but for that wait. Always S_OK.
  HRESULT Stop(uint32_t timeoutMs);
  // Takes the record (released when refused). E_POINTER for null, E_FAIL after Stop.
  HRESULT AddTask(TaskDataBase* record, bool force, TaskCompletionCallback callback, void* context);
  // Drops the waiting tasks with this id and cancels the running ones, waiting for
  // each up to max(0xFFFFFFFF / running, minStopWait) ms; a cancelled running task is
  // reaped with one callback at a later tick.
  HRESULT CancelTask(const std::string& id);
  // Each entry's strId is the id the task was added (or retried) with, which
  // CancelTask, RemoveFinishedTask and RetryTask take, also when the task has since
  // renamed its record (a new file takes the service's id).
  HRESULT GetTaskList(bool finished, std::vector<TaskListEntry>* tasks);
  HRESULT RemoveFinishedTask(const std::string& id);
  // S_FALSE for an empty id; S_OK, also when no finished task has the id; E_FAIL
  // after Stop (the task stays finished).
  HRESULT RetryTask(const std::string& id, TaskCompletionCallback callback, void* context);

  // One pass of the manager thread: reap, then start at most one waiting task. Tests
  // with tickPeriod kWaitForever call it themselves.
  void Tick();

 private:
  struct Core;
  std::shared_ptr<Core> m_core;  // shared with the manager thread
  CWorkerThread m_thread;
};
