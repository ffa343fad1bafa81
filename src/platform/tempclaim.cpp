#include "platform/tempclaim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>

namespace {

// Lock files that were removed between open and lock in a row before TryClaim counts
// the entry as held: each retry means another claim came and went meanwhile.
constexpr int kMaxAttempts = 64;

bool NamesFile(FileEnv* env, const std::string& path, int fd) {
  struct stat named {}, held {};
  return env->Lstat(path, &named) && env->Fstat(fd, &held) && named.st_dev == held.st_dev &&
         named.st_ino == held.st_ino;
}

}  // namespace

bool CTempClaim::TryClaim(const std::string& entryPath) {
  Release();
  const std::string lockPath = LockPathOf(entryPath);
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    // Non-blocking, so that a FIFO in the lock file's place is refused, not waited on.
    int fd = m_env->Open(lockPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) return false;
    struct stat st {};
    int err = !m_env->Fstat(fd, &st) ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
    if (err == 0 && !m_env->Flock(fd, LOCK_EX | LOCK_NB)) err = errno;
    if (err == 0 && NamesFile(m_env, lockPath, fd)) {
      m_fd = fd;
      m_lockPath = lockPath;
      return true;
    }
    m_env->Close(fd);
    if (err != 0) {
      errno = err;
      return false;
    }
    // Locked a file its holder removed meanwhile: the claim is on the path's file.
  }
  errno = EWOULDBLOCK;
  return false;
}

void CTempClaim::Release() {
  if (m_fd < 0) return;
  // Removed while still locked, so that no one holds a claim on the removed file.
  if (NamesFile(m_env, m_lockPath, m_fd)) m_env->Unlink(m_lockPath);
  m_env->Close(m_fd);
  m_fd = -1;
  m_lockPath.clear();
}
