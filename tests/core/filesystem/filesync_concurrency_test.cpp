// The watch of opened files running on its own thread while the task manager's thread
// ends tasks into the same table and the windows read it: a task that ends while a
// watch pass is under way is handled at once (the pass holds no lock the end needs),
// the watch hands an upload on while a task's end is under way, and many opens, closes
// and uploads at once all finish; an open of a file whose last edit is still being sent
// waits for that upload. A watchdog ends the process when they do not: a deadlock would
// otherwise hang the run.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <thread>

#include "common/log.h"
#include "filesyncrig.h"
#include "support/filefault.h"

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
    if (m_scripted->WaitCallbacks(count, kBound)) return;
    ADD_FAILURE() << "stuck: " << what << " (" << m_scripted->Callbacks() << " of " << count << " task ends)";
    std::fflush(stdout);
    std::_Exit(1);
  }
  // Fails and ends the process when what a wait was for did not come.
  static void Stuck(bool came, const char* what) {
    if (came) return;
    ADD_FAILURE() << "stuck: " << what;
    std::fflush(stdout);
    std::_Exit(1);
  }

  // A guard against a hang (the run then fails), never a wait for time to pass.
  static constexpr std::chrono::seconds kBound{60};

  // Where one thread is held: Enter (the held thread) waits until Open; a later Enter
  // passes at once.
  class Gate {
   public:
    void Enter() {
      std::unique_lock<std::mutex> guard(m_lock);
      m_entered = true;
      m_changed.notify_all();
      m_changed.wait_for(guard, kBound, [this] { return m_open; });
    }
    bool WaitEntered() {
      std::unique_lock<std::mutex> guard(m_lock);
      return m_changed.wait_for(guard, kBound, [this] { return m_entered; });
    }
    void Open() {
      std::lock_guard<std::mutex> guard(m_lock);
      m_open = true;
      m_changed.notify_all();
    }

   private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_entered = false, m_open = false;
  };
};

