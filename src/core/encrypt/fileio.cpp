#include "core/encrypt/fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace encrypt_io {

bool OpenSource(const std::string& path, PosixFile* file) {
  return !path.empty() && file->OpenRegularForRead(path);
}

bool CreateDestination(const std::string& path, const PosixFile& source, PosixFile* file) {
  if (path.empty() || !file->Open(path, O_WRONLY | O_CREAT, 0600)) return false;
  struct stat dst, src;
  if (fstat(file->fd(), &dst) != 0) return false;
  if (source.IsOpen()) {
    if (fstat(source.fd(), &src) != 0) return false;
    if (src.st_dev == dst.st_dev && src.st_ino == dst.st_ino) {
      file->Close();
      errno = EINVAL;
      return false;
    }
  }
  if (S_ISREG(dst.st_mode) && ftruncate(file->fd(), 0) != 0) return false;
  return true;
}

bool FileSize(const PosixFile& file, uint64_t* size) {
  struct stat st;
  if (fstat(file.fd(), &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool IsSameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace encrypt_io
