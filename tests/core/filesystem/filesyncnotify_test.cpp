// The file sync manager's watch for drag and copy markers: which additions reach the
// shell adapter, when, and which never do; which trees are watched.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>

#include "common/config.h"
#include "core/filesystem/filenotifymonitor/watchroots.h"
#include "core/filesystem/filesyncnotify.h"
#include "markerrig.h"

namespace {

void MakeFolders(const std::string& path) {
  ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(path)), 0) << path;
}

class FileSyncNotifyTest : public MarkerRig {};

// What one row does, and which markers (relative to the watched folder) it hands on.
struct MarkerCase {
  const char* name;
  std::function<void(const std::string& home, const std::string& outside)> before;  // before the watch
  std::function<void(const std::string& home, const std::string& outside)> act;
  std::vector<std::pair<std::string, bool>> handed;  // path below home, delayed
};

const MarkerCase kMarkerCases[] = {
    {"a copy marker in a watched sub-folder comes after the delay",
     [](const std::string& h, const std::string&) { MakeFolder(h + "/docs"); },
     [](const std::string& h, const std::string&) { CreateEmpty(h + "/docs/items_ostrel_copydata_1"); },
     {{"docs/items_ostrel_copydata_1", true}}},
    {"a drag marker comes at once", nullptr,
     [](const std::string& h, const std::string&) { CreateEmpty(h + "/docs/x_ostrel_dragdata_2"); },
     {{"docs/x_ostrel_dragdata_2", false}}},
    {"markers inside the sync folder never come",
     [](const std::string& h, const std::string&) { MakeFolders(h + "/sync/sub"); },
     [](const std::string& h, const std::string&) {
       CreateEmpty(h + "/sync/_ostrel_dragdata_3");
       CreateEmpty(h + "/sync/sub/_ostrel_copydata_3");
     },
     {}},
    {"markers in the configuration folder and the registry store's folder never come",
     [](const std::string& h, const std::string&) {
       MakeFolders(h + "/data/Tarvelin/ostrel");
       MakeFolders(h + "/config");
     },
     [](const std::string& h, const std::string&) {
       CreateEmpty(h + "/data/Tarvelin/ostrel/_ostrel_dragdata_4");
       CreateEmpty(h + "/config/_ostrel_dragdata_4");
     },
     {}},
    {"a marker in a folder made after the watch started comes", nullptr,
     [](const std::string& h, const std::string&) {
       MakeFolder(h + "/later");
       CreateEmpty(h + "/later/_ostrel_dragdata_5");
     },
     {{"later/_ostrel_dragdata_5", false}}},
    {"a marker moved in with its folder comes",
     [](const std::string&, const std::string& o) {
       MakeFolder(o + "/d6");
       CreateEmpty(o + "/d6/_ostrel_copydata_6");
     },
     [](const std::string& h, const std::string& o) { MoveTo(o + "/d6", h + "/docs/d6"); },
     {{"docs/d6/_ostrel_copydata_6", true}}},
    {"a marker moved in alone comes", [](const std::string&, const std::string& o) { CreateEmpty(o + "/_ostrel_dragdata_7"); },
     [](const std::string& h, const std::string& o) { MoveTo(o + "/_ostrel_dragdata_7", h + "/_ostrel_dragdata_7"); },
     {{"_ostrel_dragdata_7", false}}},
    {"a file renamed to a marker's name is no addition", [](const std::string& h, const std::string&) { CreateEmpty(h + "/plain8"); },
     [](const std::string& h, const std::string&) { MoveTo(h + "/plain8", h + "/_ostrel_dragdata_8"); }, {}},
    {"a marker written and deleted does not come again",
     [](const std::string& h, const std::string&) { CreateEmpty(h + "/_ostrel_dragdata_9"); },
     [](const std::string& h, const std::string&) {
       WriteAndClose(h + "/_ostrel_dragdata_9", "items");
       DeleteFile(h + "/_ostrel_dragdata_9");
     },
     {}},
    {"other names and other letter cases do not come", nullptr,
     [](const std::string& h, const std::string&) {
       CreateEmpty(h + "/readme.txt");
       CreateEmpty(h + "/_OSTREL_DRAGDATA_10");
       CreateEmpty(h + "/_ostrel_copydata10");
     },
     {}},
    {"a folder named like a marker is no marker file", nullptr,
     [](const std::string& h, const std::string&) { MakeFolder(h + "/_ostrel_dragdata_11"); }, {}},
    {"a link named like a marker is no marker file",
     [](const std::string&, const std::string& o) { CreateEmpty(o + "/target12"); },
     [](const std::string& h, const std::string& o) { MakeLink(o + "/target12", h + "/_ostrel_dragdata_12"); }, {}},
};

