#include "support/processes.h"

#include <sys/wait.h>
#include <unistd.h>

ChildProcesses::ChildProcesses(int count, const std::function<int(int index)>& body) {
  if (pipe(m_go) != 0) m_go[0] = m_go[1] = -1;
  for (int i = 0; i < count; ++i) {
    const pid_t pid = m_go[0] >= 0 ? fork() : -1;
    if (pid == 0) {
      close(m_go[1]);
      char c;
      _exit(read(m_go[0], &c, 1) == 0 ? body(i) : 101);  // begins when the pipe closes
    }
    m_children.push_back(pid);
  }
  if (m_go[0] >= 0) close(m_go[0]);
}

ChildProcesses::~ChildProcesses() { Wait(); }

void ChildProcesses::Go() {
  if (m_go[1] >= 0) close(m_go[1]);
  m_go[1] = -1;
}

std::vector<int> ChildProcesses::Wait() {
  Go();
  std::vector<int> codes;
  for (pid_t& pid : m_children) {
    int status = 0;
    const bool exited = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status);
    codes.push_back(exited ? WEXITSTATUS(status) : -1);
    pid = -1;
  }
  return codes;
}
