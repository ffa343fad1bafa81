#include "support/powerloss.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <random>
#include <tuple>

namespace {

struct InodeKey {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator<(const InodeKey& o) const { return std::tie(dev, ino) < std::tie(o.dev, o.ino); }
};

// One name in a folder as the file system would show it.
struct Entry {
  char kind = 'f';  // 'f' regular file, 'd' folder, 'l' symbolic link (anything else is left out)
  InodeKey key;
  mode_t mode = 0;
  struct timespec mtime {};
  std::string link;  // the link's text
};
using Listing = std::map<std::string, Entry>;

// A folder's entries as they stood after the at-th counted call.
struct Stamped {
  long at = 0;
  Listing listing;
};

// A file's durable data.
struct FileImage {
  std::string bytes;
  mode_t mode = 0600;
  struct timespec mtime {};
  long at = 0;  // the counted call after which it was synced
};

// A file cut short (O_TRUNC, Truncate) after the at-th counted call: journaled
// metadata, which the journal may commit without the data written after it.
struct Shortening {
  long at = 0;
  off_t size = 0;
};

// path with "//", "/./" and a trailing "/" taken out.
std::string Normalise(const std::string& path) {
  std::string out;
  out.reserve(path.size());
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '/' && !out.empty() && out.back() == '/') continue;
    if (path[i] == '.' && !out.empty() && out.back() == '/' && (i + 1 == path.size() || path[i + 1] == '/')) continue;
    out += path[i];
  }
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::string ParentPath(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool ReadAllFrom(int fd, std::string* bytes) {
  bytes->clear();
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    bytes->append(buffer, static_cast<size_t>(n));
  }
}

bool ReadPath(const std::string& path, std::string* bytes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  bool ok = ReadAllFrom(fd, bytes);
  ::close(fd);
  return ok;
}

bool WritePath(const std::string& path, const std::string& bytes, mode_t mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 07777);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  bool ok = ::fchmod(fd, mode & 07777) == 0;
  return ::close(fd) == 0 && ok;
}

// The folder's entries now; an empty listing when it cannot be read.
Listing ListNow(const std::string& folder) {
  Listing out;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return out;
  while (struct dirent* d = ::readdir(dir)) {
    std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::lstat((folder + "/" + name).c_str(), &st) != 0) continue;
    Entry e;
    e.key = {st.st_dev, st.st_ino};
    e.mode = st.st_mode & 07777;
    e.mtime = st.st_mtim;
    if (S_ISREG(st.st_mode)) {
      e.kind = 'f';
    } else if (S_ISDIR(st.st_mode)) {
      e.kind = 'd';
    } else if (S_ISLNK(st.st_mode)) {
      e.kind = 'l';
      char text[PATH_MAX];
      ssize_t n = ::readlink((folder + "/" + name).c_str(), text, sizeof text);
      if (n < 0) continue;
      e.link.assign(text, static_cast<size_t>(n));
    } else {
      continue;
    }
    out[name] = std::move(e);
  }
  ::closedir(dir);
  return out;
}

// Removes everything below path (not path itself), links not followed.
bool EmptyFolder(const std::string& path) {
  bool ok = true;
  for (const auto& [name, e] : ListNow(path)) {
    std::string child = path + "/" + name;
    if (e.kind == 'd') {
      ::chmod(child.c_str(), 0700);
      ok = EmptyFolder(child) && ::rmdir(child.c_str()) == 0 && ok;
    } else {
      ok = ::unlink(child.c_str()) == 0 && ok;
    }
  }
  return ok;
}

}  // namespace

struct PowerLossFileEnv::State {
  std::string root;  // as given, without "//", "/./" or a trailing "/"
  std::string keep;  // where removed files are kept alive
  uint32_t seed = 0;
  long ops = 0;
  long cutAt = -1;
  bool cut = false;
  long kept = 0;
  std::vector<std::string> trace;
  std::map<int, std::string> fds;                     // descriptors on the tree: their path
  std::map<InodeKey, FileImage> data;                 // durable data of every synced file
  std::map<InodeKey, std::vector<Shortening>> cuts;   // files cut short since the start
  std::map<std::string, Stamped> synced;              // per folder (path below the root): last synced
  std::map<std::string, std::vector<Stamped>> after;  // per folder: entries after each change

