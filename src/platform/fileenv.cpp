#include "platform/fileenv.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Repeats the call while it fails with EINTR.
template <typename Call>
auto Retry(Call call) {
  for (;;) {
    auto r = call();
    if (r >= 0 || errno != EINTR) return r;
  }
}

class PosixFileEnv final : public FileEnv {
 public:
  int Open(const std::string& path, int flags, mode_t mode) override {
    return Retry([&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); });
  }
  bool Close(int fd) override { return ::close(fd) == 0 || errno == EINTR; }
  ssize_t Read(int fd, void* buffer, size_t count) override {
    return Retry([&] { return ::read(fd, buffer, count); });
  }
  ssize_t Write(int fd, const void* buffer, size_t count) override {
    return Retry([&] { return ::write(fd, buffer, count); });
  }
  ssize_t PRead(int fd, void* buffer, size_t count, off_t offset) override {
    return Retry([&] { return ::pread(fd, buffer, count, offset); });
  }
  ssize_t PWrite(int fd, const void* buffer, size_t count, off_t offset) override {
    return Retry([&] { return ::pwrite(fd, buffer, count, offset); });
  }
  off_t Seek(int fd, off_t offset, int whence) override { return ::lseek(fd, offset, whence); }
  bool Sync(int fd) override { return Retry([&] { return ::fsync(fd); }) == 0; }
  bool Truncate(int fd, off_t size) override { return Retry([&] { return ::ftruncate(fd, size); }) == 0; }
  bool Fstat(int fd, struct stat* st) override { return ::fstat(fd, st) == 0; }
  bool Fchmod(int fd, mode_t mode) override { return ::fchmod(fd, mode) == 0; }
  bool Futimens(int fd, const struct timespec times[2]) override { return ::futimens(fd, times) == 0; }
  bool SetNonBlocking(int fd, bool nonBlocking) override {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    return ::fcntl(fd, F_SETFL, nonBlocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
  }
  bool Flock(int fd, int operation) override { return Retry([&] { return ::flock(fd, operation); }) == 0; }

  bool Stat(const std::string& path, struct stat* st) override { return ::stat(path.c_str(), st) == 0; }
  bool Lstat(const std::string& path, struct stat* st) override { return ::lstat(path.c_str(), st) == 0; }
  bool Statx(const std::string& path, int flags, unsigned mask, struct statx* stx) override {
    return ::statx(AT_FDCWD, path.c_str(), flags, mask, stx) == 0;
  }
  bool Access(const std::string& path, int mode) override { return ::access(path.c_str(), mode) == 0; }
  bool Rename(const std::string& from, const std::string& to, bool noReplace) override {
    if (!noReplace) return ::rename(from.c_str(), to.c_str()) == 0;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL) return false;
    // A file system without RENAME_NOREPLACE (or a folder moved into itself, which the
    // plain rename refuses with EINVAL again): the target is looked for first.
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0) {
      errno = EEXIST;
      return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
  }
  bool Unlink(const std::string& path) override { return ::unlink(path.c_str()) == 0; }
  bool Mkdir(const std::string& path, mode_t mode) override { return ::mkdir(path.c_str(), mode) == 0; }
  bool Rmdir(const std::string& path) override { return ::rmdir(path.c_str()) == 0; }
  bool Chmod(const std::string& path, mode_t mode) override { return ::chmod(path.c_str(), mode) == 0; }
  bool ReadLink(const std::string& path, std::string* target) override {
    std::string buffer(256, '\0');
    for (;;) {
      ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
      if (n < 0) return false;
      if (static_cast<size_t>(n) < buffer.size()) {
        buffer.resize(static_cast<size_t>(n));
        *target = std::move(buffer);
        return true;
      }
      buffer.resize(buffer.size() * 2);
    }
  }
  bool RealPath(const std::string& path, std::string* resolved) override {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return false;
    *resolved = real;
    ::free(real);
    return true;
  }
  bool ListFolder(const std::string& folder, bool followLink, std::vector<FolderEntry>* entries) override {
    int fd = Open(folder, O_RDONLY | O_DIRECTORY | (followLink ? 0 : O_NOFOLLOW), 0);
    if (fd < 0) return false;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
      int saved = errno;
      ::close(fd);
      errno = saved;
      return false;
    }
    bool ok = true;
    for (;;) {
      errno = 0;
      const struct dirent* e = ::readdir(dir);
      if (!e) {
        ok = errno == 0;
        break;
      }
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      unsigned char type = e->d_type;
      struct stat st {};
      if (type == DT_UNKNOWN && ::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        type = static_cast<unsigned char>(IFTODT(st.st_mode));
      entries->push_back(FolderEntry{e->d_name, type});
    }
    int saved = errno;
    ::closedir(dir);
    errno = saved;
    return ok;
  }
};

}  // namespace

FileEnv* FileEnv::Default() {
  static PosixFileEnv* env = new PosixFileEnv();
  return env;
}
