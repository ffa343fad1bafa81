// A lock shared by every process of the user that names the same lock, in place of a
// named mutex: an exclusive flock on a lock file, taken under an in-process mutex
// (flock does not exclude threads that share one open file).
//
// The lock file lives in $XDG_RUNTIME_DIR, else in the system temp folder with the
// user id in its name; it is created 0600 and never followed through a symbolic link.
// When the file cannot be opened the lock still excludes the threads of this process.
// A forked child opens the file again, since a lock on an inherited open file would be
// shared with the parent.
#pragma once

#include <mutex>
#include <string>

#include "platform/fileenv.h"

class CNamedLock {
 public:
  // The lock file is opened and locked through env, which must outlive the lock.
  explicit CNamedLock(const std::string& name, FileEnv* env = FileEnv::Default());
  ~CNamedLock();
  CNamedLock(const CNamedLock&) = delete;
  CNamedLock& operator=(const CNamedLock&) = delete;

  // Waits without limit.
  void lock();
  void unlock();

  const std::string& path() const { return m_path; }

 private:
  void Open();

  FileEnv* m_env;
  std::mutex m_mutex;
  std::string m_path;
  int m_fd = -1;
  int m_pid = 0;  // the process that opened m_fd
};
