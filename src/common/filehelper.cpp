#include "common/filehelper.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "common/checks.h"
#include "common/strhelper.h"
#include "platform/atomicfile.h"
#include "platform/filetimes.h"
#include "platform/trash.h"

namespace {

bool Exists(FileEnv* env, const std::string& path) {
  struct stat st {};
  return env->Lstat(path, &st);
}

// Windows wildcard match: "*" any run, "?" one character, ASCII letters without case.
bool WildcardMatch(const char* pattern, const char* name) {
  const char* starP = nullptr;
  const char* starN = nullptr;
  while (*name) {
    char p = *pattern;
    char n = *name;
    auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    if (p == '*') {
      starP = pattern++;
      starN = name;
    } else if (p != '\0' && (p == '?' || fold(p) == fold(n))) {
      ++pattern;
      ++name;
    } else if (starP) {
      pattern = starP + 1;
      name = ++starN;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

bool PatternMatches(const std::string& pattern, const std::string& name) {
  if (pattern == "*.*" || pattern == "*") return true;
  return WildcardMatch(pattern.c_str(), name.c_str());
}

// The entries of a folder (its path ending in "/"), sorted by name. False when the
// folder cannot be opened or read; a link in place of the folder is not opened.
bool ListSorted(FileEnv* env, const std::string& folder, std::vector<FolderEntry>* out) {
  bool ok = env->ListFolder(WithoutTrailingSlash(folder), /*followLink=*/false, out);
  ErrnoKeeper keep;
  std::sort(out->begin(), out->end(), [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  return ok;
}

bool Walk(FileEnv* env, const std::string& folder, const std::string& pattern, const WalkVisit& visit) {
  bool go = visit(kWalkEnter, folder, std::string());
  if (go) {
    std::vector<FolderEntry> entries;
    if (!ListSorted(env, folder, &entries) && errno != ENOENT) {
      int err = errno;
      OSTREL_LOG(kLogWarn, "WalkFolder: cannot list %s: %s", folder.c_str(), std::strerror(err));
    }
    for (const FolderEntry& e : entries) {
      if (!PatternMatches(pattern, e.name)) continue;
      // A real folder is entered, never a link to one.
      go = e.type == DT_DIR ? Walk(env, folder + e.name + "/", pattern, visit) : visit(kWalkFile, folder, e.name);
      if (!go) break;
    }
  }
  bool left = visit(kWalkLeave, folder, std::string());
  return go && left;
}

// Adds owner write and search permission to a real folder of the user that lacks
// them, so that its entries can be removed.
void MakeFolderWritable(FileEnv* env, const std::string& folder) {
  std::string path = WithoutTrailingSlash(folder);
  struct stat st {};
  if (!env->Lstat(path, &st) || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return;
  mode_t need = S_IRUSR | S_IWUSR | S_IXUSR;
  if ((st.st_mode & need) != need) env->Chmod(path, (st.st_mode & 07777) | need);
}

std::string LocalTimeText(int64_t sec, int64_t nsec) {
  time_t t = static_cast<time_t>(sec);
  struct tm tm {};
  ::localtime_r(&t, &tm);
  return StringFormat("%04d-%02d-%02d %02d:%02d:%02d.%07d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                      tm.tm_min, tm.tm_sec, static_cast<int>(nsec / 100));
}

}  // namespace

HRESULT EnsureDirectory(const std::string& path, unsigned mode, FileEnv* env) {
  std::string target = WithoutTrailingSlash(path);
  bool durable = true;
  if (target != "/") {
    for (size_t pos = 1; pos <= target.size(); ++pos) {
      if (pos != target.size() && target[pos] != '/') continue;
      if (target[pos - 1] == '/') continue;  // "//" inside a path
      const std::string folder = target.substr(0, pos);
      // A folder made here is recorded durably in its parent, so that what is put into
      // it later and synced there survives a power loss.
      if (env->Mkdir(folder, mode) && !SyncFolder(FolderOfPath(folder), env) && errno != EINVAL) {
        OSTREL_LOG(kLogWarn, "EnsureDirectory: cannot sync the folder that holds %s: %s", folder.c_str(),
                   std::strerror(errno));
        durable = false;
      }
    }
  }
  struct stat st {};
  if (path.empty() || !env->Stat(target, &st) || !S_ISDIR(st.st_mode)) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOL:path.IsDirectory()");
    return E_FAIL;
  }
  return durable ? S_OK : E_FAIL;
}

bool WalkFolder(const std::string& folder, const std::string& pattern, const WalkVisit& visit, FileEnv* env) {
  if (folder.empty()) {
    OSTREL_LOG(kLogWarn, "%s", "WalkFolder: no folder given");
    return false;
  }
  std::string start = folder;
  AddBackslash(&start);
  return Walk(env, start, pattern, visit);
}

bool DeleteFolderTree(const std::string& folder, bool toRecycleBin, bool goOnAfterErrors, FileEnv* env) {
  if (WithoutTrailingSlash(folder).empty() || WithoutTrailingSlash(folder) == "/") {
    OSTREL_LOG(kLogWarn, "DeleteFolderTree: refused to delete \"%s\"", folder.c_str());
    return false;
  }
  bool everything = true;
  auto visit = [&](WalkKind kind, const std::string& dir, const std::string& name) -> bool {
    if (kind == kWalkEnter) {
      MakeFolderWritable(env, dir);
      return true;
    }
    bool bRet;
    if (kind == kWalkFile) {
      std::string path = dir + name;
      if (toRecycleBin) {
        bRet = SUCCEEDED(DeleteToRecycleBin(path, env));
      } else {
        bRet = env->Unlink(path) || errno == ENOENT;
        if (!bRet) OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOL:bRet");
      }
    } else {
      std::string path = WithoutTrailingSlash(dir);
      struct stat st {};
      if (env->Lstat(path, &st)) {
        if (S_ISDIR(st.st_mode))
          env->Rmdir(path);
        else if (S_ISLNK(st.st_mode) && toRecycleBin)  // the folder given was a link: the link goes
          DeleteToRecycleBin(path, env);
        else if (S_ISLNK(st.st_mode))
          env->Unlink(path);
      }
      bRet = !Exists(env, path);
      if (!bRet) OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:!path.IsDirectory()");
    }
    if (!bRet) everything = false;
    return goOnAfterErrors || bRet;
  };
  bool walked = WalkFolder(folder, "*.*", visit, env);
  return walked && everything;
}

HRESULT DeleteToRecycleBin(const std::string& path, FileEnv* env) {
  // A folder needs write permission to be moved under another parent.
  struct stat st {};
  bool madeWritable = false;
  std::string own = WithoutTrailingSlash(path);
  if (env->Lstat(own, &st) && S_ISDIR(st.st_mode) && !(st.st_mode & S_IWUSR) && st.st_uid == ::geteuid())
    madeWritable = env->Chmod(own, (st.st_mode & 07777) | S_IWUSR);
  bool bRet = MoveToTrash(own, nullptr, env);
  int err = errno;
  if (!bRet && madeWritable) env->Chmod(own, st.st_mode & 07777);
  ERROR_CHECK_BOOLEX_MSG(bRet, "Can Not Move To Trash: %s: %s", path.c_str(), std::strerror(err));
  return S_OK;
}

HRESULT GetFileSizeByPath(const std::string& path, int64_t* size, FileEnv* env) {
  const char* szFilePath = path.c_str();
  ASSERT(!IsStrEmpty(szFilePath));
  struct stat st {};
  bool bRet = !path.empty() && env->Stat(path, &st);
  ERROR_CHECK_BOOLEX(bRet);
  *size = S_ISDIR(st.st_mode) ? 0 : static_cast<int64_t>(st.st_size);
  return S_OK;
}

HRESULT GetFileTimeStrings(const std::string& path, std::string* creationTime, std::string* lastWriteTime,
                           FileEnv* env) {
  const char* szFilePath = path.c_str();
  ASSERT(!IsStrEmpty(szFilePath));
  ASSERT(creationTime->empty() && lastWriteTime->empty());
  FileTimes times;
  bool bRet = !path.empty() && GetFileTimes(path, &times, env);
  ERROR_CHECK_BOOLEX_MSG(bRet, "Can Not Get File Time: %s", szFilePath);
  *creationTime = LocalTimeText(times.birthSec, times.birthNsec);
  *lastWriteTime = LocalTimeText(times.modifySec, times.modifyNsec);
  return S_OK;
}

bool MoveFileReplace(const std::string& source, const std::string& target, FileEnv* env) {
  bool moved = MoveReplace(source, target, env);
  int err = moved ? 0 : errno;
  bool bRet = moved && !Exists(env, source) && Exists(env, target);
  if (!bRet)
    OSTREL_LOG(kLogWarn, "MoveFileReplace: %s -> %s failed: %s", source.c_str(), target.c_str(),
               moved ? "the source is still there or the target is not" : std::strerror(err));
  return bRet;
}

HRESULT ForceDeleteFile(const std::string& path, FileEnv* env) {
  if (!path.empty()) env->Unlink(path);  // unlink needs no write permission on the file
  if (!path.empty() && Exists(env, path)) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:!::PathFileExistsW(szFilePath)");
    return E_FAIL;
  }
  return S_OK;
}

CReadFileHandle::CReadFileHandle(std::string path, FileEnv* env) : m_path(std::move(path)), m_file(env) {}
CReadFileHandle::~CReadFileHandle() = default;

size_t CReadFileHandle::Read(void* buffer, size_t count) {
  if (m_failed) return 0;
  if (!m_file.IsOpen() && !m_file.Open(m_path, O_RDONLY)) {
    m_failed = true;
    return 0;
  }
  ssize_t n = m_file.ReadFull(buffer, count);
  if (n < 0) {
    m_failed = true;
    return 0;
  }
  return static_cast<size_t>(n);
}

CWriteFileHandle::CWriteFileHandle(std::string path, unsigned mode, FileEnv* env)
    : m_path(std::move(path)), m_mode(mode), m_file(env) {}
CWriteFileHandle::~CWriteFileHandle() = default;

size_t CWriteFileHandle::Write(const void* buffer, size_t count) {
  if (m_failed) return 0;
  if (!m_file.IsOpen() && !m_file.Open(m_path, O_WRONLY | O_CREAT | O_TRUNC, static_cast<mode_t>(m_mode))) {
    m_failed = true;
    return 0;
  }
  if (!m_file.WriteFull(buffer, count)) {
    m_failed = true;
    return 0;
  }
  return count;
}

bool CWriteFileHandle::Close() {
  if (!m_file.IsOpen()) return !m_failed;
  bool ok = m_file.Sync();
  ok = m_file.Close() && ok;
  if (!ok) m_failed = true;
  return !m_failed;
}