TEST_F(FileSyncConcurrencyTest, ATaskThatEndsWhileAWatchPassIsUnderWayIsHandledAtOnce) {
  // Where one thread stands still while the other must get on: "watch" rows hold the
  // watch thread inside its pass over F1 while F2's open ends on the task manager's
  // thread; the "end" row holds the task manager's thread inside F2's end while the
  // watch closes F1 and adds its upload.
  enum Stall { kProbe, kHash, kAdd, kEnd };
  const struct {
    const char* what;
    Stall stall;
  } rows[] = {
      {"watch: probing the lock of a file still held", kProbe},
      {"watch: hashing a file whose editing is over", kHash},
      {"watch: handing the closed file's upload to the task manager", kAdd},
      {"end: opening the program of a downloaded file", kEnd},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string tag = std::to_string(static_cast<int>(row.stall));
    const std::string first = "F1-" + tag, second = "F2-" + tag;
    const std::string firstPath = Sync("P/" + first + ".txt"), secondPath = Sync("P/" + second + ".txt");
    // Everything the hooks touch is theirs: they may still be called after this row,
    // until the manager is stopped.
    auto gate = std::make_shared<Gate>();
    auto closeFirst = std::make_shared<std::atomic<bool>>(row.stall != kEnd);
    auto faults = std::make_shared<FaultFileEnv>();
    FileSyncOptions options = Running();
    options.env = faults.get();
    // The probe also keeps the file system alive for as long as the manager may use it.
    options.probeLock = [gate, closeFirst, firstPath, faults, stall = row.stall](const std::string& path) {
      if (path != firstPath) return FileLockState::kLocked;  // the second file stays open
      if (stall == kProbe) {
        gate->Enter();
        return FileLockState::kLocked;
      }
      return *closeFirst ? FileLockState::kUnlocked : FileLockState::kLocked;
    };
    if (row.stall == kHash) {
      faults->SetHook([gate, firstPath](FileOp op, const std::string& path) {
        if (op == FileOp::kRead && path == firstPath) gate->Enter();
        return 0;
      });
    }
    if (row.stall == kAdd) {
      m_scripted->SetOnAdd([gate, firstPath](const ScriptedTaskMgr::Added& added) {
        if (added.taskName == "UpdateFile" && added.secondPath == firstPath) gate->Enter();
      });
    }
    // The program "edits" the first file as it opens it; opening the second one waits
    // at the gate in the "end" row.
    m_window.SetOnShellOpen([gate, firstPath, secondPath, stall = row.stall](const std::string& path) {
      if (path == firstPath) {
        FILE* f = std::fopen(path.c_str(), "ae");
        if (f) {
          std::fputs(" edited", f);
          std::fclose(f);
        }
      }
      if (stall == kEnd && path == secondPath) gate->Enter();
    });
    StartManager(options);
    SeedItem(first, "P", first + ".txt", "one", 1);
    SeedItem(second, "P", second + ".txt", "two", 1);
    const int ends = m_scripted->Callbacks();
    const int adds = static_cast<int>(m_scripted->AddedTasks().size());

    ASSERT_EQ(m_mgr->OpenFile(first, "\\P\\" + first + ".txt", firstPath, ItemSpace::MyFile), S_OK);
    Watchdog(ends + 1, "the first open");
    if (row.stall != kEnd) {
      Stuck(gate->WaitEntered(), "the watch never reached the stall");
      // The second open ends while the watch thread stands still.
      ASSERT_EQ(m_mgr->OpenFile(second, "\\P\\" + second + ".txt", secondPath, ItemSpace::MyFile), S_OK);
      Stuck(m_scripted->WaitCallbacks(ends + 2, kBound), "the second open's end");
    } else {
      ASSERT_EQ(m_mgr->OpenFile(second, "\\P\\" + second + ".txt", secondPath, ItemSpace::MyFile), S_OK);
      Stuck(gate->WaitEntered(), "the second open's end never opened its program");
      // The first file's editing ends while the task manager's thread stands still:
      // the watch hands its upload on (the download and the upload: two adds).
      *closeFirst = true;
      Stuck(m_scripted->WaitAddsReturned(adds + 3, kBound), "the closed file's upload");
      EXPECT_FALSE(m_mgr->IsFileOpen(first));
    }
    // The windows are answered meanwhile.
    std::vector<TaskListEntry> rows;
    EXPECT_EQ(m_mgr->GetOpenFileList(&rows), S_OK);
    EXPECT_EQ(m_mgr->IsFileOpen(second), row.stall != kEnd);
    gate->Open();

    if (row.stall == kProbe) {
      Watchdog(ends + 2, "the second open");
      EXPECT_EQ(rows.size(), 2u);
      EXPECT_TRUE(m_mgr->IsFileOpen(first));
    } else {
      Watchdog(ends + 3, "the second open and the first file's upload");
      EXPECT_EQ(m_tasks.RemoteContent(first), "one edited");
      EXPECT_FALSE(m_mgr->IsFileOpen(first));
    }
    EXPECT_TRUE(m_mgr->IsFileOpen(second));
    m_mgr->UnInit();
    m_mgr.reset();
    m_scripted->SetOnAdd(nullptr);
    m_window.SetOnShellOpen(nullptr);
  }
}

