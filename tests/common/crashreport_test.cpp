// The crash-report object: the switch in config.ini, the dump folder, and the sweep of
// old reports with an injected clock.
#include "common/crashreport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/crashhandler.h"
#include "support/fakeclock.h"
#include "support/testenv.h"

namespace fs = std::filesystem;

namespace {

class CrashReportTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    m_config = PathIn("data/Tarvelin/ostrel/");
    fs::create_directories(m_config);
  }
  void TearDown() override {
    UninstallCrashSignalHandler();
    GetCrashReporter().SetFolder("");
    GetCrashReporter().SetClock(nullptr);
    OstrelTest::TearDown();
  }
  void SetMtime(const std::string& path, int64_t sec) {
    struct timespec times[2] = {{0, UTIME_OMIT}, {sec, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  }
  std::string m_config;
};

// Switched off, nothing is installed; by default (no config.ini) the handler goes in
// for the dump folder, made 0700, with or without a trailing separator on the root.
// What the handler writes is the crash handler's own test.
TEST_F(CrashReportTest, TheSwitchInConfigIniInstallsTheHandlerForTheDumpFolder) {
  WriteFileBytes(m_config + "config.ini", "[Ostrel]\nCrashReport=0\n");
  InitCrashReport(m_config);
  EXPECT_FALSE(FileExists(m_config + "dump"));
  ASSERT_EQ(unlink((m_config + "config.ini").c_str()), 0);
  struct sigaction before {}, after {};
  sigaction(SIGSEGV, nullptr, &before);
  InitCrashReport(m_config.substr(0, m_config.size() - 1));
  sigaction(SIGSEGV, nullptr, &after);
  EXPECT_NE(after.sa_sigaction, before.sa_sigaction);
  EXPECT_EQ(GetCrashReporter().Folder(), m_config + "dump/");
  EXPECT_TRUE(GetCrashReporter().IsEnabled());
  struct stat st {};
  ASSERT_EQ(stat((m_config + "dump").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(CrashReportTest, CleanOldFilesDeletesOnlyFilesOlderThanThreeDays) {
  FakeClock clock(1709632800);
  const int64_t now = 1709632800;
  std::string dump = m_config + "dump/";
  fs::create_directories(dump + "sub");
  struct Row { const char* name; int64_t age; bool gone; } rows[] = {
      {"crash_1_1_11.txt", COldFileCleaner::kMaxAgeSeconds + 1, true},
      {"any.dmp", COldFileCleaner::kMaxAgeSeconds * 10, true},
      {"exactly-three-days", COldFileCleaner::kMaxAgeSeconds, false}, {"future.txt", -1000, false}};
  for (const Row& r : rows) {
    WriteFileBytes(dump + r.name, "x");
    SetMtime(dump + r.name, now - r.age);
  }
  SetMtime(dump + "sub", now - 10 * COldFileCleaner::kMaxAgeSeconds);
  WriteFileBytes(PathIn("outside.txt"), "keep");
  SetMtime(PathIn("outside.txt"), now - 10 * COldFileCleaner::kMaxAgeSeconds);
  ASSERT_EQ(symlink(PathIn("outside.txt").c_str(), (dump + "old-link").c_str()), 0);
  SetMtime(dump + "old-link", now - 10 * COldFileCleaner::kMaxAgeSeconds);

  CCrashReport& reporter = GetCrashReporter();
  EXPECT_EQ(reporter.CleanOldFiles(), 0) << "no folder yet";
  reporter.SetFolder(dump);
  reporter.SetClock(&clock);
  EXPECT_EQ(reporter.CleanOldFiles(), 3);
  for (const Row& r : rows) EXPECT_EQ(FileExists(dump + r.name), !r.gone) << r.name;
  EXPECT_TRUE(fs::is_directory(dump + "sub"));
  EXPECT_FALSE(FileExists(dump + "old-link"));
  EXPECT_EQ(ReadFileBytes(PathIn("outside.txt")), "keep");
}

}  // namespace
