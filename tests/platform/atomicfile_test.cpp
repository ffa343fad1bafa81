// Atomic replace: the target holds the old or the new content, never a part, whatever
// step fails; moves across file systems copy through a temp file.
#include "platform/atomicfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

#include "platform/guid.h"
#include "support/filefault.h"
#include "support/testenv.h"

namespace {

class AtomicFileTest : public OstrelTest {
 protected:
  // Names in a folder that look like our temp files.
  std::vector<std::string> TempLeftovers(const std::string& folder) {
    std::vector<std::string> out;
    DIR* d = ::opendir(folder.c_str());
    if (!d) return out;
    while (auto* e = ::readdir(d))
      if (std::strstr(e->d_name, ".tmp")) out.push_back(e->d_name);
    ::closedir(d);
    return out;
  }
  mode_t ModeOf(const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st.st_mode & 07777;
  }
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
  EXPECT_TRUE(TempLeftovers(Root()).empty());
}

TEST_F(AtomicFileTest, AnyFailingStepKeepsTheOldContent) {
  struct Row {
    FileOp op;
    int skip;
    const char* what;
  } rows[] = {{FileOp::kWrite, 0, "write"}, {FileOp::kSync, 0, "fsync"}, {FileOp::kRename, 0, "rename"}};
  std::string target = PathIn("keep");
  for (const auto& r : rows) {
    WriteFileBytes(target, "old content");
    {
      ScopedFileFault fault(r.op, ".tmp", EIO, r.skip);
      errno = 0;
      EXPECT_FALSE(AtomicWriteFile(target, RandomBytes(100000, 2))) << r.what;
      EXPECT_EQ(errno, EIO) << r.what;
      EXPECT_EQ(fault.Injected(), 1) << r.what;
    }
    EXPECT_EQ(ReadFileBytes(target), "old content") << r.what;
    EXPECT_TRUE(TempLeftovers(Root()).empty()) << r.what;
  }
}

TEST_F(AtomicFileTest, MissingFolderFails) {
  EXPECT_FALSE(AtomicWriteFile(PathIn("no/such/file"), "x"));
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(AtomicFileTest, MoveReplaceRenamesWithinOneFileSystem) {
  WriteFileBytes(PathIn("src"), "new");
  WriteFileBytes(PathIn("dst"), "old");
  ASSERT_TRUE(MoveReplace(PathIn("src"), PathIn("dst")));
  EXPECT_FALSE(FileExists(PathIn("src")));
  EXPECT_EQ(ReadFileBytes(PathIn("dst")), "new");
  EXPECT_FALSE(MoveReplace(PathIn("src"), PathIn("dst")));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(ReadFileBytes(PathIn("dst")), "new");
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
  {
    ScopedFileFault fault(FileOp::kRename, "/src", EXDEV);
    ASSERT_TRUE(MoveReplace(src, dst));
    EXPECT_EQ(fault.Injected(), 1);
  }
  EXPECT_FALSE(FileExists(src));
  EXPECT_EQ(ReadFileBytes(dst), payload);
  EXPECT_EQ(ModeOf(dst), 0640u);
  struct stat st {};
  ::stat(dst.c_str(), &st);
  EXPECT_EQ(st.st_mtim.tv_sec, 1700000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
  EXPECT_TRUE(TempLeftovers(Root()).empty());
}

TEST_F(AtomicFileTest, CopyPathFailingMidCopyLeavesBothUntouched) {
  std::string src = PathIn("src"), dst = PathIn("dst");
  std::string payload = RandomBytes(3 << 20, 4);  // three 1 MiB chunks
  WriteFileBytes(src, payload);
  WriteFileBytes(dst, "old target");
  {
    // The source rename reports EXDEV; the second chunk written to the temp file fails.
    ScopedFileFault fault([n = 0](FileOp op, const std::string& path) mutable -> int {
      if (op == FileOp::kRename && path.find("/src") != std::string::npos) return EXDEV;
      if (op == FileOp::kWrite && path.find(".tmp") != std::string::npos && ++n == 2) return ENOSPC;
      return 0;
    });
    EXPECT_FALSE(MoveReplace(src, dst));
    EXPECT_EQ(errno, ENOSPC);
  }
  EXPECT_EQ(ReadFileBytes(dst), "old target");
  EXPECT_EQ(ReadFileBytes(src), payload);
  EXPECT_TRUE(TempLeftovers(Root()).empty());
}

TEST_F(AtomicFileTest, CopyPathRefusesFoldersAndLinks) {
  ASSERT_EQ(::mkdir(PathIn("dir").c_str(), 0700), 0);
  ASSERT_EQ(::symlink("dir", PathIn("link").c_str()), 0);
  ScopedFileFault fault(FileOp::kRename, "", EXDEV);
  EXPECT_FALSE(MoveReplace(PathIn("dir"), PathIn("dir2")));
  EXPECT_EQ(errno, EXDEV);
  EXPECT_FALSE(MoveReplace(PathIn("link"), PathIn("link2")));
  EXPECT_EQ(errno, EXDEV);
  EXPECT_TRUE(FileExists(PathIn("dir")));
  EXPECT_TRUE(FileExists(PathIn("link")));
}

// A real move between /dev/shm (tmpfs) and the test folder, where they differ.
TEST_F(AtomicFileTest, RealCrossDeviceMove) {
  struct stat shm {}, here {};
  if (::stat("/dev/shm", &shm) != 0 || ::stat(Root().c_str(), &here) != 0 || shm.st_dev == here.st_dev)
    GTEST_SKIP() << "/dev/shm is not another file system here";
  std::string src = "/dev/shm/ostrel-atomicfile-" + NewGuidString();
  std::string payload = RandomBytes((1 << 20) + 7, 5);
  WriteFileBytes(src, payload);
  WriteFileBytes(PathIn("dst"), "old");
  bool moved = MoveReplace(src, PathIn("dst"));
  int err = errno;
  ::unlink(src.c_str());
  ASSERT_TRUE(moved) << std::strerror(err);
  EXPECT_EQ(ReadFileBytes(PathIn("dst")), payload);
  EXPECT_TRUE(TempLeftovers(Root()).empty());
}

}  // namespace
