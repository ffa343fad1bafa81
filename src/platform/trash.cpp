#include "platform/trash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <vector>

#include "platform/clock.h"
#include "platform/homefolder.h"
#include "platform/posixfile.h"

namespace {

constexpr int kMaxNameTries = 10000;
constexpr size_t kMaxNameBytes = NAME_MAX - 10;  // room for ".trashinfo"

bool IsRealFolder(FileEnv* env, const std::string& path, struct stat* st) {
  return env->Lstat(path, st) && S_ISDIR(st->st_mode);
}

// Creates the folder when missing (0700). True when it is then a real folder
// (not a link) owned by the user.
bool EnsureOwnFolder(FileEnv* env, const std::string& path) {
  if (!env->Mkdir(path, 0700) && errno != EEXIST) return false;
  struct stat st {};
  if (!IsRealFolder(env, path, &st)) {
    errno = ENOTDIR;
    return false;
  }
  if (st.st_uid != ::getuid()) {
    errno = EPERM;
    return false;
  }
  return true;
}

// Creates every missing folder of an absolute path, 0700.
bool MakeParents(FileEnv* env, const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    if (!env->Mkdir(path.substr(0, pos), 0700) && errno != EEXIST) return false;
  }
  struct stat st {};
  return env->Stat(path, &st) && S_ISDIR(st.st_mode);
}

std::string HomeTrash() { return GetXdgBaseFolder("XDG_DATA_HOME", ".local/share") + "/Trash"; }

// The absolute form of the path, with trailing "/" removed; "" when there is none. The
// working folder is the process's own state, asked of the kernel, not of the FileEnv.
std::string AbsolutePath(const std::string& path) {
  std::string abs = path;
  if (abs.empty()) return abs;
  if (abs[0] != '/') {
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof(cwd))) return std::string();
    abs = std::string(cwd) + "/" + abs;
  }
  while (abs.size() > 1 && abs.back() == '/') abs.pop_back();
  return abs;
}

// The top folder of the file system that holds the folder (its mount point).
std::string TopDirOf(FileEnv* env, const std::string& folder, dev_t dev) {
  std::string cur;
  if (!env->RealPath(folder, &cur)) return std::string();
  while (cur != "/") {
    std::string parent = FolderOfPath(cur);
    struct stat st {};
    if (!env->Stat(parent, &st) || st.st_dev != dev) break;
    cur = parent;
  }
  return cur;
}

// Ready files/ and info/ inside a Trash folder, on the device dev.
bool PrepareTrash(FileEnv* env, const std::string& trash, dev_t dev) {
  if (!EnsureOwnFolder(env, trash) || !EnsureOwnFolder(env, trash + "/files") ||
      !EnsureOwnFolder(env, trash + "/info"))
    return false;
  struct stat st {};
  if (!env->Stat(trash + "/files", &st)) return false;
  if (st.st_dev != dev) {
    errno = EXDEV;
    return false;
  }
  return true;
}

// The Trash folder for an item on device dev in folder parent; "" when none can be used.
std::string ChooseTrash(FileEnv* env, const std::string& parent, dev_t dev) {
  std::string home = HomeTrash();
  {
    // An item on the home Trash's file system goes there or nowhere.
    std::string data = FolderOfPath(home);
    struct stat st {};
    bool ready = env->Stat(data, &st) || (MakeParents(env, data) && env->Stat(data, &st));
    if (ready && st.st_dev == dev) return PrepareTrash(env, home, dev) ? home : std::string();
  }
  std::string top = TopDirOf(env, parent, dev);
  if (top.empty()) return std::string();
  if (top.back() != '/') top += '/';
  std::string uid = std::to_string(::getuid());
  // $topdir/.Trash shared by all users: only a real folder with the sticky bit.
  struct stat st {};
  if (IsRealFolder(env, top + ".Trash", &st) && (st.st_mode & S_ISVTX) && PrepareTrash(env, top + ".Trash/" + uid, dev))
    return top + ".Trash/" + uid;
  if (PrepareTrash(env, top + ".Trash-" + uid, dev)) return top + ".Trash-" + uid;
  return std::string();
}

// Percent-encodes every byte outside the unreserved set and "/" (RFC 2396).
std::string EncodePath(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                c == '.' || c == '~' || c == '/';
    if (keep) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// The name to try for the n-th attempt: "name", "name.2.ext", "name.3.ext" ...
// cut so that "<name>.trashinfo" fits a file name, never inside a UTF-8 character.
std::string CandidateName(const std::string& name, int n) {
  size_t dot = name.find_last_of('.');
  std::string stem = (dot == std::string::npos || dot == 0) ? name : name.substr(0, dot);
  std::string ext = (dot == std::string::npos || dot == 0) ? std::string() : name.substr(dot);
  std::string suffix = n <= 1 ? std::string() : "." + std::to_string(n);
  if (ext.size() > 32) {  // a long "extension" is part of the stem
    stem += ext;
    ext.clear();
  }
  size_t room = kMaxNameBytes - suffix.size() - ext.size();
  if (stem.size() > room) {
    size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80) --cut;
    stem.resize(cut);
  }
  return stem + suffix + ext;
}

std::string DeletionDate(Clock* clock) {
  LocalTime t = ToLocalTime((clock ? clock : Clock::System())->Now());
  char text[32];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return text;
}

}  // namespace

bool MoveToTrash(const std::string& path, Clock* clock, FileEnv* env) {
  std::string abs = AbsolutePath(path);
  if (abs.empty() || abs == "/") {
    errno = EINVAL;
    return false;
  }
  struct stat st {};
  if (!env->Lstat(abs, &st)) return false;
  std::string parent = FolderOfPath(abs);
  std::string trash = ChooseTrash(env, parent, st.st_dev);
  if (trash.empty()) {
    if (errno == 0) errno = EXDEV;
    return false;
  }
  std::string name = abs.substr(abs.find_last_of('/') + 1);
  std::string info = "[Trash Info]\nPath=" + EncodePath(abs) + "\nDeletionDate=" + DeletionDate(clock) + "\n";

  for (int n = 1; n <= kMaxNameTries; ++n) {
    std::string candidate = CandidateName(name, n);
    std::string infoPath = trash + "/info/" + candidate + ".trashinfo";
    std::string filesPath = trash + "/files/" + candidate;
    // The info file reserves the name (O_EXCL), as the Trash standard requires.
    PosixFile out(env);
    if (!out.Open(infoPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600)) {
      if (errno == EEXIST) continue;
      return false;
    }
    struct stat taken {};
    if (env->Lstat(filesPath, &taken)) {  // a leftover without its info file
      out.Close();
      env->Unlink(infoPath);
      continue;
    }
    if (!out.WriteFull(info.data(), info.size()) || !out.Sync() || !out.Close()) {
      ErrnoKeeper keep;
      out.Close();
      env->Unlink(infoPath);
      return false;
    }
    if (RenamePath(abs, filesPath, /*noReplace=*/true, env)) {
      SyncFolder(trash + "/files", env);
      SyncFolder(parent, env);
      return true;
    }
    bool taken2 = errno == EEXIST;
    {
      ErrnoKeeper keep;
      env->Unlink(infoPath);
    }
    if (!taken2) return false;
  }
  errno = EEXIST;
  return false;
}
