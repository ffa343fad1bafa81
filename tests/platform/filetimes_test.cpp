// File times from statx, checked against stat(1).
#include "platform/filetimes.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>

#include "support/testenv.h"

namespace {

class FileTimesTest : public OstrelTest {};

TEST_F(FileTimesTest, ModifyTimeToTheNanosecond) {
  std::string f = PathIn("f");
  WriteFileBytes(f, "x");
  struct timespec times[2] = {{1500000000, 1}, {1709632800, 123456700}};
  ASSERT_EQ(::utimensat(AT_FDCWD, f.c_str(), times, 0), 0);
  FileTimes t;
  ASSERT_TRUE(GetFileTimes(f, &t));
  EXPECT_EQ(t.modifySec, 1709632800);
  EXPECT_EQ(t.modifyNsec, 123456700);
  EXPECT_EQ(t.accessSec, 1500000000);
  EXPECT_EQ(t.accessNsec, 1);
}

TEST_F(FileTimesTest, BirthTimeAgreesWithStatOrFallsBackToModify) {
  std::string f = PathIn("f");
  WriteFileBytes(f, "x");
  struct timespec times[2] = {{UTIME_OMIT, UTIME_OMIT}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, f.c_str(), times, 0), 0);
  FileTimes t;
  ASSERT_TRUE(GetFileTimes(f, &t));
  std::string out;
  ASSERT_EQ(RunCommand("stat -c %W " + ShellQuote(f), &out), 0);
  long long birth = std::atoll(out.c_str());
  if (birth == 0) {  // stat(1) prints 0 when the file system keeps no birth time
    EXPECT_FALSE(t.hasBirth);
    EXPECT_EQ(t.birthSec, 1000000000);
  } else {
    EXPECT_TRUE(t.hasBirth);
    EXPECT_EQ(t.birthSec, birth);
    EXPECT_GT(t.birthSec, t.modifySec);  // born now, modified "in 2001"
  }
}

TEST_F(FileTimesTest, LinkIsNotFollowed) {
  std::string f = PathIn("f"), l = PathIn("l");
  WriteFileBytes(f, "x");
  struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, f.c_str(), old, 0), 0);
  ASSERT_EQ(::symlink(f.c_str(), l.c_str()), 0);
  FileTimes t;
  ASSERT_TRUE(GetFileTimes(l, &t));
  EXPECT_NE(t.modifySec, 1000000000);
}

TEST_F(FileTimesTest, MissingFileFailsWithErrno) {
  FileTimes t;
  EXPECT_FALSE(GetFileTimes(PathIn("missing"), &t));
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
