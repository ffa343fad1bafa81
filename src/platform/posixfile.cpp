#include "platform/posixfile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <vector>

namespace {

std::mutex g_hookMutex;
std::shared_ptr<FileFaultHook> g_hook;
std::atomic<bool> g_hookSet{false};

// 0, or the errno the hook injects for this operation.
int InjectedFault(FileOp op, const std::string& path) {
  if (!g_hookSet.load(std::memory_order_acquire)) return 0;
  std::shared_ptr<FileFaultHook> hook;
  {
    std::lock_guard<std::mutex> guard(g_hookMutex);
    hook = g_hook;
  }
  return hook ? (*hook)(op, path) : 0;
}

}  // namespace

void SetFileFaultHook(FileFaultHook hook) {
  std::lock_guard<std::mutex> guard(g_hookMutex);
  g_hook = hook ? std::make_shared<FileFaultHook>(std::move(hook)) : nullptr;
  g_hookSet.store(g_hook != nullptr, std::memory_order_release);
}

PosixFile::~PosixFile() { Close(); }

PosixFile::PosixFile(PosixFile&& o) noexcept : m_fd(o.m_fd), m_path(std::move(o.m_path)) { o.m_fd = -1; }

PosixFile& PosixFile::operator=(PosixFile&& o) noexcept {
  if (this != &o) {
    Close();
    m_fd = o.m_fd;
    m_path = std::move(o.m_path);
    o.m_fd = -1;
  }
  return *this;
}

bool PosixFile::OpenRegularForRead(const std::string& path) {
  // Non-blocking, so that opening a FIFO does not wait for a writer.
  if (!Open(path, O_RDONLY | O_NONBLOCK)) return false;
  struct stat st {};
  if (::fstat(m_fd, &st) != 0) {
    ErrnoKeeper keep;
    Close();
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    Close();
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  int flags = ::fcntl(m_fd, F_GETFL);
  if (flags < 0 || ::fcntl(m_fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ErrnoKeeper keep;
    Close();
    return false;
  }
  return true;
}

bool PosixFile::Open(const std::string& path, int flags, mode_t mode) {
  Close();
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  m_fd = fd;
  m_path = path;
  return true;
}

ssize_t PosixFile::ReadFull(void* buffer, size_t count) {
  if (m_fd < 0) {
    errno = EBADF;
    return -1;
  }
  char* p = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::read(m_fd, p + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

bool PosixFile::WriteFull(const void* buffer, size_t count) {
  if (m_fd < 0) {
    errno = EBADF;
    return false;
  }
  if (int e = InjectedFault(FileOp::kWrite, m_path)) {
    errno = e;
    return false;
  }
  const char* p = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::write(m_fd, p + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool PosixFile::Sync() {
  if (m_fd < 0) {
    errno = EBADF;
    return false;
  }
  if (int e = InjectedFault(FileOp::kSync, m_path)) {
    errno = e;
    return false;
  }
  int rc;
  do {
    rc = ::fsync(m_fd);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool PosixFile::Close() {
  if (m_fd < 0) return true;
  int fd = m_fd;
  m_fd = -1;
  // close is never retried: after EINTR the descriptor is already released on Linux.
  return ::close(fd) == 0 || errno == EINTR;
}

bool CopyFileData(PosixFile& in, PosixFile& out) {
  std::vector<char> buffer(size_t(1) << 20);
  for (;;) {
    ssize_t n = in.ReadFull(buffer.data(), buffer.size());
    if (n < 0) return false;
    if (n > 0 && !out.WriteFull(buffer.data(), static_cast<size_t>(n))) return false;
    if (static_cast<size_t>(n) < buffer.size()) return true;
  }
}

bool ReadWholeFile(const std::string& path, size_t maxBytes, std::string* bytes) {
  bytes->clear();
  PosixFile file;
  if (!file.OpenRegularForRead(path)) {
    if (errno == EISDIR) errno = EINVAL;
    return false;
  }
  struct stat st {};
  if (::fstat(file.fd(), &st) != 0) return false;
  if (static_cast<uint64_t>(st.st_size) > maxBytes) {
    errno = EFBIG;
    return false;
  }
  // The size is only a hint: files of /proc report 0, and a file may grow meanwhile.
  char buffer[16384];
  for (;;) {
    ssize_t n = file.ReadFull(buffer, sizeof(buffer));
    if (n < 0) {
      bytes->clear();
      return false;
    }
    if (static_cast<size_t>(n) > maxBytes - bytes->size()) {
      bytes->clear();
      errno = EFBIG;
      return false;
    }
    bytes->append(buffer, static_cast<size_t>(n));
    if (static_cast<size_t>(n) < sizeof(buffer)) return true;
  }
}

bool SyncFolder(const std::string& folder) {
  PosixFile dir;
  if (!dir.Open(folder.empty() ? "." : folder, O_RDONLY | O_DIRECTORY)) return false;
  return dir.Sync();
}

bool RenamePath(const std::string& from, const std::string& to, bool noReplace) {
  if (int e = InjectedFault(FileOp::kRename, from)) {
    errno = e;
    return false;
  }
  if (!noReplace) return ::rename(from.c_str(), to.c_str()) == 0;
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL) return false;
  // A file system without RENAME_NOREPLACE (or a folder moved into itself, which the
  // plain rename refuses with EINVAL again): test for the target first.
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return ::rename(from.c_str(), to.c_str()) == 0;
}

std::string FolderOfPath(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  if (slash == 0) return "/";
  return path.substr(0, slash);
}