  // The path below the root ("" for the root), or false when path is outside it.
  bool Below(const std::string& path, std::string* rel) const {
    std::string p = Normalise(path);
    if (p == root) {
      *rel = "";
      return true;
    }
    if (p.size() > root.size() && p.compare(0, root.size(), root) == 0 && p[root.size()] == '/') {
      *rel = p.substr(root.size() + 1);
      return true;
    }
    return false;
  }
  std::string Full(const std::string& rel) const { return rel.empty() ? root : root + "/" + rel; }

  // What is there now is durable: every folder's entries and every file's data.
  void TakeAsDurable(const std::string& rel) {
    Listing listing = ListNow(Full(rel));
    for (const auto& [name, e] : listing) {
      std::string child = rel.empty() ? name : rel + "/" + name;
      if (e.kind == 'd') {
        TakeAsDurable(child);
      } else if (e.kind == 'f') {
        FileImage image;
        image.mode = e.mode;
        image.mtime = e.mtime;
        ReadPath(Full(child), &image.bytes);
        data[e.key] = std::move(image);
      }
    }
    synced[rel] = Stamped{0, std::move(listing)};
  }

  // The folder's entries as the power loss leaves them: the newer of its last synced
  // entries and its entries at the journal's last commit.
  const Listing& Survivor(const std::string& rel, long commit) const {
    static const Listing kNone;
    const Stamped* best = nullptr;
    if (auto it = synced.find(rel); it != synced.end()) best = &it->second;
    if (auto it = after.find(rel); it != after.end())
      for (const Stamped& s : it->second)
        if (s.at <= commit && (!best || s.at > best->at)) best = &s;
    return best ? best->listing : kNone;
  }

  // Writes the surviving tree below rel (a folder that exists and is empty).
  bool Rebuild(const std::string& rel, long commit) const {
    bool ok = true;
    for (const auto& [name, e] : Survivor(rel, commit)) {
      std::string child = rel.empty() ? name : rel + "/" + name;
      std::string full = Full(child);
      if (e.kind == 'd') {
        ok = ::mkdir(full.c_str(), 0700) == 0 && Rebuild(child, commit) && ::chmod(full.c_str(), e.mode) == 0 && ok;
      } else if (e.kind == 'l') {
        ok = ::symlink(e.link.c_str(), full.c_str()) == 0 && ok;
      } else {
        auto it = data.find(e.key);
        FileImage image;
        image.mode = e.mode;
        image.mtime = e.mtime;
        if (it != data.end()) image = it->second;
        if (auto c = cuts.find(e.key); c != cuts.end())
          for (const Shortening& cut : c->second)
            if (cut.at > image.at && cut.at <= commit && static_cast<size_t>(cut.size) < image.bytes.size())
              image.bytes.resize(static_cast<size_t>(cut.size));
        ok = WritePath(full, image.bytes, image.mode) && ok;
        struct timespec times[2] = {image.mtime, image.mtime};
        ::utimensat(AT_FDCWD, full.c_str(), times, AT_SYMLINK_NOFOLLOW);
      }
    }
    return ok;
  }
};

PowerLossFileEnv::PowerLossFileEnv(const std::string& root, uint32_t seed, FileEnv* target)
    : FileEnvWrapper(target), m_state(std::make_unique<State>()) {
  struct stat st {};
  EXPECT_TRUE(::stat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) << root << " is no folder";
  m_state->root = Normalise(root);
  m_state->keep = m_state->root + ".powerloss";
  ::mkdir(m_state->keep.c_str(), 0700);
  m_state->seed = seed;
  m_state->TakeAsDurable("");
}

PowerLossFileEnv::~PowerLossFileEnv() {
  EmptyFolder(m_state->keep);
  ::rmdir(m_state->keep.c_str());
}

void PowerLossFileEnv::CutAfter(long n) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_state->cutAt = n < 0 ? -1 : m_state->ops + n;
  m_state->cut = false;
}

bool PowerLossFileEnv::IsCut() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_state->cut;
}

long PowerLossFileEnv::Ops() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_state->ops;
}

std::vector<std::string> PowerLossFileEnv::Trace() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_state->trace;
}

