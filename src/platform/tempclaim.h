// A claim on one entry of a folder that several processes share: an exclusive flock on
// the lock file "<entry>.lock" beside the entry (created 0600, O_CLOEXEC, never
// through a symbolic link). flock locks belong to the open file description, so two
// claims exclude each other whether two processes or two objects of one process make
// them. A claim ends when it is released or when its process ends, however it ends (a
// child forked without exec shares the claims it inherits until it ends too).
//
// A lock file is removed only by the claim that holds it, before that claim ends, and a
// claim counts only when, once locked, the lock path still names the file it locked. So
// a claimant that opened a lock file just before its holder removed it never ends up
// holding a claim beside the next claimant's.
#pragma once

#include <string>

#include "platform/fileenv.h"

class CTempClaim {
 public:
  static constexpr const char* kLockSuffix = ".lock";

  // The lock file is made, locked and removed through env, which must outlive the claim.
  explicit CTempClaim(FileEnv* env = FileEnv::Default()) : m_env(env) {}
  ~CTempClaim() { Release(); }
  CTempClaim(const CTempClaim&) = delete;
  CTempClaim& operator=(const CTempClaim&) = delete;

  // Claims the entry (a path without a trailing "/"; it need not exist) without ever
  // waiting; a claim this object held before is released first. False with errno set
  // when it is not claimed: EWOULDBLOCK while another claim holds it; ELOOP, EISDIR or
  // EINVAL when the lock path is a link, a folder or another kind of non-regular file;
  // else the error of creating or locking the lock file.
  bool TryClaim(const std::string& entryPath);
  bool Held() const { return m_fd >= 0; }
  // Ends the claim and removes its lock file (only while the lock path still names
  // this claim's file). The entry itself is left as it is. Nothing when none is held.
  void Release();

  static std::string LockPathOf(const std::string& entryPath) { return entryPath + kLockSuffix; }

 private:
  FileEnv* m_env;
  int m_fd = -1;
  std::string m_lockPath;
};
