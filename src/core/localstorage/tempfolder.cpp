#include "core/localstorage/tempfolder.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "common/filehelper.h"
#include "common/log.h"
#include "common/strhelper.h"
#include "platform/guid.h"

namespace {

// The name the block download gives a file's resume folder, before the SHA-1 text.
constexpr std::string_view kResumePrefix = "resume-";

bool RemoveEntry(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (S_ISDIR(st.st_mode)) return DeleteFolderTree(path, false, true);
  return SUCCEEDED(ForceDeleteFile(path));
}

// The names of the entries, each lock file counted as the entry it is beside.
std::set<std::string> EntryNames(const std::string& folder) {
  std::set<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return names;
  const std::string_view suffix = CTempClaim::kLockSuffix;
  while (struct dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (name.size() > suffix.size() && name.ends_with(suffix)) name.resize(name.size() - suffix.size());
    names.insert(std::move(name));
  }
  ::closedir(dir);
  return names;
}

}  // namespace

void CleanTempFolder(const std::string& tempFolder, std::chrono::seconds resumeKeep,
                     const std::function<bool(const std::string& path)>& remove) {
  const auto removeEntry = remove ? remove : RemoveEntry;
  const std::string folder = WithoutTrailingSlash(tempFolder);
  const auto now = std::chrono::system_clock::now();
  for (const std::string& name : EntryNames(folder)) {
    const std::string path = JoinPath(folder, name);
    CTempClaim claim;
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
    if (::lstat(path.c_str(), &st) != 0) continue;  // only a lock file, which goes with the claim
    const auto age = now - std::chrono::system_clock::from_time_t(st.st_mtime);
    if (S_ISDIR(st.st_mode) && name.starts_with(kResumePrefix) && age < resumeKeep && age > -resumeKeep) continue;
    if (!removeEntry(path)) OSTREL_LOG(kLogWarn, "CleanTempFolder(): cannot remove %s", path.c_str());
  }
}

bool CTempFolder::Open(const std::string& tempFolder, std::chrono::seconds resumeKeep) {
  Close();
  const std::string folder = WithoutTrailingSlash(tempFolder);
  struct stat st {};
  if (::lstat(folder.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) ::unlink(folder.c_str());
  if (FAILED(EnsureDirectory(folder, 0700)) || ::chmod(folder.c_str(), 0700) != 0) {
    OSTREL_LOG(kLogWarn, "CTempFolder::Open(): no temp folder %s", folder.c_str());
    return false;
  }
  CleanTempFolder(folder, resumeKeep);
  // Claimed before it is made, so that a clean-up elsewhere never finds it unclaimed.
  const std::string work = JoinPath(folder, kWorkPrefix + NewGuidString());
  if (!m_claim.TryClaim(work) || ::mkdir(work.c_str(), 0700) != 0) {
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
  if (!DeleteFolderTree(work, false, true)) OSTREL_LOG(kLogWarn, "CTempFolder::Close(): cannot remove %s", work.c_str());
  m_claim.Release();
}

std::string CTempFolder::NewFilePath() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_work.empty() ? std::string() : m_work + "/" + NewGuidString();
}
