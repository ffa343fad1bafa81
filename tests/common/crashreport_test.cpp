// The crash-report object: the switch in config.ini, the dump folder, a crashing
// child's report, and the sweep of old reports with an injected clock.
#include "common/crashreport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

TEST_F(CrashReportTest, SwitchedOffInConfigIniInstallsNothing) {
  WriteFileBytes(m_config + "config.ini", "[Ostrel]\nCrashReport=0\n");
  InitCrashReport(m_config);
  EXPECT_FALSE(FileExists(m_config + "dump"));
}

TEST_F(CrashReportTest, CrashingChildLeavesAReportInTheDumpFolder) {
  // No config.ini: CrashReport defaults to 1.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    struct rlimit none {0, 0};
    setrlimit(RLIMIT_CORE, &none);
    InitCrashReport(m_config.substr(0, m_config.size() - 1));  // without the trailing separator
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile int*>(page) = 1;
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
  struct stat st {};
  ASSERT_EQ(stat((m_config + "dump").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  int reports = 0;
  for (const auto& e : fs::directory_iterator(m_config + "dump")) {
    ++reports;
    EXPECT_NE(ReadFileBytes(e.path().string()).find("signal: 11 (SIGSEGV)"), std::string::npos);
  }
  EXPECT_EQ(reports, 1);
}

TEST_F(CrashReportTest, InstallInThisProcessSetsTheFolder) {
  WriteFileBytes(m_config + "config.ini", "[Ostrel]\nCrashReport=1\nCrashReportDialog=1\n");
  InitCrashReport(m_config);
  EXPECT_EQ(GetCrashReporter().Folder(), m_config + "dump/");
  EXPECT_TRUE(GetCrashReporter().IsEnabled());
}

TEST_F(CrashReportTest, CleanOldFilesDeletesOnlyFilesOlderThanThreeDays) {
  FakeClock clock(1709632800);
  const int64_t now = 1709632800;
  std::string dump = m_config + "dump/";
  fs::create_directories(dump + "sub");
  struct Row {
    const char* name;
    int64_t age;
    bool gone;
  } rows[] = {
      {"crash_1_1_11.txt", COldFileCleaner::kMaxAgeSeconds + 1, true},
      {"any.dmp", COldFileCleaner::kMaxAgeSeconds * 10, true},
      {"exactly-three-days", COldFileCleaner::kMaxAgeSeconds, false},
      {"fresh.txt", 10, false},
      {"future.txt", -1000, false},
  };
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
