#include "core/localstorage/tempfolder.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <vector>

#include "common/filehelper.h"
#include "common/log.h"
#include "common/strhelper.h"
#include "platform/guid.h"

namespace {

// The name the block download gives a file's resume folder, before the SHA-1 text.
constexpr std::string_view kResumePrefix = "resume-";
// The name of a cache copy's claim, before the SHA-1 text (CEditClaims).
constexpr std::string_view kEditPrefix = "edit-";

bool RemoveEntry(FileEnv* env, const std::string& path) {
  struct stat st {};
  if (!env->Lstat(path, &st)) return errno == ENOENT;
  if (S_ISDIR(st.st_mode)) return DeleteFolderTree(path, false, true, env);
  return SUCCEEDED(ForceDeleteFile(path, env));
}

// The names of the entries, each lock file counted as the entry it is beside.
std::set<std::string> EntryNames(FileEnv* env, const std::string& folder) {
  std::vector<FolderEntry> entries;
  env->ListFolder(folder, /*followLink=*/true, &entries);
  std::set<std::string> names;
  const std::string_view suffix = CTempClaim::kLockSuffix;
  for (FolderEntry& e : entries) {
    if (e.name.size() > suffix.size() && e.name.ends_with(suffix)) e.name.resize(e.name.size() - suffix.size());
    names.insert(std::move(e.name));
  }
  return names;
}

}  // namespace

void CleanTempFolder(const std::string& tempFolder, std::chrono::seconds resumeKeep, FileEnv* env) {
  const auto removeEntry = [env](const std::string& path) { return RemoveEntry(env, path); };
  const std::string folder = WithoutTrailingSlash(tempFolder);
  const auto now = std::chrono::system_clock::now();
  for (const std::string& name : EntryNames(env, folder)) {
    if (name.starts_with(kEditPrefix)) continue;
    const std::string path = JoinPath(folder, name);
    CTempClaim claim(env);
    int err = claim.TryClaim(path) ? 0 : errno;
    // No claimant can ever lock a lock path that is no regular file: it is debris.
    if ((err == ELOOP || err == EISDIR || err == EINVAL) && removeEntry(CTempClaim::LockPathOf(path)))
      err = claim.TryClaim(path) ? 0 : errno;
    if (err == EWOULDBLOCK) continue;  // in use by a live process
    // A name too long for a lock file beside it is no entry anyone can claim.
    if (err != 0 && err != ENAMETOOLONG) {
      OSTREL_LOG(kLogWarn, "CleanTempFolder(): kept %s: cannot claim it: %s", path.c_str(), std::strerror(err));
      continue;
    }
    struct stat st {};
    if (!env->Lstat(path, &st)) continue;  // only a lock file, which goes with the claim
    const auto age = now - std::chrono::system_clock::from_time_t(st.st_mtime);
    if (S_ISDIR(st.st_mode) && name.starts_with(kResumePrefix) && age < resumeKeep && age > -resumeKeep) continue;
    if (!removeEntry(path)) OSTREL_LOG(kLogWarn, "CleanTempFolder(): cannot remove %s", path.c_str());
  }
}

bool CTempFolder::Open(const std::string& tempFolder, std::chrono::seconds resumeKeep) {
  Close();
  const std::string folder = WithoutTrailingSlash(tempFolder);
  struct stat st {};
  if (m_env->Lstat(folder, &st) && !S_ISDIR(st.st_mode)) m_env->Unlink(folder);
  if (FAILED(EnsureDirectory(folder, 0700, m_env)) || !m_env->Chmod(folder, 0700)) {
    OSTREL_LOG(kLogWarn, "CTempFolder::Open(): no temp folder %s", folder.c_str());
    return false;
  }
  CleanTempFolder(folder, resumeKeep, m_env);
  // Claimed before it is made, so that a clean-up elsewhere never finds it unclaimed.
  const std::string work = JoinPath(folder, kWorkPrefix + NewGuidString());
  if (!m_claim.TryClaim(work) || !m_env->Mkdir(work, 0700)) {
    OSTREL_LOG(kLogWarn, "CTempFolder::Open(): cannot make the work folder %s: %s", work.c_str(),
               std::strerror(errno));
    m_claim.Release();
    return false;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_work = work;
  return true;
}

void CTempFolder::Close() {
  std::string work;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    work.swap(m_work);
  }
  if (work.empty()) return;
  if (!DeleteFolderTree(work, false, true, m_env))
    OSTREL_LOG(kLogWarn, "CTempFolder::Close(): cannot remove %s", work.c_str());
  m_claim.Release();
}

std::string CTempFolder::NewFilePath() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_work.empty() ? std::string() : m_work + "/" + NewGuidString();
}
