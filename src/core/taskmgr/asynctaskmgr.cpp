#include "core/taskmgr/asynctaskmgr.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "common/checks.h"
#include "common/log.h"
#include "common/tracestack.h"
#include "core/interfaces/isynccenter.h"
#include "core/interfaces/taskdata.h"
#include "core/taskmgr/taskexecuter.h"
#include "platform/event.h"

namespace {

// Task id, then the order of coming, so that two tasks with one id stay apart.
using TaskKey = std::pair<std::string, uint64_t>;

struct Running {
  std::shared_ptr<CTaskExecuter> executer;
  TaskCompletionCallback callback;
  void* context;
};

struct Queued {
  SharedTaskData record;
  TaskCompletionCallback callback;
  void* context;
};

// max(total / count, least), where total 0xFFFFFFFF divided by one stays unbounded.
std::chrono::milliseconds StopWait(uint32_t totalMs, size_t count, std::chrono::milliseconds least) {
  const uint64_t share = totalMs / std::max<uint64_t>(count, 1);
  if (share >= 0xFFFFFFFFu) return kWaitForever;
  return std::max(std::chrono::milliseconds(share), least);
}

// The managers whose ticks this thread is running, innermost last.
thread_local std::vector<const void*> t_ticksOnThisThread;

// The entries of a map ordered by TaskKey whose id is id.
template <class Map>
auto EntriesOf(Map& map, const std::string& id) {
  return std::make_pair(map.lower_bound(TaskKey(id, 0)), map.upper_bound(TaskKey(id, UINT64_MAX)));
}

}  // namespace

struct CAsyncTaskMgr::Core {
  explicit Core(TaskMgrOptions o) : options(std::move(o)) {}

  const TaskMgrOptions options;
  // Borrowed: reached only under lock before Stop, where references are taken for
  // whatever may outlive Stop (an executer, a token query).
  ISyncCenter* syncCenter = nullptr;
  ILocalStorage* localStorage = nullptr;
  IRemoteStorage* remoteStorage = nullptr;
  CEvent stopEvent;

  std::mutex lock;  // the lists, stopped and next
  std::map<TaskKey, Running> running;
  std::map<TaskKey, Queued> queued;
  std::map<TaskKey, SharedTaskData> finished;
  bool stopped = false;
  uint64_t next = 0;

  // Ticks under way: once closed (by Stop) no tick reaps or starts anything, and Stop
  // waits for the completion callbacks of the ticks under way, so that none runs once
  // it has returned. Taken inside lock or alone, and held only briefly.
  std::mutex tickLock;
  std::condition_variable tickEnded;
  bool ticksClosed = false;
  int ticksUnderWay = 0;

  // The session token now, read outside the lock (the sync centre has locks of its
  // own). Empty once stopped: the sync centre may be gone then.
  std::string Token() {
    RefPtr<ISyncCenter> center;
    {
      std::lock_guard<std::mutex> guard(lock);
      if (stopped || !syncCenter) return std::string();
      center = RefPtr<ISyncCenter>(syncCenter);
    }
    std::string token;
    center->GetUserInfo(nullptr, &token, nullptr, nullptr);
    return token;
  }

  // Under lock: false, and the tick is to do nothing, once ticks are closed.
  bool EnterTick() {
    std::lock_guard<std::mutex> guard(tickLock);
    if (ticksClosed) return false;
    ++ticksUnderWay;
    t_ticksOnThisThread.push_back(this);
    return true;
  }
  void LeaveTick() {
    t_ticksOnThisThread.pop_back();
    std::lock_guard<std::mutex> guard(tickLock);
    --ticksUnderWay;
    tickEnded.notify_all();
  }
  void CloseTicks() {
    std::lock_guard<std::mutex> guard(tickLock);
    ticksClosed = true;
  }
  // Waits for the ticks under way on other threads; one of the calling thread (a
  // callback that stops the manager) cannot end before the callback returns.
  void WaitForTicks() {
    const int own = static_cast<int>(
        std::count(t_ticksOnThisThread.begin(), t_ticksOnThisThread.end(), static_cast<const void*>(this)));
    std::unique_lock<std::mutex> guard(tickLock);
    if (ticksUnderWay <= own) return;
    guard.unlock();
    OSTREL_LOG(kLogInfo, "%s", "CAsyncTaskMgr::Stop() waits for the completion callbacks under way");
    guard.lock();
    tickEnded.wait(guard, [&] { return ticksUnderWay <= own; });
  }

