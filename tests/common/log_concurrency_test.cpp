// Several processes and threads writing one log lose no line and never interleave.
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "common/log.h"
#include "support/testenv.h"

namespace {

class LogConcurrencyTest : public OstrelTest {};

TEST_F(LogConcurrencyTest, ProcessesAndThreadsLoseNoLine) {
  constexpr int kProcesses = 4, kThreads = 8, kLines = 300;
  std::string base = PathIn("log/shared.log");
  LogInit("Ostrel", base, 4, 0, -1);

  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int i = 0; i < kLines; ++i) LogWriteFormat(kLogInfo, "f.cpp", 1, "proc %d line %d end", p, i);
      _exit(0);
    }
    children.push_back(pid);
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) LogWriteFormat(kLogInfo, "f.cpp", 1, "thread %d line %d end", t, i);
    });
  for (auto& th : threads) th.join();
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  std::istringstream in(ReadFileBytes(logcontrol::CurrentPath()));
  std::set<std::string> seen;
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    ++count;
    ASSERT_GE(line.size(), 6u);
    ASSERT_EQ(line.substr(line.size() - 5), " end\r") << "interleaved: " << line;
    size_t tab = line.rfind('\t');
    seen.insert(line.substr(tab + 1));
  }
  EXPECT_EQ(count, (kProcesses + kThreads) * kLines);
  EXPECT_EQ(seen.size(), static_cast<size_t>((kProcesses + kThreads) * kLines));
}

}  // namespace
