// Another process that holds a file, for tests of lock probes: "flock FILE" running a
// command, or a command that merely has the file open. The holder is ready (the lock
// taken, the file open) when the constructor returns. When the object goes, the holder
// is killed (never waited for to end on its own) and reaped, so the file is free then.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

class HeldFile {
 public:
  enum Kind { kFlock, kOpenOnly };

  HeldFile(const std::string& path, Kind kind) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe failed";
      return;
    }
    // The holder says "ready" once it has the file; it then sleeps until killed.
    const char* script = "echo ready; exec sleep 5";
    m_pid = fork();
    if (m_pid == 0) {
      setpgid(0, 0);
      dup2(out[1], 1);
      if (kind == kFlock) {
        // -o: only flock itself holds the file, so that once it is reaped nothing does.
        execlp("flock", "flock", "-o", path.c_str(), "sh", "-c", script, static_cast<char*>(nullptr));
      } else {
        int fd = open(path.c_str(), O_RDONLY);
        if (fd < 0) _exit(126);
        dup2(fd, 0);
        execlp("sh", "sh", "-c", script, static_cast<char*>(nullptr));
      }
      _exit(127);
    }
    setpgid(m_pid, m_pid);
    close(out[1]);
    std::string said;
    while (said.find('\n') == std::string::npos) {
      pollfd p{out[0], POLLIN, 0};
      // A guard against a holder that never starts, not a wait for time to pass.
      if (poll(&p, 1, 30000) <= 0) break;
      char buf[64];
      ssize_t n = read(out[0], buf, sizeof(buf));
      if (n <= 0) break;
      said.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    m_ready = said == "ready\n";
    EXPECT_TRUE(m_ready) << "the holder did not start: " << said;
  }
  ~HeldFile() {
    if (m_pid > 0) {
      kill(-m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
  }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  bool Ready() const { return m_ready; }

 private:
  pid_t m_pid = -1;
  bool m_ready = false;
};
