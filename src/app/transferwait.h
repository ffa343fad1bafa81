// Waiting for the transfers that one command queued: the task list is read before the
// command queues anything and then polled until every task that was not there before
// has ended, drawing the progress bar meanwhile.
#pragma once

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/interfaces/itaskmgr.h"

class CLogicAdapter;
class CProgressBar;

// How often the task list is read while waiting.
struct TransferWaitPolicy {
  std::chrono::milliseconds pollPeriod{100};
};

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
// all ended. bar (may be null) shows the bytes of the new tasks meanwhile.
std::vector<TaskListEntry> WaitForNewTasks(CLogicAdapter& adapter, const TaskListSnapshot& before, CProgressBar* bar,
                                           const TransferWaitPolicy& policy = {});
