#include "platform/namedlock.h"

#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

namespace {

std::string LockFolder(FileEnv* env) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime == '/' && env->Access(runtime, W_OK)) return runtime;
  const char* tmp = std::getenv("TMPDIR");
  return (tmp && *tmp == '/') ? tmp : "/tmp";
}

}  // namespace

CNamedLock::CNamedLock(const std::string& name, FileEnv* env) : m_env(env) {
  std::string folder = LockFolder(env);
  if (std::getenv("XDG_RUNTIME_DIR") && folder == std::getenv("XDG_RUNTIME_DIR"))
    m_path = folder + "/" + name + ".lock";
  else
    m_path = folder + "/" + name + "-" + std::to_string(getuid()) + ".lock";
  Open();
}

void CNamedLock::Open() {
  m_fd = m_env->Open(m_path, O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
  m_pid = ::getpid();
}

CNamedLock::~CNamedLock() {
  if (m_fd >= 0) m_env->Close(m_fd);
}

void CNamedLock::lock() {
  m_mutex.lock();
  if (m_pid != ::getpid()) {
    if (m_fd >= 0) m_env->Close(m_fd);
    Open();
  }
  if (m_fd < 0) return;
  m_env->Flock(m_fd, LOCK_EX);
}

void CNamedLock::unlock() {
  if (m_fd >= 0) m_env->Flock(m_fd, LOCK_UN);
  m_mutex.unlock();
}
