// The background task manager with fake tasks, and ITaskMgr over both halves. Possible
// deadlocks run under a watchdog.
#include "core/taskmgr/asynctaskmgr.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "common/log.h"
#include "core/interfaces/createtaskdata.h"
#include "core/taskmgr/taskmgr.h"
#include "support/enginefakes.h"
#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

using namespace std::chrono_literals;
using Ids = std::vector<std::string>;

// Fake tasks: Execute waits while its id is held (or until cancelled, unless ignored),
// then answers the id's result, else E_CV_CURL_CANCEL when cancelled, else S_OK.
struct Script {
  std::mutex m;
  std::condition_variable cv;
  std::set<std::string> held;
  std::map<std::string, HRESULT> results;
  std::map<std::string, int> tries, starts;
  bool ignoreCancel = false;
  bool useStorageAtEnd = false;  // each try ends with a call to the local storage it was given
  std::shared_ptr<std::atomic<bool>> storageAlive;  // of that storage; read at that call
  std::atomic<int> storageUsedDead{0};
  std::function<void(const std::string&)> onExecute;  // on the task's thread
  void Release(const std::string& id) {  // "": every id
    std::lock_guard<std::mutex> g(m);
    id.empty() ? held.clear() : (void)held.erase(id);
    cv.notify_all();
  }
  int Tries(const std::string& id, bool started = false) {  // or starts
    std::lock_guard<std::mutex> g(m);
    return (started ? starts : tries)[id];
  }

  struct Task : ITask {
    Task(Script& s, TaskDataBase* r) : s(s), r(r) {}
    HRESULT Init(ILocalStorage* l, IRemoteStorage*, TransportProgressCallback, int64_t, int64_t, void*) override {
      local = l;
      return S_OK;
    }
    HRESULT Execute() override {
      const std::string id = r->strId;
      if (s.onExecute) s.onExecute(id);
      std::unique_lock<std::mutex> lock(s.m);
      ++s.tries[id];
      s.cv.wait(lock, [&] { return !s.held.count(id) || (cancelled && !s.ignoreCancel); });
      if (s.useStorageAtEnd) {
        if (s.storageAlive && !*s.storageAlive) ++s.storageUsedDead;
        local->GetTempFolder();
      }
      return cancelled && !s.ignoreCancel && !s.results.count(id) ? E_CV_CURL_CANCEL : s.results[id];
    }
    HRESULT Cancel(uint32_t) override {
      cancelled = true;
      std::lock_guard<std::mutex> g(s.m);
      s.cv.notify_all();
      return S_OK;
    }
    TaskDataBase* GetTaskData() override { return r; }
    Script& s;
    TaskDataBase* r;
    ILocalStorage* local = nullptr;
    std::atomic<bool> cancelled{false};
  };
};

// The completion callbacks, in order; also runs inside each.
struct Calls {
  std::mutex m;
  std::vector<std::pair<std::string, HRESULT>> list;
  std::function<void(TaskDataBase*)> also;
  static void Callback(TaskDataBase* r, void* context) {
    auto* c = static_cast<Calls*>(context);
    if (c->also) c->also(r);
    std::lock_guard<std::mutex> g(c->m);
    c->list.emplace_back(r->strId, r->taskState.hrResult);
  }
  size_t Count() {
    std::lock_guard<std::mutex> g(m);
    return list.size();
  }
};

// Runs body on a thread of its own and fails the test (not the run) when it has not
// ended within a generous bound: a deadlock leaves that thread behind.
void UnderWatchdog(std::function<void()> body) {
  auto done = std::make_shared<CEvent>();
  std::thread([body = std::move(body), done] {
    body();
    done->Set();
  }).detach();
  if (!done->Wait(60s)) ADD_FAILURE() << "deadlock: the scenario did not end";
}

class AsyncTaskMgrTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    m_sync->SignIn("alice", "token-1");
    Make(kWaitForever);
  }
  void TearDown() override {
    m_script.Release("");  // all
    m_mgr.reset();
    OstrelTest::TearDown();
  }
  TaskMgrOptions Options(std::chrono::milliseconds tick) {
    TaskMgrOptions o;
    o.taskFactory = [this](TaskDataBase* r) -> ITask* {
      std::lock_guard<std::mutex> g(m_script.m);
      ++m_script.starts[r->strId];
      return new Script::Task(m_script, r);
    };
    o.tickPeriod = tick;
    o.minStopWait = 10ms;
    return o;
  }
  // A manager that ticks by itself every tick (kWaitForever: only when a test calls Tick).
  void Make(std::chrono::milliseconds tick, bool start = true) {
    m_mgr = std::make_unique<CAsyncTaskMgr>(Options(tick));
    m_mgr->Init(m_sync.get(), m_local.get(), m_remote.get());
    if (tick != kWaitForever && start) {
      EXPECT_EQ(S_OK, m_mgr->Start());
    }
  }
  HRESULT Add(const std::string& id, bool force = false) {
    return m_mgr->AddTask(CreateTaskData_DownloadFile(id, "\\" + id, "/t/" + id), force, Calls::Callback, &m_calls);
  }
  // Ticks until n callbacks have come: executers end on their threads' own time.
  void TickUntil(size_t n) {
    const auto end = std::chrono::steady_clock::now() + 60s;
    for (; m_calls.Count() < n && std::chrono::steady_clock::now() < end; std::this_thread::yield()) m_mgr->Tick();
    ASSERT_EQ(n, m_calls.Count());
  }
  Ids List(bool finished) {
    std::vector<TaskListEntry> list;
    EXPECT_EQ(S_OK, m_mgr->GetTaskList(finished, &list));
    Ids ids;
    for (const TaskListEntry& e : list) ids.push_back(e.strId);
    return ids;
  }

  Script m_script;
  Calls m_calls;
  RefPtr<FakeSyncCenter> m_sync{new FakeSyncCenter};
  RefPtr<RecordingRemoteStorage> m_remote{new RecordingRemoteStorage};
  std::shared_ptr<std::atomic<bool>> m_localAlive = std::make_shared<std::atomic<bool>>(false);
  RefPtr<FakeLocalStorage> m_local{new FakeLocalStorage(m_localAlive)};
  std::unique_ptr<CAsyncTaskMgr> m_mgr;
};

TEST_F(AsyncTaskMgrTest, FiveRunAForcedOneStartsAtOnceAndWaitingOnesStartOnePerTickInIdOrder) {
  m_script.held = {"b", "c", "d", "e", "f", "z"};
  for (const char* id : {"f", "e", "d", "c", "b", "y", "x"}) ASSERT_EQ(S_OK, Add(id));
  ASSERT_EQ(S_OK, Add("z", true));
  EXPECT_EQ((Ids{"b", "c", "d", "e", "f", "z", "x", "y"}), List(false)) << "running, then waiting, each in id order";
  m_script.Release("b");
  TickUntil(1);
  EXPECT_EQ(0, m_script.Tries("x", true)) << "five still run";
  m_script.Release("c");
  TickUntil(2);
  EXPECT_EQ(1, m_script.Tries("x", true)) << "x, added after y, starts first";
  EXPECT_EQ(0, m_script.Tries("y", true));
  for (const char* id : {"d", "e", "f", "z"}) m_script.Release(id);
  TickUntil(8);
  EXPECT_EQ((Ids{"b", "c", "d", "e", "f", "x", "y", "z"}), List(true));
  EXPECT_TRUE(List(false).empty());
  for (const auto& [id, hr] : m_calls.list) EXPECT_EQ(S_OK, hr) << id;
}

