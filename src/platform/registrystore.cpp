#include "platform/registrystore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/atomicfile.h"
#include "platform/homefolder.h"
#include "platform/posixfile.h"

namespace {

// A store larger than this is not a store of ours; it is refused, never replaced.
constexpr size_t kMaxStoreBytes = 64 * 1024 * 1024;

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

}  // namespace

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
  UpdateResult result = UpdateResult::kOpenFailed;
  CRegistryData data;
  if (Read(&data)) {
    change(data);
    result = AtomicWriteFile(m_path, data.Serialize(), 0600) ? UpdateResult::kOk : UpdateResult::kWriteFailed;
  }
  ErrnoKeeper keep;
  ::flock(lock.fd(), LOCK_UN);
  lock.Close();
  return result;
}