TEST_F(FileSyncConcurrencyTest, TheWindowsAreAnsweredWhileTheStopTellsOfFilesStillOpen) {
  StartManager();
  SeedItem("F1", "P", "F1.txt", "one", 1);
  ASSERT_EQ(m_mgr->OpenFile("F1", "\\P\\F1.txt", Sync("P/F1.txt"), ItemSpace::MyFile), S_OK);
  Watchdog(1, "the open");
  // While the stop writes its line about the open file (the log may wait for other
  // processes), another thread asks about the table.
  struct Probe {
    std::mutex lock;
    std::condition_variable changed;
    bool answered = false;
  };
  auto probe = std::make_shared<Probe>();
  std::thread asking;
  bool answeredInTime = false;
  logcontrol::SetLineObserver([&](int, const std::string& line) {
    if (line.find("is still open") == std::string::npos || asking.joinable()) return;
    std::shared_ptr<CFileSyncMgr> mgr = m_mgr;
    asking = std::thread([mgr, probe] {
      mgr->IsFileOpen("F1");
      std::lock_guard<std::mutex> guard(probe->lock);
      probe->answered = true;
      probe->changed.notify_all();
    });
    std::unique_lock<std::mutex> guard(probe->lock);
    answeredInTime = probe->changed.wait_for(guard, std::chrono::seconds(5), [&] { return probe->answered; });
  });
  m_mgr->UnInit();
  logcontrol::SetLineObserver(nullptr);
  ASSERT_TRUE(asking.joinable()) << "the stop told nothing of the open file";
  asking.join();
  EXPECT_TRUE(answeredInTime) << "the table stayed locked while the line was written";
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

// The user closes an edited file and opens it again at once, while its upload is still
// under way: the open waits for the upload's end and never takes the edit for one that
// was never sent.
TEST_F(FileSyncConcurrencyTest, AnOpenWhileTheLastEditIsSentWaitsForTheUpload) {
  enum End { kUploadEnds, kManagerStops };
  const struct {
    const char* what;
    HRESULT upload;
    End end;
    HRESULT opened;  // the second open's result
    bool downloads;  // the second open downloads again (after the conflict question)
  } rows[] = {
      {"the upload succeeds: the copy is the stored version, opened as it is", S_OK, kUploadEnds, S_OK, false},
      {"the upload fails: the edit goes to the trash only after the question", E_CV_NETWORK_ERROR, kUploadEnds, S_OK,
       true},
      {"the manager stops meanwhile: nothing is opened", S_OK, kManagerStops, E_ABORT, false},
  };
  StartManager();  // the test runs the watch passes
  int ends = 0;
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string fileId = "F" + std::to_string(++n), name = fileId + ".txt";
    const std::string local = Sync("P/" + name);
    SeedItem(fileId, "P", name, "v1", 1);
    ServiceVersion(2);  // once uploaded
    m_window.SetOnShellOpen([local](const std::string& path) {
      if (path == local) WriteFileBytes(path, "v1 edited");
    });
    ASSERT_EQ(m_mgr->OpenFile(fileId, "\\P\\" + name, local, ItemSpace::MyFile), S_OK);
    Watchdog(++ends, "the first open");
    m_window.SetOnShellOpen(nullptr);
    m_tasks.SetResult("*UpdateFile", row.upload);
    m_tasks.Hold("UpdateFile");
    for (int pass = 0; pass < 3 && m_mgr->IsFileOpen(fileId); ++pass) {
      m_clock.Advance(std::chrono::seconds(10));
      m_mgr->CheckEditedFiles();  // no program holds it: its editing is over
    }
    Stuck(m_tasks.WaitWaiting(1), "the upload of the edit");
    const size_t calls = m_window.Script().Calls().size();
    const size_t downloads = m_scripted->AddedOf("DownloadFile").size();
    const size_t questions = m_window.Texts("ShowWizard").size();

    LogCapture log;
    HRESULT second = E_UNEXPECTED;
    std::thread opening([&] {
      second = m_mgr->OpenFile(fileId, "\\P\\" + name, local, ItemSpace::MyFile);
      OSTREL_LOG(kLogInfo, "%s", "test: the second open returned");
    });
    Stuck(log.WaitFor({"waits for the upload of its last edit", "test: the second open returned"}, kBound),
          "the second open");
    EXPECT_FALSE(log.Contains("test: the second open returned")) << "it did not wait";
    EXPECT_EQ(m_window.Script().Calls().size(), calls) << "nothing asked or told meanwhile";
    EXPECT_EQ(ReadFileBytes(local), "v1 edited");
    EXPECT_FALSE(FileExists(PathIn("data/Trash/files/" + name)));

    if (row.end == kManagerStops) {
      m_mgr->UnInit();
      opening.join();
      m_tasks.Release("UpdateFile");
      Watchdog(++ends, "the upload");
    } else {
      if (row.downloads) m_window.Script().QueueWizardChoice(1);  // 放弃
      m_tasks.Release("UpdateFile");
      opening.join();
      Watchdog(++ends, "the upload");
    }
    EXPECT_EQ(second, row.opened);
    if (row.downloads) Watchdog(++ends, "the second open's download");
    EXPECT_EQ(m_scripted->AddedOf("DownloadFile").size() - downloads, row.downloads ? 1u : 0u);
    EXPECT_EQ(m_mgr->IsFileOpen(fileId), row.opened == S_OK);
    EXPECT_EQ(m_window.Texts("ShowWizard").size() - questions, row.downloads ? 1u : 0u);
    if (row.downloads) {
      EXPECT_EQ(ReadFileBytes(PathIn("data/Trash/files/" + name)), "v1 edited") << "the edit is kept";
      EXPECT_EQ(ReadFileBytes(local), "v1");
    } else {
      EXPECT_EQ(ReadFileBytes(local), "v1 edited");
    }
    if (row.upload == S_OK) {
      EXPECT_EQ(m_tasks.RemoteContent(fileId), "v1 edited");
    }
    m_mgr->RemoveOpenFile(fileId);
  }
}