TEST_F(AsyncTaskMgrTest, TriesPerResultRetryAndRemove) {
  const std::map<std::string, std::pair<HRESULT, int>> cases = {
      {"ok", {S_OK, 1}}, {"kept", {S_FALSE, 1}}, {"space", {E_CV_SRV_OVER_SPACE, 1}},
      {"locked", {E_CV_LOCAL_LOCKED, 1}}, {"net", {E_CV_NETWORK_ERROR, 5}}, {"exists", {E_CV_TARGET_EXISTS, 5}}};
  LogCapture log;
  for (const auto& [id, c] : cases) m_script.results[id] = c.first;
  for (const auto& [id, c] : cases) ASSERT_EQ(S_OK, Add(id));
  TickUntil(cases.size());
  const std::map<std::string, HRESULT> ended(m_calls.list.begin(), m_calls.list.end());
  for (const auto& [id, c] : cases) {
    EXPECT_EQ(c.second, m_script.Tries(id)) << id;
    EXPECT_EQ(c.first, ended.at(id)) << id;
  }
  EXPECT_TRUE(log.Contains("*ASSERT*: hr != E_CV_TARGET_EXISTS && hr != E_CV_FOLDER_NON_EMPTY && 1"));
  // A retry runs the finished record again, with its new callback; "" changes nothing.
  m_script.results["space"] = S_OK;
  EXPECT_EQ(S_FALSE, m_mgr->RetryTask("", Calls::Callback, &m_calls));
  EXPECT_EQ(S_OK, m_mgr->RetryTask("space", Calls::Callback, &m_calls));
  TickUntil(cases.size() + 1);
  EXPECT_EQ(std::make_pair(std::string("space"), S_OK), m_calls.list.back());
  EXPECT_EQ(S_OK, m_mgr->RemoveFinishedTask("net"));
  EXPECT_EQ((Ids{"exists", "kept", "locked", "ok", "space"}), List(true));
  // After Stop a retry is refused, and the task stays listed as ended.
  EXPECT_EQ(S_OK, m_mgr->Stop(0xFFFFFFFF));
  EXPECT_EQ(E_FAIL, m_mgr->RetryTask("locked", Calls::Callback, &m_calls));
  EXPECT_EQ((Ids{"exists", "kept", "locked", "ok", "space"}), List(true));
  EXPECT_EQ(S_OK, m_mgr->RemoveFinishedTask(""));
  EXPECT_TRUE(List(true).empty());
}

TEST_F(AsyncTaskMgrTest, CancelDropsAWaitingTaskAndEndsARunningOneWithOneCallback) {
  m_script.held = {"a", "b", "c", "same"};
  m_script.results["a"] = E_CV_NETWORK_ERROR;  // as a transfer cut off by its cancel
  for (const char* id : {"a", "b", "c", "same", "same", "w"}) ASSERT_EQ(S_OK, Add(id));
  EXPECT_EQ((Ids{"a", "b", "c", "same", "same", "w"}), List(false)) << "one id, two tasks";
  EXPECT_EQ(S_OK, m_mgr->CancelTask("w"));
  while (m_script.Tries("a") == 0) std::this_thread::yield();
  EXPECT_EQ(S_OK, m_mgr->CancelTask("a"));
  TickUntil(1);
  EXPECT_EQ(std::make_pair(std::string("a"), E_CV_CURL_CANCEL), m_calls.list[0]);
  EXPECT_EQ(1, m_script.Tries("a")) << "a cancelled task is not tried again";
  for (const char* id : {"b", "c", "same"}) m_script.Release(id);
  TickUntil(5);
  EXPECT_EQ(0, m_script.Tries("w", true)) << "the cancelled waiting task never ran";
  EXPECT_EQ(5u, List(true).size());
}

TEST_F(AsyncTaskMgrTest, CallbacksAndLocksAroundTheManagerNeverDeadlock) {
  Make(1ms);
  std::mutex held;  // taken by callbacks while another thread adds under it
  m_calls.also = [&](TaskDataBase* r) {
    std::lock_guard<std::mutex> g(held);
    std::vector<TaskListEntry> list;
    m_mgr->GetTaskList(false, &list);
    m_mgr->RemoveFinishedTask("gone");
    if (r->strId == "first") m_mgr->RetryTask("first", nullptr, nullptr);
    if (r->strId.size() < 8) Add(r->strId + "+");
  };
  // A task whose own thread adds while another thread cancels it.
  m_script.onExecute = [&](const std::string& id) {
    if (id == "self") Add("from-self");
  };
  UnderWatchdog([&] {
    Add("first");
    for (int i = 0; i < 50; ++i) {
      std::lock_guard<std::mutex> g(held);
      Add("t" + std::to_string(i));
    }
    {
      std::lock_guard<std::mutex> g(m_script.m);
      m_script.held.insert("self");
    }
    Add("self");
    m_mgr->CancelTask("self");
    while (!List(false).empty()) std::this_thread::yield();
  });
  m_mgr->Stop(0xFFFFFFFF);
}

