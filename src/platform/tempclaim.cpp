#include "platform/tempclaim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

// Trivially destructible, so that a claim made while the process ends finds them.
std::atomic<TempClaimHook> g_hook{nullptr};
std::atomic<void*> g_hookContext{nullptr};

// Lock files that were removed between open and lock in a row before TryClaim counts
// the entry as held: each retry means another claim came and went meanwhile.
constexpr int kMaxAttempts = 64;

bool NamesFile(const std::string& path, int fd) {
  struct stat named {}, held {};
  return ::lstat(path.c_str(), &named) == 0 && ::fstat(fd, &held) == 0 && named.st_dev == held.st_dev &&
         named.st_ino == held.st_ino;
}

}  // namespace

void SetTempClaimHook(TempClaimHook hook, void* context) {
  g_hookContext.store(context, std::memory_order_relaxed);
  g_hook.store(hook, std::memory_order_release);
}

bool CTempClaim::TryClaim(const std::string& entryPath) {
  Release();
  const std::string lockPath = LockPathOf(entryPath);
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    // Non-blocking, so that a FIFO in the lock file's place is refused, not waited on.
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) return false;
    struct stat st {};
    int err = ::fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
    if (err == 0) {
      if (TempClaimHook hook = g_hook.load(std::memory_order_acquire))
        hook(g_hookContext.load(std::memory_order_relaxed), lockPath);
      while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) {
          err = errno;
          break;
        }
      }
    }
    if (err == 0 && NamesFile(lockPath, fd)) {
      m_fd = fd;
      m_lockPath = lockPath;
      return true;
    }
    ::close(fd);
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
  if (NamesFile(m_lockPath, m_fd)) ::unlink(m_lockPath.c_str());
  ::close(m_fd);
  m_fd = -1;
  m_lockPath.clear();
}
