// A lock shared by every process of the user that names the same lock, in place of a
// named mutex: an exclusive flock on a lock file, taken under an in-process mutex
// (flock does not exclude threads that share one open file).
//
// The lock file "<name>.lock" lives in a folder only this user can write:
// $XDG_RUNTIME_DIR when it is an absolute path to a folder of this user that it can
// write, else the folder the owner gives (created 0700 with its missing parents). It
// is created 0600 and never opened through a symbolic link. A lock file that is not a
// regular file of this user, or a folder that is not this user's, is refused, since
// another user could hold it for ever.
//
// When the file cannot be had (refused, not opened, or no folder given and no usable
// $XDG_RUNTIME_DIR) the lock excludes only the threads of this process; a file that
// cannot be had is told in one line on standard error (not in the log, which takes
// this lock), once per path. A forked child opens the file again, since a lock on an
// inherited open file would be shared with the parent.
#pragma once

#include <mutex>
#include <string>

#include "platform/fileenv.h"

class CNamedLock {
 public:
  // folder: where the lock file goes when $XDG_RUNTIME_DIR is not usable ("" for
  // none yet). The lock file is opened and locked through env, which must outlive
  // the lock.
  CNamedLock(const std::string& name, const std::string& folder, FileEnv* env = FileEnv::Default());
  ~CNamedLock();
  CNamedLock(const CNamedLock&) = delete;
  CNamedLock& operator=(const CNamedLock&) = delete;

  // Moves the lock file to another folder (the same rule as at construction, with
  // $XDG_RUNTIME_DIR read again). Any thread may call, except one holding the lock.
  void SetFolder(const std::string& folder);

  // Waits without limit for the threads of this process, and for other processes
  // only on a lock file of this user.
  void lock();
  void unlock();

  // The lock file in use, "" when only this process's threads are excluded. Not for
  // a thread holding the lock.
  std::string path();

 private:
  // Under m_mutex: closes the file in use and opens the one the rule names.
  void Open();
  // Under m_mutex: the descriptor of the lock file at path in folder, or -1 with *why
  // telling the cause.
  int OpenOwnedFile(const std::string& folder, const std::string& path, std::string* why);

  FileEnv* m_env;
  std::mutex m_mutex;
  // Under m_mutex:
  std::string m_name;
  std::string m_folder;
  std::string m_path;        // the lock file in use, "" when none
  std::string m_toldPath;    // the last path refused on standard error
  int m_fd = -1;
  int m_pid = 0;             // the process that opened m_fd
};
