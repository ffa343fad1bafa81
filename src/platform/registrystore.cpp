#include "platform/registrystore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
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

std::mutex g_removeHookMutex;
std::function<int(const std::string&)> g_removeHook;

// 0, or the errno the test hook injects for this removal.
int InjectedRemoveFault(const std::string& path) {
  std::function<int(const std::string&)> hook;
  {
    std::lock_guard<std::mutex> guard(g_removeHookMutex);
    hook = g_removeHook;
  }
  return hook ? hook(path) : 0;
}

// The folder part of a path; "." for a bare name.
std::string ParentOf(const std::string& path) {
  std::string folder = FolderOfPath(path);
  return folder.empty() ? "." : folder;
}

// Creates the folder and its missing parents, new ones 0700.
bool MakeFolders(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    errno = ENOTDIR;
    return false;
  }
  if (errno != ENOENT) return false;
  std::string parent = ParentOf(folder);
  if (parent != folder && !MakeFolders(parent)) return false;
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  return true;
}

// Reads the file into *bytes; a missing file gives "" and true.
bool ReadStoreFile(const std::string& path, std::string* bytes) {
  return ReadWholeFile(path, kMaxStoreBytes, bytes) || errno == ENOENT;
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

// True when the entry, still the regular file seen, begins with a store's heading.
bool BeginsWithStoreHeading(int folderFd, const char* entry, const struct stat& seen) {
  int fd = ::openat(folderFd, entry, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  PosixFile file(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != seen.st_dev || st.st_ino != seen.st_ino)
    return false;
  std::string head(kStoreHeading.size(), '\0');
  return file.ReadFull(head.data(), head.size()) == static_cast<ssize_t>(head.size()) && head == kStoreHeading;
}

}  // namespace

void CRegistryStore::SetRemoveFaultHook(std::function<int(const std::string& path)> hook) {
  std::lock_guard<std::mutex> guard(g_removeHookMutex);
  g_removeHook = std::move(hook);
}

std::string CRegistryStore::DefaultPath() {
  const char* over = std::getenv("OSTREL_REGISTRY");
  if (over && *over) return over;
  return GetXdgBaseFolder("XDG_CONFIG_HOME", ".config") + "/Ostrel/registry";
}

CRegistryStore::CRegistryStore(std::string path) : m_path(std::move(path)) {}

bool CRegistryStore::Read(CRegistryData* out, size_t* badLines) const {
  std::string bytes;
  if (!ReadStoreFile(m_path, &bytes)) {
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
  if (!MakeFolders(ParentOf(m_path))) return UpdateResult::kOpenFailed;
  // A lock file of its own: the store file itself is replaced by every change, so a
  // lock on it would not exclude a writer that opened the replaced file.
  PosixFile lock;
  if (!lock.Open(m_path + ".lock", O_RDWR | O_CREAT | O_NOFOLLOW, 0600)) return UpdateResult::kOpenFailed;
  while (::flock(lock.fd(), LOCK_EX) != 0) {
    if (errno != EINTR) {
      ErrnoKeeper keep;
      lock.Close();
      return UpdateResult::kOpenFailed;
    }
  }
  RemoveStaleTemps();
  UpdateResult result = UpdateResult::kOpenFailed;
  CRegistryData data;
  if (Read(&data)) {
    change(data);
    result = AtomicWriteFileVia(m_path, NewTempPathOf(m_path), data.Serialize(), 0600) ? UpdateResult::kOk
                                                                                        : UpdateResult::kWriteFailed;
  }
  ErrnoKeeper keep;
  ::flock(lock.fd(), LOCK_UN);
  lock.Close();
  return result;
}

void CRegistryStore::RemoveStaleTemps() {
  std::string folder = ParentOf(m_path);
  std::string name = FileNameOf(m_path);
  int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = folderFd >= 0 ? ::fdopendir(folderFd) : nullptr;
  if (!dir) {
    m_unremoved.push_back({folder, errno});
    if (folderFd >= 0) ::close(folderFd);
    return;
  }
  const uid_t me = ::geteuid();
  for (;;) {
    errno = 0;
    const struct dirent* entry = ::readdir(dir);
    if (!entry) {
      if (errno != 0) m_unremoved.push_back({folder, errno});
      break;
    }
    TempKind kind = KindOfName(entry->d_name, name);
    if (kind == TempKind::kNone) continue;
    std::string path = folder + "/" + entry->d_name;
    struct stat st {};
    if (::fstatat(folderFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) m_unremoved.push_back({path, errno});
      continue;
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != me) continue;
    if (kind == TempKind::kEarlier && !BeginsWithStoreHeading(folderFd, entry->d_name, st)) continue;
    int error = InjectedRemoveFault(path);
    if (error == 0 && ::unlinkat(folderFd, entry->d_name, 0) != 0) error = errno;
    if (error != 0 && error != ENOENT) m_unremoved.push_back({path, error});
  }
  ::closedir(dir);
}
