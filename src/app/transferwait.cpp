#include "app/transferwait.h"

#include <thread>

#include "app/cloudpath.h"
#include "app/interruptwatch.h"
#include "app/progressbar.h"
#include "core/interfaces/taskdata.h"
#include "core/logicadapter/logicadapter.h"

TaskListSnapshot TaskListSnapshot::Take(CLogicAdapter& adapter) {
  std::vector<TaskListEntry> running, finished;
  adapter.GetTaskList(&running, &finished);
  return Of(running, finished);
}

TaskListSnapshot TaskListSnapshot::Of(const std::vector<TaskListEntry>& running,
                                      const std::vector<TaskListEntry>& finished) {
  TaskListSnapshot snapshot;
  for (const auto& task : running) snapshot.m_running.insert(task.strId);
  for (const auto& task : finished) ++snapshot.m_finished[task.strId];
  return snapshot;
}

void TaskListSnapshot::NewTasks(const std::vector<TaskListEntry>& running, const std::vector<TaskListEntry>& finished,
                                std::vector<TaskListEntry>* newRunning,
                                std::vector<TaskListEntry>* newFinished) const {
  for (const auto& task : running)
    if (!m_running.count(task.strId)) newRunning->push_back(task);
  std::map<std::string, size_t> seen;
  for (const auto& task : finished) {
    auto it = m_finished.find(task.strId);
    const size_t before = it == m_finished.end() ? 0 : it->second;
    if (++seen[task.strId] > before) newFinished->push_back(task);
  }
}

namespace {

void ShowProgress(CProgressBar* bar, const std::vector<TaskListEntry>& running,
                  const std::vector<TaskListEntry>& ended) {
  if (!bar) return;
  int64_t done = 0, total = 0;
  for (const auto* list : {&running, &ended})
    for (const auto& task : *list) {
      done += task.nDoneSize;
      total += task.nTotalSize;
    }
  const size_t count = running.size() + ended.size();
  if (!count) return;
  const std::string label = count == 1 ? DisplayFromEngineForm((running.empty() ? ended : running)[0].strFullPath)
                                       : std::to_string(ended.size()) + "/" + std::to_string(count) + " files";
  bar->Update(label, done, total);
}

}  // namespace

bool PauseUnlessInterrupted(const TransferWaitPolicy& policy) {
  if (policy.interrupt) return policy.interrupt->Pause(policy.pollPeriod);
  std::this_thread::sleep_for(policy.pollPeriod);
  return false;
}

bool CancelledByInterrupt(const TransferWaitPolicy& policy, const std::vector<TaskListEntry>& tasks) {
  if (!policy.interrupt || !policy.interrupt->Interrupted()) return false;
  for (const auto& task : tasks)
    if (task.hrResult == S_OK) return false;
  return true;
}

std::vector<TaskListEntry> WaitForNewTasks(CLogicAdapter& adapter, const TaskListSnapshot& before, CProgressBar* bar,
                                           const TransferWaitPolicy& policy) {
  if (bar) bar->Start();
  // The tasks cancelled, as they were listed last.
  std::map<std::string, TaskListEntry> cancelled;
  bool interrupted = false;
  for (;;) {
    std::vector<TaskListEntry> running, finished, mineRunning, mineFinished;
    adapter.GetTaskList(&running, &finished);
    before.NewTasks(running, finished, &mineRunning, &mineFinished);
    if (interrupted) {
      bool cancelledNow = false;
      for (const auto& task : mineRunning) {
        if (cancelled.count(task.strId)) continue;
        cancelled[task.strId] = task;
        adapter.CancelTask(task.strId);
        cancelledNow = true;
      }
      // A task may have queued another meanwhile: the list is read again.
      if (cancelledNow) continue;
    }
    ShowProgress(bar, mineRunning, mineFinished);
    if (mineRunning.empty()) {
      if (bar) bar->Finish();
      std::set<std::string> ended;
      for (const auto& task : mineFinished) ended.insert(task.strId);
      for (auto& [id, task] : cancelled) {
        if (ended.count(id)) continue;
        task.eTaskStateType = TS_Finish;
        task.hrResult = E_CV_CURL_CANCEL;
        mineFinished.push_back(task);
      }
      return mineFinished;
    }
    if (interrupted)
      std::this_thread::sleep_for(policy.pollPeriod);
    else
      interrupted = PauseUnlessInterrupted(policy);
  }
}
