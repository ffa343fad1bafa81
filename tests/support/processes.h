// Child processes that begin their work together: each is forked at construction,
// waits for Go, runs body(its index) and exits with body's result (0 for success).
// The children never return into the test.
#pragma once

#include <sys/types.h>

#include <functional>
#include <vector>

class ChildProcesses {
 public:
  ChildProcesses(int count, const std::function<int(int index)>& body);
  // Waits for the children still running.
  ~ChildProcesses();
  ChildProcesses(const ChildProcesses&) = delete;
  ChildProcesses& operator=(const ChildProcesses&) = delete;

  // Lets every child begin.
  void Go();
  // Waits for every child: their exit codes in index order, -1 for a child that could
  // not be forked or did not exit normally.
  std::vector<int> Wait();

 private:
  int m_go[2] = {-1, -1};
  std::vector<pid_t> m_children;
};