TEST_F(AsyncTaskMgrTest, StopIsBoundedAndATaskItGivesUpOnKeepsTheStoragesItUses) {
  m_script.ignoreCancel = true;
  m_script.useStorageAtEnd = true;
  m_script.storageAlive = m_localAlive;
  m_script.held = {"a", "b"};
  for (const char* id : {"a", "b", "c"}) ASSERT_EQ(S_OK, Add(id));
  while (m_script.Tries("a") == 0 || m_script.Tries("b") == 0) std::this_thread::yield();
  LogCapture log;
  EXPECT_EQ(S_OK, m_mgr->Stop(30));
  EXPECT_TRUE(log.Contains("CTaskExecuter::_Stop: 线程退出超时")) << log.All();
  EXPECT_EQ(E_FAIL, Add("late")) << "refused after Stop";
  // As the sync centre does at sign-out: the manager and the storages go.
  m_mgr.reset();
  m_local.reset();
  m_remote.reset();
  EXPECT_TRUE(*m_localAlive) << "the given-up tasks still hold the local storage";
  m_script.Release("");
  EXPECT_EQ(0u, JoinAbandonedThreads(60s));
  EXPECT_EQ(0, m_script.storageUsedDead.load()) << "a task used the local storage after it was freed";
  EXPECT_FALSE(*m_localAlive) << "released by the last task";
  EXPECT_EQ(0u, m_calls.Count()) << "no callback after Stop";
}

TEST_F(AsyncTaskMgrTest, NoCompletionCallbackRunsOnceStopOrTheLastReleaseHasReturned) {
  // The manager thread reaps three ended tasks in one tick and is held inside the
  // first callback while another thread stops the manager, within a bound it passes.
  for (const bool release : {false, true}) {
    SCOPED_TRACE(release ? "the manager released without Stop" : "Stop(10)");
    m_calls.list.clear();
    Make(50ms, false);
    CEvent entered, go;
    m_calls.also = [&](TaskDataBase* r) {
      if (r->strId != "a") return;
      entered.Set();
      go.Wait();
    };
    for (const char* id : {"a", "b", "c"}) ASSERT_EQ(S_OK, Add(id));
    auto allEnded = [&] {
      std::vector<TaskListEntry> list;
      m_mgr->GetTaskList(false, &list);
      for (const TaskListEntry& e : list)
        if (e.eTaskStateType != TS_Finish) return false;
      return true;
    };
    while (!allEnded()) std::this_thread::yield();
    ASSERT_EQ(S_OK, m_mgr->Start());  // its first tick comes after the threads have left the tasks
    ASSERT_TRUE(entered.Wait(60s));
    LogCapture log;
    size_t atReturn = 99;
    std::thread stopper([&] {
      release ? m_mgr.reset() : (void)m_mgr->Stop(10);
      atReturn = m_calls.Count();
      OSTREL_LOG(kLogInfo, "%s", "test: the stop returned");
    });
    // Lets the first callback end once Stop waits for it, or else once it has returned.
    EXPECT_TRUE(log.WaitFor({"CAsyncTaskMgr::Stop() waits for the completion callbacks", "test: the stop returned"},
                            60s));
    go.Set();
    stopper.join();
    EXPECT_EQ(0u, JoinAbandonedThreads(60s)) << "the manager thread ended";
    EXPECT_EQ(3u, atReturn) << "the callbacks of the tick under way ended before the stop returned";
    EXPECT_EQ(atReturn, m_calls.Count()) << "a callback ran after the stop returned";
    m_calls.also = nullptr;
    m_mgr.reset();
  }
}

TEST_F(AsyncTaskMgrTest, TwoThreadsStopOneRunningManagerAtOnce) {
  // Sign-out on one thread, shut-down on another: each returns, within its own bound.
  for (int round = 0; round < 20; ++round) {
    Make(1ms);
    m_script.held = {"held"};
    for (const char* id : {"held", "x", "y"}) ASSERT_EQ(S_OK, Add(id));
    CEvent go;
    UnderWatchdog([&] {
      std::vector<std::thread> stoppers;
      for (uint32_t bound : {0xFFFFFFFFu, 5u})
        stoppers.emplace_back([&, bound] {
          go.Wait();
          EXPECT_EQ(S_OK, m_mgr->Stop(bound));
        });
      go.Set();
      for (std::thread& t : stoppers) t.join();
    });
    EXPECT_EQ(0u, JoinAbandonedThreads(60s));
    m_mgr.reset();
  }
}