  // Under the lock: queues the record, or starts it now.
  HRESULT AddLocked(SharedTaskData record, bool force, TaskCompletionCallback callback, void* context,
                    const std::string& token) {
    if (stopped) {
      OSTREL_LOG(kLogWarn, "CAsyncTaskMgr::AddTask() refused after Stop: TasksName() = %s",
                 record->TasksName().c_str());
      return E_FAIL;
    }
    TaskKey key(record->strId, next++);
    if (!force && running.size() >= kMaxRunning) {
      queued.emplace(std::move(key), Queued{std::move(record), callback, context});
      return S_OK;
    }
    StartLocked(std::move(key), std::move(record), callback, context, token);
    return S_OK;
  }

  void StartLocked(TaskKey key, SharedTaskData record, TaskCompletionCallback callback, void* context,
                   const std::string& token) {
    auto executer = std::make_shared<CTaskExecuter>(syncCenter, localStorage, remoteStorage, 5);
    running.emplace(std::move(key), Running{executer, callback, context});
    executer->StartTask(std::move(record), token, options.taskFactory);
  }

  void Tick() {
    bool waiting;
    {
      std::lock_guard<std::mutex> guard(lock);
      waiting = !queued.empty();
    }
    const std::string token = waiting ? Token() : std::string();  // only for a task to start
    std::vector<std::pair<Running, TaskDataPtr<TaskDataBase>>> reaped;
    {
      std::lock_guard<std::mutex> guard(lock);
      // Once Stop has begun nothing is reaped: a task is either still listed as running
      // or finished with its callback called before Stop returns.
      if (!EnterTick()) return;
      for (auto it = running.begin(); it != running.end();) {
        if (!it->second.executer->Ended()) {
          ++it;
          continue;
        }
        const SharedTaskData& record = it->second.executer->Record();
        finished.emplace(it->first, record);
        // The callback reads a copy as the task ended: another thread may retry the
        // task meanwhile, and its new run writes the record.
        reaped.emplace_back(std::move(it->second), TaskDataPtr<TaskDataBase>(record->Clone()));
        it = running.erase(it);
      }
      // A task queued since the look above waits for the next tick, which reads its token.
      if (waiting && !stopped && running.size() < kMaxRunning && !queued.empty()) {
        auto first = queued.begin();
        TaskKey key = first->first;
        Queued q = std::move(first->second);
        queued.erase(first);
        StartLocked(std::move(key), std::move(q.record), q.callback, q.context, token);
      }
    }
    for (auto& [r, ended] : reaped) {
      r.executer->Join();
      r.executer.reset();
      if (r.callback) r.callback(ended.get(), r.context);
    }
    LeaveTick();
  }

  // Takes the waiting tasks (all, or those with id) out of the queue, and copies the
  // running executers (all, or those with id); the count of running tasks.
  size_t Detach(const std::string* id, std::vector<Queued>* dropped,
                std::vector<std::shared_ptr<CTaskExecuter>>* stopping) {
    std::lock_guard<std::mutex> guard(lock);
    auto [qFirst, qLast] = id ? EntriesOf(queued, *id) : std::make_pair(queued.begin(), queued.end());
    for (auto it = qFirst; it != qLast; ++it) dropped->push_back(std::move(it->second));
    queued.erase(qFirst, qLast);
    auto [rFirst, rLast] = id ? EntriesOf(running, *id) : std::make_pair(running.begin(), running.end());
    for (auto it = rFirst; it != rLast; ++it) stopping->push_back(it->second.executer);
    return running.size();
  }
};

CAsyncTaskMgr::CAsyncTaskMgr(TaskMgrOptions options) : m_core(std::make_shared<Core>(std::move(options))) {}

CAsyncTaskMgr::~CAsyncTaskMgr() {
  bool stopped;
  {
    std::lock_guard<std::mutex> guard(m_core->lock);
    stopped = m_core->stopped;
  }
  if (!stopped || m_thread.Started()) Stop(static_cast<uint32_t>(m_core->options.minStopWait.count()));
}

HRESULT CAsyncTaskMgr::Init(ISyncCenter* syncCenter, ILocalStorage* localStorage, IRemoteStorage* remoteStorage) {
  ASSERT(syncCenter);
  ASSERT(localStorage);
  ASSERT(remoteStorage);
  m_core->syncCenter = syncCenter;
  m_core->localStorage = localStorage;
  m_core->remoteStorage = remoteStorage;
  return S_OK;
}

HRESULT CAsyncTaskMgr::Start() {
  if (m_thread.Started()) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: !m_hWorkThread");
    return S_OK;
  }
  std::shared_ptr<Core> core = m_core;
  const bool started = m_thread.Start([core] {
    while (!core->stopEvent.Wait(core->options.tickPeriod)) core->Tick();
  });
  if (!started) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:m_hWorkThread");
    return E_FAIL;
  }
  return S_OK;
}

