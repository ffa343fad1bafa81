// The sync folder's file services against the tools that see the same files: stat,
// sha1sum, cmp, touch and flock; injected failures of the file system and the codes
// they map to.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "platform/posixfile.h"
#include "storetestutil.h"
#include "support/filefault.h"
#include "support/heldfile.h"
#include "support/logcapture.h"

namespace {

class LocalStorageFilesTest : public LocalStorageFixture {
 protected:
  // The store works on the fault env, which fails nothing until a test says so.
  void SetUp() override {
    LocalStorageFixture::SetUp();
    m_store = nullptr;
    ASSERT_EQ(CreateLocalStorage(m_store.Receive(), &m_env), S_OK);
    ASSERT_EQ(m_store->Init(m_userDir, m_syncDir), S_OK);
  }
  std::string Shell(const std::string& command) {
    std::string out;
    EXPECT_EQ(RunCommand(command, &out), 0) << command;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  mode_t Mode(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
  }
  FaultFileEnv m_env;
};

TEST_F(LocalStorageFilesTest, FullPathsStayInsideTheSyncFolder) {
  using namespace std::string_literals;
  struct Case {
    std::string relative;
    std::string full;  // "" = refused
  };
  const Case cases[] = {
      {"", m_syncDir},        {"abc", m_syncDir + "/abc"},  {"a/b/c.txt", m_syncDir + "/a/b/c.txt"},
      {"{9F0E}-id", m_syncDir + "/{9F0E}-id"},              {"..", ""},
      {"../escape", ""},      {"a/../../escape", ""},       {"/etc/passwd", ""},
      {".", ""},              {"a//b", ""},                 {"a/", ""},
      {"a\0b"s, ""},
      // The temp folder is emptied at every start: no item may be placed in it.
      {".tmp", ""},           {".tmp/a.txt", ""},           {".tmpx", m_syncDir + "/.tmpx"},
      {"a/.tmp", m_syncDir + "/a/.tmp"},
  };
  LogCapture log;
  for (const Case& c : cases) EXPECT_EQ(m_store->GetFullPath(c.relative), c.full) << c.relative;
  EXPECT_EQ(log.Failures(), 10) << "each refusal is logged";

  // Services given a refused relative path fail before touching anything.
  std::string sha1, created, modified, temp;
  int64_t size = 0;
  EXPECT_EQ(m_store->GetFileSha1ByPath("../user/tevok.db", &sha1, true), E_INVALIDARG);
  EXPECT_EQ(m_store->GetFileSizeByPath("../user/tevok.db", &size, true), E_INVALIDARG);
  EXPECT_EQ(m_store->GetFileTimeByPath("../user/tevok.db", &created, &modified, true), E_INVALIDARG);
  EXPECT_EQ(m_store->CopyFileToTempPathByFullPath("../user/tevok.db", &temp, true), E_INVALIDARG);
  EXPECT_TRUE(temp.empty());
}

TEST_F(LocalStorageFilesTest, TempPathsAreNewGuidsAndCreateNothing) {
  const std::string folder = m_store->GetTempFolder();
  EXPECT_EQ(folder, m_syncDir + "/.tmp/");
  // In the store's own work folder "work-{GUID}" inside the temp folder.
  const std::string work = FolderOfPath(m_store->GetTempFilePath()) + "/";
  EXPECT_EQ(work.rfind(folder + "work-{", 0), 0u) << work;
  EXPECT_EQ(work.size(), folder.size() + 5 + 38 + 1) << work;
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    std::string path = m_store->GetTempFilePath();
    ASSERT_EQ(path.rfind(work + "{", 0), 0u) << path;
    EXPECT_TRUE(path.size() == work.size() + 38 && path.back() == '}') << path;
    EXPECT_TRUE(seen.insert(path).second) << "repeated " << path;
  }
  EXPECT_EQ(Shell("ls -A " + ShellQuote(work)), "");
}

// The facts themselves are the base library's (checked against sha1sum and stat there):
// here a relative path is the sync folder's, and a missing file fails.
TEST_F(LocalStorageFilesTest, FactsOfLocalFilesByFullOrRelativePath) {
  const std::string path = m_syncDir + "/docs/notes.txt";
  ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(m_syncDir + "/docs")), 0);
  WriteFileBytes(path, RandomBytes(200000, 7));
  ASSERT_EQ(RunCommand("touch -d '2020-02-29 12:34:56.1234567' " + ShellQuote(path)), 0);
  std::string sha1, relativeSha1, created, modified;
  int64_t size = 0;
  ASSERT_EQ(m_store->GetFileSha1ByPath(path, &sha1, false), S_OK);
  EXPECT_EQ(sha1, Shell("sha1sum " + ShellQuote(path) + " | cut -c1-40"));
  ASSERT_EQ(m_store->GetFileSha1ByPath("docs/notes.txt", &relativeSha1, true), S_OK);
  EXPECT_EQ(relativeSha1, sha1);
  ASSERT_EQ(m_store->GetFileSizeByPath("docs/notes.txt", &size, true), S_OK);
  EXPECT_EQ(size, 200000);
  ASSERT_EQ(m_store->GetFileTimeByPath("docs/notes.txt", &created, &modified, true), S_OK);
  EXPECT_EQ(modified, "2020-02-29 12:34:56.1234567");  // the tests run with TZ=UTC

  LogCapture log;
  EXPECT_EQ(m_store->GetFileSizeByPath("docs/missing", &size, true), E_FAIL);
  EXPECT_EQ(m_store->GetFileSha1ByPath(m_syncDir + "/missing", &sha1, false), E_FAIL);
  EXPECT_EQ(m_store->GetFileTimeByPath("missing", &created, &modified, true), E_FAIL);
  EXPECT_GE(log.Count("ERROR_CHECK_COM hr = 80004005"), 3);
}