TEST_F(AsyncTaskMgrTest, ACancelThatMeetsTheEndOfARetriedRunReadsNothingTheRetryWrites) {
  // One thread cancels a running task; the manager reaps it and a third thread retries
  // it while the cancelled run's thread is still ending (held in a thread-exit step
  // until the retry begins), so the cancel's wait ends after the retry's executer has
  // begun to write the record. Under ThreadSanitizer this shows any access of the two
  // that nothing orders.
  struct AtThreadExit {
    std::function<void()> f;
    ~AtThreadExit() {
      if (f) f();
    }
  };
  for (int round = 0; round < 5; ++round) {
    m_calls.list.clear();
    const std::string id = "r" + std::to_string(round);
    CEvent retrying;
    m_script.onExecute = [&](const std::string& running) {
      thread_local AtThreadExit atExit;
      if (running == id && !atExit.f) atExit.f = [&retrying] { retrying.Wait(); };
    };
    m_script.held = {id};
    ASSERT_EQ(S_OK, Add(id));
    while (m_script.Tries(id) == 0) std::this_thread::yield();
    std::thread canceller([&] { m_mgr->CancelTask(id); });
    std::thread retrier([&] {
      for (;;) {
        const Ids finished = List(true);
        if (std::find(finished.begin(), finished.end(), id) != finished.end()) break;
        std::this_thread::yield();
      }
      m_script.Release(id);
      retrying.Set();
      EXPECT_EQ(S_OK, m_mgr->RetryTask(id, Calls::Callback, &m_calls));
    });
    TickUntil(1);
    retrier.join();
    canceller.join();
    TickUntil(2);
    EXPECT_EQ(E_CV_CURL_CANCEL, m_calls.list[0].second);
    EXPECT_EQ(S_OK, m_calls.list[1].second) << "the retried run is not the cancelled one";
    m_script.onExecute = nullptr;
  }
}

TEST_F(AsyncTaskMgrTest, ManyThreadsAddCancelAndRetry) {
  Make(1ms);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<uint32_t>(t));
      for (int i = 0; i < 25; ++i) {
        const std::string id = std::to_string(t) + "-";
        Add(id + std::to_string(i), rng() % 8 == 0);
        if (rng() % 3 == 0) m_mgr->CancelTask(id + std::to_string(i));
        if (rng() % 3 == 0) m_mgr->RetryTask(id + std::to_string(rng() % (i + 1)), Calls::Callback, &m_calls);
      }
    });
  for (std::thread& t : threads) t.join();
  while (!List(false).empty()) std::this_thread::yield();
  m_mgr->Stop(0xFFFFFFFF);
  // Every start ended with exactly one callback; a task dropped while waiting had none.
  std::map<std::string, int> callbacks;
  for (const auto& [id, hr] : m_calls.list) ++callbacks[id];
  EXPECT_EQ(m_script.starts, callbacks);
}

TEST_F(AsyncTaskMgrTest, TheTaskManagerReachesBothHalves) {
  RefPtr<ITaskMgr> mgr;
  ASSERT_EQ(S_OK, CreateTaskMgr(mgr.Receive(), Options(kWaitForever)));
  ASSERT_EQ(S_OK, mgr->Init(m_sync.get(), m_local.get(), m_remote.get()));
  TaskDataPtr<TaskData_GetSpace> space(CreateTaskData_GetSpace("own"));
  EXPECT_EQ(S_OK, mgr->ExecuteTask(space.get(), nullptr, 2));
  EXPECT_EQ((Ids{"GetSpace"}), m_remote->Methods());
  ASSERT_EQ(S_OK, mgr->AddTask(CreateTaskData_DownloadFile("d", "\\d", "/t/d"), true, Calls::Callback, &m_calls));
  EXPECT_EQ(S_OK, mgr->Stop(0xFFFFFFFF));
  EXPECT_EQ(1, m_script.Tries("d", true));
}

}  // namespace