void PowerLossFileEnv::DropUnsyncedData() {
  std::lock_guard<std::mutex> lock(m_mutex);
  State& s = *m_state;
  std::mt19937 rng(s.seed);
  const long commit = static_cast<long>(rng() % static_cast<uint32_t>(s.ops + 1));
  EXPECT_TRUE(EmptyFolder(s.root)) << "cannot empty " << s.root;
  EXPECT_TRUE(s.Rebuild("", commit)) << "cannot rebuild " << s.root;
  EmptyFolder(s.keep);
  s.ops = 0;
  s.cutAt = -1;
  s.cut = false;
  s.trace.clear();
  s.fds.clear();
  s.data.clear();
  s.cuts.clear();
  s.synced.clear();
  s.after.clear();
  s.TakeAsDurable("");
}

bool PowerLossFileEnv::Admit(const char* op, const std::string& path, bool counted) {
  std::lock_guard<std::mutex> lock(m_mutex);
  State& s = *m_state;
  std::string rel;
  if (counted && !s.cut && s.Below(path, &rel)) {
    ++s.ops;
    s.trace.push_back(std::string(op) + " " + rel);
    if (s.cutAt >= 0 && s.ops > s.cutAt) {
      s.cut = true;
      s.trace.back() += " (cut)";
    }
  }
  if (!s.cut) return true;
  errno = EIO;
  return false;
}

bool PowerLossFileEnv::AdmitFd(const char* op, int fd, bool counted) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_state->fds.find(fd);
    if (it != m_state->fds.end()) path = it->second;
  }
  return Admit(op, path, counted);
}

void PowerLossFileEnv::KeepAlive(const std::string& path) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::string rel;
  struct stat st {};
  if (!m_state->Below(path, &rel) || ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  std::string grave = m_state->keep + "/" + std::to_string(m_state->kept++);
  ::link(path.c_str(), grave.c_str());
}

void PowerLossFileEnv::NoteChanged(const std::string& folder) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::string rel;
  if (m_state->Below(folder, &rel)) m_state->after[rel].push_back(Stamped{m_state->ops, ListNow(m_state->Full(rel))});
}

int PowerLossFileEnv::Open(const std::string& path, int flags, mode_t mode) {
  if (!Admit("Open", path)) return -1;
  int fd = target()->Open(path, flags, mode);
  if (fd < 0) return fd;
  std::string rel;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_state->Below(path, &rel)) m_state->fds[fd] = Normalise(path);
  }
  if (flags & O_TRUNC) NoteShortened(fd, 0);
  if (flags & O_CREAT) NoteChanged(ParentPath(Normalise(path)));
  return fd;
}

bool PowerLossFileEnv::Close(int fd) {
  bool admitted = AdmitFd("Close", fd);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state->fds.erase(fd);
  }
  bool ok = target()->Close(fd);
  if (admitted) return ok;
  errno = EIO;
  return false;
}

ssize_t PowerLossFileEnv::Read(int fd, void* b, size_t n) { return AdmitFd("Read", fd, false) ? target()->Read(fd, b, n) : -1; }
ssize_t PowerLossFileEnv::Write(int fd, const void* b, size_t n) {
  return AdmitFd("Write", fd, false) ? target()->Write(fd, b, n) : -1;
}
ssize_t PowerLossFileEnv::PRead(int fd, void* b, size_t n, off_t at) {
  return AdmitFd("PRead", fd, false) ? target()->PRead(fd, b, n, at) : -1;
}
ssize_t PowerLossFileEnv::PWrite(int fd, const void* b, size_t n, off_t at) {
  return AdmitFd("PWrite", fd, false) ? target()->PWrite(fd, b, n, at) : -1;
}
off_t PowerLossFileEnv::Seek(int fd, off_t at, int whence) {
  return AdmitFd("Seek", fd, false) ? target()->Seek(fd, at, whence) : -1;
}

bool PowerLossFileEnv::Sync(int fd) {
  // Only the env's record of what is durable matters: the real disk is not synced.
  struct stat seen {};
  if (!AdmitFd("Sync", fd) || !target()->Fstat(fd, &seen)) return false;
  std::lock_guard<std::mutex> lock(m_mutex);
  State& s = *m_state;
  auto it = s.fds.find(fd);
  std::string rel;
  struct stat st {};
  if (it == s.fds.end() || !s.Below(it->second, &rel) || ::fstat(fd, &st) != 0) return true;
  if (S_ISDIR(st.st_mode)) {
    s.synced[rel] = Stamped{s.ops, ListNow(s.Full(rel))};
  } else if (S_ISREG(st.st_mode)) {
    FileImage image;
    image.mode = st.st_mode & 07777;
    image.mtime = st.st_mtim;
    image.at = s.ops;
    int again = ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC);
    bool read = again >= 0 && ReadAllFrom(again, &image.bytes);
    if (again >= 0) ::close(again);
    EXPECT_TRUE(read) << "cannot read back " << it->second;
    s.data[InodeKey{st.st_dev, st.st_ino}] = std::move(image);
  }
  return true;
}