TEST_F(FileSyncNotifyTest, AddedMarkersInTheWatchedTreesReachTheShellAdapter) {
  for (const MarkerCase& c : kMarkerCases)
    if (c.before) c.before(m_home, m_outside);
  StartWatching();
  for (const MarkerCase& c : kMarkerCases) {
    SCOPED_TRACE(c.name);
    m_shell->Clear();
    const int64_t sleptBefore = m_clock.TotalSlept().count();
    c.act(m_home, m_outside);
    ASSERT_TRUE(m_shell->Barrier(m_home));
    const std::vector<HandedMarker> handed = m_shell->Handed();
    ASSERT_EQ(handed.size(), c.handed.size());
    for (size_t i = 0; i < handed.size(); ++i) {
      EXPECT_EQ(handed[i].path, m_home + "/" + c.handed[i].first);
      EXPECT_EQ(handed[i].sleptMs - sleptBefore, c.handed[i].second ? 100 : 0) << "slept before the hand-over";
      EXPECT_TRUE(handed[i].onUiThread);
    }
  }
}

TEST_F(FileSyncNotifyTest, WithoutRootsTheTemporaryHomeFolderIsWatched) {
  const std::string home = PathIn("home");  // $HOME of the test
  MakeFolders(home + "/Downloads");
  FileSyncOptions options = WatchOptions();
  options.notify.roots.clear();
  options.notify.copyMarkerDelay = std::chrono::milliseconds(250);
  StartWatching(options, home);
  CreateEmpty(home + "/Downloads/a_ostrel_copydata_1");
  ASSERT_TRUE(m_shell->Barrier(home));
  ASSERT_EQ(m_shell->HandedPaths(), std::vector<std::string>{home + "/Downloads/a_ostrel_copydata_1"});
  EXPECT_EQ(m_shell->Handed()[0].sleptMs, 250);
}

TEST_F(FileSyncNotifyTest, OnlyTreesOutsideTheClientsOwnFoldersAreWatched) {
  const struct {
    const char* root;  // below the test's folder, which holds the sync folder "sync"
    bool watched;
  } rows[] = {
      {"sync", false},
      {"sync/inner", false},
      {"sync-old", true},  // beside the sync folder, its name beginning like it
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.root);
    const std::string root = m_home + "/" + row.root;
    MakeFolders(root);
    if (m_mgr) m_mgr->UnInit();
    FileSyncOptions options = WatchOptions();
    options.notify.roots = {root};
    LogCapture log;
    StartManager(options);
    EXPECT_EQ(log.Contains(root + " holds the client's own files; it is not watched"), !row.watched);
    if (!row.watched) continue;
    ASSERT_TRUE(log.WaitFor({"CFileNotifyRevicer::On_WatchStarted:err=0, path=" + root}, kMarkerGuard));
    const std::string marker = root + "/_ostrel_dragdata_" + std::to_string(++n);
    CreateEmpty(marker);
    EXPECT_TRUE(m_shell->WaitFor(marker));
  }
}

