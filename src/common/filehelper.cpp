#include "common/filehelper.h"

#include <dirent.h>
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

struct FolderEntry {
  std::string name;
  bool isFolder;  // a real folder, never a link to one
};

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
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
bool ListFolder(const std::string& folder, std::vector<FolderEntry>* out) {
  std::string path = WithoutTrailingSlash(folder);
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return false;
  }
  bool ok = true;
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(dir);
    if (!e) {
      ok = errno == 0;
      break;
    }
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    bool isFolder = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN) {
      struct stat st {};
      isFolder = ::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    out->push_back(FolderEntry{e->d_name, isFolder});
  }
  int saved = errno;
  ::closedir(dir);
  errno = saved;
  std::sort(out->begin(), out->end(), [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  return ok;
}

bool Walk(const std::string& folder, const std::string& pattern, const WalkVisit& visit) {
  bool go = visit(kWalkEnter, folder, std::string());
  if (go) {
    std::vector<FolderEntry> entries;
    if (!ListFolder(folder, &entries) && errno != ENOENT) {
      int err = errno;
      OSTREL_LOG(kLogWarn, "WalkFolder: cannot list %s: %s", folder.c_str(), std::strerror(err));
    }
    for (const FolderEntry& e : entries) {
      if (!PatternMatches(pattern, e.name)) continue;
      go = e.isFolder ? Walk(folder + e.name + "/", pattern, visit) : visit(kWalkFile, folder, e.name);
      if (!go) break;
    }
  }
  bool left = visit(kWalkLeave, folder, std::string());
  return go && left;
}

// Adds owner write and search permission to a real folder of the user that lacks
// them, so that its entries can be removed.
void MakeFolderWritable(const std::string& folder) {
  std::string path = WithoutTrailingSlash(folder);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return;
  mode_t need = S_IRUSR | S_IWUSR | S_IXUSR;
  if ((st.st_mode & need) != need) ::chmod(path.c_str(), (st.st_mode & 07777) | need);
}

std::string LocalTimeText(int64_t sec, int64_t nsec) {
  time_t t = static_cast<time_t>(sec);
  struct tm tm {};
  ::localtime_r(&t, &tm);
  return StringFormat("%04d-%02d-%02d %02d:%02d:%02d.%07d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                      tm.tm_min, tm.tm_sec, static_cast<int>(nsec / 100));
}

}  // namespace

HRESULT EnsureDirectory(const std::string& path, unsigned mode) {
  std::string target = WithoutTrailingSlash(path);
  if (target != "/") {
    for (size_t pos = 1; pos <= target.size(); ++pos) {
      if (pos != target.size() && target[pos] != '/') continue;
      if (target[pos - 1] == '/') continue;  // "//" inside a path
      ::mkdir(target.substr(0, pos).c_str(), mode);
    }
  }
  struct stat st {};
  if (path.empty() || ::stat(target.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOL:path.IsDirectory()");
    return E_FAIL;
  }
  return S_OK;
}

bool WalkFolder(const std::string& folder, const std::string& pattern, const WalkVisit& visit) {
  if (folder.empty()) {
    OSTREL_LOG(kLogWarn, "%s", "WalkFolder: no folder given");
    return false;
  }
  std::string start = folder;
  AddBackslash(&start);
  return Walk(start, pattern, visit);
}

bool DeleteFolderTree(const std::string& folder, bool toRecycleBin, bool goOnAfterErrors) {
  if (WithoutTrailingSlash(folder).empty() || WithoutTrailingSlash(folder) == "/") {
    OSTREL_LOG(kLogWarn, "DeleteFolderTree: refused to delete \"%s\"", folder.c_str());
    return false;
  }
  bool everything = true;
  auto visit = [&](WalkKind kind, const std::string& dir, const std::string& name) -> bool {
    if (kind == kWalkEnter) {
      MakeFolderWritable(dir);
      return true;
    }
    bool bRet;
    if (kind == kWalkFile) {
      std::string path = dir + name;
      if (toRecycleBin) {
        bRet = SUCCEEDED(DeleteToRecycleBin(path));
      } else {
        bRet = ::unlink(path.c_str()) == 0 || errno == ENOENT;
        if (!bRet) OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOL:bRet");
      }
    } else {
      std::string path = WithoutTrailingSlash(dir);
      struct stat st {};
      if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
          ::rmdir(path.c_str());
        else if (S_ISLNK(st.st_mode) && toRecycleBin)  // the folder given was a link: the link goes
          DeleteToRecycleBin(path);
        else if (S_ISLNK(st.st_mode))
          ::unlink(path.c_str());
      }
      bRet = !Exists(path);
      if (!bRet) OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:!path.IsDirectory()");
    }
    if (!bRet) everything = false;
    return goOnAfterErrors || bRet;
  };
  bool walked = WalkFolder(folder, "*.*", visit);
  return walked && everything;
}

HRESULT DeleteToRecycleBin(const std::string& path) {
  // A folder needs write permission to be moved under another parent.
  struct stat st {};
  bool madeWritable = false;
  std::string own = WithoutTrailingSlash(path);
  if (::lstat(own.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && !(st.st_mode & S_IWUSR) &&
      st.st_uid == ::geteuid())
    madeWritable = ::chmod(own.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
  bool bRet = MoveToTrash(own);
  int err = errno;
  if (!bRet && madeWritable) ::chmod(own.c_str(), st.st_mode & 07777);
  ERROR_CHECK_BOOLEX_MSG(bRet, "Can Not Move To Trash: %s: %s", path.c_str(), std::strerror(err));
  return S_OK;
}

HRESULT GetFileSizeByPath(const std::string& path, int64_t* size) {
  const char* szFilePath = path.c_str();
  ASSERT(!IsStrEmpty(szFilePath));
  struct stat st {};
  bool bRet = !path.empty() && ::stat(szFilePath, &st) == 0;
  ERROR_CHECK_BOOLEX(bRet);
  *size = S_ISDIR(st.st_mode) ? 0 : static_cast<int64_t>(st.st_size);
  return S_OK;
}

HRESULT GetFileTimeStrings(const std::string& path, std::string* creationTime, std::string* lastWriteTime) {
  const char* szFilePath = path.c_str();
  ASSERT(!IsStrEmpty(szFilePath));
  ASSERT(creationTime->empty() && lastWriteTime->empty());
  FileTimes times;
  bool bRet = !path.empty() && GetFileTimes(path, &times);
  ERROR_CHECK_BOOLEX_MSG(bRet, "Can Not Get File Time: %s", szFilePath);
  *creationTime = LocalTimeText(times.birthSec, times.birthNsec);
  *lastWriteTime = LocalTimeText(times.modifySec, times.modifyNsec);
  return S_OK;
}

bool MoveFileReplace(const std::string& source, const std::string& target) {
  bool moved = MoveReplace(source, target);
  int err = moved ? 0 : errno;
  bool bRet = moved && !Exists(source) && Exists(target);
  if (!bRet)
    OSTREL_LOG(kLogWarn, "MoveFileReplace: %s -> %s failed: %s", source.c_str(), target.c_str(),
               moved ? "the source is still there or the target is not" : std::strerror(err));
  return bRet;
}

HRESULT ForceDeleteFile(const std::string& path) {
  const char* szFilePath = path.c_str();
  if (!path.empty()) ::unlink(szFilePath);  // unlink needs no write permission on the file
  if (!path.empty() && Exists(path)) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:!::PathFileExistsW(szFilePath)");
    return E_FAIL;
  }
  return S_OK;
}

CReadFileHandle::CReadFileHandle(std::string path) : m_path(std::move(path)) {}
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

CWriteFileHandle::CWriteFileHandle(std::string path, unsigned mode) : m_path(std::move(path)), m_mode(mode) {}
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
