#include "platform/opener.h"

#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

bool HasNul(const std::string& s) { return s.find('\0') != std::string::npos; }

int PidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

// waitid on a pidfd, again after EINTR.
int WaitPidfd(int pidfd, siginfo_t* info, int options) {
  int rc;
  do {
    *info = siginfo_t{};
    rc = ::waitid(P_PIDFD, static_cast<id_t>(pidfd), info, options);
  } while (rc == -1 && errno == EINTR);
  return rc;
}

void ReapPid(pid_t pid) {
  while (::waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
  }
}

// The released children still running. Each is waited for by a thread of its own,
// which reaps it, closes its pidfd and counts it off. When no thread can be made, the
// pidfd is kept in m_stranded and tried again (without waiting) at every later start,
// release or count. Never destroyed, so that reaper threads may outlive static
// destruction.
class Reaper {
 public:
  static Reaper& Get() {
    static Reaper* reaper = new Reaper;
    return *reaper;
  }

  void Adopt(int pidfd) {
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      ++m_running;
    }
    try {
      std::thread([this, pidfd] {
        siginfo_t info;
        WaitPidfd(pidfd, &info, WEXITED);
        ::close(pidfd);
        CountOff(1);
      }).detach();
    } catch (const std::system_error&) {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_stranded.push_back(pidfd);
    }
  }

  // Reaps the stranded children that have ended.
  void Sweep() {
    size_t reaped = 0;
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      for (size_t i = 0; i < m_stranded.size();) {
        ChildStatus s = ChildState(m_stranded[i]);
        if (s.kind == ChildStatus::kRunning) {
          ++i;
          continue;
        }
        ::close(m_stranded[i]);
        m_stranded.erase(m_stranded.begin() + static_cast<std::ptrdiff_t>(i));
        ++reaped;
      }
    }
    if (reaped) CountOff(reaped);
  }

  size_t Running() {
    Sweep();
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_running;
  }

  bool WaitNone(std::chrono::milliseconds timeout) {
    Sweep();
    std::unique_lock<std::mutex> lock(m_mutex);
    auto none = [this] { return m_running == 0; };
    // A bound past any steady-clock deadline waits without one.
    if (timeout > std::chrono::hours(24 * 365)) {
      m_none.wait(lock, none);
      return true;
    }
    return m_none.wait_for(lock, timeout, none);
  }

 private:
  void CountOff(size_t n) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_running -= n;
    if (m_running == 0) m_none.notify_all();
  }

  std::mutex m_mutex;  // the three below
  size_t m_running = 0;
  std::vector<int> m_stranded;
  std::condition_variable m_none;
};

}  // namespace

int StartOpener(const std::vector<std::string>& program, const std::string& file, int* error) {
  int unused = 0;
  int& err = error ? *error : unused;
  err = 0;
  Reaper::Get().Sweep();

  bool bad = program.empty() || program[0].empty() || file.empty() || HasNul(file);
  for (const std::string& arg : program) bad = bad || HasNul(arg);
  if (bad) {
    err = EINVAL;
    return -1;
  }
  std::string fileArg = file[0] == '-' ? "./" + file : file;
  std::vector<char*> argv;
  argv.reserve(program.size() + 2);
  for (const std::string& arg : program) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(fileArg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (int rc = posix_spawn_file_actions_init(&actions)) {
    err = rc;
    return -1;
  }
  if (int rc = posix_spawnattr_init(&attr)) {
    posix_spawn_file_actions_destroy(&actions);
    err = rc;
    return -1;
  }
  sigset_t toDefault, mask;
  sigemptyset(&toDefault);
  sigaddset(&toDefault, SIGPIPE);
  sigemptyset(&mask);
  int rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  if (!rc) rc = posix_spawnattr_setsigdefault(&attr, &toDefault);
  if (!rc) rc = posix_spawnattr_setsigmask(&attr, &mask);
  if (!rc) rc = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  // glibc's posix_spawnp returns the exec's errno when the exec fails, having reaped
  // the child that tried it; 0 only when the program runs.
  if (!rc) rc = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc) {
    err = rc;
    return -1;
  }
  // An unreaped child keeps its pid, so the pidfd refers to it and to nothing else.
  int pidfd = PidfdOpen(pid);
  if (pidfd < 0) {
    err = errno;
    ::kill(pid, SIGKILL);
    ReapPid(pid);
    return -1;
  }
  return pidfd;
}

ChildStatus ChildState(int pidfd) {
  if (pidfd < 0) return {ChildStatus::kUnknown, EBADF};
  siginfo_t info;
  if (WaitPidfd(pidfd, &info, WEXITED | WNOHANG) != 0) return {ChildStatus::kUnknown, errno};
  if (info.si_pid == 0) return {ChildStatus::kRunning, 0};
  switch (info.si_code) {
    case CLD_EXITED: return {ChildStatus::kExited, info.si_status};
    case CLD_KILLED:
    case CLD_DUMPED: return {ChildStatus::kSignalled, info.si_status};
    default: return {ChildStatus::kUnknown, EINVAL};
  }
}

void ReleaseChild(int pidfd) {
  if (pidfd < 0) return;
  Reaper::Get().Sweep();
  if (ChildState(pidfd).kind == ChildStatus::kRunning) {
    Reaper::Get().Adopt(pidfd);
    return;
  }
  ::close(pidfd);
}

size_t ReleasedChildrenRunning() { return Reaper::Get().Running(); }

bool WaitForReleasedChildren(std::chrono::milliseconds timeout) { return Reaper::Get().WaitNone(timeout); }
