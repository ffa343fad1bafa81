// The watch of opened files running on its own thread while the task manager's thread
// ends tasks into the same table and the windows read it: a task that ends while a
// watch pass is under way is handled at once (the pass holds no lock the end needs),
// and many opens, closes and uploads at once all finish. A watchdog ends the process
// when they do not: a deadlock would otherwise hang the run.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>

#include "filesyncrig.h"

namespace {

class FileSyncConcurrencyTest : public FileSyncRig {
 protected:
  // The watch thread ticks every millisecond; a file no program holds is done at once.
  FileSyncOptions Running() {
    FileSyncOptions options = Options();
    options.watchPeriod = std::chrono::milliseconds(1);
    options.releaseWait = std::chrono::milliseconds(0);
    return options;
  }
  // Fails and ends the process when count task ends have not come within the bound.
  void Watchdog(int count, const char* what) {
    if (m_scripted->WaitCallbacks(count, std::chrono::seconds(60))) return;
    ADD_FAILURE() << "stuck: " << what << " (" << m_scripted->Callbacks() << " of " << count << " task ends)";
    std::fflush(stdout);
    std::_Exit(1);
  }
};

TEST_F(FileSyncConcurrencyTest, ATaskThatEndsWhileAWatchPassIsUnderWayIsHandledAtOnce) {
  std::mutex lock;
  std::condition_variable changed;
  bool probing = false, released = false;
  FileSyncOptions options = Running();
  options.probeLock = [&](const std::string& path) {
    if (path.find("F1.txt") != std::string::npos) {
      std::unique_lock<std::mutex> guard(lock);
      probing = true;
      changed.notify_all();
      // Bounded, so that a failure cannot hang the run here.
      changed.wait_for(guard, std::chrono::seconds(60), [&] { return released; });
    }
    return FileLockState::kLocked;
  };
  StartManager(options);
  SeedItem("F1", "P", "F1.txt", "one", 1);
  SeedItem("F2", "P", "F2.txt", "two", 1);
  ASSERT_EQ(m_mgr->OpenFile("F1", "\\P\\F1.txt", Sync("P/F1.txt"), ItemSpace::MyFile), S_OK);
  Watchdog(1, "the first open");
  {
    std::unique_lock<std::mutex> guard(lock);
    ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(60), [&] { return probing; }));
  }
  // The watch thread is inside its pass; the second open's end must get into the table.
  ASSERT_EQ(m_mgr->OpenFile("F2", "\\P\\F2.txt", Sync("P/F2.txt"), ItemSpace::MyFile), S_OK);
  const bool handled = m_scripted->WaitCallbacks(2, std::chrono::seconds(60));
  {
    std::lock_guard<std::mutex> guard(lock);
    released = true;
    changed.notify_all();
  }
  EXPECT_TRUE(handled);
  EXPECT_TRUE(m_mgr->IsFileOpen("F2"));
  std::vector<TaskListEntry> rows;
  EXPECT_EQ(m_mgr->GetOpenFileList(&rows), S_OK);
  EXPECT_EQ(rows.size(), 2u);
}

TEST_F(FileSyncConcurrencyTest, ManyOpensClosesAndUploadsAtOnceAllFinish) {
  constexpr int kFiles = 40;
  StartManager(Running());
  // The program "edits" the file as it opens it, and lets go at once.
  m_window.SetOnShellOpen([](const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "ae");
    if (f) {
      std::fputs(" edited", f);
      std::fclose(f);
    }
  });
  for (int i = 0; i < kFiles; ++i) {
    const std::string id = "F" + std::to_string(i);
    SeedItem(id, "P", id + ".txt", "content " + id, 1);
  }
  // The windows read the table meanwhile.
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      std::vector<TaskListEntry> rows;
      m_mgr->GetOpenFileList(&rows);
      for (const TaskListEntry& row : rows) {
        std::string local;
        m_mgr->GetOpenFileInfo(row.strId, &local, nullptr, nullptr);
        m_mgr->IsFileOpen(row.strId);
      }
      std::this_thread::yield();
    }
  });
  for (int i = 0; i < kFiles; ++i) {
    const std::string id = "F" + std::to_string(i);
    ASSERT_EQ(m_mgr->OpenFile(id, "\\P\\" + id + ".txt", Sync("P/" + id + ".txt"), ItemSpace::MyFile), S_OK);
  }
  Watchdog(2 * kFiles, "opens, closes and uploads");  // a download and an upload each
  done = true;
  reader.join();

  std::set<std::string> uploaded;
  for (const auto& added : m_scripted->AddedOf("UpdateFile")) {
    EXPECT_TRUE(added.force);
    uploaded.insert(added.id);
  }
  EXPECT_EQ(uploaded.size(), static_cast<size_t>(kFiles));
  for (int i = 0; i < kFiles; ++i) {
    const std::string id = "F" + std::to_string(i);
    EXPECT_EQ(m_tasks.RemoteContent(id), "content " + id + " edited");
    EXPECT_FALSE(m_mgr->IsFileOpen(id));
  }
}

}  // namespace