bool PowerLossFileEnv::Truncate(int fd, off_t size) {
  if (!AdmitFd("Truncate", fd) || !target()->Truncate(fd, size)) return false;
  NoteShortened(fd, size);
  return true;
}

void PowerLossFileEnv::NoteShortened(int fd, off_t size) {
  std::lock_guard<std::mutex> lock(m_mutex);
  struct stat st {};
  if (m_state->fds.count(fd) && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
    m_state->cuts[InodeKey{st.st_dev, st.st_ino}].push_back(Shortening{m_state->ops, size});
}
bool PowerLossFileEnv::Fstat(int fd, struct stat* st) { return AdmitFd("Fstat", fd) && target()->Fstat(fd, st); }
bool PowerLossFileEnv::Fchmod(int fd, mode_t mode) { return AdmitFd("Fchmod", fd) && target()->Fchmod(fd, mode); }
bool PowerLossFileEnv::Futimens(int fd, const struct timespec t[2]) {
  return AdmitFd("Futimens", fd) && target()->Futimens(fd, t);
}
bool PowerLossFileEnv::SetNonBlocking(int fd, bool on) {
  return AdmitFd("SetNonBlocking", fd) && target()->SetNonBlocking(fd, on);
}
bool PowerLossFileEnv::Flock(int fd, int operation) { return AdmitFd("Flock", fd) && target()->Flock(fd, operation); }
bool PowerLossFileEnv::Stat(const std::string& p, struct stat* st) { return Admit("Stat", p) && target()->Stat(p, st); }
bool PowerLossFileEnv::Lstat(const std::string& p, struct stat* st) { return Admit("Lstat", p) && target()->Lstat(p, st); }
bool PowerLossFileEnv::Statx(const std::string& p, int flags, unsigned mask, struct statx* stx) {
  return Admit("Statx", p) && target()->Statx(p, flags, mask, stx);
}
bool PowerLossFileEnv::Access(const std::string& p, int mode) { return Admit("Access", p) && target()->Access(p, mode); }

bool PowerLossFileEnv::Rename(const std::string& from, const std::string& to, bool noReplace) {
  std::string rel;
  bool toBelow;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    toBelow = m_state->Below(to, &rel);
  }
  // A rename into the tree counts as a call on the tree.
  if (!Admit("Rename", toBelow ? to : from)) return false;
  if (!noReplace) KeepAlive(to);
  if (!target()->Rename(from, to, noReplace)) return false;
  NoteChanged(ParentPath(Normalise(from)));
  NoteChanged(ParentPath(Normalise(to)));
  return true;
}

bool PowerLossFileEnv::Unlink(const std::string& p) {
  if (!Admit("Unlink", p)) return false;
  KeepAlive(p);
  if (!target()->Unlink(p)) return false;
  NoteChanged(ParentPath(Normalise(p)));
  return true;
}

bool PowerLossFileEnv::Mkdir(const std::string& p, mode_t mode) {
  if (!Admit("Mkdir", p) || !target()->Mkdir(p, mode)) return false;
  NoteChanged(ParentPath(Normalise(p)));
  return true;
}

bool PowerLossFileEnv::Rmdir(const std::string& p) {
  if (!Admit("Rmdir", p) || !target()->Rmdir(p)) return false;
  NoteChanged(ParentPath(Normalise(p)));
  return true;
}

bool PowerLossFileEnv::Chmod(const std::string& p, mode_t mode) { return Admit("Chmod", p) && target()->Chmod(p, mode); }
bool PowerLossFileEnv::ReadLink(const std::string& p, std::string* t) {
  return Admit("ReadLink", p) && target()->ReadLink(p, t);
}
bool PowerLossFileEnv::RealPath(const std::string& p, std::string* r) {
  return Admit("RealPath", p) && target()->RealPath(p, r);
}
bool PowerLossFileEnv::ListFolder(const std::string& p, bool followLink, std::vector<FolderEntry>* entries) {
  return Admit("ListFolder", p) && target()->ListFolder(p, followLink, entries);
}
