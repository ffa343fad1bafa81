// The watcher under its receivers: what WatchDirectory accepts, what a filter lets
// through, letting go of a tree, a full watch table that ends one tree and not the
// others, a deleted root, and an overflow of the system's queue, after which the
// trees are scanned again and the watch goes on. The kernel's own list of watches
// (/proc/self/fdinfo) checks what is watched.
#include "core/filesystem/filenotifymonitor/directorychangewatcher.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>

#include "platform/event.h"
#include "platform/inotify.h"
#include "support/logcapture.h"
#include "support/testenv.h"
#include "watchrig.h"

namespace {

constexpr uint32_t kAll = kChangeFileName | kChangeDirName | kChangeLastWrite;

class DirectoryChangeWatcherTest : public OstrelTest {
 protected:
  // Options whose inotify instance tells the test its descriptor.
  DirectoryWatchOptions Options(size_t maxWatches = CInotify::kNoWatchCap) {
    DirectoryWatchOptions options;
    options.maxWatches = maxWatches;
    options.openInotify = [this](size_t cap) {
      auto inotify = OpenInotify(cap);
      if (inotify) m_inotifyFd = inotify->Fd();
      return inotify;
    };
    return options;
  }
  // Makes count folders below parent, ten to a level.
  void MakeTree(const std::string& parent, int count) {
    std::vector<std::string> level{parent};
    int made = 0;
    while (made < count) {
      std::vector<std::string> next;
      for (const auto& folder : level) {
        for (int i = 0; i < 10 && made < count; ++i, ++made) {
          next.push_back(folder + "/f" + std::to_string(i));
          MakeFolder(next.back());
        }
      }
      level.swap(next);
    }
  }

