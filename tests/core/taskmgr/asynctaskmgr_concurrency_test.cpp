// The background task manager with fake tasks, and ITaskMgr over both halves. Possible
// deadlocks run under a watchdog.
#include "core/taskmgr/asynctaskmgr.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <random>
#include <set>
#include <thread>

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
    HRESULT Init(ILocalStorage*, IRemoteStorage*, TransportProgressCallback, int64_t, int64_t, void*) override {
      return S_OK;
    }
    HRESULT Execute() override {
      const std::string id = r->strId;
      if (s.onExecute) s.onExecute(id);
      std::unique_lock<std::mutex> lock(s.m);
      ++s.tries[id];
      s.cv.wait(lock, [&] { return !s.held.count(id) || (cancelled && !s.ignoreCancel); });
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
  void Make(std::chrono::milliseconds tick) {
    m_mgr = std::make_unique<CAsyncTaskMgr>(Options(tick));
    m_mgr->Init(m_sync.get(), UnusedLocalStorage(), m_remote.get());
    if (tick != kWaitForever) {
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
      {"ok", {S_OK, 1}}, {"space", {E_CV_SRV_OVER_SPACE, 1}}, {"locked", {E_CV_LOCAL_LOCKED, 1}},
      {"net", {E_CV_NETWORK_ERROR, 5}}, {"exists", {E_CV_TARGET_EXISTS, 5}}};
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
  EXPECT_EQ((Ids{"exists", "locked", "ok", "space"}), List(true));
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

TEST_F(AsyncTaskMgrTest, StopIsBoundedWhenTasksIgnoreTheirCancel) {
  m_script.ignoreCancel = true;
  m_script.held = {"a", "b"};
  for (const char* id : {"a", "b", "c"}) ASSERT_EQ(S_OK, Add(id));
  while (m_script.Tries("a") == 0 || m_script.Tries("b") == 0) std::this_thread::yield();
  LogCapture log;
  EXPECT_EQ(S_OK, m_mgr->Stop(30));
  EXPECT_TRUE(log.Contains("CTaskExecuter::_Stop: 线程退出超时")) << log.All();
  EXPECT_EQ(E_FAIL, Add("late")) << "refused after Stop";
  m_mgr.reset();  // the abandoned threads hold what they touch
  m_script.Release("");
  EXPECT_EQ(0u, JoinAbandonedThreads(60s));
  EXPECT_EQ(0u, m_calls.Count()) << "no callback after Stop";
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
  ASSERT_EQ(S_OK, mgr->Init(m_sync.get(), UnusedLocalStorage(), m_remote.get()));
  TaskDataPtr<TaskData_GetSpace> space(CreateTaskData_GetSpace("own"));
  EXPECT_EQ(S_OK, mgr->ExecuteTask(space.get(), nullptr, 2));
  EXPECT_EQ((Ids{"GetSpace"}), m_remote->Methods());
  ASSERT_EQ(S_OK, mgr->AddTask(CreateTaskData_DownloadFile("d", "\\d", "/t/d"), true, Calls::Callback, &m_calls));
  EXPECT_EQ(S_OK, mgr->Stop(0xFFFFFFFF));
  EXPECT_EQ(1, m_script.Tries("d", true));
}

}  // namespace
