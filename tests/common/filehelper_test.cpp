// Files and folders: the walk and the tree delete never reach through a link, the
// recycle bin keeps files, moves report what they did, and the time texts agree with
// stat(1). Moves across file systems are tested with the atomic replace they use.
#include "common/filehelper.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "support/filefault.h"
#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

class FileHelperTest : public OstrelTest {
 protected:
  void MakeDir(const std::string& rel, mode_t mode = 0700) { ASSERT_EQ(::mkdir(PathIn(rel).c_str(), mode), 0) << rel; }
  void Link(const std::string& target, const std::string& rel) {
    ASSERT_EQ(::symlink(target.c_str(), PathIn(rel).c_str()), 0) << rel;
  }
  bool IsDir(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  // Every visit as "<kind> <folder relative to the root><name>".
  std::vector<std::string> Visits(const std::string& folder, const std::string& pattern, const std::string& stopAt,
                                  bool* result) {
    std::vector<std::string> seen;
    size_t skip = Root().size() + 1;
    *result = WalkFolder(folder, pattern, [&](WalkKind kind, const std::string& dir, const std::string& name) {
      static const char* kinds[] = {"file", "enter", "leave"};
      std::string entry = std::string(kinds[kind]) + " " + dir.substr(skip) + name;
      seen.push_back(entry);
      return entry != stopAt;
    });
    return seen;
  }
};

// ---- WalkFolder

TEST_F(FileHelperTest, WalkVisitsInOrderAndNeverEntersLinks) {
  MakeDir("outside");
  WriteFileBytes(PathIn("outside/secret"), "s");
  MakeDir("t");
  MakeDir("t/sub");
  MakeDir("t/sub/deeper");
  WriteFileBytes(PathIn("t/b.txt"), "b");
  WriteFileBytes(PathIn("t/a.txt"), "a");
  WriteFileBytes(PathIn("t/sub/c.dat"), "c");
  Link(PathIn("outside"), "t/link");
  ASSERT_EQ(::mkfifo(PathIn("t/fifo").c_str(), 0600), 0);
  bool result = false;
  auto seen = Visits(PathIn("t"), "*.*", "", &result);
  std::vector<std::string> expected = {
      "enter t/",           "file t/a.txt",        "file t/b.txt",      "file t/fifo", "file t/link",
      "enter t/sub/",       "file t/sub/c.dat",    "enter t/sub/deeper/", "leave t/sub/deeper/",
      "leave t/sub/",       "leave t/",
  };
  EXPECT_EQ(seen, expected);
  EXPECT_TRUE(result);
}

TEST_F(FileHelperTest, WalkStopSemantics) {
  MakeDir("t");
  MakeDir("t/sub");
  WriteFileBytes(PathIn("t/a"), "");
  WriteFileBytes(PathIn("t/b"), "");
  WriteFileBytes(PathIn("t/sub/c"), "");
  WriteFileBytes(PathIn("t/sub/d"), "");
  WriteFileBytes(PathIn("t/z"), "");
  struct Row {
    const char* stopAt;
    std::vector<std::string> visits;
  } rows[] = {
      {"enter t/", {"enter t/", "leave t/"}},
      {"file t/a", {"enter t/", "file t/a", "leave t/"}},
      {"file t/sub/c", {"enter t/", "file t/a", "file t/b", "enter t/sub/", "file t/sub/c", "leave t/sub/", "leave t/"}},
      {"leave t/sub/",
       {"enter t/", "file t/a", "file t/b", "enter t/sub/", "file t/sub/c", "file t/sub/d", "leave t/sub/",
        "leave t/"}},
      {"leave t/",
       {"enter t/", "file t/a", "file t/b", "enter t/sub/", "file t/sub/c", "file t/sub/d", "leave t/sub/",
        "file t/z", "leave t/"}},
  };
  for (const auto& r : rows) {
    bool result = true;
    EXPECT_EQ(Visits(PathIn("t/"), "*.*", r.stopAt, &result), r.visits) << r.stopAt;
    EXPECT_FALSE(result) << r.stopAt;
  }
}

TEST_F(FileHelperTest, WalkPatternUsesWindowsRules) {
  MakeDir("t");
  for (const char* n : {"a.txt", "B.TXT", "c.txt.bak", "noext", "x.t"}) WriteFileBytes(PathIn(std::string("t/") + n), "");
  MakeDir("t/dir.txt");
  WriteFileBytes(PathIn("t/dir.txt/in.txt"), "");
  struct Row {
    const char* pattern;
    std::vector<std::string> files;
  } rows[] = {
      {"*.txt", {"B.TXT", "a.txt", "dir.txt/in.txt"}},
      {"*", {"B.TXT", "a.txt", "c.txt.bak", "dir.txt/in.txt", "noext", "x.t"}},
      {"?.t", {"x.t"}},
      {"*.*", {"B.TXT", "a.txt", "c.txt.bak", "dir.txt/in.txt", "noext", "x.t"}},
  };
  for (const auto& r : rows) {
    std::vector<std::string> files;
    size_t skip = PathIn("t/").size();
    WalkFolder(PathIn("t"), r.pattern, [&](WalkKind kind, const std::string& dir, const std::string& name) {
      if (kind == kWalkFile) files.push_back(dir.substr(skip) + name);
      return true;
    });
    EXPECT_EQ(files, r.files) << r.pattern;
  }
}

TEST_F(FileHelperTest, WalkOfALinkedFolderListsNothing) {
  MakeDir("outside");
  WriteFileBytes(PathIn("outside/secret"), "s");
  Link(PathIn("outside"), "link");
  bool result = false;
  EXPECT_EQ(Visits(PathIn("link"), "*.*", "", &result), (std::vector<std::string>{"enter link/", "leave link/"}));
  EXPECT_EQ(Visits(PathIn("missing"), "*.*", "", &result),
            (std::vector<std::string>{"enter missing/", "leave missing/"}));
  EXPECT_FALSE(WalkFolder("", "*.*", [](WalkKind, const std::string&, const std::string&) { return true; }));
}

// ---- DeleteFolderTree

TEST_F(FileHelperTest, TreeDeleteLeavesLinkTargetsIntact) {
  MakeDir("outside");
  MakeDir("outside/inner");
  WriteFileBytes(PathIn("outside/inner/secret"), "keep me");
  WriteFileBytes(PathIn("outside-file"), "keep me too");
  MakeDir("tree");
  MakeDir("tree/sub");
  WriteFileBytes(PathIn("tree/sub/x"), "x");
  Link(PathIn("outside"), "tree/dirlink");             // a link to an outside folder
  Link(PathIn("outside-file"), "tree/sub/filelink");   // a link to an outside file
  Link("../outside", "tree/sub/relative");             // relative, same target
  Link(PathIn("nowhere"), "tree/dangling");
  ASSERT_TRUE(DeleteFolderTree(PathIn("tree"), false, false));
  EXPECT_FALSE(FileExists(PathIn("tree")));
  EXPECT_EQ(ReadFileBytes(PathIn("outside/inner/secret")), "keep me");
  EXPECT_EQ(ReadFileBytes(PathIn("outside-file")), "keep me too");
}

TEST_F(FileHelperTest, TreeDeleteOfALinkRemovesOnlyTheLink) {
  MakeDir("outside");
  WriteFileBytes(PathIn("outside/secret"), "keep me");
  Link(PathIn("outside"), "link");
  EXPECT_TRUE(DeleteFolderTree(PathIn("link/"), false, false));
  EXPECT_FALSE(FileExists(PathIn("link")));
  EXPECT_EQ(ReadFileBytes(PathIn("outside/secret")), "keep me");
}

TEST_F(FileHelperTest, TreeDeleteRemovesReadOnlyFilesAndFolders) {
  MakeDir("tree");
  MakeDir("tree/a");
  MakeDir("tree/a/b");
  WriteFileBytes(PathIn("tree/a/b/ro"), "r");
  WriteFileBytes(PathIn("tree/a/ro2"), "r");
  ::chmod(PathIn("tree/a/b/ro").c_str(), 0444);
  ::chmod(PathIn("tree/a/ro2").c_str(), 0400);
  ::chmod(PathIn("tree/a/b").c_str(), 0500);
  ::chmod(PathIn("tree/a").c_str(), 0555);
  EXPECT_TRUE(DeleteFolderTree(PathIn("tree"), false, false));
  EXPECT_FALSE(FileExists(PathIn("tree")));
}

TEST_F(FileHelperTest, TreeDeleteRefusesRootAndEmptyAndAcceptsMissing) {
  LogCapture cap;
  EXPECT_FALSE(DeleteFolderTree("/", false, true));
  EXPECT_FALSE(DeleteFolderTree("//", true, true));
  EXPECT_FALSE(DeleteFolderTree("", false, true));
  EXPECT_EQ(cap.Count("refused"), 3);
  EXPECT_TRUE(DeleteFolderTree(PathIn("missing"), false, false));
  WriteFileBytes(PathIn("plain"), "p");
  EXPECT_FALSE(DeleteFolderTree(PathIn("plain"), false, true));  // a file is no folder tree
  EXPECT_TRUE(FileExists(PathIn("plain")));
  EXPECT_TRUE(cap.Contains("ERROR_CHECK_BOOLEX:!path.IsDirectory()"));
}

TEST_F(FileHelperTest, TreeDeleteToRecycleBinKeepsEveryFile) {
  MakeDir("tree");
  MakeDir("tree/sub");
  WriteFileBytes(PathIn("tree/one"), "1");
  WriteFileBytes(PathIn("tree/sub/two"), "2");
  ASSERT_TRUE(DeleteFolderTree(PathIn("tree"), true, false));
  EXPECT_FALSE(FileExists(PathIn("tree")));
  EXPECT_EQ(ReadFileBytes(PathIn("data/Trash/files/one")), "1");
  EXPECT_EQ(ReadFileBytes(PathIn("data/Trash/files/two")), "2");
  EXPECT_NE(ReadFileBytes(PathIn("data/Trash/info/two.trashinfo")).find("Path=" + PathIn("tree/sub/two")),
            std::string::npos);
}

TEST_F(FileHelperTest, TreeDeleteGoOnFlagDecidesWhetherAFailureStops) {
  for (bool goOn : {false, true}) {
    RemoveTree(PathIn("tree"));
    MakeDir("tree");
    WriteFileBytes(PathIn("tree/a"), "a");
    WriteFileBytes(PathIn("tree/b"), "b");  // its move to the Trash fails
    WriteFileBytes(PathIn("tree/c"), "c");
    LogCapture cap;
    {
      ScopedFileFault fault(FileOp::kRename, "/tree/b", EIO);
      EXPECT_FALSE(DeleteFolderTree(PathIn("tree"), true, goOn)) << goOn;
    }
    EXPECT_EQ(ReadFileBytes(PathIn("tree/b")), "b") << "kept where it was";
    EXPECT_FALSE(FileExists(PathIn("tree/a")));
    EXPECT_EQ(FileExists(PathIn("tree/c")), !goOn) << goOn;
    EXPECT_TRUE(cap.Contains("ERROR_CHECK_BOOLEX:bRetMSG: Can Not Move To Trash: " + PathIn("tree/b"))) << cap.All();
    EXPECT_TRUE(IsDir(PathIn("tree")));
  }
}

// ---- DeleteToRecycleBin and ForceDeleteFile

TEST_F(FileHelperTest, RecycleBinTakesFilesAndFolders) {
  WriteFileBytes(PathIn("f"), "f");
  MakeDir("d", 0500);  // a read-only folder still moves
  ASSERT_EQ(DeleteToRecycleBin(PathIn("f")), S_OK);
  ASSERT_EQ(DeleteToRecycleBin(PathIn("d")), S_OK);
  EXPECT_FALSE(FileExists(PathIn("f")));
  EXPECT_FALSE(FileExists(PathIn("d")));
  EXPECT_TRUE(IsDir(PathIn("data/Trash/files/d")));
  LogCapture cap;
  EXPECT_EQ(DeleteToRecycleBin(PathIn("f")), E_FAIL);
  EXPECT_TRUE(cap.Contains("ERROR_CHECK_BOOLEX:")) << cap.All();
}

TEST_F(FileHelperTest, ForceDeleteFileTable) {
  WriteFileBytes(PathIn("ro"), "r");
  ::chmod(PathIn("ro").c_str(), 0444);
  MakeDir("dir");
  MakeDir("outside");
  Link(PathIn("outside"), "link");
  LogCapture cap;
  EXPECT_EQ(ForceDeleteFile(PathIn("ro")), S_OK);
  EXPECT_FALSE(FileExists(PathIn("ro")));
  EXPECT_EQ(ForceDeleteFile(PathIn("never")), S_OK);
  EXPECT_EQ(ForceDeleteFile(PathIn("link")), S_OK);
  EXPECT_TRUE(IsDir(PathIn("outside")));
  EXPECT_EQ(cap.Count("PathFileExistsW"), 0);
  EXPECT_EQ(ForceDeleteFile(PathIn("dir")), E_FAIL);
  EXPECT_TRUE(IsDir(PathIn("dir")));
  EXPECT_EQ(cap.Count("ERROR_CHECK_BOOLEX:!::PathFileExistsW(szFilePath)"), 1) << cap.All();
}

// ---- EnsureDirectory

TEST_F(FileHelperTest, EnsureDirectoryTable) {
  EXPECT_EQ(EnsureDirectory(PathIn("a/b/c/d")), S_OK);
  EXPECT_TRUE(IsDir(PathIn("a/b/c/d")));
  struct stat st {};
  ::stat(PathIn("a/b").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(EnsureDirectory(PathIn("a/b/c/d/")), S_OK);  // exists already, trailing "/"
  EXPECT_EQ(EnsureDirectory(PathIn("x//y/")), S_OK);
  EXPECT_TRUE(IsDir(PathIn("x/y")));
  EXPECT_EQ(EnsureDirectory("/"), S_OK);
  LogCapture cap;
  WriteFileBytes(PathIn("file"), "in the way");
  EXPECT_EQ(EnsureDirectory(PathIn("file")), E_FAIL);
  EXPECT_EQ(EnsureDirectory(PathIn("file/below")), E_FAIL);
  EXPECT_EQ(EnsureDirectory(""), E_FAIL);
  EXPECT_EQ(cap.Count("ERROR_CHECK_BOOL:path.IsDirectory()"), 3) << cap.All();
  EXPECT_EQ(ReadFileBytes(PathIn("file")), "in the way");
}

// ---- sizes and times

TEST_F(FileHelperTest, FileSizes) {
  for (size_t n : {size_t(0), size_t(1), size_t(70000)}) {
    WriteFileBytes(PathIn("f"), std::string(n, 'x'));
    int64_t size = -1;
    EXPECT_EQ(GetFileSizeByPath(PathIn("f"), &size), S_OK);
    EXPECT_EQ(size, static_cast<int64_t>(n));
  }
  // A sparse file past 4 GiB: the size is 64-bit.
  {
    int fd = ::open(PathIn("sparse").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, (int64_t(5) << 30) + 3), 0);
    ::close(fd);
    int64_t size = 0;
    EXPECT_EQ(GetFileSizeByPath(PathIn("sparse"), &size), S_OK);
    EXPECT_EQ(size, (int64_t(5) << 30) + 3);
  }
  LogCapture cap;
  int64_t size = 0;
  EXPECT_EQ(GetFileSizeByPath(PathIn("missing"), &size), E_FAIL);
  EXPECT_TRUE(cap.Contains("ERROR_CHECK_BOOLEX:bRet"));
  EXPECT_EQ(GetFileSizeByPath("", &size), E_FAIL);
  EXPECT_TRUE(cap.Contains("*ASSERT*: !IsStrEmpty(szFilePath)"));
}

TEST_F(FileHelperTest, TimeStringsAgreeWithStat) {
  std::string f = PathIn("timed");
  WriteFileBytes(f, "t");
  struct timespec times[2] = {{UTIME_OMIT, UTIME_OMIT}, {1709632800 + 3 * 3600 + 4 * 60 + 5, 123456700}};
  ASSERT_EQ(::utimensat(AT_FDCWD, f.c_str(), times, 0), 0);
  std::string created, written;
  ASSERT_EQ(GetFileTimeStrings(f, &created, &written), S_OK);
  EXPECT_EQ(written, "2024-03-05 13:04:05.1234567");  // TZ=UTC in the fixture
  // stat(1) prints "YYYY-MM-DD hh:mm:ss.nnnnnnnnn +zone"; ours keeps 7 digits.
  auto fromStat = [&](const char* format) {
    std::string out;
    EXPECT_EQ(RunCommand(std::string("TZ=UTC stat -c ") + format + " " + ShellQuote(f), &out), 0);
    return out.substr(0, 27);
  };
  EXPECT_EQ(written, fromStat("%y"));
  std::string birth = fromStat("%w");
  if (birth[0] == '-')
    EXPECT_EQ(created, written) << "no birth time: the last write stands for it";
  else
    EXPECT_EQ(created, birth);
}

TEST_F(FileHelperTest, TimeStringsFollowTheZone) {
  std::string f = PathIn("timed");
  WriteFileBytes(f, "t");
  struct timespec times[2] = {{UTIME_OMIT, UTIME_OMIT}, {1719835200, 5}};  // 2024-07-01 12:00:00 UTC
  ASSERT_EQ(::utimensat(AT_FDCWD, f.c_str(), times, 0), 0);
  setenv("TZ", "Asia/Shanghai", 1);
  tzset();
  std::string created, written;
  HRESULT hr = GetFileTimeStrings(f, &created, &written);
  setenv("TZ", "UTC", 1);
  tzset();
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(written, "2024-07-01 20:00:00.0000000");
}

TEST_F(FileHelperTest, TimeStringsOfAMissingFileFail) {
  LogCapture cap;
  std::string created, written;
  EXPECT_EQ(GetFileTimeStrings(PathIn("missing"), &created, &written), E_FAIL);
  EXPECT_TRUE(cap.Contains("ERROR_CHECK_BOOLEX:bRetMSG: Can Not Get File Time: " + PathIn("missing"))) << cap.All();
  EXPECT_TRUE(created.empty());
}

// ---- MoveFileReplace

TEST_F(FileHelperTest, MoveFileReplaceTable) {
  WriteFileBytes(PathIn("src"), "new");
  WriteFileBytes(PathIn("dst"), "old");
  EXPECT_TRUE(MoveFileReplace(PathIn("src"), PathIn("dst")));
  EXPECT_EQ(ReadFileBytes(PathIn("dst")), "new");
  EXPECT_FALSE(FileExists(PathIn("src")));

  WriteFileBytes(PathIn("src"), "fresh");
  EXPECT_TRUE(MoveFileReplace(PathIn("src"), PathIn("brand-new")));
  EXPECT_EQ(ReadFileBytes(PathIn("brand-new")), "fresh");

  LogCapture cap;
  EXPECT_FALSE(MoveFileReplace(PathIn("src"), PathIn("dst")));  // missing source
  EXPECT_EQ(ReadFileBytes(PathIn("dst")), "new");
  WriteFileBytes(PathIn("src"), "s");
  EXPECT_FALSE(MoveFileReplace(PathIn("src"), PathIn("no/folder/dst")));
  EXPECT_EQ(ReadFileBytes(PathIn("src")), "s");
  EXPECT_FALSE(MoveFileReplace(PathIn("src"), PathIn("src")));  // the source is still there
  EXPECT_EQ(cap.Count("MoveFileReplace:"), 3) << cap.All();
}

// ---- read and write handles

TEST_F(FileHelperTest, HandlesRoundTripInPieces) {
  std::string payload = RandomBytes(200000, 12);
  {
    CWriteFileHandle w(PathIn("h"));
    EXPECT_FALSE(FileExists(PathIn("h"))) << "created on the first write";
    for (size_t off = 0; off < payload.size(); off += 7000) {
      size_t n = std::min<size_t>(7000, payload.size() - off);
      ASSERT_EQ(w.Write(payload.data() + off, n), n);
    }
    EXPECT_TRUE(w.Close());
  }
  CReadFileHandle r(PathIn("h"));
  std::string got;
  char buf[65536];
  size_t n;
  while ((n = r.Read(buf, sizeof(buf))) > 0) got.append(buf, n);
  EXPECT_EQ(got, payload);
  EXPECT_EQ(r.Read(buf, sizeof(buf)), 0u);
}

TEST_F(FileHelperTest, WriteHandleEmptiesAnExistingFileAndStopsAfterAFailure) {
  WriteFileBytes(PathIn("h"), std::string(1000, 'o'));
  CWriteFileHandle w(PathIn("h"));
  EXPECT_EQ(w.Write("ab", 2), 2u);
  {
    ScopedFileFault fault(FileOp::kWrite, "/h", ENOSPC);
    EXPECT_EQ(w.Write("cd", 2), 0u);
  }
  EXPECT_EQ(w.Write("ef", 2), 0u) << "no write after a failure: the file would have a gap";
  EXPECT_FALSE(w.Close());
  EXPECT_EQ(ReadFileBytes(PathIn("h")), "ab");
}

TEST_F(FileHelperTest, HandlesFailCleanly) {
  CReadFileHandle r(PathIn("missing"));
  char buf[4];
  EXPECT_EQ(r.Read(buf, 4), 0u);
  CWriteFileHandle w(PathIn("no/folder/file"));
  EXPECT_EQ(w.Write("x", 1), 0u);
  EXPECT_FALSE(w.Close());
  CWriteFileHandle unused(PathIn("unused"));
  EXPECT_TRUE(unused.Close());
  EXPECT_FALSE(FileExists(PathIn("unused")));
  {
    CWriteFileHandle syncFails(PathIn("s"));
    EXPECT_EQ(syncFails.Write("x", 1), 1u);
    ScopedFileFault fault(FileOp::kSync, "/s", EIO);
    EXPECT_FALSE(syncFails.Close());
  }
}

}  // namespace
