#include "core/taskmgr/task/cancelfileenv.h"

#include <cerrno>

bool CancelFileEnv::Stopped() const {
  if (!m_cancelled->load(std::memory_order_relaxed)) return false;
  errno = ECANCELED;
  return true;
}

ssize_t CancelFileEnv::Read(int fd, void* buffer, size_t count) {
  return Stopped() ? -1 : FileEnvWrapper::Read(fd, buffer, count);
}

ssize_t CancelFileEnv::Write(int fd, const void* buffer, size_t count) {
  return Stopped() ? -1 : FileEnvWrapper::Write(fd, buffer, count);
}

ssize_t CancelFileEnv::PRead(int fd, void* buffer, size_t count, off_t offset) {
  return Stopped() ? -1 : FileEnvWrapper::PRead(fd, buffer, count, offset);
}

ssize_t CancelFileEnv::PWrite(int fd, const void* buffer, size_t count, off_t offset) {
  return Stopped() ? -1 : FileEnvWrapper::PWrite(fd, buffer, count, offset);
}
