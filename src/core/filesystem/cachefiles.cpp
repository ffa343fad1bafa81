#include "core/filesystem/cachefiles.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <vector>

#include "common/log.h"
#include "common/pathcheck.h"
#include "common/sha1.h"
#include "common/strhelper.h"
#include "platform/atomicfile.h"
#include "platform/posixfile.h"
#include "platform/usermode.h"

namespace {

std::vector<std::string_view> NormalisedElements(std::string_view path) {
  std::vector<std::string_view> elements;
  size_t at = 0;
  while (at <= path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string_view::npos) end = path.size();
    std::string_view element = path.substr(at, end - at);
    if (element == "..") {
      if (!elements.empty()) elements.pop_back();
    } else if (!element.empty() && element != ".") {
      elements.push_back(element);
    }
    at = end + 1;
  }
  return elements;
}

}  // namespace

bool IsPathInFolder(const std::string& filePath, const std::string& folderPath) {
  const std::vector<std::string_view> file = NormalisedElements(filePath);
  const std::vector<std::string_view> folder = NormalisedElements(folderPath);
  return file.size() > folder.size() && std::equal(folder.begin(), folder.end(), file.begin());
}

namespace {

std::string JoinElements(const std::vector<std::string_view>& elements, size_t from, size_t to) {
  std::string path;
  for (size_t i = from; i < to; ++i) {
    path += '/';
    path += elements[i];
  }
  return path;
}

}  // namespace

std::string ResolveLocalPath(const std::string& path, FileEnv* env) {
  if (path.empty()) return path;
  // The elements as written; a relative path's folders begin at the working folder.
  std::vector<std::string_view> elements;
  size_t at = 0;
  while (at <= path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    if (end > at) elements.push_back(std::string_view(path).substr(at, end - at));
    at = end + 1;
  }
  const bool relative = path[0] != '/';
  std::string named;
  for (size_t folders = elements.empty() ? 0 : elements.size() - 1;; --folders) {
    std::string folder = JoinElements(elements, 0, folders);
    if (relative) folder = folder.empty() ? "." : folder.substr(1);
    std::string resolved;
    if (env->RealPath(folder.empty() ? "/" : folder, &resolved)) {
      named = resolved + JoinElements(elements, folders, elements.size());
      break;
    }
    if (folders == 0) {
      named = relative ? "/" + path : path;
      break;
    }
  }
  const std::vector<std::string_view> normalised = NormalisedElements(named);
  return normalised.empty() ? "/" : JoinElements(normalised, 0, normalised.size());
}

bool JoinLocalName(const std::string& folder, const std::string& name, std::string* path) {
  if (!IsSafePathComponent(name)) {
    OSTREL_LOG(kLogWarn, "skipped \"%s\" in %s: the name cannot be one local path element", name.c_str(),
               folder.c_str());
    return false;
  }
  std::string joined = JoinPath(folder, name);
  if (name.size() > NAME_MAX || joined.size() >= PATH_MAX) {
    OSTREL_LOG(kLogWarn, "skipped \"%s\" in %s: the path is too long for the file system", name.c_str(),
               folder.c_str());
    return false;
  }
  *path = std::move(joined);
  return true;
}

bool IsRegularFile(const std::string& path, FileEnv* env) {
  struct stat st {};
  return env->Lstat(path, &st) && S_ISREG(st.st_mode);
}

bool IsLocalCopyUnchanged(const std::string& path, const CFileItemRecord& item, FileEnv* env) {
  struct stat st {};
  if (!env->Lstat(path, &st) || !S_ISREG(st.st_mode) || st.st_size != item.size) return false;
  if (item.strSha1.empty()) return false;
  std::string sha1;
  if (FAILED(GetFileSha1(path, nullptr, &sha1, env))) return false;
  return StrCompare(sha1, item.strSha1, true) == 0;
}

namespace {

bool ChangeWriteBits(const std::string& path, bool writable, FileEnv* env) {
  struct stat st {};
  if (!env->Lstat(path, &st)) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return false;
  }
  const mode_t mode = st.st_mode & 07777;
  const mode_t wanted = writable ? (mode | (UserFileMode(env) & 0222)) : (mode & ~mode_t{0222});
  return wanted == mode || env->Chmod(path, wanted);
}

}  // namespace

bool SetFileReadOnly(const std::string& path, FileEnv* env) { return ChangeWriteBits(path, false, env); }

bool SetFileWritable(const std::string& path, FileEnv* env) { return ChangeWriteBits(path, true, env); }

bool CopyFileReplace(const std::string& source, const std::string& target, FileEnv* env) {
  PosixFile in(env);
  if (!in.OpenRegularForRead(source)) return false;
  const std::string temp = TempPathBeside(target);
  PosixFile out(env);
  if (!out.Open(temp, O_WRONLY | O_CREAT | O_EXCL, 0666)) return false;
  bool ok = CopyFileData(in, out) && out.Sync();
  ok = out.Close() && ok;
  if (ok) ok = RenamePath(temp, target, false, env);
  if (!ok) {
    ErrnoKeeper keep;
    env->Unlink(temp);
    return false;
  }
  // The copy is whole either way; a folder that cannot be synced only risks a power loss.
  SyncFolder(FolderOfPath(target), env);
  return true;
}
