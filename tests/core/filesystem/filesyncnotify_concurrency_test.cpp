// Stopping the file sync manager while markers pour in: once UnInit has returned no
// marker reaches the shell adapter any more, wherever UnInit was called from.
#include <atomic>
#include <thread>

#include "markerrig.h"

namespace {

class FileSyncNotifyStopTest : public MarkerRig {};

TEST_F(FileSyncNotifyStopTest, OnceUnInitHasReturnedNoMarkerIsHandedOn) {
  struct Row {
    const char* name;
    bool fromHandOver;  // UnInit inside a hand-over, on the UI thread; else from the test's thread
  } rows[] = {
      {"UnInit from another thread", false},
      {"UnInit from inside a hand-over", true},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string folder = m_home + "/pour" + std::to_string(n++);
    MakeFolder(folder);
    std::atomic<bool> unInitReturned{false};
    std::atomic<int> lateHandOvers{0};
    std::atomic<bool> stopOnce{row.fromHandOver};
    const std::string fourth = folder + "/m_ostrel_dragdata_4";
    m_shell->onHandOver = [&](const std::string& path) {
      if (unInitReturned.load()) ++lateHandOvers;
      if (path == fourth && stopOnce.exchange(false)) {
        EXPECT_EQ(m_mgr->UnInit(), S_OK);
        unInitReturned = true;
      }
    };
    StartWatching();
    std::atomic<bool> writing{true};
    std::thread writer([&] {
      for (int i = 0; writing.load(); ++i)
        CreateEmpty(folder + (i % 2 ? "/m_ostrel_copydata_" : "/m_ostrel_dragdata_") + std::to_string(i));
    });
    const bool poured = m_shell->WaitFor(fourth);
    if (!row.fromHandOver) {
      EXPECT_EQ(m_mgr->UnInit(), S_OK);
      unInitReturned = true;
    }
    writing = false;
    writer.join();
    ASSERT_TRUE(poured);
    ASSERT_TRUE(m_ui.Call([] {}));  // everything queued on the UI thread has run
    EXPECT_TRUE(unInitReturned.load());
    EXPECT_EQ(lateHandOvers.load(), 0);
    m_shell->onHandOver = nullptr;
  }
}

}  // namespace