TEST_F(LocalStorageFilesTest, CopyIntoTheTempFolder) {
  std::string source = PathIn("upload.bin");
  WriteFileBytes(source, RandomBytes(3 << 20, 11));  // more than one copy buffer
  std::string temp;
  ASSERT_EQ(m_store->CopyFileToTempPathByFullPath(source, &temp, false), S_OK);
  EXPECT_EQ(temp.rfind(m_store->GetTempFolder(), 0), 0u);
  EXPECT_EQ(RunCommand("cmp -s " + ShellQuote(source) + " " + ShellQuote(temp)), 0);
  EXPECT_EQ(Mode(temp), 0600u);

  WriteFileBytes(m_syncDir + "/rel.txt", "relative");
  std::string temp2;
  ASSERT_EQ(m_store->CopyFileToTempPathByFullPath("rel.txt", &temp2, true), S_OK);
  EXPECT_NE(temp2, temp);
  EXPECT_EQ(ReadFileBytes(temp2), "relative");

  LogCapture log;
  std::string none;
  EXPECT_EQ(m_store->CopyFileToTempPathByFullPath(PathIn("missing"), &none, false), E_CV_LOCAL_NOT_EXIST);
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOLEX:pathSource.FileExists()"));
  EXPECT_EQ(m_store->CopyFileToTempPathByFullPath(PathIn(""), &none, false), E_CV_LOCAL_LOCKED);  // a folder
  EXPECT_TRUE(none.empty());
}

