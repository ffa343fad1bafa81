// The program a file was opened with, as the watch of opened files follows it: the
// owner of the pidfd that the shell adapter's ShellOpen handed out (see
// platform/opener.h). The pidfd is given up exactly once, with ReleaseChild, when the
// object goes, so that an ended program never stays a zombie and a running one is
// reaped when it ends.
//
// Threads: any thread may ask and release; share the object (shared_ptr) so that the
// pidfd is not given up while another thread asks about it.
#pragma once

#include <mutex>

#include "platform/opener.h"

class CWatchedProgram {
 public:
  // Takes over the pidfd (>= 0).
  explicit CWatchedProgram(int pidfd) : m_pidfd(pidfd) {}
  ~CWatchedProgram();
  CWatchedProgram(const CWatchedProgram&) = delete;
  CWatchedProgram& operator=(const CWatchedProgram&) = delete;

  // Where the program stands, without waiting. Once it has been seen ended, that
  // answer is kept and given every time after.
  ChildStatus State();

 private:
  std::mutex m_lock;  // the two below
  int m_pidfd;
  ChildStatus m_ended;  // kUnknown until the program has been seen ended
};
