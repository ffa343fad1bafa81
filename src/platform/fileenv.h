// The file system as the client sees it. Every unit that touches files is handed a
// FileEnv (FileEnv::Default() unless its creator says otherwise) and makes each of
// its file-system calls through it, so that a test can make any of them fail.
// FileEnvWrapper forwards every call to another FileEnv: a test overrides only the
// calls it cares about.
//
// The calls are those of POSIX, with these promises of the real file system:
// descriptors are always opened close-on-exec, and a call interrupted by a signal
// (EINTR) is made again, except Close, which is never repeated (after EINTR the
// descriptor is released on Linux, so that counts as closed). On failure the calls
// return false (-1 where they return a descriptor, count or offset) with errno set.
// Every call may be made from any thread at any time.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

// One entry of a folder listing. type is a DT_* value; where the file system does not
// report the type, the entry's own status is read (a link is not followed) and
// DT_UNKNOWN is left only when that fails.
struct FolderEntry {
  std::string name;
  unsigned char type = DT_UNKNOWN;
};

class FileEnv {
 public:
  FileEnv() = default;
  virtual ~FileEnv() = default;
  FileEnv(const FileEnv&) = delete;
  FileEnv& operator=(const FileEnv&) = delete;

  // The process's real file system. Never destroyed, so that units still at work
  // while the process ends may use it.
  static FileEnv* Default();

  // --- open descriptors ---
  // open(2); O_CLOEXEC is always added. The descriptor, or -1.
  virtual int Open(const std::string& path, int flags, mode_t mode) = 0;
  // close(2); false when close reported an error other than EINTR.
  virtual bool Close(int fd) = 0;
  // One read(2) or write(2): the count transferred (fewer than asked is no error), or -1.
  virtual ssize_t Read(int fd, void* buffer, size_t count) = 0;
  virtual ssize_t Write(int fd, const void* buffer, size_t count) = 0;
  // pread(2) and pwrite(2), the same way; the file position is not moved.
  virtual ssize_t PRead(int fd, void* buffer, size_t count, off_t offset) = 0;
  virtual ssize_t PWrite(int fd, const void* buffer, size_t count, off_t offset) = 0;
  // lseek(2): the new position, or -1.
  virtual off_t Seek(int fd, off_t offset, int whence) = 0;
  // fsync(2), ftruncate(2), fstat(2), fchmod(2), futimens(2).
  virtual bool Sync(int fd) = 0;
  virtual bool Truncate(int fd, off_t size) = 0;
  virtual bool Fstat(int fd, struct stat* st) = 0;
  virtual bool Fchmod(int fd, mode_t mode) = 0;
  virtual bool Futimens(int fd, const struct timespec times[2]) = 0;
  // Sets or clears O_NONBLOCK, keeping the other status flags.
  virtual bool SetNonBlocking(int fd, bool nonBlocking) = 0;
  // flock(2); a blocking lock waits until it is granted.
  virtual bool Flock(int fd, int operation) = 0;

  // --- paths ---
  // stat(2) (follows a final link), lstat(2) (does not).
  virtual bool Stat(const std::string& path, struct stat* st) = 0;
  virtual bool Lstat(const std::string& path, struct stat* st) = 0;
  // statx(2) relative to the working folder, with the flags (AT_*) and mask (STATX_*).
  virtual bool Statx(const std::string& path, int flags, unsigned mask, struct statx* stx) = 0;
  // access(2) with F_OK, R_OK, W_OK or X_OK.
  virtual bool Access(const std::string& path, int mode) = 0;
  // rename(2). With noReplace an existing target is never replaced: EEXIST (also on
  // file systems without RENAME_NOREPLACE, where the target is looked for first).
  virtual bool Rename(const std::string& from, const std::string& to, bool noReplace) = 0;
  // unlink(2), mkdir(2), rmdir(2), chmod(2).
  virtual bool Unlink(const std::string& path) = 0;
  virtual bool Mkdir(const std::string& path, mode_t mode) = 0;
  virtual bool Rmdir(const std::string& path) = 0;
  virtual bool Chmod(const std::string& path, mode_t mode) = 0;
  // The text of a symbolic link (readlink(2)), whatever its length.
  virtual bool ReadLink(const std::string& path, std::string* target) = 0;
  // realpath(3): the absolute path with every link, "." and ".." resolved.
  virtual bool RealPath(const std::string& path, std::string* resolved) = 0;
  // The entries of a folder, without "." and "..", in the order the file system gives
  // them. Without followLink a symbolic link in the folder's place is not opened
  // (ELOOP or ENOTDIR). On a failure while reading, false with errno set and the
  // entries read before it left in *entries.
  virtual bool ListFolder(const std::string& folder, bool followLink, std::vector<FolderEntry>* entries) = 0;
};

