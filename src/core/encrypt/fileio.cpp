#include "core/encrypt/fileio.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace encrypt_io {

bool OpenSource(const std::string& path, PosixFile* file) {
  return !path.empty() && file->OpenRegularForRead(path);
}

bool CreateDestination(const std::string& path, const PosixFile& source, PosixFile* file) {
  if (path.empty() || !file->Open(path, O_WRONLY | O_CREAT, 0600)) return false;
  struct stat dst, src;
  if (!file->Stat(&dst)) return false;
  if (source.IsOpen()) {
    if (!source.Stat(&src)) return false;
    if (src.st_dev == dst.st_dev && src.st_ino == dst.st_ino) {
      file->Close();
      errno = EINVAL;
      return false;
    }
  }
  if (S_ISREG(dst.st_mode) && !file->Truncate(0)) return false;
  return true;
}

bool FileSize(const PosixFile& file, uint64_t* size) {
  struct stat st;
  if (!file.Stat(&st)) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool IsSameFile(const std::string& a, const std::string& b, FileEnv* env) {
  struct stat sa, sb;
  if (!env->Stat(a, &sa) || !env->Stat(b, &sb)) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace encrypt_io
