// An owned POSIX file descriptor (always O_CLOEXEC) with whole-buffer read and write
// loops that retry on EINTR and short transfers.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

class PosixFile {
 public:
  PosixFile() = default;
  explicit PosixFile(int fd) : m_fd(fd) {}
  ~PosixFile();
  PosixFile(PosixFile&& o) noexcept;
  PosixFile& operator=(PosixFile&& o) noexcept;
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  // open(2) with O_CLOEXEC added; false with errno set on failure.
  bool Open(const std::string& path, int flags, mode_t mode = 0600);
  bool IsOpen() const { return m_fd >= 0; }
  int fd() const { return m_fd; }

  // Reads until count bytes or the end of the file; the number read, or -1 on error.
  ssize_t ReadFull(void* buffer, size_t count);
  // Writes all count bytes; false on error (errno set).
  bool WriteFull(const void* buffer, size_t count);
  bool Sync();
  // Closes; false when close reported an error.
  bool Close();

 private:
  int m_fd = -1;
};

// fsync of a folder, so that a rename in it is durable.
bool SyncFolder(const std::string& folder);
