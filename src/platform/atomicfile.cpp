#include "platform/atomicfile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/guid.h"
#include "platform/posixfile.h"

namespace {

void RemoveQuietly(FileEnv* env, const std::string& path) {
  ErrnoKeeper keep;
  env->Unlink(path);
}

// fsync of a folder the call changed. A file system that does not sync folders
// (EINVAL) has nothing more to make durable.
bool SyncChangedFolder(FileEnv* env, const std::string& folder) {
  return SyncFolder(folder, env) || errno == EINVAL;
}

// Writes the temp file's content through fill, then fsyncs, renames it over target
// and fsyncs the folder. The temp file is removed on a failure before the rename; a
// failure of the folder's fsync comes after it.
template <typename Fill>
bool ReplaceThroughTemp(FileEnv* env, const std::string& target, const std::string& temp, mode_t mode, Fill fill) {
  PosixFile out(env);
  if (!out.Open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode)) return false;
  bool ok = fill(out) && out.Sync();
  if (!ok) {
    ErrnoKeeper keep;
    out.Close();
    env->Unlink(temp);
    return false;
  }
  if (!out.Close() || !RenamePath(temp, target, false, env)) {
    RemoveQuietly(env, temp);
    return false;
  }
  return SyncChangedFolder(env, FolderOfPath(target));
}

bool CopyAcross(FileEnv* env, const std::string& source, const std::string& target) {
  PosixFile in(env);
  if (!in.Open(source, O_RDONLY | O_NOFOLLOW)) {
    if (errno == ELOOP) errno = EXDEV;  // a symbolic link is not copied across
    return false;
  }
  struct stat st {};
  if (!in.Stat(&st)) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = EXDEV;  // folders and special files do not move across file systems
    return false;
  }
  auto fill = [&](PosixFile& out) {
    if (!env->Fchmod(out.fd(), st.st_mode & 0777) || !CopyFileData(in, out)) return false;
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    env->Futimens(out.fd(), times);  // best effort: the content matters, the times follow
    return true;
  };
  if (!ReplaceThroughTemp(env, target, TempPathBeside(target), 0600, fill)) return false;
  in.Close();
  if (!env->Unlink(source)) return false;
  return SyncChangedFolder(env, FolderOfPath(source));
}

}  // namespace

std::string TempPathBeside(const std::string& target) {
  std::string folder = FolderOfPath(target);
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder + "." + NewGuidString() + ".tmp";
}

bool AtomicWriteFile(const std::string& target, const std::string& bytes, mode_t mode, FileEnv* env) {
  return AtomicWriteFileVia(target, TempPathBeside(target), bytes, mode, env);
}

bool AtomicWriteFileVia(const std::string& target, const std::string& temp, const std::string& bytes, mode_t mode,
                        FileEnv* env) {
  return ReplaceThroughTemp(env, target, temp, mode,
                            [&](PosixFile& out) { return out.WriteFull(bytes.data(), bytes.size()); });
}

bool MoveReplace(const std::string& source, const std::string& target, FileEnv* env) {
  // Write-through: the content is on disk before the name points at it, so a crash
  // never leaves an empty or partial file under the target's name.
  {
    PosixFile in(env);
    struct stat st {};
    if (in.Open(source, O_RDONLY | O_NOFOLLOW | O_NONBLOCK) && in.Stat(&st) && S_ISREG(st.st_mode) && !in.Sync())
      return false;
  }
  if (RenamePath(source, target, false, env)) {
    std::string to = FolderOfPath(target), from = FolderOfPath(source);
    int err = SyncChangedFolder(env, to) ? 0 : errno;
    if (from != to && !SyncChangedFolder(env, from) && err == 0) err = errno;
    if (err == 0) return true;
    errno = err;
    return false;
  }
  if (errno != EXDEV) return false;
  return CopyAcross(env, source, target);
}
