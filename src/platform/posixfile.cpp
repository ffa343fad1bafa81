#include "platform/posixfile.h"

#include <fcntl.h>

#include <cerrno>
#include <vector>

PosixFile::~PosixFile() { Close(); }

PosixFile::PosixFile(PosixFile&& o) noexcept : m_env(o.m_env), m_fd(o.m_fd), m_path(std::move(o.m_path)) {
  o.m_fd = -1;
}

PosixFile& PosixFile::operator=(PosixFile&& o) noexcept {
  if (this != &o) {
    Close();
    m_env = o.m_env;
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
  if (!Stat(&st)) {
    ErrnoKeeper keep;
    Close();
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    Close();
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  if (!m_env->SetNonBlocking(m_fd, false)) {
    ErrnoKeeper keep;
    Close();
    return false;
  }
  return true;
}

bool PosixFile::Open(const std::string& path, int flags, mode_t mode) {
  Close();
  int fd = m_env->Open(path, flags, mode);
  if (fd < 0) return false;
  m_fd = fd;
  m_path = path;
  return true;
}

namespace {

// Repeats step(pointer, count, done so far) until count bytes are moved: the count
// moved (fewer at the end of a file when reading), or -1 with errno set. A write that
// moves nothing fails with EIO.
template <typename Byte, typename Step>
ssize_t MoveFull(int fd, Byte* p, size_t count, bool reading, Step step) {
  if (fd < 0) {
    errno = EBADF;
    return -1;
  }
  size_t done = 0;
  while (done < count) {
    ssize_t n = step(p + done, count - done, done);
    if (n < 0) return -1;
    if (n == 0) {
      if (reading) break;
      errno = EIO;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

}  // namespace

ssize_t PosixFile::ReadFull(void* buffer, size_t count) {
  return MoveFull(m_fd, static_cast<char*>(buffer), count, true,
                  [&](char* p, size_t n, size_t) { return m_env->Read(m_fd, p, n); });
}

ssize_t PosixFile::ReadFullAt(void* buffer, size_t count, off_t offset) {
  return MoveFull(m_fd, static_cast<char*>(buffer), count, true, [&](char* p, size_t n, size_t done) {
    return m_env->PRead(m_fd, p, n, offset + static_cast<off_t>(done));
  });
}

bool PosixFile::WriteFull(const void* buffer, size_t count) {
  return MoveFull(m_fd, static_cast<const char*>(buffer), count, false,
                  [&](const char* p, size_t n, size_t) { return m_env->Write(m_fd, p, n); }) >= 0;
}

bool PosixFile::WriteFullAt(const void* buffer, size_t count, off_t offset) {
  return MoveFull(m_fd, static_cast<const char*>(buffer), count, false,
                  [&](const char* p, size_t n, size_t done) {
                    return m_env->PWrite(m_fd, p, n, offset + static_cast<off_t>(done));
                  }) >= 0;
}

off_t PosixFile::Seek(off_t offset, int whence) {
  if (m_fd < 0) {
    errno = EBADF;
    return -1;
  }
  return m_env->Seek(m_fd, offset, whence);
}

bool PosixFile::Stat(struct stat* st) const {
  if (m_fd < 0) {
    errno = EBADF;
    return false;
  }
  return m_env->Fstat(m_fd, st);
}

bool PosixFile::Truncate(off_t size) {
  if (m_fd < 0) {
    errno = EBADF;
    return false;
  }
  return m_env->Truncate(m_fd, size);
}

bool PosixFile::Sync() {
  if (m_fd < 0) {
    errno = EBADF;
    return false;
  }
  return m_env->Sync(m_fd);
}

bool PosixFile::Close() {
  if (m_fd < 0) return true;
  int fd = m_fd;
  m_fd = -1;
  return m_env->Close(fd);
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

bool ReadWholeFile(const std::string& path, size_t maxBytes, std::string* bytes, FileEnv* env) {
  bytes->clear();
  PosixFile file(env);
  if (!file.OpenRegularForRead(path)) {
    if (errno == EISDIR) errno = EINVAL;
    return false;
  }
  struct stat st {};
  if (!file.Stat(&st)) return false;
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

bool SyncFolder(const std::string& folder, FileEnv* env) {
  PosixFile dir(env);
  if (!dir.Open(folder.empty() ? "." : folder, O_RDONLY | O_DIRECTORY)) return false;
  return dir.Sync();
}

bool RenamePath(const std::string& from, const std::string& to, bool noReplace, FileEnv* env) {
  return env->Rename(from, to, noReplace);
}

std::string FolderOfPath(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  if (slash == 0) return "/";
  return path.substr(0, slash);
}