  int m_inotifyFd = -1;
};

TEST_F(DirectoryChangeWatcherTest, WatchDirectoryRefusesWhatItCannotWatch) {
  CDispatcher dispatcher;
  LogCapture log;
  RecordingRevicer receiver(&dispatcher);
  ASSERT_EQ(receiver.Prepare(), S_OK);
  CDirectoryChangeWatcher watcher(&dispatcher);
  const std::string home = PathIn("home");
  MakeFolder(home + "/sub");
  CreateEmpty(PathIn("file"));
  MakeLink(home, PathIn("link"));
  ASSERT_EQ(watcher.WatchDirectory(home, kAll, &receiver, true), 0);

  struct Row {
    const char* name;
    std::string folder;
    uint32_t filter;
    CDirectoryChangeHandler* handler;
    int result;
  } rows[] = {
      {"an empty name", "", kAll, &receiver, kWatchInvalidParameter},
      {"a relative path", "home", kAll, &receiver, kWatchInvalidParameter},
      {"no change to watch for", PathIn("data"), 0, &receiver, kWatchInvalidParameter},
      {"no receiver", PathIn("data"), kAll, nullptr, kWatchInvalidParameter},
      {"a folder that does not exist", PathIn("missing"), kAll, &receiver, kWatchBadPathName},
      {"a path below a file", PathIn("file/x"), kAll, &receiver, kWatchBadPathName},
      {"a file", PathIn("file"), kAll, &receiver, ENOTDIR},
      {"a link to a folder", PathIn("link"), kAll, &receiver, ENOTDIR},
      {"a folder inside a watched tree", home + "/sub", kAll, &receiver, EEXIST},
      {"a folder, with a trailing slash", PathIn("data") + "/", kAll, &receiver, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(watcher.WatchDirectory(row.folder, row.filter, row.handler, true), row.result);
  }
  EXPECT_TRUE(log.Contains("*ASSERT*: dwChangesToWatchFor != 0"));
  EXPECT_TRUE(log.Contains("Couldn't open directory for monitoring. 17"));
  // A failure after the worker had the folder is told as a start that failed.
  ASSERT_TRUE(receiver.PumpUntil([&] { return receiver.started.size() == 3; }));
  EXPECT_EQ(receiver.started[home + "/sub"], EEXIST);
  EXPECT_EQ(receiver.started[PathIn("data")], 0);
}

TEST_F(DirectoryChangeWatcherTest, TheFilterDecidesWhatIsReported) {
  struct Row {
    const char* name;
    uint32_t filter;
    std::vector<Change> (*expected)(const std::string& home);
  } rows[] = {
      {"file names: a file in a new folder, not the folder", kChangeFileName,
       [](const std::string& h) { return std::vector<Change>{Added(h + "/d/f"), Added(h + "/a")}; }},
      {"folder names: the folder only", kChangeDirName,
       [](const std::string& h) { return std::vector<Change>{Added(h + "/d")}; }},
      {"last writes: the close after writing only", kChangeLastWrite,
       [](const std::string& h) { return std::vector<Change>{Modified(h + "/a")}; }},
  };
  CDispatcher dispatcher;
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string home = PathIn("home" + std::to_string(n++));
    MakeFolder(home);
    RecordingRevicer receiver(&dispatcher);
    ASSERT_EQ(receiver.Prepare(), S_OK);
    CDirectoryChangeWatcher watcher(&dispatcher);
    // A second tree that reports everything, for the barrier.
    const std::string marks = home + "-marks";
    MakeFolder(marks);
    ASSERT_EQ(watcher.WatchDirectory(home, row.filter, &receiver, true), 0);
    ASSERT_EQ(watcher.WatchDirectory(marks, kAll, &receiver, true), 0);
    ASSERT_TRUE(receiver.WaitStarted({home, marks}));
    MakeFolder(home + "/d");
    CreateEmpty(home + "/d/f");
    CreateEmpty(home + "/a");
    WriteAndClose(home + "/a", "x");
    ASSERT_TRUE(receiver.Barrier(marks));
    EXPECT_EQ(receiver.Changes(), row.expected(home));
  }
}

TEST_F(DirectoryChangeWatcherTest, UnwatchingATreeLetsGoOfItsFoldersAndTellsTheReceiver) {
  CDispatcher dispatcher;
  LogCapture log;
  RecordingRevicer receiver(&dispatcher);
  ASSERT_EQ(receiver.Prepare(), S_OK);
  CDirectoryChangeWatcher watcher(&dispatcher, Options());
  const std::string home = PathIn("home"), other = PathIn("other");
  MakeFolder(other);
  MakeTree(home, 12);
  ASSERT_EQ(watcher.WatchDirectory(home, kAll, &receiver, true), 0);
  ASSERT_EQ(watcher.WatchDirectory(other, kAll, &receiver, true), 0);
  ASSERT_TRUE(receiver.WaitStarted({home, other}));
  EXPECT_EQ(KernelWatchCount(m_inotifyFd), 13 + 1);

  EXPECT_TRUE(watcher.UnwatchDirectory(home + "/"));
  EXPECT_FALSE(watcher.UnwatchDirectory(home)) << "watched no more";
  EXPECT_FALSE(watcher.UnwatchDirectory(PathIn("config")));
  EXPECT_EQ(KernelWatchCount(m_inotifyFd), 1);
  CreateEmpty(home + "/f0/unseen");
  ASSERT_TRUE(receiver.Barrier(other));
  EXPECT_EQ(receiver.stopped, 1);
  EXPECT_TRUE(log.Contains("CFileNotifyRevicer::On_WatchStopped: " + home));
  EXPECT_TRUE(receiver.Changes().empty()) << ::testing::PrintToString(receiver.Changes());
}

TEST_F(DirectoryChangeWatcherTest, WatchingAFolderAgainReplacesItsWatch) {
  CDispatcher dispatcher;
  RecordingRevicer receiver(&dispatcher);
  ASSERT_EQ(receiver.Prepare(), S_OK);
  CDirectoryChangeWatcher watcher(&dispatcher);
  const std::string home = PathIn("home");
  ASSERT_EQ(watcher.WatchDirectory(home, kAll, &receiver, true), 0);
  ASSERT_EQ(watcher.WatchDirectory(home, kAll, &receiver, true), 0);
  CreateEmpty(home + "/a");
  ASSERT_TRUE(receiver.Barrier(home));
  EXPECT_EQ(receiver.stopped, 1);
  EXPECT_EQ(receiver.Changes(), std::vector<Change>{Added(home + "/a")});
}

TEST_F(DirectoryChangeWatcherTest, AStoppedWatcherRefusesNewWatches) {
  CDispatcher dispatcher;
  RecordingRevicer receiver(&dispatcher);
  ASSERT_EQ(receiver.Prepare(), S_OK);
  CDirectoryChangeWatcher watcher(&dispatcher);
  ASSERT_EQ(watcher.WatchDirectory(PathIn("home"), kAll, &receiver, true), 0);
  EXPECT_TRUE(watcher.Running());
  watcher.Stop();
  EXPECT_FALSE(watcher.Running());
  EXPECT_EQ(watcher.WatchDirectory(PathIn("data"), kAll, &receiver, true), ECANCELED);
  EXPECT_FALSE(watcher.UnwatchDirectory(PathIn("home")));
  watcher.Stop();  // again: nothing to do
}

TEST_F(DirectoryChangeWatcherTest, AFullWatchTableEndsOnlyTheTreeThatDoesNotFit) {
  struct Row {
    const char* name;
    size_t cap;
    bool bigStarts;
  } rows[] = {
      {"a cap above both trees: both start", 60, true},
      {"a cap the big tree passes: it ends, the small one stays", 30, false},
  };
  CDispatcher dispatcher;
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LogCapture log;
    const std::string small = PathIn("small" + std::to_string(n)), big = PathIn("big" + std::to_string(n));
    ++n;
    MakeFolder(small);
    MakeFolder(big);
    MakeTree(small, 4);
    MakeTree(big, 40);
    RecordingRevicer receiver(&dispatcher, Options(row.cap));
    ASSERT_EQ(receiver.Start({small, big}), S_OK);
    ASSERT_TRUE(receiver.PumpUntil([&] {
      return receiver.started.count(small) && (receiver.started.count(big) || receiver.ended.count(big));
    }));
    EXPECT_EQ(receiver.started[small], 0);
    if (row.bigStarts) {
      EXPECT_EQ(receiver.started[big], 0);
      EXPECT_EQ(KernelWatchCount(m_inotifyFd), 5 + 41);
    } else {
      EXPECT_EQ(receiver.ended[big], ENOSPC);
      EXPECT_EQ(receiver.started.count(big), 0u);
      EXPECT_TRUE(log.Contains("CFileNotifyRevicer::On_ReadDirectoryChangesError: err=28, path=" + big));
      EXPECT_EQ(KernelWatchCount(m_inotifyFd), 5) << "the big tree's watches are let go";
    }
    CreateEmpty(big + "/f3/x");
    CreateEmpty(small + "/f3/x");
    ASSERT_TRUE(receiver.Barrier(small));
    std::vector<Change> expected{Added(small + "/f3/x")};
    if (row.bigStarts) expected.insert(expected.begin(), Added(big + "/f3/x"));
    EXPECT_EQ(receiver.Changes(), expected);
  }
}