TEST_F(LocalStorageFilesTest, SpecialFilesAreRefusedWithoutWaitingForAWriter) {
  // Before the check, opening the FIFO waited for a writer for ever.
  ASSERT_EQ(mkfifo((m_syncDir + "/pipe").c_str(), 0600), 0);
  ASSERT_EQ(symlink("pipe", (m_syncDir + "/link-to-pipe").c_str()), 0);
  for (const std::string& path : {m_syncDir + "/pipe", m_syncDir + "/link-to-pipe", std::string("/dev/null")}) {
    std::string sha1 = "x", temp;
    EXPECT_EQ(m_store->GetFileSha1ByPath(path, &sha1, false), E_INVALIDARG) << path;
    EXPECT_TRUE(sha1.empty());
    EXPECT_EQ(m_store->CopyFileToTempPathByFullPath(path, &temp, false), E_INVALIDARG) << path;
    EXPECT_TRUE(temp.empty());
  }
  EXPECT_EQ(Shell("ls -A " + ShellQuote(FolderOfPath(m_store->GetTempFilePath()))), "");
}

TEST_F(LocalStorageFilesTest, FailedCopiesLeaveNoTempFile) {
  std::string source = PathIn("upload.bin");
  WriteFileBytes(source, RandomBytes(100000, 3));
  struct Case { FileOp op; const char* part; int err; HRESULT hr; };
  const Case cases[] = {
      {FileOp::kWrite, "/.tmp/", ENOSPC, E_FAIL},           {FileOp::kWrite, "/.tmp/", EIO, E_FAIL},
      {FileOp::kWrite, "/.tmp/", EACCES, E_CV_LOCAL_LOCKED}, {FileOp::kWrite, "/.tmp/", EROFS, E_CV_LOCAL_LOCKED},
      {FileOp::kOpen, "/.tmp/", ENOSPC, E_FAIL},            {FileOp::kClose, "/.tmp/", EIO, E_FAIL},
      {FileOp::kOpen, "/upload.bin", EACCES, E_CV_LOCAL_LOCKED},
      {FileOp::kRead, "/upload.bin", EIO, E_FAIL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.op)) + " " + c.part + " " + std::to_string(c.err));
    m_env.Clear();
    m_env.Fail(c.op, c.part, c.err);
    std::string temp;
    EXPECT_EQ(m_store->CopyFileToTempPathByFullPath(source, &temp, false), c.hr);
    EXPECT_TRUE(temp.empty());
    EXPECT_GT(m_env.Injected(), 0);
  }
  m_env.Clear();
  EXPECT_EQ(Shell("ls -A " + ShellQuote(FolderOfPath(m_store->GetTempFilePath()))), "");
}

TEST_F(LocalStorageFilesTest, MoveIntoTheSyncFolder) {
  std::string temp = m_store->GetTempFilePath();
  WriteFileBytes(temp, "downloaded");
  ASSERT_EQ(chmod(temp.c_str(), 0600), 0);
  const std::string target = m_syncDir + "/a/b/c/file.txt";  // parents made
  ASSERT_EQ(m_store->MoveTempFileToSyncSpace(temp, target, "file.txt"), S_OK);
  EXPECT_EQ(ReadFileBytes(target), "downloaded");
  EXPECT_FALSE(FileExists(temp));
  // The user's file gets what a file the user saves would get.
  mode_t mask = static_cast<mode_t>(std::stoul(Shell("sh -c umask"), nullptr, 8));
  EXPECT_EQ(Mode(target), 0666u & ~mask);

  // An existing file is replaced.
  std::string next = m_store->GetTempFilePath();
  WriteFileBytes(next, "newer");
  ASSERT_EQ(m_store->MoveTempFileToSyncSpace(next, target, "file.txt"), S_OK);
  EXPECT_EQ(ReadFileBytes(target), "newer");

  LogCapture log;
  EXPECT_EQ(m_store->MoveTempFileToSyncSpace(m_store->GetTempFilePath(), target, "file.txt"),
            static_cast<HRESULT>(0x80046001));
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOLEX:pathSource.FileExists()"));
  EXPECT_EQ(ReadFileBytes(target), "newer");
}

