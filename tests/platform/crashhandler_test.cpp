// The crash handler in forked children that really fail: a report appears in the dump
// folder and the child still dies by its signal.
#include "platform/crashhandler.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iterator>
#include <regex>

#include "support/testenv.h"

namespace {

void WriteToProtectedPage() {
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  *static_cast<volatile int*>(page) = 1;
}

class CrashHandlerTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    m_dump = PathIn("dump");
    std::filesystem::create_directories(m_dump);
  }

  // Runs body in a child (no core file) and returns its wait status.
  int RunChild(const std::function<void()>& body) {
    pid_t pid = fork();
    if (pid == 0) {
      struct rlimit none {0, 0};
      setrlimit(RLIMIT_CORE, &none);
      body();
      _exit(0);
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    m_child = pid;
    return status;
  }

  std::vector<std::string> DumpFiles() {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(m_dump)) out.push_back(e.path().string());
    return out;
  }

  std::string m_dump;
  pid_t m_child = 0;
};

TEST_F(CrashHandlerTest, FailingChildLeavesAReportAndDiesByItsSignal) {
  struct Row { const char* name; int signal; std::function<void()> fail; } rows[] = {
      {"SIGSEGV", SIGSEGV, WriteToProtectedPage},
      {"SIGABRT", SIGABRT, [] { std::abort(); }},
  };
  for (const Row& r : rows) {
    std::filesystem::remove_all(m_dump);
    std::filesystem::create_directories(m_dump);
    int status = RunChild([&] {
      if (!InstallCrashSignalHandler(m_dump + "/")) _exit(3);
      r.fail();
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << r.name << " status " << status;
    EXPECT_EQ(WTERMSIG(status), r.signal) << r.name;

    auto files = DumpFiles();
    ASSERT_EQ(files.size(), 1u) << r.name;
    std::string file = std::filesystem::path(files[0]).filename().string();
    EXPECT_TRUE(std::regex_match(
        file, std::regex("crash_" + std::to_string(m_child) + "_[0-9]+_" + std::to_string(r.signal) + "\\.txt")))
        << file;
    struct stat st {};
    ASSERT_EQ(stat(files[0].c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    std::string report = ReadFileBytes(files[0]);
    EXPECT_NE(report.find("signal: " + std::to_string(r.signal) + " (" + r.name + ")"), std::string::npos) << report;
    size_t bt = report.find("backtrace:\n");
    size_t maps = report.find("memory map:\n");
    ASSERT_NE(bt, std::string::npos);
    ASSERT_NE(maps, std::string::npos);
    EXPECT_GT(maps - bt, std::string("backtrace:\n\n").size()) << "the backtrace has frames";
    EXPECT_NE(report.find("[stack]", maps), std::string::npos) << "the memory map was copied";
  }
}

void PreviousHandler(int, siginfo_t*, void*) {}

TEST_F(CrashHandlerTest, DisabledOrRemovedHandlerWritesNothingButTheSignalStillEnds) {
  int status = RunChild([&] {
    InstallCrashSignalHandler(m_dump);
    SetCrashReportsEnabled(false);
    WriteToProtectedPage();
  });
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
  EXPECT_TRUE(DumpFiles().empty());

  // Removing the handler puts back exactly what was there before the first install,
  // on every signal it handles. The test sets that action itself: one nobody has set
  // reads back without the flag the C library adds to every action it sets, and in a
  // sanitizer build the action in place is the sanitizer's own.
  static constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS, SIGTRAP};
  for (bool ownHandler : {false, true}) {
    status = RunChild([&] {
      struct sigaction previous {}, before[std::size(kSignals)] {}, after {};
      if (ownHandler) previous.sa_sigaction = PreviousHandler;
      previous.sa_flags = ownHandler ? SA_SIGINFO | SA_ONSTACK | SA_RESTART | SA_NODEFER | SA_RESETHAND : 0;
      sigaddset(&previous.sa_mask, SIGUSR1);
      for (size_t i = 0; i < std::size(kSignals); ++i) {
        sigaction(kSignals[i], &previous, nullptr);
        sigaction(kSignals[i], nullptr, &before[i]);
      }
      if (!InstallCrashSignalHandler(m_dump) || !InstallCrashSignalHandler(m_dump)) _exit(1);
      UninstallCrashSignalHandler();
      for (size_t i = 0; i < std::size(kSignals); ++i) {
        sigaction(kSignals[i], nullptr, &after);
        bool same = after.sa_sigaction == before[i].sa_sigaction && after.sa_flags == before[i].sa_flags;
        for (int sig = 1; sig <= SIGRTMAX; ++sig)
          same = same && sigismember(&after.sa_mask, sig) == sigismember(&before[i].sa_mask, sig);
        if (!same) _exit(10 + static_cast<int>(i));
      }
      _exit(0);
    });
    ASSERT_TRUE(WIFEXITED(status)) << ownHandler;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "own handler before: " << ownHandler;
  }
  EXPECT_TRUE(DumpFiles().empty());
}

}  // namespace