// A program opened by a task's end (on the task manager's thread) asks to open a file
// whose last edit is being sent: that thread is to report the upload's end, so it never
// waits for it; the copy is left as it is.
TEST_F(FileSyncConcurrencyTest, AnOpenOnTheTaskManagersThreadNeverWaitsForAnUpload) {
  StartManager();
  SeedItem("F1", "P", "F1.txt", "v1", 1);
  SeedItem("F2", "P", "F2.txt", "two", 1);
  const std::string first = Sync("P/F1.txt"), second = Sync("P/F2.txt");
  m_window.SetOnShellOpen([first](const std::string& path) {
    if (path == first) WriteFileBytes(path, "v1 edited");
  });
  ASSERT_EQ(m_mgr->OpenFile("F1", "\\P\\F1.txt", first, ItemSpace::MyFile), S_OK);
  Watchdog(1, "the first open");
  m_tasks.Hold("UpdateFile");
  for (int pass = 0; pass < 3 && m_mgr->IsFileOpen("F1"); ++pass) {
    m_clock.Advance(std::chrono::seconds(10));
    m_mgr->CheckEditedFiles();
  }
  Stuck(m_tasks.WaitWaiting(1), "the upload of the edit");

  std::shared_ptr<CFileSyncMgr> mgr = m_mgr;
  auto reopened = std::make_shared<std::atomic<HRESULT>>(E_UNEXPECTED);
  m_window.SetOnShellOpen([mgr, first, second, reopened](const std::string& path) {
    if (path == second) *reopened = mgr->OpenFile("F1", "\\P\\F1.txt", first, ItemSpace::MyFile);
  });
  ASSERT_EQ(m_mgr->OpenFile("F2", "\\P\\F2.txt", second, ItemSpace::MyFile), S_OK);
  Watchdog(2, "the second file's open");
  EXPECT_EQ(reopened->load(), E_CV_LOCAL_IN_EDIT);
  EXPECT_EQ(ReadFileBytes(first), "v1 edited");
  EXPECT_TRUE(m_window.Texts("ShowWizard").empty());
  m_tasks.Release("UpdateFile");
  Watchdog(3, "the upload");
  EXPECT_EQ(m_tasks.RemoteContent("F1"), "v1 edited");
  m_window.SetOnShellOpen(nullptr);
}

}  // namespace
