#include "common/cachecleaner.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/configfolder.h"
#include "common/filehelper.h"
#include "common/log.h"
#include "common/registry.h"

namespace {

struct CachedFile {
  std::string path;
  int64_t size;
  int64_t accessSec;
  int64_t accessNsec;
};

std::string RealPath(FileEnv* env, const std::string& path) {
  std::string resolved;
  return env->RealPath(path, &resolved) ? resolved : std::string();
}

}  // namespace

int64_t TrimCacheFolder(const std::string& folder, int64_t limitBytes, FileEnv* env) {
  std::vector<CachedFile> files;
  int64_t total = 0;
  auto visit = [&](WalkKind kind, const std::string& parent, const std::string& name) {
    if (kind != kWalkFile) return true;
    std::string path = parent + name;
    struct stat st {};
    if (!env->Lstat(path, &st) || !S_ISREG(st.st_mode) || (st.st_mode & S_IWUSR)) return true;
    files.push_back(CachedFile{path, static_cast<int64_t>(st.st_size), static_cast<int64_t>(st.st_atim.tv_sec),
                               static_cast<int64_t>(st.st_atim.tv_nsec)});
    total += static_cast<int64_t>(st.st_size);
    return true;
  };
  WalkFolder(folder, "*.*", visit, env);
  std::sort(files.begin(), files.end(), [](const CachedFile& a, const CachedFile& b) {
    if (a.accessSec != b.accessSec) return a.accessSec < b.accessSec;
    if (a.accessNsec != b.accessNsec) return a.accessNsec < b.accessNsec;
    return a.path < b.path;
  });
  int64_t deleted = 0;
  for (const CachedFile& f : files) {
    if (total <= limitBytes) break;
    bool bRet = env->Unlink(f.path);
    if (!bRet) {
      int err = errno;
      OSTREL_LOG(kLogError, "%s", "*ASSERT*: bRet");
      OSTREL_LOG(kLogWarn, "cache trim: cannot delete %s: %s", f.path.c_str(), std::strerror(err));
      continue;
    }
    total -= f.size;
    deleted += f.size;
  }
  OSTREL_LOG(kLogInfo, "cache trim of %s: %zu cached files, %lld bytes deleted, %lld bytes left", folder.c_str(),
             files.size(), static_cast<long long>(deleted), static_cast<long long>(total));
  return deleted;
}

void CleanCache(FileEnv* env) {
  std::string userId;
  GetRegValue(&userId, "", kRegUserId, "", false, env);
  std::string syncRoot;
  GetRegValue(&syncRoot, userId, kRegSyncRoot, "", false, env);
  if (syncRoot.empty()) return;
  struct stat st {};
  if (!env->Lstat(syncRoot, &st) || !S_ISDIR(st.st_mode)) {
    OSTREL_LOG(kLogWarn, "cache trim: %s is not a folder; nothing deleted", syncRoot.c_str());
    return;
  }
  std::string real = RealPath(env, syncRoot);
  std::string home = RealPath(env, GetHomeFolder());
  if (real.empty() || real == "/" || (!home.empty() && real == home)) {
    OSTREL_LOG(kLogWarn, "cache trim: %s is the root or the home folder; nothing deleted", syncRoot.c_str());
    return;
  }
  TrimCacheFolder(syncRoot, kCacheLimitBytes, env);
}
