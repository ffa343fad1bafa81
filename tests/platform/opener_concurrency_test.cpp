// The opener used from several threads at once, as the file sync manager's watch and
// the windows do: each start's pidfd tells that start's own program's status, and every
// program given up, ended or still running, is reaped without a zombie or a descriptor
// left behind.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include "platform/opener.h"
#include "support/testenv.h"

namespace {

constexpr int kGuardMs = 30000;  // against a program that never ends; never a pause

int OpenDescriptorCount() {
  DIR* dir = opendir("/proc/self/fd");
  int n = 0;
  while (dirent* e = readdir(dir)) n += e->d_name[0] != '.';
  closedir(dir);
  return n - 1;
}

bool NoChild() {
  siginfo_t info{};
  return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
}

class OpenerConcurrencyTest : public OstrelTest {};

TEST_F(OpenerConcurrencyTest, ThreadsStartWatchAndGiveUpProgramsAtOnce) {
  constexpr int kThreads = 4, kRounds = 5;
  const std::string ctlPath = PathIn("ctl");
  ASSERT_EQ(mkfifo(ctlPath.c_str(), 0600), 0);
  int ctl = open(ctlPath.c_str(), O_RDWR | O_CLOEXEC);  // open at both ends while the test runs
  ASSERT_GE(ctl, 0);
  const int descriptors = OpenDescriptorCount();

  std::barrier start(kThreads);
  std::atomic<int> wrongStatus{0}, failedStarts{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string file = PathIn("doc" + std::to_string(t) + ".txt");
      start.arrive_and_wait();
      for (int r = 0; r < kRounds; ++r) {
        int status = t * 10 + r;
        int pidfd = StartOpener({OSTREL_TEST_EDITOR_PATH, "--append=.", "--exit=" + std::to_string(status)}, file);
        if (pidfd < 0) {
          failedStarts++;
          continue;
        }
        pollfd p{pidfd, POLLIN, 0};
        poll(&p, 1, kGuardMs);
        ChildStatus s = ChildState(pidfd);
        if (s.kind != ChildStatus::kExited || s.code != status) wrongStatus++;
        ReleaseChild(pidfd);
      }
      // One more that waits for the test: given up while it runs.
      int waiting = StartOpener({OSTREL_TEST_EDITOR_PATH, "--from=" + ctlPath, "--wait"}, file);
      if (waiting < 0) failedStarts++;
      ReleaseChild(waiting);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failedStarts.load(), 0);
  EXPECT_EQ(wrongStatus.load(), 0);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(ReadFileBytes(PathIn("doc" + std::to_string(t) + ".txt")), ".....");

  EXPECT_EQ(ReleasedChildrenRunning(), static_cast<size_t>(kThreads));
  // One line for each waiting program: each reads up to its first newline.
  std::string lines(kThreads, '\n');
  ASSERT_EQ(write(ctl, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
  EXPECT_TRUE(WaitForReleasedChildren(std::chrono::milliseconds(kGuardMs)));
  EXPECT_TRUE(NoChild());
  EXPECT_EQ(OpenDescriptorCount(), descriptors);
  close(ctl);
}

}  // namespace