TEST_F(FileSyncNotifyTest, InitOnAThreadThatRunsADispatcherWatchesThere) {
  FileSyncOptions options = WatchOptions();
  options.notify.dispatcher = nullptr;
  ASSERT_TRUE(m_ui.Call([&] { StartManager(options); }));
  CreateEmpty(m_home + "/_ostrel_dragdata_1");
  ASSERT_TRUE(m_shell->Barrier(m_home));
  ASSERT_EQ(m_shell->Handed().size(), 1u);
  EXPECT_TRUE(m_shell->Handed()[0].onUiThread);
}

TEST_F(FileSyncNotifyTest, InitOnAWorkerThreadWatchesOnTheMainThreadsDispatcher) {
  CDispatcher mainLoop;  // tests run on the process's main thread
  ASSERT_EQ(CDispatcher::OfMainThread(), &mainLoop);
  FileSyncOptions options = WatchOptions();
  options.notify.dispatcher = nullptr;
  std::thread signIn([&] { StartManager(options); });  // a thread that owns none
  signIn.join();
  ASSERT_TRUE(m_mgr);
  const std::thread::id mainThread = std::this_thread::get_id();
  std::atomic<bool> onMain{false};
  m_shell->onHandOver = [&](const std::string&) {
    onMain = std::this_thread::get_id() == mainThread;
    mainLoop.Quit(0);
  };
  CreateEmpty(m_home + "/_ostrel_dragdata_1");
  CEvent ran;
  std::thread guard([&] {
    if (!ran.Wait(kMarkerGuard)) mainLoop.Quit(-1);
  });
  EXPECT_EQ(mainLoop.Run(), 0);
  ran.Set();
  guard.join();
  EXPECT_TRUE(onMain.load());
  EXPECT_EQ(m_shell->HandedPaths(), std::vector<std::string>{m_home + "/_ostrel_dragdata_1"});
  m_shell->onHandOver = nullptr;
  EXPECT_EQ(m_mgr->UnInit(), S_OK);  // before the loop goes
}

TEST_F(FileSyncNotifyTest, InitWithoutAnyDispatcherWatchesNothingAndGoesOn) {
  LogCapture log;
  FileSyncOptions options = WatchOptions();
  options.notify.dispatcher = nullptr;
  StartManager(options);  // neither this (the main) thread nor any other runs one
  EXPECT_TRUE(log.Contains("drag and copy markers are not watched"));
  EXPECT_EQ(m_mgr->UnInit(), S_OK);
}

// A notice handed straight to the manager's callback, as the watcher would.
struct NoticeCase {
  const char* name;
  uint32_t action;
  const char* path;  // relative to the test's folder; the sync folder is "sync"
  enum Make { kFile, kFolder, kLink, kNothing, kFileOfAnotherUser } make;
  bool handed;
  bool delayed;
};

const NoticeCase kNoticeCases[] = {
    {"an added drag marker", kFileActionAdded, "a_ostrel_dragdata_1", NoticeCase::kFile, true, false},
    {"an added copy marker, after the delay", kFileActionAdded, "a_ostrel_copydata_2", NoticeCase::kFile, true, true},
    {"a marker that was removed", kFileActionRemoved, "a_ostrel_dragdata_3", NoticeCase::kFile, false, false},
    {"a marker that was renamed", kFileActionRenamed, "a_ostrel_dragdata_4", NoticeCase::kFile, false, false},
    {"a marker that was modified", kFileActionModified, "a_ostrel_copydata_5", NoticeCase::kFile, false, false},
    {"a marker in the cache folder", kFileActionAdded, "sync/_ostrel_dragdata_6", NoticeCase::kFile, false, false},
    {"a marker deep in the cache folder", kFileActionAdded, "sync/a/b/_ostrel_copydata_7", NoticeCase::kFile, false,
     false},
    {"a marker beside the cache folder, whose name begins like it", kFileActionAdded, "sync-old/_ostrel_dragdata_8",
     NoticeCase::kFile, true, false},
    {"a path that only passes through the cache folder", kFileActionAdded, "sync/../_ostrel_dragdata_9",
     NoticeCase::kFile, true, false},
    {"the marker text in a folder's name", kFileActionAdded, "x_ostrel_dragdata_10/list", NoticeCase::kFile, true,
     false},
    {"the marker text in capitals", kFileActionAdded, "a_OSTREL_DRAGDATA_11", NoticeCase::kFile, false, false},
    {"a marker that is gone already", kFileActionAdded, "a_ostrel_dragdata_12", NoticeCase::kNothing, false, false},
    {"a folder named like a marker", kFileActionAdded, "a_ostrel_dragdata_13", NoticeCase::kFolder, false, false},
    {"a link named like a marker", kFileActionAdded, "a_ostrel_dragdata_14", NoticeCase::kLink, false, false},
    {"a marker of another user", kFileActionAdded, "a_ostrel_dragdata_15", NoticeCase::kFileOfAnotherUser, false,
     false},
};

