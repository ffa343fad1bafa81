// Files and folders: the walk and the tree delete never reach through a link, the
// recycle bin keeps files, moves report what they did, the time texts agree with
// stat(1), size and SHA-1 with sha1sum, and failures of the file system are reported,
// never taken for success.
#include "common/filehelper.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
  // A folder "tree" with the files named (and "sub/" folders), each holding its name.
  void MakeTree(std::initializer_list<const char*> entries) {
    RemoveTree(PathIn("tree"));
    MakeDir("tree");
    for (std::string e : entries) {
      if (e.back() == '/')
        MakeDir("tree/" + e);
      else
        WriteFileBytes(PathIn("tree/" + e), e);
    }
  }
  // Every visit as "<kind> <folder relative to the root><name>".
  std::vector<std::string> Visits(const std::string& folder, bool* result, FileEnv* env = FileEnv::Default()) {
    std::vector<std::string> seen;
    auto visit = [&](WalkKind kind, const std::string& dir, const std::string& name) {
      static const char* kinds[] = {"file", "enter", "leave"};
      seen.push_back(std::string(kinds[kind]) + " " + dir.substr(Root().size() + 1) + name);
      return true;
    };
    *result = WalkFolder(folder, "*.*", visit, env);
    return seen;
  }
  FaultFileEnv m_env;
};

// ---- WalkFolder

TEST_F(FileHelperTest, WalkVisitsInOrderAndNeverEntersLinks) {
  MakeDir("outside");
  WriteFileBytes(PathIn("outside/secret"), "s");
  MakeTree({"sub/", "sub/deeper/", "b.txt", "a.txt", "sub/c.dat"});
  Link(PathIn("outside"), "tree/link");
  ASSERT_EQ(::mkfifo(PathIn("tree/fifo").c_str(), 0600), 0);
  bool result = false;
  std::vector<std::string> expected = {
      "enter tree/",           "file tree/a.txt",          "file tree/b.txt",           "file tree/fifo",
      "file tree/link",        "enter tree/sub/",          "file tree/sub/c.dat",       "enter tree/sub/deeper/",
      "leave tree/sub/deeper/", "leave tree/sub/",         "leave tree/",
  };
  EXPECT_EQ(Visits(PathIn("tree"), &result), expected);
  EXPECT_TRUE(result);
  // A folder that is a link, or missing, is entered and left but not listed.
  Link(PathIn("outside"), "link");
  EXPECT_EQ(Visits(PathIn("link"), &result), (std::vector<std::string>{"enter link/", "leave link/"}));
  EXPECT_EQ(Visits(PathIn("missing"), &result), (std::vector<std::string>{"enter missing/", "leave missing/"}));
  EXPECT_FALSE(WalkFolder("", "*.*", [](WalkKind, const std::string&, const std::string&) { return true; }));
  // A folder that cannot be listed is logged and skipped; the walk goes on.
  m_env.Fail(FileOp::kList, PathIn("tree/sub"), EIO);
  LogCapture log;
  EXPECT_EQ(Visits(PathIn("tree"), &result, &m_env),
            (std::vector<std::string>{"enter tree/", "file tree/a.txt", "file tree/b.txt", "file tree/fifo",
                                      "file tree/link", "enter tree/sub/", "leave tree/sub/", "leave tree/"}));
  EXPECT_TRUE(result);
  EXPECT_EQ(log.Failures(), 1) << log.All();
}

