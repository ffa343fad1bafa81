// Waiting for the transfers that one command queued: the task list is read before the
// command queues anything and then polled until every task that was not there before
// has ended, drawing the progress bar meanwhile. A Ctrl-C that interrupts the command
// cancels those tasks through the engine, which ends them as cancelled.
#pragma once

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/interfaces/itaskmgr.h"

class CInterruptWatch;
class CLogicAdapter;
class CProgressBar;

struct TransferWaitPolicy {
  // How often the task list is read while waiting.
  std::chrono::milliseconds pollPeriod{100};
  // Where the command's Ctrl-C is heard (borrowed); null: the wait is not interrupted.
  const CInterruptWatch* interrupt = nullptr;
};

// Waits one poll period, less when the command is interrupted meanwhile; true when it
// has been interrupted.
bool PauseUnlessInterrupted(const TransferWaitPolicy& policy);
// Whether the command has been interrupted and none of tasks succeeded.
bool CancelledByInterrupt(const TransferWaitPolicy& policy, const std::vector<TaskListEntry>& tasks);

// The task list as it was before a command queued its transfers.
class TaskListSnapshot {
 public:
  // Reads the list now.
  static TaskListSnapshot Take(CLogicAdapter& adapter);
  // The snapshot of the lists given.
  static TaskListSnapshot Of(const std::vector<TaskListEntry>& running, const std::vector<TaskListEntry>& finished);
  // Of the lists given, the tasks that are not in the snapshot: running ones whose id
  // was not running then, and ended ones beyond the number of ended tasks of that id
  // then (a file downloaded twice has one id twice).
  void NewTasks(const std::vector<TaskListEntry>& running, const std::vector<TaskListEntry>& finished,
                std::vector<TaskListEntry>* newRunning, std::vector<TaskListEntry>* newFinished) const;

 private:
  std::set<std::string> m_running;
  std::map<std::string, size_t> m_finished;
};

// Waits until no new task of before is running (or waiting); returns the new tasks,
// all ended. bar (may be null) shows the bytes of the new tasks meanwhile. Once the
// command is interrupted, every new task that runs or waits is cancelled (CancelTask,
// which returns when the task has ended) and the wait goes on until none is left; a
// waiting task that a cancel drops from the lists is returned as ended with
// E_CV_CURL_CANCEL, as a running one ends.
std::vector<TaskListEntry> WaitForNewTasks(CLogicAdapter& adapter, const TaskListSnapshot& before, CProgressBar* bar,
                                           const TransferWaitPolicy& policy = {});