TEST_F(FileSyncNotifyTest, OnlyAddedMarkersOfOurOwnOutsideTheCacheFolderAreHandedOn) {
  StartManager();  // no dispatcher: the test hands the notices over itself
  CreateEmpty(PathIn("target"));
  for (const NoticeCase& c : kNoticeCases) {
    SCOPED_TRACE(c.name);
    const std::string path = PathIn(c.path);
    MakeFolders(path.substr(0, path.find_last_of('/')));
    switch (c.make) {
      case NoticeCase::kFile:
        CreateEmpty(path);
        break;
      case NoticeCase::kFolder:
        MakeFolder(path);
        break;
      case NoticeCase::kLink:
        MakeLink(PathIn("target"), path);
        break;
      case NoticeCase::kNothing:
        break;
      case NoticeCase::kFileOfAnotherUser:
        if (::geteuid() != 0) continue;  // only root can give a file away; see the injected owner below
        CreateEmpty(path);
        ASSERT_EQ(::lchown(path.c_str(), 4242, 4242), 0);
        break;
    }
    m_shell->Clear();
    const int64_t sleptBefore = m_clock.TotalSlept().count();
    const std::string newPath = path + ".new";
    EXPECT_EQ(CFileSyncMgr::_OnFileNotify(c.action, path.c_str(),
                                          c.action == kFileActionRenamed ? newPath.c_str() : nullptr, m_mgr.get()),
              0);
    const std::vector<HandedMarker> handed = m_shell->Handed();
    ASSERT_EQ(handed.size(), c.handed ? 1u : 0u);
    EXPECT_EQ(m_clock.TotalSlept().count() - sleptBefore, c.delayed ? 100 : 0);
    if (c.handed) {
      EXPECT_EQ(handed[0].path, path);
    }
  }
}

TEST_F(FileSyncNotifyTest, AMarkerIsAcceptedOnlyFromTheUserTheManagerRunsAs) {
  struct Row {
    const char* name;
    int64_t ownUser;
    bool handed;
  } rows[] = {
      {"the process's own user", static_cast<int64_t>(::geteuid()), true},
      {"another user", static_cast<int64_t>(::geteuid()) + 1, false},
  };
  CreateEmpty(PathIn("a_ostrel_dragdata_1"));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (m_mgr) m_mgr->UnInit();
    FileSyncOptions options = Options();
    options.notify.ownUser = row.ownUser;
    StartManager(options);
    m_shell->Clear();
    LogCapture log;
    CFileSyncMgr::_OnFileNotify(kFileActionAdded, PathIn("a_ostrel_dragdata_1").c_str(), nullptr, m_mgr.get());
    EXPECT_EQ(m_shell->Handed().size(), row.handed ? 1u : 0u);
    EXPECT_EQ(log.Contains("is not a file of this user"), !row.handed);
  }
}

