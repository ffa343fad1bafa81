// The file handle: whole-buffer loops over short transfers, close-on-exec, moves,
// and the fault seam.
#include "platform/posixfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <thread>

#include "support/filefault.h"
#include "support/testenv.h"

namespace {

class PosixFileTest : public OstrelTest {};

TEST_F(PosixFileTest, ReadFullCollectsShortReadsFromAPipe) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string payload = RandomBytes(300000, 7);  // more than a pipe holds
  PosixFile reader(fds[0]);
  std::thread writer([&] {
    PosixFile w(fds[1]);
    for (size_t off = 0; off < payload.size(); off += 1000) w.WriteFull(payload.data() + off, 1000);
  });
  std::string got(payload.size() + 10, '\0');
  ssize_t n = reader.ReadFull(got.data(), got.size());
  writer.join();
  ASSERT_EQ(n, static_cast<ssize_t>(payload.size()));  // stops at the end, not before
  got.resize(static_cast<size_t>(n));
  EXPECT_EQ(got, payload);
}

TEST_F(PosixFileTest, OpenAddsCloseOnExecAndKeepsThePath) {
  PosixFile f;
  ASSERT_TRUE(f.Open(PathIn("a"), O_WRONLY | O_CREAT, 0600));
  EXPECT_TRUE(::fcntl(f.fd(), F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(f.path(), PathIn("a"));
  ASSERT_TRUE(f.WriteFull("hello", 5));
  EXPECT_TRUE(f.Sync());
  EXPECT_TRUE(f.Close());
  EXPECT_TRUE(f.Close());  // twice is harmless
  EXPECT_EQ(ReadFileBytes(PathIn("a")), "hello");
}

TEST_F(PosixFileTest, FailuresReportErrno) {
  PosixFile f;
  EXPECT_FALSE(f.Open(PathIn("missing/x"), O_RDONLY));
  EXPECT_EQ(errno, ENOENT);
  char buf[4];
  EXPECT_EQ(f.ReadFull(buf, 4), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_FALSE(f.WriteFull(buf, 4));
  EXPECT_FALSE(SyncFolder(PathIn("missing")));
  EXPECT_FALSE(RenamePath(PathIn("missing"), PathIn("other")));
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(PosixFileTest, FaultSeamFailsMatchingOperationsOnly) {
  PosixFile f;
  ASSERT_TRUE(f.Open(PathIn("victim"), O_WRONLY | O_CREAT, 0600));
  PosixFile g;
  ASSERT_TRUE(g.Open(PathIn("bystander"), O_WRONLY | O_CREAT, 0600));
  {
    ScopedFileFault fault(FileOp::kWrite, "victim", ENOSPC, /*skip=*/1);
    EXPECT_TRUE(f.WriteFull("1", 1));
    EXPECT_FALSE(f.WriteFull("2", 1));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_TRUE(g.WriteFull("3", 1));
    EXPECT_TRUE(f.Sync());
    EXPECT_EQ(fault.Injected(), 1);
  }
  EXPECT_TRUE(f.WriteFull("4", 1));  // the hook is gone
  {
    ScopedFileFault fault(FileOp::kRename, "bystander", EIO);
    EXPECT_FALSE(RenamePath(PathIn("bystander"), PathIn("b2")));
    EXPECT_EQ(errno, EIO);
    EXPECT_TRUE(FileExists(PathIn("bystander")));
  }
}

TEST_F(PosixFileTest, RenameWithoutReplaceKeepsTheTarget) {
  WriteFileBytes(PathIn("from"), "new");
  WriteFileBytes(PathIn("to"), "old");
  EXPECT_FALSE(RenamePath(PathIn("from"), PathIn("to"), /*noReplace=*/true));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(ReadFileBytes(PathIn("to")), "old");
  EXPECT_TRUE(RenamePath(PathIn("from"), PathIn("to2"), true));
  EXPECT_TRUE(RenamePath(PathIn("to2"), PathIn("to")));
  EXPECT_EQ(ReadFileBytes(PathIn("to")), "new");
}

TEST_F(PosixFileTest, ReadWholeFileTrustsNoReportedSizeAndKeepsItsCap) {
  std::string bytes;
  ASSERT_TRUE(ReadWholeFile("/proc/self/status", 1 << 20, &bytes));  // reports size 0
  EXPECT_NE(bytes.find("Umask:"), std::string::npos);
  WriteFileBytes(PathIn("f"), std::string(100, 'x'));
  ASSERT_TRUE(ReadWholeFile(PathIn("f"), 100, &bytes));
  EXPECT_EQ(bytes.size(), 100u);
  EXPECT_FALSE(ReadWholeFile(PathIn("f"), 99, &bytes));
  EXPECT_EQ(errno, EFBIG);
  EXPECT_TRUE(bytes.empty());
  EXPECT_FALSE(ReadWholeFile("/proc/self/status", 10, &bytes));  // over the cap while reading
  EXPECT_EQ(errno, EFBIG);
  EXPECT_FALSE(ReadWholeFile(PathIn("missing"), 100, &bytes));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(ReadWholeFile(Root(), 100, &bytes));
  EXPECT_EQ(errno, EINVAL);
}

}  // namespace
