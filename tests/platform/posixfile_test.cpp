// The file handle and the real file system under it: whole-buffer loops over short
// transfers, close-on-exec, errno on failure; and the fault env every other fault test
// relies on. Folder listings are tested with the walk.
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

}  // namespace