HRESULT CAsyncTaskMgr::Stop(uint32_t timeoutMs) {
  // From here on no task is reaped, added or started.
  m_core->CloseTicks();
  {
    std::lock_guard<std::mutex> guard(m_core->lock);
    m_core->stopped = true;
  }
  HRESULT hr = S_OK;
  TRACE_SCOPE("CAsyncTaskMgr::Stop()", &hr);
  std::vector<Queued> dropped;
  std::vector<std::shared_ptr<CTaskExecuter>> stopping;
  const size_t count = m_core->Detach(nullptr, &dropped, &stopping);
  dropped.clear();  // released, without callbacks
  const auto wait = StopWait(timeoutMs, count, m_core->options.minStopWait);
  for (const auto& executer : stopping) executer->StopTask(wait);
  m_core->stopEvent.Set();
  if (!m_thread.Join(WaitFromMs(timeoutMs)))
    OSTREL_LOG(kLogError, "*ASSERT*: CAsyncTaskMgr::Stop：线程退出超时，TimeOut = %d", static_cast<int>(timeoutMs));
  m_core->WaitForTicks();
  return hr;
}

HRESULT CAsyncTaskMgr::AddTask(TaskDataBase* record, bool force, TaskCompletionCallback callback, void* context) {
  if (!record) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: pTaskData");
    return E_POINTER;
  }
  HRESULT hr = S_OK;
  TRACE_SCOPE_DETAIL("CAsyncTaskMgr::AddTask()", &hr, "TasksName() = %s", record->TasksName().c_str());
  SharedTaskData shared = ShareTaskData(record);
  const std::string token = m_core->Token();
  std::lock_guard<std::mutex> guard(m_core->lock);
  hr = m_core->AddLocked(std::move(shared), force, callback, context, token);
  return hr;
}

HRESULT CAsyncTaskMgr::CancelTask(const std::string& id) {
  std::vector<Queued> dropped;
  std::vector<std::shared_ptr<CTaskExecuter>> stopping;
  const size_t count = m_core->Detach(&id, &dropped, &stopping);
  dropped.clear();  // released, without callbacks
  const auto wait = StopWait(0xFFFFFFFFu, count, m_core->options.minStopWait);
  for (const auto& executer : stopping) executer->StopTask(wait);
  return S_OK;
}

HRESULT CAsyncTaskMgr::GetTaskList(bool finished, std::vector<TaskListEntry>* tasks) {
  ERROR_CHECK_BOOLEX(tasks);
  std::lock_guard<std::mutex> guard(m_core->lock);
  if (finished) {
    tasks->reserve(tasks->size() + m_core->finished.size());
    for (const auto& [key, record] : m_core->finished) {
      tasks->push_back(EntryOf(*record));
      tasks->back().strId = key.first;
    }
    return S_OK;
  }
  tasks->reserve(tasks->size() + m_core->running.size() + m_core->queued.size());
  for (const auto& [key, r] : m_core->running) tasks->push_back(r.executer->Entry(key.first));
  for (const auto& [key, q] : m_core->queued) tasks->push_back(EntryOf(*q.record));
  return S_OK;
}

HRESULT CAsyncTaskMgr::RemoveFinishedTask(const std::string& id) {
  std::map<TaskKey, SharedTaskData> removed;  // released after the lock
  std::lock_guard<std::mutex> guard(m_core->lock);
  auto& finished = m_core->finished;
  if (id.empty()) {
    removed.swap(finished);
  } else {
    auto [first, last] = EntriesOf(finished, id);
    removed.insert(std::make_move_iterator(first), std::make_move_iterator(last));
    finished.erase(first, last);
  }
  return S_OK;
}

HRESULT CAsyncTaskMgr::RetryTask(const std::string& id, TaskCompletionCallback callback, void* context) {
  if (id.empty()) return S_FALSE;
  const std::string token = m_core->Token();
  std::lock_guard<std::mutex> guard(m_core->lock);
  auto& finished = m_core->finished;
  auto it = finished.lower_bound(TaskKey(id, 0));
  if (it == finished.end() || it->first.first != id) return S_OK;
  if (m_core->stopped) return E_FAIL;
  SharedTaskData record = std::move(it->second);
  finished.erase(it);
  return m_core->AddLocked(std::move(record), false, callback, context, token);
}

void CAsyncTaskMgr::Tick() { m_core->Tick(); }
