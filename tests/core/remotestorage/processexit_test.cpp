// The process ends while a worker still runs: what the worker reaches of the process-wide
// objects (the user's data base, the transport factory, the result words, the empty
// record tree) is still there, so the exit is clean.
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "common/db/dbhelper.h"
#include "common/recordtree.h"
#include "core/remotestorage/clsfactory.h"
#include "core/remotestorage/serverresultmap.h"
#include "support/testenv.h"

namespace {

using ProcessExitTest = OstrelTest;

TEST_F(ProcessExitTest, AWorkerStillRunningAtExitFindsWhatItUses) {
  for (int round = 0; round < 5; ++round) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (OpenUserDB(Root()) != S_OK) _exit(100);
      std::atomic<bool> running{false};
      std::thread([&running] {
        for (int i = 0;; ++i) {
          if (std::shared_ptr<CKVDB> config = GetConfigTable()) config->SetItem("S", "F", std::to_string(i));
          (void)ServerResultMap::Instance()["ok"];
          RefPtr<ITransport> transport;
          CClsFactory::GetInstance().CreateTransport(transport.Receive());
          (void)RecordTree().GetChild(0).GetName();
          running = true;
        }
      }).detach();
      while (!running.load()) std::this_thread::yield();
      std::exit(0);  // static objects are destroyed now, under the worker's feet
    }
    // A guard against a child hung in its exit, not a wait for time to pass.
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    pollfd exited{pidfd, POLLIN, 0};
    if (pidfd < 0 || poll(&exited, 1, 60000) != 1) {
      kill(pid, SIGKILL);
      ADD_FAILURE() << "round " << round << ": the process did not end";
    }
    if (pidfd >= 0) close(pidfd);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round << ", status " << status;
  }
}

}  // namespace
