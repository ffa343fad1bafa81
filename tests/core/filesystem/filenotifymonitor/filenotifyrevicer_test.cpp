// The folder watch as the file sync manager sees it: each change to a watched home
// folder reaches the callback once, with the right action and full paths, on the
// dispatcher's thread; folders created or moved in are covered at once, folders moved
// away, excluded folders and links are not.
#include "core/filesystem/filenotifymonitor/filenotifyrevicer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <stdexcept>

#include "core/filesystem/filenotifymonitor/watchroots.h"
#include "platform/event.h"
#include "support/logcapture.h"
#include "support/testenv.h"
#include "watchrig.h"

namespace {

struct Dirs {
  std::string home;     // the watched tree
  std::string outside;  // beside it, not watched
};

struct ChangeCase {
  const char* name;
  std::function<void(const Dirs&)> before;  // made before the watch starts
  std::function<void(const Dirs&)> act;     // made while it runs
  std::function<std::vector<Change>(const Dirs&)> expected;
  std::vector<std::string> excluded = {};   // relative to home
};

const ChangeCase kChangeCases[] = {
    {"a file created without writing is one addition", nullptr,
     [](const Dirs& d) { CreateEmpty(d.home + "/a"); },
     [](const Dirs& d) { return std::vector<Change>{Added(d.home + "/a")}; }},
    {"a file created with content is an addition and a modification", nullptr,
     [](const Dirs& d) {
       int fd = ::open((d.home + "/a").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
       ASSERT_EQ(::write(fd, "x", 1), 1);
       ::close(fd);
     },
     [](const Dirs& d) { return std::vector<Change>{Added(d.home + "/a"), Modified(d.home + "/a")}; }},
    {"many writes before one close are one modification", [](const Dirs& d) { CreateEmpty(d.home + "/a"); },
     [](const Dirs& d) {
       int fd = ::open((d.home + "/a").c_str(), O_WRONLY | O_CLOEXEC);
       for (int i = 0; i < 3; ++i) ASSERT_EQ(::write(fd, "x", 1), 1);
       ::close(fd);
     },
     [](const Dirs& d) { return std::vector<Change>{Modified(d.home + "/a")}; }},
    {"closes of two files are a modification each",
     [](const Dirs& d) {
       CreateEmpty(d.home + "/a");
       CreateEmpty(d.home + "/b");
     },
     [](const Dirs& d) {
       WriteAndClose(d.home + "/a", "one");
       WriteAndClose(d.home + "/b", "two");
       WriteAndClose(d.home + "/a", "three");  // not like the one before it: never merged
     },
     [](const Dirs& d) {
       return std::vector<Change>{Modified(d.home + "/a"), Modified(d.home + "/b"), Modified(d.home + "/a")};
     }},
    {"a deleted file is one removal", [](const Dirs& d) { CreateEmpty(d.home + "/a"); },
     [](const Dirs& d) { DeleteFile(d.home + "/a"); },
     [](const Dirs& d) { return std::vector<Change>{Removed(d.home + "/a")}; }},
    {"a rename is one change with both paths", [](const Dirs& d) { CreateEmpty(d.home + "/a"); },
     [](const Dirs& d) { MoveTo(d.home + "/a", d.home + "/b"); },
     [](const Dirs& d) { return std::vector<Change>{Renamed(d.home + "/a", d.home + "/b")}; }},
    {"a move between two folders of the tree is a rename",
     [](const Dirs& d) {
       MakeFolder(d.home + "/x");
       MakeFolder(d.home + "/y");
       CreateEmpty(d.home + "/x/a");
     },
     [](const Dirs& d) { MoveTo(d.home + "/x/a", d.home + "/y/a"); },
     [](const Dirs& d) { return std::vector<Change>{Renamed(d.home + "/x/a", d.home + "/y/a")}; }},
    {"a file moved in from outside is an addition", [](const Dirs& d) { CreateEmpty(d.outside + "/a"); },
     [](const Dirs& d) { MoveTo(d.outside + "/a", d.home + "/a"); },
     [](const Dirs& d) { return std::vector<Change>{Added(d.home + "/a")}; }},
    {"a file moved out is a removal", [](const Dirs& d) { CreateEmpty(d.home + "/a"); },
     [](const Dirs& d) { MoveTo(d.home + "/a", d.outside + "/a"); },
     [](const Dirs& d) { return std::vector<Change>{Removed(d.home + "/a")}; }},
    {"a file in a folder watched from the start", [](const Dirs& d) { MakeFolder(d.home + "/deep"); },
     [](const Dirs& d) { CreateEmpty(d.home + "/deep/a"); },
     [](const Dirs& d) { return std::vector<Change>{Added(d.home + "/deep/a")}; }},
    {"folders created and filled at once are all reported", nullptr,
     [](const Dirs& d) {
       MakeFolder(d.home + "/n");
       MakeFolder(d.home + "/n/m");
       CreateEmpty(d.home + "/n/m/x");
     },
     [](const Dirs& d) {
       return std::vector<Change>{Added(d.home + "/n"), Added(d.home + "/n/m"), Added(d.home + "/n/m/x")};
     }},
    {"a folder moved in is reported with everything in it",
     [](const Dirs& d) {
       MakeFolder(d.outside + "/d");
       MakeFolder(d.outside + "/d/sub");
       CreateEmpty(d.outside + "/d/f");
       CreateEmpty(d.outside + "/d/sub/g");
     },
     [](const Dirs& d) { MoveTo(d.outside + "/d", d.home + "/d"); },
     [](const Dirs& d) {
       return std::vector<Change>{Added(d.home + "/d"), Added(d.home + "/d/f"), Added(d.home + "/d/sub"),
                                  Added(d.home + "/d/sub/g")};
     }},
    {"a folder moved in is watched afterwards", [](const Dirs& d) { MakeFolder(d.outside + "/d"); },
     [](const Dirs& d) {
       MoveTo(d.outside + "/d", d.home + "/d");
       CreateEmpty(d.home + "/d/later");
     },
     [](const Dirs& d) { return std::vector<Change>{Added(d.home + "/d"), Added(d.home + "/d/later")}; }},
    {"a folder moved away is a removal and its later changes are not reported",
     [](const Dirs& d) {
       MakeFolder(d.home + "/d");
       MakeFolder(d.home + "/d/sub");
     },
     [](const Dirs& d) {
       MoveTo(d.home + "/d", d.outside + "/d");
       CreateEmpty(d.outside + "/d/x");
       CreateEmpty(d.outside + "/d/sub/y");
     },
     [](const Dirs& d) { return std::vector<Change>{Removed(d.home + "/d")}; }},
    {"a renamed folder reports its later changes under the new path",
     [](const Dirs& d) {
       MakeFolder(d.home + "/d");
       MakeFolder(d.home + "/d/sub");
     },
     [](const Dirs& d) {
       MoveTo(d.home + "/d", d.home + "/e");
       CreateEmpty(d.home + "/e/sub/x");
     },
     [](const Dirs& d) {
       return std::vector<Change>{Renamed(d.home + "/d", d.home + "/e"), Added(d.home + "/e/sub/x")};
     }},
    {"a folder deleted with its file", [](const Dirs& d) {
       MakeFolder(d.home + "/d");
       CreateEmpty(d.home + "/d/f");
     },
     [](const Dirs& d) {
       DeleteFile(d.home + "/d/f");
       DeleteFolder(d.home + "/d");
     },
     [](const Dirs& d) { return std::vector<Change>{Removed(d.home + "/d/f"), Removed(d.home + "/d")}; }},
    {"a link to a folder is not followed",
     [](const Dirs& d) {
       MakeFolder(d.outside + "/t");
       MakeLink(d.outside + "/t", d.home + "/l");
     },
     [](const Dirs& d) {
       CreateEmpty(d.outside + "/t/x");
       CreateEmpty(d.home + "/l/y");  // lands in the target
     },
     [](const Dirs&) { return std::vector<Change>{}; }},
    {"an excluded folder and everything below it are left out",
     [](const Dirs& d) {
       MakeFolder(d.home + "/cfg");
       MakeFolder(d.home + "/cfg/sub");
     },
     [](const Dirs& d) {
       CreateEmpty(d.home + "/cfg/x");
       CreateEmpty(d.home + "/cfg/sub/y");
       MakeFolder(d.home + "/cfg/new");
       CreateEmpty(d.home + "/cfg/new/z");
     },
     [](const Dirs&) { return std::vector<Change>{}; }, {"cfg"}},
    {"a folder beside an excluded one whose name begins like it is watched",
     [](const Dirs& d) {
       MakeFolder(d.home + "/a");
       MakeFolder(d.home + "/a/b");
       MakeFolder(d.home + "/a/bc");
     },
     [](const Dirs& d) {
       CreateEmpty(d.home + "/a/b/x");
       CreateEmpty(d.home + "/a/bc/y");
       MakeFolder(d.home + "/a/bd");
       CreateEmpty(d.home + "/a/bd/z");
     },
     [](const Dirs& d) {
       return std::vector<Change>{Added(d.home + "/a/bc/y"), Added(d.home + "/a/bd"), Added(d.home + "/a/bd/z")};
     },
     {"a/b"}},
};

class FileNotifyRevicerTest : public OstrelTest {};

TEST_F(FileNotifyRevicerTest, EachChangeIsReportedOnceWithItsKindAndPaths) {
  CDispatcher dispatcher;
  int row = 0;
  for (const ChangeCase& c : kChangeCases) {
    SCOPED_TRACE(c.name);
    Dirs d{PathIn("row" + std::to_string(row) + "/home"), PathIn("row" + std::to_string(row) + "/outside")};
    ++row;
    MakeFolder(PathIn("row" + std::to_string(row - 1)));
    MakeFolder(d.home);
    MakeFolder(d.outside);
    if (c.before) c.before(d);
    std::vector<std::string> excluded;
    for (const auto& e : c.excluded) excluded.push_back(d.home + "/" + e);
    RecordingRevicer revicer(&dispatcher);
    ASSERT_EQ(revicer.Start({d.home}, excluded), S_OK);
    ASSERT_TRUE(revicer.WaitStarted({d.home}));
    c.act(d);
    std::vector<Change> expected = c.expected(d);
    ASSERT_TRUE(revicer.PumpUntil([&] { return revicer.Changes().size() >= expected.size(); }))
        << "only " << ::testing::PrintToString(revicer.Changes());
    ASSERT_TRUE(revicer.Barrier(d.home));
    std::vector<Change> got = revicer.Changes();
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(got, expected);
    EXPECT_EQ(revicer.StopMonitor(), S_OK);
  }
}

TEST_F(FileNotifyRevicerTest, ChangesArriveInTheOrderTheyWereMade) {
  CDispatcher dispatcher;
  const std::string home = PathIn("home");
  RecordingRevicer revicer(&dispatcher);
  ASSERT_EQ(revicer.Start({home}), S_OK);
  ASSERT_TRUE(revicer.WaitStarted({home}));
  CreateEmpty(home + "/a");
  MoveTo(home + "/a", home + "/b");
  WriteAndClose(home + "/b", "x");
  DeleteFile(home + "/b");
  ASSERT_TRUE(revicer.Barrier(home));
  EXPECT_EQ(revicer.Changes(), (std::vector<Change>{Added(home + "/a"), Renamed(home + "/a", home + "/b"),
                                                    Modified(home + "/b"), Removed(home + "/b")}));
}

TEST_F(FileNotifyRevicerTest, DefaultRootsAreTheHomeFolderAndTheUsersMediaFolders) {
  setenv("USER", "tester", 1);
  EXPECT_EQ(DefaultWatchRoots(),
            (std::vector<std::string>{PathIn("home"), "/media/tester", "/run/media/tester"}));
  setenv("HOME", "/", 1);  // never the whole file system
  EXPECT_EQ(DefaultWatchRoots(), (std::vector<std::string>{"/media/tester", "/run/media/tester"}));
}

TEST_F(FileNotifyRevicerTest, RootsThatDoNotExistAreLeftOutAndTheOthersWatched) {
  CDispatcher dispatcher;
  LogCapture log;
  const std::string home = PathIn("home");
  RecordingRevicer revicer(&dispatcher);
  ASSERT_EQ(revicer.Start({PathIn("no-such-folder"), home}), S_OK);
  ASSERT_TRUE(revicer.WaitStarted({home}));
  EXPECT_TRUE(log.Contains("CTraceStack In, CFileNotifyRevicer::StartMonitor()"));
  EXPECT_TRUE(log.Contains("CFileNotifyRevicer::On_WatchStarted:err=0, path=" + home));
  CreateEmpty(home + "/a");
  ASSERT_TRUE(revicer.Barrier(home));
  EXPECT_EQ(revicer.Changes(), std::vector<Change>{Added(home + "/a")});
  EXPECT_EQ(revicer.started.count(PathIn("no-such-folder")), 0u);
}

TEST_F(FileNotifyRevicerTest, ItemsMadeBeforeTheStartUpWalkReachesTheirFolderAreReported) {
  CDispatcher dispatcher;
  const std::string home = PathIn("home");
  for (const char* rel : {"/a", "/a/deep", "/b"}) MakeFolder(home + rel);
  CreateEmpty(home + "/a/old");
  WaitUntilFileClockPasses(home + "/a/old");  // older than the watch
  // The walk is held before its first folder below the root (shared with the worker,
  // which may outlive this body's locals).
  struct Hold {
    std::atomic<bool> first{true};
    CEvent parked, release;
  };
  auto hold = std::make_shared<Hold>();
  DirectoryWatchOptions options;
  options.walkSlice = 1;
  options.beforeWalkSlice = [hold] {
    if (hold->first.exchange(false)) {
      hold->parked.Set();
      hold->release.Wait(std::chrono::seconds(60));
    }
  };
  RecordingRevicer revicer(&dispatcher, options);
  ASSERT_EQ(revicer.Start({home}), S_OK);
  ASSERT_TRUE(hold->parked.Wait(std::chrono::seconds(60)));
  CreateEmpty(PathIn("probe"));
  WaitUntilFileClockPasses(PathIn("probe"));  // past the tick in which the watch began
  CreateEmpty(home + "/a/new");
  MakeFolder(home + "/a/deep/newdir");
  CreateEmpty(home + "/a/deep/newdir/inside");
  CreateEmpty(home + "/b/new");
  hold->release.Set();
  ASSERT_TRUE(revicer.WaitStarted({home}));
  CreateEmpty(home + "/a/deep/newdir/after");  // the folders are watched now
  ASSERT_TRUE(revicer.Barrier(home));
  std::vector<Change> changes = revicer.Changes();
  std::sort(changes.begin(), changes.end());
  // a/deep changed (newdir was made in it) before its watch: it counts as added, as
  // after an overflow; a/old did not change and is not reported.
  EXPECT_EQ(changes, (std::vector<Change>{Added(home + "/a/deep"), Added(home + "/a/deep/newdir"),
                                          Added(home + "/a/deep/newdir/after"),
                                          Added(home + "/a/deep/newdir/inside"), Added(home + "/a/new"),
                                          Added(home + "/b/new")}));
}

TEST_F(FileNotifyRevicerTest, NamesThatAreNotUtf8TextAreLeftOut) {
  CDispatcher dispatcher;
  LogCapture log;
  const std::string home = PathIn("home");
  RecordingRevicer revicer(&dispatcher);
  ASSERT_EQ(revicer.Start({home}), S_OK);
  ASSERT_TRUE(revicer.WaitStarted({home}));
  CreateEmpty(home + "/bad\xff name");
  MakeFolder(home + "/tab\tfolder");
  CreateEmpty(home + "/tab\tfolder/inside");
  CreateEmpty(home + "/gut");
  ASSERT_TRUE(revicer.Barrier(home));
  EXPECT_EQ(revicer.Changes(), std::vector<Change>{Added(home + "/gut")});
  EXPECT_TRUE(log.Contains("is not UTF-8 text; it is left out"));
}

TEST_F(FileNotifyRevicerTest, ACallbackThatThrowsDoesNotStopTheOthers) {
  CDispatcher dispatcher;
  LogCapture log;
  const std::string home = PathIn("home");
  RecordingRevicer revicer(&dispatcher);
  revicer.onChange = [&](const Change& c) {
    if (c.path == home + "/first") throw std::runtime_error("receiver broke");
  };
  ASSERT_EQ(revicer.Start({home}), S_OK);
  ASSERT_TRUE(revicer.WaitStarted({home}));
  CreateEmpty(home + "/first");
  CreateEmpty(home + "/second");
  ASSERT_TRUE(revicer.Barrier(home));
  EXPECT_EQ(revicer.Changes(), (std::vector<Change>{Added(home + "/first"), Added(home + "/second")}));
  EXPECT_TRUE(log.Contains("receiver broke"));
}

TEST_F(FileNotifyRevicerTest, InitAndStopRefuseWhatCannotWork) {
  CDispatcher dispatcher;
  LogCapture log;
  RecordingRevicer revicer(&dispatcher);
  EXPECT_EQ(revicer.StartMonitor(), E_FAIL) << "not initialised";
  EXPECT_EQ(revicer.StopMonitor(), E_FAIL);
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOLEX:bRet"));
  EXPECT_EQ(revicer.Init(FileNotifySettings{{PathIn("home")}, {}}, nullptr, nullptr, nullptr), E_INVALIDARG);
  EXPECT_EQ(revicer.Init(FileNotifySettings{}, &dispatcher, nullptr, nullptr), S_OK);
  EXPECT_TRUE(log.Contains("*ASSERT*: pFileNotifyCallBack && szMonitorPath"));
}

TEST_F(FileNotifyRevicerTest, StopEndsTheCallbacksAndStartBeginsANewWatch) {
  CDispatcher dispatcher;
  LogCapture log;
  const std::string home = PathIn("home");
  RecordingRevicer revicer(&dispatcher);
  ASSERT_EQ(revicer.Start({home}), S_OK);
  ASSERT_TRUE(revicer.WaitStarted({home}));
  CreateEmpty(home + "/queued");  // may be queued on the dispatcher when the watch stops
  EXPECT_EQ(revicer.StopMonitor(), S_OK);
  EXPECT_TRUE(log.Contains("CTraceStack In, CFileNotifyRevicer::StopMonitor()"));
  CreateEmpty(home + "/after-stop");
  dispatcher.RunPending();
  EXPECT_EQ(revicer.RawCount(), 0u) << "nothing reaches the callback once StopMonitor has returned";
  EXPECT_EQ(revicer.StopMonitor(), E_FAIL) << "no watch is running";

  revicer.started.clear();
  ASSERT_EQ(revicer.StartMonitor(), S_OK);
  ASSERT_TRUE(revicer.WaitStarted({home}));
  CreateEmpty(home + "/second-watch");
  ASSERT_TRUE(revicer.Barrier(home));
  EXPECT_EQ(revicer.Changes(), std::vector<Change>{Added(home + "/second-watch")});
}

}  // namespace