// Forwards every call to the target, which must outlive the wrapper.
class FileEnvWrapper : public FileEnv {
 public:
  explicit FileEnvWrapper(FileEnv* target) : m_target(target) {}
  FileEnv* target() const { return m_target; }

  int Open(const std::string& path, int flags, mode_t mode) override { return m_target->Open(path, flags, mode); }
  bool Close(int fd) override { return m_target->Close(fd); }
  ssize_t Read(int fd, void* buffer, size_t count) override { return m_target->Read(fd, buffer, count); }
  ssize_t Write(int fd, const void* buffer, size_t count) override { return m_target->Write(fd, buffer, count); }
  ssize_t PRead(int fd, void* buffer, size_t count, off_t offset) override {
    return m_target->PRead(fd, buffer, count, offset);
  }
  ssize_t PWrite(int fd, const void* buffer, size_t count, off_t offset) override {
    return m_target->PWrite(fd, buffer, count, offset);
  }
  off_t Seek(int fd, off_t offset, int whence) override { return m_target->Seek(fd, offset, whence); }
  bool Sync(int fd) override { return m_target->Sync(fd); }
  bool Truncate(int fd, off_t size) override { return m_target->Truncate(fd, size); }
  bool Fstat(int fd, struct stat* st) override { return m_target->Fstat(fd, st); }
  bool Fchmod(int fd, mode_t mode) override { return m_target->Fchmod(fd, mode); }
  bool Futimens(int fd, const struct timespec times[2]) override { return m_target->Futimens(fd, times); }
  bool SetNonBlocking(int fd, bool nonBlocking) override { return m_target->SetNonBlocking(fd, nonBlocking); }
  bool Flock(int fd, int operation) override { return m_target->Flock(fd, operation); }
  bool Stat(const std::string& path, struct stat* st) override { return m_target->Stat(path, st); }
  bool Lstat(const std::string& path, struct stat* st) override { return m_target->Lstat(path, st); }
  bool Statx(const std::string& path, int flags, unsigned mask, struct statx* stx) override {
    return m_target->Statx(path, flags, mask, stx);
  }
  bool Access(const std::string& path, int mode) override { return m_target->Access(path, mode); }
  bool Rename(const std::string& from, const std::string& to, bool noReplace) override {
    return m_target->Rename(from, to, noReplace);
  }
  bool Unlink(const std::string& path) override { return m_target->Unlink(path); }
  bool Mkdir(const std::string& path, mode_t mode) override { return m_target->Mkdir(path, mode); }
  bool Rmdir(const std::string& path) override { return m_target->Rmdir(path); }
  bool Chmod(const std::string& path, mode_t mode) override { return m_target->Chmod(path, mode); }
  bool ReadLink(const std::string& path, std::string* target) override { return m_target->ReadLink(path, target); }
  bool RealPath(const std::string& path, std::string* resolved) override {
    return m_target->RealPath(path, resolved);
  }
  bool ListFolder(const std::string& folder, bool followLink, std::vector<FolderEntry>* entries) override {
    return m_target->ListFolder(folder, followLink, entries);
  }

 private:
  FileEnv* m_target;
};