TEST_F(FileSyncNotifyTest, AMarkerMadeWhileChangesAreLostIsFoundByTheRescan) {
  const long queued = MaxQueuedEvents();
  if (queued <= 0 || queued > 1'000'000) GTEST_SKIP() << "fs.inotify.max_queued_events is " << queued;
  // Shared with the reader, which outlives this body until TearDown.
  struct Hold {
    std::atomic<bool> hold{false};
    CEvent parked, release;
  };
  auto held = std::make_shared<Hold>();
  std::atomic<bool>& hold = held->hold;
  CEvent& parked = held->parked;
  CEvent& release = held->release;
  FileSyncOptions options = WatchOptions();
  options.notify.watch.beforeRead = [held] {
    if (held->hold.exchange(false)) {
      held->parked.Set();
      held->release.Wait(kMarkerGuard);
    }
  };
  MakeFolder(m_home + "/old");
  StartWatching(options, m_home);
  ASSERT_TRUE(m_shell->Barrier(m_home));
  LogCapture log;

  hold = true;
  CreateEmpty(m_home + "/trigger");
  ASSERT_TRUE(parked.Wait(kMarkerGuard));
  const std::string files[2] = {m_home + "/old/a", m_home + "/old/b"};
  for (long i = 0; i < queued + 64; ++i) {
    int fd = ::open(files[i % 2].c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  MakeFolder(m_home + "/pasted");
  CreateEmpty(m_home + "/pasted/x_ostrel_copydata_1");
  release.Set();

  ASSERT_TRUE(m_shell->WaitFor(m_home + "/pasted/x_ostrel_copydata_1"));
  EXPECT_TRUE(log.Contains("the change queue overflowed"));
  CreateEmpty(m_home + "/pasted/after_ostrel_dragdata_2");  // the watch goes on, new folder included
  ASSERT_TRUE(m_shell->Barrier(m_home));
  EXPECT_EQ(m_shell->HandedPaths(),
            (std::vector<std::string>{m_home + "/pasted/x_ostrel_copydata_1", m_home + "/pasted/after_ostrel_dragdata_2"}));
}

TEST(WatchRootsSettingTest, TheSettingNamesAbsoluteFoldersSeparatedByColons) {
  struct Row {
    const char* name;
    const char* value;
    std::vector<std::string> roots;
  } rows[] = {
      {"nothing", "", {}},
      {"one folder", "/home/ann", {"/home/ann"}},
      {"several, trailing slashes dropped", "/home/ann/:/media/ann", {"/home/ann", "/media/ann"}},
      {"empty and relative entries left out", "::docs:/srv/x:~/y:", {"/srv/x"}},
  };
  for (const Row& row : rows) EXPECT_EQ(ParseWatchRoots(row.value), row.roots) << row.name;
}

class WatchRootsConfigTest : public OstrelTest {};

TEST_F(WatchRootsConfigTest, ConfigIniNamesTheTreesElseTheDefaultsAreWatched) {
  struct Row {
    const char* name;
    const char* ini;
    std::vector<std::string> roots;  // empty: DefaultWatchRoots
  } rows[] = {
      {"no config.ini", nullptr, {}},
      {"no key", "[Ostrel]\nLogLevel=4\n", {}},
      {"the key", "[Ostrel]\nWatchRoots=/srv/share:/mnt/usb\n", {"/srv/share", "/mnt/usb"}},
      {"the key with nothing usable", "[Ostrel]\nWatchRoots=relative\n", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ::unlink(PathIn("config.ini").c_str());
    if (row.ini) WriteFileBytes(PathIn("config.ini"), row.ini);
    CConfig config(FileEnv::Default());
    config.Init(Root() + "/");
    EXPECT_EQ(ConfiguredWatchRoots(config), row.roots.empty() ? DefaultWatchRoots() : row.roots);
  }
  EXPECT_EQ(DefaultWatchRoots().front(), PathIn("home")) << "the home folder comes first";
}

}  // namespace
