// CLocalStorage: the sync folder's file services.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string_view>

#include "common/checks.h"
#include "common/filehelper.h"
#include "common/pathcheck.h"
#include "common/sha1.h"
#include "common/strhelper.h"
#include "common/tracestack.h"
#include "core/localstorage/filesystemreturn.h"
#include "core/localstorage/localstorage.h"
#include "platform/atomicfile.h"
#include "platform/lockprobe.h"
#include "platform/posixfile.h"
#include "platform/usermode.h"

namespace {

bool PathExists(FileEnv* env, const std::string& path) {
  struct stat st {};
  return !path.empty() && env->Stat(path, &st);
}

// Copies the regular file source into the new file target (created 0600, never an
// existing file or a link). False with errno set on failure (EISDIR for a folder,
// EINVAL for any other kind of file); no target remains then.
bool CopyToNewFile(FileEnv* env, const std::string& source, const std::string& target) {
  PosixFile in(env);
  if (!in.OpenRegularForRead(source)) return false;
  PosixFile out(env);
  if (!out.Open(target, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600)) return false;
  bool ok = CopyFileData(in, out) && out.Close();
  if (!ok) {
    ErrnoKeeper keep;
    out.Close();
    env->Unlink(target);
  }
  return ok;
}

}  // namespace

std::string CLocalStorage::SyncPath() {
  std::lock_guard<std::mutex> paths(m_pathLock);
  return m_strLocalSyncPath;
}

std::string CLocalStorage::GetFullPath(const std::string& relativePath) {
  std::string sync = SyncPath();
  // The temp folder is emptied at every Init: nothing of the user's may live there.
  std::string_view first = std::string_view(relativePath).substr(0, relativePath.find('/'));
  if (sync.empty() || !IsSafeRelativePath(relativePath) || first == kTempFolderName) {
    OSTREL_LOG(kLogWarn, "CLocalStorage::GetFullPath(): refused: %s", relativePath.c_str());
    return std::string();
  }
  if (relativePath.empty()) return sync;
  AddBackslash(&sync);
  return sync + relativePath;
}

std::string CLocalStorage::GetTempFolder() {
  std::lock_guard<std::mutex> paths(m_pathLock);
  return m_strTempFolder;
}

std::string CLocalStorage::GetTempFilePath() {
  // In the store's own work folder, which another process's Init leaves alone.
  return m_temp.NewFilePath();
}

HRESULT CLocalStorage::ResolvePath(const std::string& path, bool relative, std::string* resolved) {
  if (!relative) {
    *resolved = path;
    return S_OK;
  }
  *resolved = GetFullPath(path);
  return resolved->empty() ? E_INVALIDARG : S_OK;
}

HRESULT CLocalStorage::GetFileSha1ByPath(const std::string& path, std::string* sha1, bool relative) {
  // Hashing a large file takes long: it runs under no lock.
  std::string fullPath;
  HRESULT hr = ResolvePath(path, relative, &fullPath);
  ERROR_CHECK_COM(hr);
  hr = GetFileSha1(fullPath, nullptr, sha1, m_env);
  ERROR_CHECK_COM(hr);
  return hr;
}

HRESULT CLocalStorage::GetFileSizeByPath(const std::string& path, int64_t* size, bool relative) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CLocalStorage::GetFileSizeByPath()", &hr, "szFilePath = %s, bRelatePath = %d", path.c_str(),
                     relative ? 1 : 0);
  std::string fullPath;
  hr = ResolvePath(path, relative, &fullPath);
  ERROR_CHECK_COM(hr);
  hr = ::GetFileSizeByPath(fullPath, size, m_env);
  ERROR_CHECK_COM(hr);
  return hr;
}

HRESULT CLocalStorage::GetFileTimeByPath(const std::string& path, std::string* creationTime, std::string* modifyTime,
                                         bool relative) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CLocalStorage::GetFileTimeByPath()", &hr, "szFilePath = %s, bRelatePath = %d", path.c_str(),
                     relative ? 1 : 0);
  std::string fullPath;
  hr = ResolvePath(path, relative, &fullPath);
  ERROR_CHECK_COM(hr);
  std::string created, modified;
  hr = GetFileTimeStrings(fullPath, &created, &modified, m_env);
  ERROR_CHECK_COM(hr);
  *creationTime = std::move(created);
  *modifyTime = std::move(modified);
  return hr;
}

HRESULT CLocalStorage::CopyFileToTempPathByFullPath(const std::string& fullPath, std::string* tempPath,
                                                    bool relative) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CLocalStorage::CopyFileToTempPathByFullPath", &hr, "szFullPath = %s", fullPath.c_str());
  std::string source;
  hr = ResolvePath(fullPath, relative, &source);
  ERROR_CHECK_COM(hr);
  if (!PathExists(m_env, source)) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:pathSource.FileExists()");
    hr = E_CV_LOCAL_NOT_EXIST;
    return hr;
  }
  std::string temp = GetTempFilePath();
  bool ok = !temp.empty() && CopyToNewFile(m_env, source, temp);
  if (!ok && errno == EINVAL) {
    // A FIFO, socket or device: nothing that can be uploaded.
    OSTREL_LOG(kLogWarn, "CLocalStorage::CopyFileToTempPathByFullPath(): not a regular file: %s", source.c_str());
    hr = E_INVALIDARG;
    return hr;
  }
  hr = DealFileSystemReturn(ok, ok ? 0 : errno);
  if (hr == S_OK) *tempPath = temp;
  return hr;
}

HRESULT CLocalStorage::MoveTempFileToSyncSpace(const std::string& sourcePath, const std::string& cachePath,
                                               const std::string& name) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CLocalStorage::MoveTempFileToSyncSpace()", &hr,
                     "szSourcePath = %s, szCachePath = %s, szName = %s", sourcePath.c_str(), cachePath.c_str(),
                     name.c_str());
  // Moves serialise among themselves; a copy across file systems may take long, so the
  // item store is not held up by them.
  std::lock_guard<std::mutex> moves(m_moveLock);
  if (!PathExists(m_env, sourcePath)) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:pathSource.FileExists()");
    hr = E_CV_LOCAL_NOT_EXIST;
    return hr;
  }
  std::string parent = FolderOfPath(cachePath);
  if (!parent.empty()) CHECK_COM(EnsureDirectory(parent, 0700, m_env));
  if (ProbeFileLock(cachePath, m_env) == FileLockState::kLocked) {
    // Another program has the file: it is not replaced under its feet.
    OSTREL_LOG(kLogWarn, "CLocalStorage::MoveTempFileToSyncSpace(): held by another process: %s", cachePath.c_str());
    hr = E_CV_LOCAL_LOCKED;
    return hr;
  }
  // The file becomes the user's: the permission bits a file the user saves would get.
  struct stat st {};
  if (m_env->Lstat(sourcePath, &st) && S_ISREG(st.st_mode)) m_env->Chmod(sourcePath, UserFileMode(m_env));
  bool ok = MoveReplace(sourcePath, cachePath, m_env);
  hr = DealFileSystemReturn(ok, ok ? 0 : errno);
  if (hr == E_CV_LOCAL_EXISTS) hr = E_CV_LOCAL_LOCKED;
  if (hr != S_OK && hr != E_CV_LOCAL_LOCKED)
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOL:S_OK == hr || E_CV_LOCAL_LOCKED == hr");
  return hr;
}
