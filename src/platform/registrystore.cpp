#include "platform/registrystore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "platform/atomicfile.h"
#include "platform/guid.h"
#include "platform/homefolder.h"
#include "platform/posixfile.h"

namespace {

// A store larger than this is not a store of ours; it is refused, never replaced.
constexpr size_t kMaxStoreBytes = 64 * 1024 * 1024;

// The first line of every store written so far, temp copies included.
constexpr std::string_view kStoreHeading = "; Ostrel registry store, UTF-8. Written by the program.\n";
constexpr std::string_view kTempSuffix = ".tmp";
constexpr size_t kGuidChars = 38;

// The folder part of a path; "." for a bare name.
std::string ParentOf(const std::string& path) {
  std::string folder = FolderOfPath(path);
  return folder.empty() ? "." : folder;
}

// Creates the folder and its missing parents, new ones 0700. A folder made here is
// recorded durably in its parent (fsync), so that a store written into it survives a
// power loss; false when that fsync fails.
bool MakeFolders(FileEnv* env, const std::string& folder) {
  struct stat st {};
  if (env->Stat(folder, &st)) {
    if (S_ISDIR(st.st_mode)) return true;
    errno = ENOTDIR;
    return false;
  }
  if (errno != ENOENT) return false;
  std::string parent = ParentOf(folder);
  if (parent != folder && !MakeFolders(env, parent)) return false;
  if (!env->Mkdir(folder, 0700)) return errno == EEXIST;
  return SyncFolder(parent, env) || errno == EINVAL;  // EINVAL: folders are not synced here
}

// Reads the file into *bytes; a missing file gives "" and true.
bool ReadStoreFile(FileEnv* env, const std::string& path, std::string* bytes) {
  return ReadWholeFile(path, kMaxStoreBytes, bytes, env) || errno == ENOENT;
}

// The name of the store's file within its folder.
std::string FileNameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// A new temp path for a copy of the store: ".<store file name>.{GUID}.tmp" beside it.
std::string NewTempPathOf(const std::string& path) {
  std::string folder = FolderOfPath(path);
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder + "." + FileNameOf(path) + "." + NewGuidString() + std::string(kTempSuffix);
}

// A GUID as NewGuidString writes it: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
bool IsGuidText(std::string_view s) {
  if (s.size() != kGuidChars || s.front() != '{' || s.back() != '}') return false;
  for (size_t i = 1; i + 1 < s.size(); ++i) {
    char c = s[i];
    bool ok = (i == 9 || i == 14 || i == 19 || i == 24) ? c == '-' : (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
    if (!ok) return false;
  }
  return true;
}

enum class TempKind {
  kNone,     // not a temp copy of this store
  kOurs,     // ".<store file name>.{GUID}.tmp"
  kEarlier,  // ".{GUID}.tmp": any writer's temp file, a store's only by its content
};

TempKind KindOfName(std::string_view entry, std::string_view storeName) {
  if (entry.size() <= 1 + kTempSuffix.size() || entry.front() != '.' || !entry.ends_with(kTempSuffix))
    return TempKind::kNone;
  std::string_view middle = entry.substr(1, entry.size() - 1 - kTempSuffix.size());
  if (IsGuidText(middle)) return TempKind::kEarlier;
  if (middle.size() == storeName.size() + 1 + kGuidChars && middle.starts_with(storeName) &&
      middle[storeName.size()] == '.' && IsGuidText(middle.substr(storeName.size() + 1)))
    return TempKind::kOurs;
  return TempKind::kNone;
}

// True when the file, still the regular file seen, begins with a store's heading.
bool BeginsWithStoreHeading(FileEnv* env, const std::string& path, const struct stat& seen) {
  PosixFile file(env);
  if (!file.Open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK)) return false;
  struct stat st {};
  if (!file.Stat(&st) || !S_ISREG(st.st_mode) || st.st_dev != seen.st_dev || st.st_ino != seen.st_ino)
    return false;
  std::string head(kStoreHeading.size(), '\0');
  return file.ReadFull(head.data(), head.size()) == static_cast<ssize_t>(head.size()) && head == kStoreHeading;
}

}  // namespace

std::string CRegistryStore::DefaultPath() {
  const char* over = std::getenv("OSTREL_REGISTRY");
  if (over && *over) return over;
  return GetXdgBaseFolder("XDG_CONFIG_HOME", ".config") + "/Ostrel/registry";
}

CRegistryStore::CRegistryStore(std::string path, FileEnv* env) : m_path(std::move(path)), m_env(env) {}

bool CRegistryStore::Read(CRegistryData* out, size_t* badLines) const {
  std::string bytes;
  if (!ReadStoreFile(m_env, m_path, &bytes)) {
    ErrnoKeeper keep;
    *out = CRegistryData();
    if (badLines) *badLines = 0;
    return false;
  }
  size_t bad = out->Parse(bytes);
  if (badLines) *badLines = bad;
  return true;
}

CRegistryStore::UpdateResult CRegistryStore::Update(const std::function<void(CRegistryData&)>& change) {
  m_unremoved.clear();
  if (!MakeFolders(m_env, ParentOf(m_path))) return UpdateResult::kOpenFailed;
  // A lock file of its own: the store file itself is replaced by every change, so a
  // lock on it would not exclude a writer that opened the replaced file.
  PosixFile lock(m_env);
  if (!lock.Open(m_path + ".lock", O_RDWR | O_CREAT | O_NOFOLLOW, 0600)) return UpdateResult::kOpenFailed;
  if (!m_env->Flock(lock.fd(), LOCK_EX)) {
    ErrnoKeeper keep;
    lock.Close();
    return UpdateResult::kOpenFailed;
  }
  RemoveStaleTemps();
  UpdateResult result = UpdateResult::kOpenFailed;
  CRegistryData data;
  if (Read(&data)) {
    const std::string before = data.Serialize();
    change(data);
    std::string after = data.Serialize();
    // A change that changes nothing writes nothing: every sign-in stores the same
    // values again, and each replace costs two syncs.
    result = after == before || AtomicWriteFileVia(m_path, NewTempPathOf(m_path), after, 0600, m_env)
                 ? UpdateResult::kOk
                 : UpdateResult::kWriteFailed;
  }
  ErrnoKeeper keep;
  m_env->Flock(lock.fd(), LOCK_UN);
  lock.Close();
  return result;
}

void CRegistryStore::RemoveStaleTemps() {
  std::string folder = ParentOf(m_path);
  std::string name = FileNameOf(m_path);
  std::vector<FolderEntry> entries;
  if (!m_env->ListFolder(folder, /*followLink=*/true, &entries)) m_unremoved.push_back({folder, errno});
  const uid_t me = ::geteuid();
  for (const FolderEntry& entry : entries) {
    TempKind kind = KindOfName(entry.name, name);
    if (kind == TempKind::kNone) continue;
    std::string path = folder + "/" + entry.name;
    struct stat st {};
    if (!m_env->Lstat(path, &st)) {
      if (errno != ENOENT) m_unremoved.push_back({path, errno});
      continue;
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != me) continue;
    if (kind == TempKind::kEarlier && !BeginsWithStoreHeading(m_env, path, st)) continue;
    if (!m_env->Unlink(path) && errno != ENOENT) m_unremoved.push_back({path, errno});
  }
}
