#include "platform/namedlock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

std::string LockFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime == '/' && access(runtime, W_OK) == 0) return runtime;
  const char* tmp = std::getenv("TMPDIR");
  return (tmp && *tmp == '/') ? tmp : "/tmp";
}

}  // namespace

CNamedLock::CNamedLock(const std::string& name) {
  std::string folder = LockFolder();
  if (std::getenv("XDG_RUNTIME_DIR") && folder == std::getenv("XDG_RUNTIME_DIR"))
    m_path = folder + "/" + name + ".lock";
  else
    m_path = folder + "/" + name + "-" + std::to_string(getuid()) + ".lock";
  Open();
}

void CNamedLock::Open() {
  m_fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  m_pid = ::getpid();
}

CNamedLock::~CNamedLock() {
  if (m_fd >= 0) ::close(m_fd);
}

void CNamedLock::lock() {
  m_mutex.lock();
  if (m_pid != ::getpid()) {
    if (m_fd >= 0) ::close(m_fd);
    Open();
  }
  if (m_fd < 0) return;
  while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
  }
}

void CNamedLock::unlock() {
  if (m_fd >= 0) ::flock(m_fd, LOCK_UN);
  m_mutex.unlock();
}
