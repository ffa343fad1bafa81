#include "platform/atomicfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/guid.h"
#include "platform/posixfile.h"

namespace {

void RemoveQuietly(const std::string& path) {
  ErrnoKeeper keep;
  ::unlink(path.c_str());
}

// Writes the temp file's content through fill, then fsyncs, renames it over target
// and fsyncs the folder. The temp file is removed on failure.
template <typename Fill>
bool ReplaceThroughTemp(const std::string& target, const std::string& temp, mode_t mode, Fill fill) {
  PosixFile out;
  if (!out.Open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode)) return false;
  bool ok = fill(out) && out.Sync();
  if (!ok) {
    ErrnoKeeper keep;
    out.Close();
    ::unlink(temp.c_str());
    return false;
  }
  if (!out.Close() || !RenamePath(temp, target)) {
    RemoveQuietly(temp);
    return false;
  }
  SyncFolder(FolderOfPath(target));
  return true;
}

bool CopyAcross(const std::string& source, const std::string& target) {
  PosixFile in;
  if (!in.Open(source, O_RDONLY | O_NOFOLLOW)) {
    if (errno == ELOOP) errno = EXDEV;  // a symbolic link is not copied across
    return false;
  }
  struct stat st {};
  if (::fstat(in.fd(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = EXDEV;  // folders and special files do not move across file systems
    return false;
  }
  auto fill = [&](PosixFile& out) {
    if (::fchmod(out.fd(), st.st_mode & 0777) != 0 || !CopyFileData(in, out)) return false;
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out.fd(), times);  // best effort: the content matters, the times follow
    return true;
  };
  if (!ReplaceThroughTemp(target, TempPathBeside(target), 0600, fill)) return false;
  in.Close();
  if (::unlink(source.c_str()) != 0) return false;
  SyncFolder(FolderOfPath(source));
  return true;
}

}  // namespace

std::string TempPathBeside(const std::string& target) {
  std::string folder = FolderOfPath(target);
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder + "." + NewGuidString() + ".tmp";
}

bool AtomicWriteFile(const std::string& target, const std::string& bytes, mode_t mode) {
  return AtomicWriteFileVia(target, TempPathBeside(target), bytes, mode);
}

bool AtomicWriteFileVia(const std::string& target, const std::string& temp, const std::string& bytes, mode_t mode) {
  return ReplaceThroughTemp(target, temp, mode,
                            [&](PosixFile& out) { return out.WriteFull(bytes.data(), bytes.size()); });
}

bool MoveReplace(const std::string& source, const std::string& target) {
  // Write-through: the content is on disk before the name points at it, so a crash
  // never leaves an empty or partial file under the target's name.
  {
    PosixFile in;
    struct stat st {};
    if (in.Open(source, O_RDONLY | O_NOFOLLOW | O_NONBLOCK) && ::fstat(in.fd(), &st) == 0 && S_ISREG(st.st_mode) &&
        !in.Sync())
      return false;
  }
  if (RenamePath(source, target)) {
    std::string to = FolderOfPath(target), from = FolderOfPath(source);
    SyncFolder(to);
    if (from != to) SyncFolder(from);
    return true;
  }
  if (errno != EXDEV) return false;
  return CopyAcross(source, target);
}