// The pattern picks files and the sub-folders that are walked (with the same pattern
// inside) the way a Windows-style pattern does: "*" any run, zero characters too; "?"
// exactly one character; ASCII letters without case; "*" and "*.*" every name, with a
// dot or without.
TEST_F(FileHelperTest, WalkPatternPicksNamesByWildcardsIgnoringCase) {
  MakeTree({"A.TXT", "AC.TXT", "B.Txt", "a.tx", "a.txt", "a.txt.bak", "ab.txt", "abc", "abc.txt", "ac.txt", "docs/",
            "docs/in.txt", "docs.TXT/", "docs.TXT/in.txt", "docs.TXT/out.dat", "noext", "x"});
  const std::vector<std::string> everything = {
      "A.TXT", "AC.TXT", "B.Txt", "a.tx", "a.txt", "a.txt.bak", "ab.txt", "abc", "abc.txt", "ac.txt",
      "docs/", "docs/in.txt", "docs.TXT/", "docs.TXT/in.txt", "docs.TXT/out.dat", "noext", "x"};
  struct Row {
    const char* pattern;
    std::vector<std::string> picked;  // files, and "name/" for each folder entered, in walk order
  } rows[] = {
      {"*", everything},
      {"*.*", everything},
      {"*.txt", {"A.TXT", "AC.TXT", "B.Txt", "a.txt", "ab.txt", "abc.txt", "ac.txt", "docs.TXT/", "docs.TXT/in.txt"}},
      {"A.TXT", {"A.TXT", "a.txt"}},
      {"a?.txt", {"AC.TXT", "ab.txt", "ac.txt"}},  // not "a.txt": "?" is never zero characters
      {"a.tx?", {"A.TXT", "a.txt"}},
      {"?", {"x"}},
      {"???", {"abc"}},
      {"abc*", {"abc", "abc.txt"}},
      {"*c*", {"AC.TXT", "abc", "abc.txt", "ac.txt", "docs/", "docs.TXT/"}},
      {"*t", {"A.TXT", "AC.TXT", "B.Txt", "a.txt", "ab.txt", "abc.txt", "ac.txt", "docs.TXT/", "docs.TXT/in.txt",
              "docs.TXT/out.dat", "noext"}},
      {"a*.t*t", {"A.TXT", "AC.TXT", "a.txt", "ab.txt", "abc.txt", "ac.txt"}},
      {"*.bak", {"a.txt.bak"}},
      {"b.*", {"B.Txt"}},
      {"nomatch", {}},
  };
  const size_t skip = PathIn("tree/").size();
  std::vector<std::string> picked;
  auto visit = [&](WalkKind kind, const std::string& dir, const std::string& name) {
    if (kind == kWalkFile) picked.push_back(dir.substr(skip) + name);
    if (kind == kWalkEnter && dir.size() > skip) picked.push_back(dir.substr(skip));
    return true;
  };
  for (const Row& row : rows) {
    picked.clear();
    EXPECT_TRUE(WalkFolder(PathIn("tree"), row.pattern, visit)) << row.pattern;
    EXPECT_EQ(picked, row.picked) << row.pattern;
  }
}

// ---- DeleteFolderTree

TEST_F(FileHelperTest, TreeDeleteRemovesLinksNeverTheirTargetsAndReadOnlyEntriesToo) {
  MakeDir("outside");
  MakeDir("outside/inner");
  WriteFileBytes(PathIn("outside/inner/secret"), "keep me");
  WriteFileBytes(PathIn("outside-file"), "keep me too");
  MakeTree({"sub/", "sub/x", "a/", "a/b/", "a/b/ro", "a/ro2"});
  Link(PathIn("outside"), "tree/dirlink");            // a link to an outside folder
  Link(PathIn("outside-file"), "tree/sub/filelink");  // a link to an outside file
  Link("../outside", "tree/sub/relative");            // relative, same target
  Link(PathIn("nowhere"), "tree/dangling");
  ::chmod(PathIn("tree/a/b/ro").c_str(), 0444);
  ::chmod(PathIn("tree/a/ro2").c_str(), 0400);
  ::chmod(PathIn("tree/a/b").c_str(), 0500);
  ::chmod(PathIn("tree/a").c_str(), 0555);
  ASSERT_TRUE(DeleteFolderTree(PathIn("tree"), false, false));
  EXPECT_FALSE(FileExists(PathIn("tree")));
  Link(PathIn("outside"), "link");
  EXPECT_TRUE(DeleteFolderTree(PathIn("link/"), false, false)) << "a linked folder: the link goes";
  EXPECT_FALSE(FileExists(PathIn("link")));
  EXPECT_EQ(ReadFileBytes(PathIn("outside/inner/secret")), "keep me");
  EXPECT_EQ(ReadFileBytes(PathIn("outside-file")), "keep me too");
}

TEST_F(FileHelperTest, TreeDeleteRefusesRootAndEmptyAndAcceptsMissing) {
  LogCapture cap;
  EXPECT_FALSE(DeleteFolderTree("/", false, true));
  EXPECT_FALSE(DeleteFolderTree("//", true, true));
  EXPECT_FALSE(DeleteFolderTree("", false, true));
  EXPECT_EQ(cap.Failures(), 3);
  EXPECT_TRUE(DeleteFolderTree(PathIn("missing"), false, false));
  WriteFileBytes(PathIn("plain"), "p");
  EXPECT_FALSE(DeleteFolderTree(PathIn("plain"), false, true));  // a file is no folder tree
  EXPECT_TRUE(FileExists(PathIn("plain")));
  EXPECT_TRUE(cap.Contains("ERROR_CHECK_BOOLEX:!path.IsDirectory()"));
}

TEST_F(FileHelperTest, RecycleBinKeepsEveryFile) {
  MakeTree({"sub/", "one", "sub/two"});
  ASSERT_TRUE(DeleteFolderTree(PathIn("tree"), true, false));
  EXPECT_FALSE(FileExists(PathIn("tree")));
  EXPECT_EQ(ReadFileBytes(PathIn("data/Trash/files/one")), "one");
  EXPECT_EQ(ReadFileBytes(PathIn("data/Trash/files/two")), "sub/two");
  EXPECT_NE(ReadFileBytes(PathIn("data/Trash/info/two.trashinfo")).find("Path=" + PathIn("tree/sub/two")),
            std::string::npos);
}