TEST_F(DirectoryChangeWatcherTest, ADeletedRootEndsItsTreeOnly) {
  CDispatcher dispatcher;
  const std::string gone = PathIn("gone"), moved = PathIn("moved"), home = PathIn("home");
  MakeFolder(gone);
  MakeFolder(moved);
  RecordingRevicer receiver(&dispatcher);
  ASSERT_EQ(receiver.Start({gone, moved, home}), S_OK);
  ASSERT_TRUE(receiver.WaitStarted({gone, moved, home}));
  DeleteFolder(gone);
  MoveTo(moved, PathIn("elsewhere"));
  ASSERT_TRUE(receiver.PumpUntil([&] { return receiver.ended.size() == 2; }));
  EXPECT_EQ(receiver.ended[gone], ENOENT);
  EXPECT_EQ(receiver.ended[moved], ENOENT);
  CreateEmpty(PathIn("elsewhere/x"));
  CreateEmpty(home + "/y");
  ASSERT_TRUE(receiver.Barrier(home));
  EXPECT_EQ(receiver.Changes(), std::vector<Change>{Added(home + "/y")});
}

TEST_F(DirectoryChangeWatcherTest, AnOverflowIsLoggedTheTreesScannedAndTheWatchGoesOn) {
  const long queued = MaxQueuedEvents();
  if (queued <= 0 || queued > 1'000'000) GTEST_SKIP() << "fs.inotify.max_queued_events is " << queued;
  CDispatcher dispatcher;
  LogCapture log;
  std::atomic<bool> hold{false};
  CEvent parked, release;
  DirectoryWatchOptions options = Options();
  options.beforeRead = [&] {
    if (hold.exchange(false)) {
      parked.Set();
      release.Wait(std::chrono::seconds(60));
    }
  };
  const std::string home = PathIn("home");
  MakeFolder(home + "/old");
  CreateEmpty(home + "/old/untouched");
  RecordingRevicer receiver(&dispatcher, options);
  bool foundInside = false;
  receiver.onChange = [&](const Change& c) { foundInside |= c == Added(home + "/old/newdir/inside"); };
  ASSERT_EQ(receiver.Start({home}), S_OK);
  ASSERT_TRUE(receiver.WaitStarted({home}));
  // The queue found empty once the file system's clock is past the old file.
  WaitUntilFileClockPasses(home + "/old/untouched");
  ASSERT_TRUE(receiver.Barrier(home));

  // Hold the reader, then fill the system's queue past its end.
  hold = true;
  CreateEmpty(home + "/trigger");
  ASSERT_TRUE(parked.Wait(std::chrono::seconds(60)));
  MakeFolder(home + "/flood");
  // Closes after writing of two files of a watched folder in turn (never two alike in
  // a row, which the system would merge).
  const std::string files[2] = {home + "/old/a", home + "/old/b"};
  for (long i = 0; i < queued + 64; ++i) {
    int fd = ::open(files[i % 2].c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  // Made while changes are being lost: only a scan can find these.
  CreateEmpty(home + "/late");
  MakeFolder(home + "/old/newdir");
  CreateEmpty(home + "/old/newdir/inside");
  release.Set();

  ASSERT_TRUE(receiver.PumpUntil([&] { return foundInside; }));
  EXPECT_TRUE(log.Contains("the change queue overflowed"));
  CreateEmpty(home + "/old/newdir/after");  // the new folder is watched now
  ASSERT_TRUE(receiver.Barrier(home));
  for (const char* rel : {"/trigger", "/flood", "/late", "/old/a", "/old/newdir", "/old/newdir/inside",
                          "/old/newdir/after"})
    EXPECT_EQ(receiver.CountOf(Added(home + rel)), 1) << rel;
  EXPECT_EQ(receiver.CountOf(Added(home + "/old/untouched")), 0) << "older than the overflow";
  EXPECT_EQ(KernelWatchCount(m_inotifyFd), 4) << "home, old, flood, newdir";
}

}  // namespace
