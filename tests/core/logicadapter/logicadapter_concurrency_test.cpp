// The logic adapter called from the tasks pane's and the please-wait worker's threads
// while the UI thread logs out and signs in again: a call reaches a live file system
// or fails cleanly, never one that is being released.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/db/dbhelper.h"
#include "core/logicadapter/logicadapter.h"
#include "core/synccenter.h"
#include "core/synccenterfakes.h"
#include "support/enginefakes.h"
#include "support/testenv.h"

namespace {

class LogicAdapterConcurrencyTest : public OstrelTest {
 protected:
  void TearDown() override {
    CloseUserDB();
    OstrelTest::TearDown();
  }
  FakeComponents m_fakes;
};

TEST_F(LogicAdapterConcurrencyTest, TaskListsAndListingsDuringLogOutReachALiveFileSystemOrFail) {
  CLogicAdapter adapter(LogicAdapterCreators{
      [](IShellAdapter** pp) {
        auto* shell = new FakeShellAdapter;
        shell->AddRef();
        *pp = shell;
        return S_OK;
      },
      [this](ISyncCenter** pp) { return CreateSyncCenter(pp, m_fakes.Factory()); }});
  ASSERT_EQ(S_OK, adapter.Init(PathIn("cfg"), nullptr));
  ASSERT_EQ(S_OK, adapter.Login("ann@example.test", "pw", kLoginModeMyComputer));

  std::atomic<bool> done{false};
  std::atomic<int> reached{0}, refused{0}, wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      std::vector<TaskListEntry> running, finished;
      std::vector<CFileItemRecord> items;
      while (!done) {
        const HRESULT hr = t == 0 ? adapter.GetTaskList(&running, &finished) : adapter.DirMyFile("", "\\", &items, false);
        if (hr == kFakeAnswer)
          ++reached;
        else if (hr == E_FAIL)
          ++refused;
        else
          ++wrong;
        std::this_thread::yield();
      }
    });
  }
  while (reached.load() < 2) std::this_thread::yield();  // both threads are at work
  for (int round = 0; round < 8; ++round) {
    ASSERT_EQ(S_OK, adapter.UnBind());
    ASSERT_EQ(S_OK, adapter.Login("ann@example.test", "pw", kLoginModeMyComputer));
  }
  done = true;
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_GT(reached.load(), 0);
  EXPECT_EQ(S_OK, adapter.UnInit());
  EXPECT_EQ(0, m_fakes.Alive());
}

}  // namespace
