// The file handle and the real file system under it: whole-buffer loops over short
// transfers, close-on-exec, errno on failure, file times from statx against stat(1);
// and the fault env every other fault test relies on. Folder listings are tested with
// the walk.
#include "platform/posixfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "platform/filetimes.h"
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

TEST_F(PosixFileTest, OpenAddsCloseOnExecAndFailuresReportErrno) {
  PosixFile f;
  ASSERT_TRUE(f.Open(PathIn("a"), O_WRONLY | O_CREAT, 0600));
  EXPECT_TRUE(::fcntl(f.fd(), F_GETFD) & FD_CLOEXEC);
  ASSERT_TRUE(f.WriteFull("hello", 5));
  EXPECT_TRUE(f.Sync());
  EXPECT_TRUE(f.Close());
  EXPECT_TRUE(f.Close());  // twice is harmless
  EXPECT_EQ(ReadFileBytes(PathIn("a")), "hello");

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

TEST_F(PosixFileTest, ReadWholeFileTrustsNoReportedSizeAndKeepsItsCap) {
  std::string bytes;
  ASSERT_TRUE(ReadWholeFile("/proc/self/status", 1 << 20, &bytes));  // reports size 0
  EXPECT_NE(bytes.find("Umask:"), std::string::npos);
  WriteFileBytes(PathIn("f"), std::string(100, 'x'));
  ASSERT_TRUE(ReadWholeFile(PathIn("f"), 100, &bytes));
  EXPECT_EQ(bytes.size(), 100u);
  struct Row { std::string path; size_t cap; int err; } rows[] = {
      {PathIn("f"), 99, EFBIG},
      {"/proc/self/status", 10, EFBIG},  // over the cap while reading
      {PathIn("missing"), 100, ENOENT},
      {Root(), 100, EINVAL}};
  for (const Row& r : rows) {
    EXPECT_FALSE(ReadWholeFile(r.path, r.cap, &bytes)) << r.path;
    EXPECT_EQ(errno, r.err) << r.path;
    EXPECT_TRUE(bytes.empty());
  }
}

TEST_F(PosixFileTest, FaultEnvFailsMatchingCallsOnlyAfterTheSkippedOnes) {
  FaultFileEnv env;
  PosixFile f(&env), g(&env);
  ASSERT_TRUE(f.Open(PathIn("victim"), O_WRONLY | O_CREAT, 0600));
  ASSERT_TRUE(g.Open(PathIn("bystander"), O_WRONLY | O_CREAT, 0600));
  env.Fail(FileOp::kWrite, "victim", ENOSPC, /*skip=*/1);
  EXPECT_TRUE(f.WriteFull("1", 1));
  EXPECT_FALSE(f.WriteFull("2", 1));
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_FALSE(f.WriteFull("2", 1)) << "every later matching call fails too";
  EXPECT_TRUE(g.WriteFull("3", 1));
  EXPECT_TRUE(f.Sync());
  EXPECT_EQ(env.Injected(), 2);
  env.Clear();
  EXPECT_TRUE(f.WriteFull("4", 1));

  env.SetHook([](FileOp op, const std::string& path) {
    return op == FileOp::kRename && path.ends_with("/g") ? EIO : 0;
  });
  WriteFileBytes(PathIn("g"), "g");
  EXPECT_FALSE(RenamePath(PathIn("g"), PathIn("g2"), false, &env)) << "a rename concerns its source";
  EXPECT_EQ(errno, EIO);
  EXPECT_TRUE(RenamePath(PathIn("bystander"), PathIn("g"), false, &env));
}

// Access and modify times to the nanosecond; the birth time as stat(1) reads it, or the
// modify time where the file system keeps none. A missing file fails with errno.
TEST_F(PosixFileTest, FileTimesAgreeWithStatAndALinkIsNotFollowed) {
  std::string f = PathIn("f");
  WriteFileBytes(f, "x");
  struct timespec times[2] = {{1500000000, 1}, {1000000000, 123456700}};
  ASSERT_EQ(::utimensat(AT_FDCWD, f.c_str(), times, 0), 0);
  FileTimes t;
  ASSERT_TRUE(GetFileTimes(f, &t));
  EXPECT_EQ(t.modifySec, 1000000000);
  EXPECT_EQ(t.modifyNsec, 123456700);
  EXPECT_EQ(t.accessSec, 1500000000);
  EXPECT_EQ(t.accessNsec, 1);
  std::string out;
  ASSERT_EQ(RunCommand("stat -c %W " + ShellQuote(f), &out), 0);
  long long birth = std::atoll(out.c_str());
  EXPECT_EQ(t.hasBirth, birth != 0);  // stat(1) prints 0 when there is no birth time
  EXPECT_EQ(t.birthSec, birth != 0 ? birth : 1000000000);
  // A link has its own times, not its target's.
  ASSERT_EQ(::symlink(f.c_str(), PathIn("l").c_str()), 0);
  ASSERT_TRUE(GetFileTimes(PathIn("l"), &t));
  EXPECT_NE(t.modifySec, 1000000000);
  EXPECT_FALSE(GetFileTimes(PathIn("missing"), &t));
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
