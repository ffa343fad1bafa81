// File times from statx, checked against stat(1).
#include "platform/filetimes.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>

#include "support/testenv.h"

namespace {

class FileTimesTest : public OstrelTest {};

// Access and modify times to the nanosecond; the birth time as stat(1) reads it, or the
// modify time where the file system keeps none.
TEST_F(FileTimesTest, TimesAgreeWithStat) {
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
  if (birth != 0) {
    EXPECT_GT(t.birthSec, t.modifySec);  // born now, modified "in 2001"
  }
}

TEST_F(FileTimesTest, LinkIsNotFollowedAndAMissingFileFailsWithErrno) {
  std::string f = PathIn("f"), l = PathIn("l");
  WriteFileBytes(f, "x");
  struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, f.c_str(), old, 0), 0);
  ASSERT_EQ(::symlink(f.c_str(), l.c_str()), 0);
  FileTimes t;
  ASSERT_TRUE(GetFileTimes(l, &t));
  EXPECT_NE(t.modifySec, 1000000000);
  EXPECT_FALSE(GetFileTimes(PathIn("missing"), &t));
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