TEST_F(LocalStorageFilesTest, MoveOntoAFileAnotherProgramHolds) {
  const std::string target = m_syncDir + "/held.txt";
  for (HeldFile::Kind kind : {HeldFile::kFlock, HeldFile::kOpenOnly}) {
    WriteFileBytes(target, "the user's version");
    std::string temp = m_store->GetTempFilePath();
    WriteFileBytes(temp, "the service's version");
    {
      HeldFile holder(target, kind);
      ASSERT_TRUE(holder.Ready());
      EXPECT_EQ(m_store->MoveTempFileToSyncSpace(temp, target, "held.txt"), static_cast<HRESULT>(0x80046002));
      EXPECT_EQ(ReadFileBytes(target), "the user's version");
      EXPECT_TRUE(FileExists(temp));
    }
    // Once the program lets go, the move goes through.
    EXPECT_EQ(m_store->MoveTempFileToSyncSpace(temp, target, "held.txt"), S_OK);
    EXPECT_EQ(ReadFileBytes(target), "the service's version");
  }
}

TEST_F(LocalStorageFilesTest, MoveFailuresMapToLocalCodes) {
  struct Case { int err; HRESULT hr; bool logged; };
  const Case cases[] = {
      {EACCES, E_CV_LOCAL_LOCKED, false},
      {EBUSY, E_CV_LOCAL_LOCKED, false},
      {EEXIST, E_CV_LOCAL_LOCKED, false},  // a target that cannot be replaced is "locked"
      {ENOENT, E_CV_LOCAL_NOT_EXIST, true},
      {EIO, E_FAIL, true},
  };
  const std::string target = m_syncDir + "/target.txt";
  WriteFileBytes(target, "old");
  for (const Case& c : cases) {
    std::string temp = m_store->GetTempFilePath();
    WriteFileBytes(temp, "new");
    LogCapture log;
    m_env.Clear();
    m_env.Fail(FileOp::kRename, "/.tmp/", c.err);
    EXPECT_EQ(m_store->MoveTempFileToSyncSpace(temp, target, "target.txt"), c.hr) << c.err;
    m_env.Clear();
    EXPECT_EQ(log.Contains("ERROR_CHECK_BOOL:S_OK == hr || E_CV_LOCAL_LOCKED == hr"), c.logged) << c.err;
    EXPECT_EQ(ReadFileBytes(target), "old");
    EXPECT_TRUE(FileExists(temp));
  }
}

class LocalStorageEncodingTest : public LocalStorageFixture {};

TEST_F(LocalStorageEncodingTest, EncodeAndDecodeRoundTripWithoutLoggingTheKey) {
  const std::string key = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  std::string plain = PathIn("notes.txt");
  WriteFileBytes(plain, std::string(100000, 'a') + RandomBytes(5000, 9));
  LogCapture log;
  std::string encoded = m_store->GetTempFilePath();
  ASSERT_EQ(m_store->EncodeFile("notes.txt", plain, encoded, key), S_OK);
  EXPECT_EQ(ReadFileBytes(encoded).substr(0, 19), "Tarvelin_FileHeader");
  std::string decoded = m_store->GetTempFilePath();
  ASSERT_EQ(m_store->DecodeFile(encoded, decoded, key), S_OK);
  EXPECT_EQ(RunCommand("cmp -s " + ShellQuote(plain) + " " + ShellQuote(decoded)), 0);
  EXPECT_TRUE(log.Contains("FileKey = __key__")) << "the call is logged, its key masked";
  EXPECT_FALSE(log.Contains(key)) << "the file key reached the log";

  // Empty arguments are logged; the routines' failures come back unchanged.
  log.Clear();
  EXPECT_TRUE(FAILED(m_store->EncodeFile("", PathIn("missing"), "", "")));
  EXPECT_GE(log.Failures(), 3) << log.All();
  log.Clear();
  EXPECT_TRUE(FAILED(m_store->DecodeFile(plain, PathIn("out.txt"), key)));  // not an encoded file
  EXPECT_GT(log.Failures(), 0);
  EXPECT_FALSE(FileExists(PathIn("out.txt")));
}

}  // namespace
