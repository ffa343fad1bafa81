// Atomic replace: the target holds the old or the new content, never a part, whatever
// step fails; moves across file systems copy through a temp file.
#include "platform/atomicfile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/registrystore.h"
#include "support/filefault.h"
#include "support/testenv.h"

namespace {

class AtomicFileTest : public OstrelTest {
 protected:
  // Names in the test's folder that look like our temp files.
  std::vector<std::string> TempLeftovers() {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(Root()))
      if (e.path().filename().string().find(".tmp") != std::string::npos) out.push_back(e.path().filename());
    return out;
  }
  mode_t ModeOf(const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st.st_mode & 07777;
  }
  FaultFileEnv m_env;
};

TEST_F(AtomicFileTest, WritesAndReplacesWithTheMode) {
  std::string target = PathIn("settings");
  ASSERT_TRUE(AtomicWriteFile(target, "first", 0600));
  EXPECT_EQ(ReadFileBytes(target), "first");
  EXPECT_EQ(ModeOf(target), 0600u);
  ASSERT_TRUE(AtomicWriteFile(target, std::string(), 0600));
  EXPECT_EQ(ReadFileBytes(target), "");
  std::string big = RandomBytes(3 << 20, 1);
  ASSERT_TRUE(AtomicWriteFile(target, big));
  EXPECT_EQ(ReadFileBytes(target), big);
  EXPECT_TRUE(TempLeftovers().empty());
  EXPECT_FALSE(AtomicWriteFile(PathIn("no/such/file"), "x"));
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(AtomicFileTest, AnyFailingStepKeepsTheOldContent) {
  const FileOp ops[] = {FileOp::kOpen, FileOp::kWrite, FileOp::kSync, FileOp::kClose, FileOp::kRename};
  std::string target = PathIn("keep");
  for (FileOp op : ops) {
    SCOPED_TRACE(static_cast<int>(op));
    WriteFileBytes(target, "old content");
    m_env.Clear();
    m_env.Fail(op, ".tmp", EIO);
    errno = 0;
    EXPECT_FALSE(AtomicWriteFile(target, RandomBytes(100000, 2), 0600, &m_env));
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(ReadFileBytes(target), "old content");
    EXPECT_TRUE(TempLeftovers().empty());
  }
}

// The first rename reports EXDEV, as across file systems, so the copy path runs here.
TEST_F(AtomicFileTest, CopyPathKeepsContentModeAndTimes) {
  std::string src = PathIn("src"), dst = PathIn("dst");
  std::string payload = RandomBytes((2 << 20) + 12345, 3);
  WriteFileBytes(src, payload);
  ::chmod(src.c_str(), 0640);
  struct timespec times[2] = {{1600000000, 5}, {1700000000, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, src.c_str(), times, 0), 0);
  WriteFileBytes(dst, "old");
  m_env.Fail(FileOp::kRename, src, EXDEV);
  ASSERT_TRUE(MoveReplace(src, dst, &m_env));
  EXPECT_EQ(m_env.Injected(), 1);
  EXPECT_FALSE(FileExists(src));
  EXPECT_EQ(ReadFileBytes(dst), payload);
  EXPECT_EQ(ModeOf(dst), 0640u);
  struct stat st {};
  ::stat(dst.c_str(), &st);
  EXPECT_EQ(st.st_mtim.tv_sec, 1700000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
  EXPECT_TRUE(TempLeftovers().empty());
}

// A failure before the copy replaced the target leaves both as they were; a source
// that cannot be removed afterwards fails the move with both holding the data.
TEST_F(AtomicFileTest, FailuresOfTheMoveLeaveNoHalfWrittenTarget) {
  std::string src = PathIn("src"), dst = PathIn("dst");
  const std::string payload = RandomBytes(3 << 20, 4);  // three 1 MiB chunks
  struct Row { const char* what; FileOp op; std::string part; int skip; int err; bool replaced; } rows[] = {
      {"source not synced", FileOp::kSync, src, 0, EIO, false},
      {"second chunk of the copy not written", FileOp::kWrite, ".tmp", 1, ENOSPC, false},
      {"source not read", FileOp::kRead, src, 0, EIO, false},
      {"source not removed", FileOp::kUnlink, src, 0, EBUSY, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    WriteFileBytes(src, payload);
    WriteFileBytes(dst, "old target");
    m_env.Clear();
    if (r.op != FileOp::kSync) m_env.Fail(FileOp::kRename, src, EXDEV);  // the copy path
    m_env.Fail(r.op, r.part, r.err, r.skip);
    EXPECT_FALSE(MoveReplace(src, dst, &m_env));
    EXPECT_EQ(errno, r.err);
    EXPECT_EQ(ReadFileBytes(dst), r.replaced ? payload : "old target");
    EXPECT_EQ(ReadFileBytes(src), payload);
    EXPECT_TRUE(TempLeftovers().empty());
  }
}

// A folder that cannot be synced after the change fails the call although the new
// content is in place, since it may not survive a power loss; a file system that does
// not sync folders (EINVAL) is no failure. What is left of the source follows the
// contract: gone after a rename, kept after a copy whose target folder was not synced.
TEST_F(AtomicFileTest, AFolderNotSyncedAfterTheRenameFailsTheCall) {
  enum class Call { kWrite, kMove, kMoveAcross };
  struct Row { const char* what; Call call; const char* sourceFolder; const char* failedFolder; int err; bool ok;
               bool sourceKept; } rows[] = {
      {"AtomicWriteFile, the target's folder", Call::kWrite, "", "", EIO, false, false},
      {"AtomicWriteFile where folders are not synced", Call::kWrite, "", "", EINVAL, true, false},
      {"MoveReplace in one file system, the target's folder", Call::kMove, "", "", EIO, false, false},
      {"MoveReplace in one file system, the source's folder", Call::kMove, "sub", "sub", EIO, false, false},
      {"MoveReplace across file systems, the target's folder", Call::kMoveAcross, "sub", "", EIO, false, true},
      {"MoveReplace across file systems, the source's folder", Call::kMoveAcross, "sub", "sub", EIO, false, false},
  };
  ASSERT_EQ(::mkdir(PathIn("sub").c_str(), 0700), 0);
  const std::string payload = RandomBytes(100000, 5);
  std::string dst = PathIn("dst");
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    std::string folder = *r.sourceFolder ? PathIn(r.sourceFolder) : Root();
    std::string src = folder + "/src";
    std::string failed = *r.failedFolder ? PathIn(r.failedFolder) : Root();
    WriteFileBytes(dst, "old target");
    if (r.call != Call::kWrite) WriteFileBytes(src, payload);
    m_env.Clear();
    if (r.call == Call::kMoveAcross) m_env.Fail(FileOp::kRename, src, EXDEV);
    m_env.SetHook([&](FileOp op, const std::string& path) { return op == FileOp::kSync && path == failed ? r.err : 0; });
    errno = 0;
    bool ok = r.call == Call::kWrite ? AtomicWriteFile(dst, payload, 0600, &m_env) : MoveReplace(src, dst, &m_env);
    EXPECT_EQ(ok, r.ok);
    if (!r.ok) {
      EXPECT_EQ(errno, r.err);
    }
    EXPECT_EQ(ReadFileBytes(dst), payload) << "the change has happened";
    EXPECT_EQ(FileExists(src), r.sourceKept);
    EXPECT_TRUE(TempLeftovers().empty());
    ::unlink(src.c_str());
  }
}

// The registry store's write reports a store that was replaced but not made durable.
TEST_F(AtomicFileTest, TheRegistryStoreReportsAFolderNotSynced) {
  std::string folder = PathIn("config");
  CRegistryStore store(folder + "/registry", &m_env);
  ASSERT_EQ(store.Update([](CRegistryData& d) { d.Set("K", "V", RegValue::Dword(1)); }),
            CRegistryStore::UpdateResult::kOk);
  m_env.SetHook([&](FileOp op, const std::string& path) { return op == FileOp::kSync && path == folder ? EIO : 0; });
  errno = 0;
  EXPECT_EQ(store.Update([](CRegistryData& d) { d.Set("K", "V", RegValue::Dword(2)); }),
            CRegistryStore::UpdateResult::kWriteFailed);
  EXPECT_EQ(errno, EIO);
  CRegistryData data;
  ASSERT_TRUE(store.Read(&data));
  ASSERT_NE(data.Find("K", "V"), nullptr);
  EXPECT_EQ(data.Find("K", "V")->number, 2u) << "the new store is in place, not yet durably";
}

TEST_F(AtomicFileTest, CopyPathRefusesFoldersAndLinks) {
  ASSERT_EQ(::mkdir(PathIn("dir").c_str(), 0700), 0);
  ASSERT_EQ(::symlink("dir", PathIn("link").c_str()), 0);
  m_env.Fail(FileOp::kRename, "", EXDEV);
  for (const char* name : {"dir", "link"}) {
    EXPECT_FALSE(MoveReplace(PathIn(name), PathIn(std::string(name) + "2"), &m_env)) << name;
    EXPECT_EQ(errno, EXDEV);
    EXPECT_TRUE(FileExists(PathIn(name)));
  }
}

}  // namespace
