// CancelFileEnv: the file system of a task's long local steps (copies, hashes,
// encodings, splits), which lets a cancel stop them half-way. Once the cancel flag is
// set, every read and write fails with ECANCELED, so the step under way fails at its
// next read or write; every other call goes through, so that clean-up (close,
// unlink, rmdir) still works. Any thread may call; the flag is only read.
#pragma once

#include <atomic>

#include "platform/fileenv.h"

class CancelFileEnv final : public FileEnvWrapper {
 public:
  // target and cancelled must outlive the object.
  CancelFileEnv(FileEnv* target, const std::atomic<bool>* cancelled) : FileEnvWrapper(target), m_cancelled(cancelled) {}

  ssize_t Read(int fd, void* buffer, size_t count) override;
  ssize_t Write(int fd, const void* buffer, size_t count) override;
  ssize_t PRead(int fd, void* buffer, size_t count, off_t offset) override;
  ssize_t PWrite(int fd, const void* buffer, size_t count, off_t offset) override;

 private:
  // True, with errno ECANCELED, once the flag is set.
  bool Stopped() const;

  const std::atomic<bool>* m_cancelled;
};