// One entry that cannot go: with the go-on flag the rest goes all the same, without it
// the walk stops there. The tree is never reported deleted.
TEST_F(FileHelperTest, TreeDeleteFailuresAreLoggedAndTheGoOnFlagDecides) {
  struct Row {
    bool toRecycleBin;
    FileOp op;
    const char* line;  // the failure's fixed log text, or null for one of our own
  } rows[] = {
      {true, FileOp::kRename, nullptr},  // its move to the Trash
      {false, FileOp::kUnlink, "ERROR_CHECK_BOOL:bRet"},
      {false, FileOp::kRmdir, "ERROR_CHECK_BOOLEX:!path.IsDirectory()"},
  };
  for (const Row& r : rows) {
    for (bool goOn : {false, true}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(r.op)) + (goOn ? " go on" : " stop"));
      if (r.op == FileOp::kRmdir)
        MakeTree({"a", "b/", "b/inner", "c"});
      else
        MakeTree({"a", "b", "c"});
      m_env.Clear();
      m_env.Fail(r.op, PathIn("tree/b"), EIO);
      LogCapture cap;
      EXPECT_FALSE(DeleteFolderTree(PathIn("tree"), r.toRecycleBin, goOn, &m_env));
      EXPECT_TRUE(FileExists(PathIn("tree/b"))) << "kept where it was";
      EXPECT_FALSE(FileExists(PathIn("tree/a")));
      EXPECT_EQ(FileExists(PathIn("tree/c")), !goOn);
      EXPECT_TRUE(r.line ? cap.Contains(r.line) : cap.Contains(PathIn("tree/b"))) << cap.All();
      EXPECT_TRUE(IsDir(PathIn("tree")));
    }
  }
}

// ---- ForceDeleteFile

TEST_F(FileHelperTest, ForceDeleteFileTable) {
  WriteFileBytes(PathIn("ro"), "r");
  ::chmod(PathIn("ro").c_str(), 0444);
  MakeDir("dir");
  MakeDir("outside");
  Link(PathIn("outside"), "link");
  WriteFileBytes(PathIn("busy"), "b");
  m_env.Fail(FileOp::kUnlink, PathIn("busy"), EBUSY);
  LogCapture cap;
  EXPECT_EQ(ForceDeleteFile(PathIn("ro")), S_OK);
  EXPECT_FALSE(FileExists(PathIn("ro")));
  EXPECT_EQ(ForceDeleteFile(PathIn("never")), S_OK);
  EXPECT_EQ(ForceDeleteFile(PathIn("link")), S_OK);
  EXPECT_TRUE(IsDir(PathIn("outside")));
  EXPECT_EQ(cap.Count("PathFileExistsW"), 0);
  EXPECT_EQ(ForceDeleteFile(PathIn("dir")), E_FAIL);
  EXPECT_TRUE(IsDir(PathIn("dir")));
  EXPECT_EQ(ForceDeleteFile(PathIn("busy"), &m_env), E_FAIL);
  EXPECT_TRUE(FileExists(PathIn("busy")));
  EXPECT_EQ(cap.Count("ERROR_CHECK_BOOLEX:!::PathFileExistsW(szFilePath)"), 2) << cap.All();
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
  m_env.Fail(FileOp::kMkdir, PathIn("m/n"), EACCES);
  EXPECT_EQ(EnsureDirectory(PathIn("m/n/o"), 0700, &m_env), E_FAIL);
  EXPECT_FALSE(FileExists(PathIn("m/n")));
  EXPECT_EQ(cap.Count("ERROR_CHECK_BOOL:path.IsDirectory()"), 4) << cap.All();
  EXPECT_EQ(ReadFileBytes(PathIn("file")), "in the way");
}

TEST_F(FileHelperTest, TimeStringsAgreeWithStatInTheLocalZone) {
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
  EXPECT_EQ(created, birth[0] == '-' ? written : birth) << "without a birth time the last write stands for it";

  setenv("TZ", "Asia/Shanghai", 1);
  tzset();
  std::string localCreated, localWritten;
  HRESULT hr = GetFileTimeStrings(f, &localCreated, &localWritten);
  setenv("TZ", "UTC", 1);
  tzset();
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(localWritten, "2024-03-05 21:04:05.1234567");

  LogCapture cap;
  created.clear();
  written.clear();
  EXPECT_EQ(GetFileTimeStrings(PathIn("missing"), &created, &written), E_FAIL);
  EXPECT_TRUE(cap.Contains("ERROR_CHECK_BOOLEX:bRetMSG: Can Not Get File Time: " + PathIn("missing"))) << cap.All();
  EXPECT_TRUE(created.empty());
}

