// An owned POSIX file descriptor (always O_CLOEXEC) with whole-buffer read and write
// loops that retry on EINTR and short transfers, and the fault seam through which
// tests make writes, fsyncs and renames of this layer fail.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
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

  // open(2) with O_CLOEXEC added (a file open before is closed first); false with
  // errno set on failure.
  bool Open(const std::string& path, int flags, mode_t mode = 0600);
  // Opens a regular file for reading without ever waiting: the type is checked on the
  // opened descriptor, so a FIFO, socket or device (EINVAL) or a folder (EISDIR) is
  // refused before anything is read, even when it replaced a file a moment earlier.
  bool OpenRegularForRead(const std::string& path);
  bool IsOpen() const { return m_fd >= 0; }
  int fd() const { return m_fd; }
  // Gives the descriptor up to the caller, who closes it; the object is closed then.
  int Release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  // The path given to Open ("" for a descriptor handed in).
  const std::string& path() const { return m_path; }

  // Reads until count bytes or the end of the file; the number read, or -1 on error.
  ssize_t ReadFull(void* buffer, size_t count);
  // Writes all count bytes; false on error (errno set).
  bool WriteFull(const void* buffer, size_t count);
  // fsync; false with errno set on failure.
  bool Sync();
  // Closes; false when close reported an error. Closing a closed file is true.
  bool Close();

 private:
  int m_fd = -1;
  std::string m_path;
};

// Copies everything from in's position to its end into out (1 MiB at a time). False
// with errno set when a read or a write fails.
bool CopyFileData(PosixFile& in, PosixFile& out);

// Reads a regular file whole into *bytes. False with errno set and *bytes empty when
// it cannot be opened or read (ENOENT for a missing file), is not a regular file
// (EINVAL), or holds more than maxBytes (EFBIG).
bool ReadWholeFile(const std::string& path, size_t maxBytes, std::string* bytes);

// Keeps errno across clean-up calls: restores the value it had at construction.
struct ErrnoKeeper {
  int saved = errno;
  ~ErrnoKeeper() { errno = saved; }
};

// fsync of a folder, so that a rename in it is durable.
bool SyncFolder(const std::string& folder);

// rename(2) through the fault seam. With noReplace an existing target is an error
// (EEXIST) and is never replaced.
bool RenamePath(const std::string& from, const std::string& to, bool noReplace = false);

// The folder part of a path: "" for a name without "/", "/" for "/name".
std::string FolderOfPath(const std::string& path);

// Failure injection. The hook is asked before each write (once per write call of a
// loop), fsync and rename of this layer, with the path concerned (the source path of
// a rename); it returns 0 to let the operation run or an errno value that the
// operation then fails with. One hook per process; an empty function removes it.
enum class FileOp { kWrite, kSync, kRename };
using FileFaultHook = std::function<int(FileOp op, const std::string& path)>;
void SetFileFaultHook(FileFaultHook hook);
