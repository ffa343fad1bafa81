// An owned file descriptor (always O_CLOEXEC) opened through a FileEnv, with
// whole-buffer read and write loops that retry short transfers, and the small helpers
// built on it. Every call goes through the object's FileEnv.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/fileenv.h"

class PosixFile {
 public:
  explicit PosixFile(FileEnv* env = FileEnv::Default()) : m_env(env) {}
  // Takes ownership of a descriptor the caller opened.
  explicit PosixFile(int fd, FileEnv* env = FileEnv::Default()) : m_env(env), m_fd(fd) {}
  ~PosixFile();
  PosixFile(PosixFile&& o) noexcept;
  PosixFile& operator=(PosixFile&& o) noexcept;
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  // open(2) with O_CLOEXEC added (a file open before is closed first); false with
  // errno set on failure.
  bool Open(const std::string& path, int flags, mode_t mode = 0600);
  // Opens a regular file for reading without ever waiting: the type is checked on the
  // opened descriptor, so a FIFO, socket or device (EINVAL) or a folder (EISDIR) is
  // refused before anything is read, even when it replaced a file a moment earlier.
  bool OpenRegularForRead(const std::string& path);
  bool IsOpen() const { return m_fd >= 0; }
  int fd() const { return m_fd; }
  FileEnv* env() const { return m_env; }
  // Gives the descriptor up to the caller, who closes it (through env()); the object
  // is closed then.
  int Release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  // The path given to Open ("" for a descriptor handed in).
  const std::string& path() const { return m_path; }

  // Reads until count bytes or the end of the file; the number read, or -1 on error.
  ssize_t ReadFull(void* buffer, size_t count);
  // The same at an offset, without moving the file position.
  ssize_t ReadFullAt(void* buffer, size_t count, off_t offset);
  // Writes all count bytes; false on error (errno set).
  bool WriteFull(const void* buffer, size_t count);
  // The same at an offset, without moving the file position.
  bool WriteFullAt(const void* buffer, size_t count, off_t offset);
  // lseek; the new position, or -1 with errno set.
  off_t Seek(off_t offset, int whence);
  // fstat, ftruncate, fsync; false with errno set on failure.
  bool Stat(struct stat* st) const;
  bool Truncate(off_t size);
  bool Sync();
  // Closes; false when close reported an error. Closing a closed file is true.
  bool Close();

 private:
  FileEnv* m_env;
  int m_fd = -1;
  std::string m_path;
};

// Copies everything from in's position to its end into out (1 MiB at a time). False
// with errno set when a read or a write fails.
bool CopyFileData(PosixFile& in, PosixFile& out);

// Reads a regular file whole into *bytes. False with errno set and *bytes empty when
// it cannot be opened or read (ENOENT for a missing file), is not a regular file
// (EINVAL), or holds more than maxBytes (EFBIG).
bool ReadWholeFile(const std::string& path, size_t maxBytes, std::string* bytes, FileEnv* env = FileEnv::Default());

// Keeps errno across clean-up calls: restores the value it had at construction.
struct ErrnoKeeper {
  int saved = errno;
  ~ErrnoKeeper() { errno = saved; }
};

// fsync of a folder, so that a rename in it is durable.
bool SyncFolder(const std::string& folder, FileEnv* env = FileEnv::Default());

// rename(2). With noReplace an existing target is an error (EEXIST) and is never
// replaced.
bool RenamePath(const std::string& from, const std::string& to, bool noReplace = false,
                FileEnv* env = FileEnv::Default());

// The folder part of a path: "" for a name without "/", "/" for "/name".
std::string FolderOfPath(const std::string& path);