// ---- MoveFileReplace

TEST_F(FileHelperTest, MoveFileReplaceTable) {
  for (const char* target : {"dst", "brand-new"}) {
    WriteFileBytes(PathIn("src"), target);
    WriteFileBytes(PathIn("dst"), "old");
    EXPECT_TRUE(MoveFileReplace(PathIn("src"), PathIn(target)));
    EXPECT_EQ(ReadFileBytes(PathIn(target)), target);
    EXPECT_FALSE(FileExists(PathIn("src")));
  }

  LogCapture cap;
  EXPECT_FALSE(MoveFileReplace(PathIn("src"), PathIn("dst")));  // missing source
  EXPECT_EQ(ReadFileBytes(PathIn("dst")), "old");
  WriteFileBytes(PathIn("src"), "s");
  EXPECT_FALSE(MoveFileReplace(PathIn("src"), PathIn("no/folder/dst")));
  EXPECT_EQ(ReadFileBytes(PathIn("src")), "s");
  EXPECT_FALSE(MoveFileReplace(PathIn("src"), PathIn("src")));  // the source is still there
  EXPECT_EQ(cap.Failures(), 3) << cap.All();
}

// ---- read and write handles

// A handle that failed once gives nothing more (a written file never holds a gap) and
// its Close reports the failure.
TEST_F(FileHelperTest, HandlesStopAfterAFailure) {
  WriteFileBytes(PathIn("h"), std::string(1000, 'o'));
  {
    CWriteFileHandle w(PathIn("h"), 0666, &m_env);
    EXPECT_EQ(w.Write("ab", 2), 2u);
    m_env.Fail(FileOp::kWrite, PathIn("h"), ENOSPC);
    EXPECT_EQ(w.Write("cd", 2), 0u);
    m_env.Clear();
    EXPECT_EQ(w.Write("ef", 2), 0u);
    EXPECT_FALSE(w.Close());
  }
  EXPECT_EQ(ReadFileBytes(PathIn("h")), "ab") << "emptied first, nothing after the failure";
  // Write handles whose file cannot be made, flushed or closed; read handles whose file
  // cannot be opened or read.
  const std::pair<FileOp, const char*> rows[] = {{FileOp::kOpen, "no/folder/file"}, {FileOp::kSync, "s"},
                                                  {FileOp::kClose, "s"},             {FileOp::kOpen, "missing"},
                                                  {FileOp::kRead, "h"}};
  for (const auto& [op, path] : rows) {
    SCOPED_TRACE(path);
    m_env.Clear();
    m_env.Fail(op, PathIn(path), EIO);
    char buf[4];
    if (path == std::string("missing") || op == FileOp::kRead) {
      CReadFileHandle read(PathIn(path), &m_env);
      EXPECT_EQ(read.Read(buf, 4), 0u);
      m_env.Clear();
      EXPECT_EQ(read.Read(buf, 4), 0u) << "nothing after a failure";
    } else {
      CWriteFileHandle write(PathIn(path), 0666, &m_env);
      EXPECT_EQ(write.Write("x", 1), op == FileOp::kOpen ? 0u : 1u);
      EXPECT_FALSE(write.Close());
    }
  }
}

// ---- GetFileSizeAndSha1

// A cancel leaves the size read but no digest; a missing file logs the check line.
TEST_F(FileHelperTest, SizeAndSha1AgreeWithSha1sumAndFailuresAreChecked) {
  std::string path = PathIn("f.bin");
  for (size_t n : {size_t(0), size_t(65537)}) {
    WriteFileBytes(path, RandomBytes(n, static_cast<uint32_t>(n)));
    int64_t size = -1;
    std::string sha1, peer;
    ASSERT_EQ(GetFileSizeAndSha1(path, &size, &sha1, nullptr), S_OK);
    ASSERT_EQ(RunCommand("sha1sum " + ShellQuote(path), &peer), 0);
    EXPECT_EQ(size, static_cast<int64_t>(n));
    EXPECT_EQ(sha1, peer.substr(0, 40));
  }
  int64_t size = 0;
  std::string sha1;
  EXPECT_EQ(GetFileSizeAndSha1(path, &size, &sha1, [] { return false; }), E_FAIL);
  EXPECT_TRUE(sha1.empty());
  EXPECT_EQ(size, 65537);
  LogCapture cap;
  EXPECT_EQ(GetFileSizeAndSha1(PathIn("missing"), &size, &sha1, nullptr), E_FAIL);
  EXPECT_EQ(cap.Count("ERROR_CHECK_COM hr = 80004005: hr"), 1);
}

}  // namespace
