#include "app/transferwait.h"

#include <thread>

#include "app/cloudpath.h"
#include "app/progressbar.h"
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

std::vector<TaskListEntry> WaitForNewTasks(CLogicAdapter& adapter, const TaskListSnapshot& before, CProgressBar* bar,
                                           const TransferWaitPolicy& policy) {
  if (bar) bar->Start();
  for (;;) {
    std::vector<TaskListEntry> running, finished, mineRunning, mineFinished;
    adapter.GetTaskList(&running, &finished);
    before.NewTasks(running, finished, &mineRunning, &mineFinished);
    ShowProgress(bar, mineRunning, mineFinished);
    if (mineRunning.empty()) {
      if (bar) bar->Finish();
      return mineFinished;
    }
    std::this_thread::sleep_for(policy.pollPeriod);
  }
}
