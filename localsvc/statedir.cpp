#include "statedir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "filecodec.h"
#include "frames.h"

namespace localsvc {
namespace {

constexpr char kSnapshot[] = "snapshot";
constexpr char kSnapshotTemp[] = "snapshot.tmp";
constexpr char kJournalPrefix[] = "journal.";
constexpr char kBlobs[] = "blobs";
constexpr char kLock[] = "lock";
// Records per frame of a snapshot.
constexpr size_t kSnapshotBatch = 4096;

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string Pack(const nlohmann::json& j) {
  std::vector<uint8_t> bytes = nlohmann::json::to_msgpack(j);
  return std::string(bytes.begin(), bytes.end());
}

// The generation of a journal file name, or false for any other name.
bool JournalGen(const std::string& name, uint64_t* gen) {
  const std::string prefix = kJournalPrefix;
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0 || name.size() > prefix.size() + 18)
    return false;
  std::string digits = name.substr(prefix.size());
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  *gen = std::stoull(digits);
  return true;
}

std::vector<std::string> ListDir(int dirFd) {
  std::vector<std::string> names;
  int fd = ::dup(dirFd);
  DIR* d = fd >= 0 ? ::fdopendir(fd) : nullptr;
  if (!d) {
    if (fd >= 0) ::close(fd);
    return names;
  }
  ::rewinddir(d);
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  return names;
}

// Applies the records of one change frame to *state; false when the payload is not a
// list of [key, value] pairs.
bool ApplyChange(std::string_view payload, StateMap* state) {
  nlohmann::json change = nlohmann::json::from_msgpack(payload, true, false);
  if (!change.is_array()) return false;
  for (auto& record : change) {
    if (!record.is_array() || record.size() != 2 || !record[0].is_string()) return false;
    const std::string& key = record[0].get_ref<const std::string&>();
    if (record[1].is_null())
      state->erase(key);
    else
      (*state)[key] = std::move(record[1]);
  }
  return true;
}

}  // namespace

StateDir::StateDir(StatePolicy policy) : m_policy(policy) {}

StateDir::~StateDir() {
  Close();
  if (m_blobDirFd >= 0) ::close(m_blobDirFd);
  if (m_dirFd >= 0) ::close(m_dirFd);
  if (m_lockFd >= 0) ::close(m_lockFd);
}

std::string StateDir::JournalPath(uint64_t gen) const { return m_dir + "/" + kJournalPrefix + std::to_string(gen); }

bool StateDir::Open(const std::string& dir, StateMap* state, std::string* notes, std::string* error) {
  m_dir = dir;
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = Errno("cannot make " + dir);
    return false;
  }
  m_dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // One service per folder: two would interleave their changes.
  if (m_dirFd >= 0 && ((m_lockFd = ::openat(m_dirFd, kLock, O_RDWR | O_CREAT | O_CLOEXEC, 0600)) < 0 ||
                       ::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0)) {
    *error = errno == EWOULDBLOCK ? dir + " is in use by another service" : Errno("cannot lock " + dir);
    return false;
  }
  if (m_dirFd < 0 || (::mkdirat(m_dirFd, kBlobs, 0700) != 0 && errno != EEXIST) ||
      (m_blobDirFd = ::openat(m_dirFd, kBlobs, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW)) < 0) {
    *error = Errno("cannot use " + dir);
    return false;
  }
  ::unlinkat(m_dirFd, kSnapshotTemp, 0);

  uint64_t snapshotGen = 0;
  std::string bytes;
  if (::faccessat(m_dirFd, kSnapshot, F_OK, 0) == 0) {
    if (!ReadWholeFile(dir + "/" + kSnapshot, &bytes)) {
      *error = Errno("cannot read " + dir + "/" + kSnapshot);
      return false;
    }
    bool header = true, wellFormed = true;
    FrameScan scan = ReadFrames(bytes, [&](std::string_view payload) {
      if (header) {
        header = false;
        nlohmann::json h = nlohmann::json::from_msgpack(payload, true, false);
        wellFormed = h.is_object() && h.contains("gen") && h["gen"].is_number_unsigned();
        if (wellFormed) snapshotGen = h["gen"].get<uint64_t>();
        return wellFormed;
      }
      return wellFormed = ApplyChange(payload, state);
    });
    if (!scan.clean || scan.frames == 0 || !wellFormed) {
      *error = dir + "/" + kSnapshot + " is damaged";
      return false;
    }
    m_snapshotBytes = bytes.size();
  }
  m_gen = snapshotGen;

  std::vector<uint64_t> gens;
  for (const auto& name : ListDir(m_dirFd)) {
    uint64_t gen = 0;
    if (JournalGen(name, &gen)) gens.push_back(gen);
  }
  std::sort(gens.begin(), gens.end());
  bool torn = false;
  for (uint64_t gen : gens) {
    m_gen = std::max(m_gen, gen);
    if (gen < snapshotGen) continue;
    const std::string path = JournalPath(gen);
    if (torn) {
      *notes += path + " follows a torn change and is dropped\n";
      continue;
    }
    if (!ReadWholeFile(path, &bytes)) {
      *error = Errno("cannot read " + path);
      return false;
    }
    bool wellFormed = true;
    FrameScan scan = ReadFrames(bytes, [&](std::string_view payload) { return wellFormed = ApplyChange(payload, state); });
    if (!scan.clean || !wellFormed) {
      torn = true;
      *notes += path + ": the change at byte " + std::to_string(scan.goodBytes) +
                " is torn or damaged; it and everything after it are dropped\n";
    }
  }
  return true;
}

bool StateDir::Start(std::vector<Source> sources, const std::set<std::string>& keepBlobs, std::string* error) {
  m_sources = std::move(sources);
  if (!Compact(error)) {
    if (error->empty()) *error = "the state is closed";
    return false;
  }
  for (const auto& name : ListDir(m_blobDirFd))
    if (!keepBlobs.count(name)) ::unlinkat(m_blobDirFd, name.c_str(), 0);
  ::fsync(m_blobDirFd);
  m_syncThread = std::thread([this] { SyncLoop(); });
  return true;
}

bool StateDir::Compact(std::string* error) {
  int old = -1;
  uint64_t gen = 0;
  {
    // What the old journal holds reaches the disk before anything of the new one.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failed || m_closing) return false;  // nothing new to report
    if (m_journalFd >= 0 && ::fdatasync(m_journalFd) != 0) {
      *error = Errno("cannot sync " + JournalPath(m_gen));
      return false;
    }
    gen = m_gen + 1;
    int fd = ::open(JournalPath(gen).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0 || ::fsync(m_dirFd) != 0) {
      *error = Errno("cannot make " + JournalPath(gen));
      if (fd >= 0) ::close(fd);
      return false;
    }
    old = m_journalFd;
    m_journalFd = fd;
    m_gen = gen;
    m_journalBytes = 0;
    m_unsynced = false;
  }
  if (old >= 0) ::close(old);
  if (!WriteSnapshot(gen, error)) return false;
  RemoveJournalsBefore(gen);
  return true;
}

bool StateDir::WriteSnapshot(uint64_t gen, std::string* error) {
  std::string bytes = EncodeFrame(Pack({{"gen", gen}}));
  nlohmann::json batch = nlohmann::json::array();
  auto flush = [&] {
    if (batch.empty()) return;
    bytes += EncodeFrame(Pack(batch));
    batch = nlohmann::json::array();
  };
  for (const auto& source : m_sources) {
    source([&](StateRecord record) {
      batch.push_back(nlohmann::json::array({std::move(record.first), std::move(record.second)}));
      if (batch.size() >= kSnapshotBatch) flush();
    });
  }
  flush();
  int fd = ::openat(m_dirFd, kSnapshotTemp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0;
  if (fd >= 0) ok = ::close(fd) == 0 && ok;
  ok = ok && ::renameat(m_dirFd, kSnapshotTemp, m_dirFd, kSnapshot) == 0 && ::fsync(m_dirFd) == 0;
  if (!ok) {
    *error = Errno("cannot write " + m_dir + "/" + kSnapshot);
    ::unlinkat(m_dirFd, kSnapshotTemp, 0);
    return false;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_snapshotBytes = bytes.size();
  return true;
}

void StateDir::RemoveJournalsBefore(uint64_t gen) {
  for (const auto& name : ListDir(m_dirFd)) {
    uint64_t g = 0;
    if (JournalGen(name, &g) && g < gen) ::unlinkat(m_dirFd, name.c_str(), 0);
  }
}

bool StateDir::Append(const StateRecords& change) {
  if (change.empty()) return true;
  nlohmann::json records = nlohmann::json::array();
  for (const auto& [key, value] : change) records.push_back(nlohmann::json::array({key, value}));
  const std::string frame = EncodeFrame(Pack(records));
  std::string failure;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failed || m_journalFd < 0) return false;
    if (WriteAll(m_journalFd, frame)) {
      m_journalBytes += frame.size();
      m_unsynced = true;
      return true;
    }
    failure = Errno("cannot write " + JournalPath(m_gen));
  }
  Fail(failure, false);
  return false;
}

bool StateDir::PutBlob(const std::string& name, std::string_view bytes) {
  if (Failed()) return false;
  if (::faccessat(m_blobDirFd, name.c_str(), F_OK, 0) == 0) return true;
  const std::string temp = name + ".tmp." + RandomHex(8);
  int fd = ::openat(m_blobDirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0;
  if (fd >= 0) ok = ::close(fd) == 0 && ok;
  ok = ok && ::renameat(m_blobDirFd, temp.c_str(), m_blobDirFd, name.c_str()) == 0 && ::fsync(m_blobDirFd) == 0;
  if (!ok) {
    std::string failure = Errno("cannot write " + m_dir + "/" + kBlobs + "/" + name);
    ::unlinkat(m_blobDirFd, temp.c_str(), 0);
    Fail(failure, false);
  }
  return ok;
}

bool StateDir::ReadBlob(const std::string& name, std::string* bytes) {
  return ReadWholeFile(m_dir + "/" + kBlobs + "/" + name, bytes);
}

bool StateDir::Failed() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_failed;
}

std::string StateDir::FailureReason() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_failure;
}

void StateDir::OnFailure(std::function<void(bool onSyncThread)> fn) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_onFailure = std::move(fn);
}

void StateDir::Fail(const std::string& reason, bool onSyncThread) {
  std::function<void(bool)> fn;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failed) return;
    m_failed = true;
    m_failure = reason;
    fn = m_onFailure;
  }
  if (fn) fn(onSyncThread);
}

void StateDir::SyncLoop() {
  std::unique_lock<std::mutex> lock(m_mutex);
  while (!m_closing) {
    m_wake.wait_for(lock, m_policy.syncPeriod, [this] { return m_closing; });
    if (m_closing || m_failed) break;
    const bool sync = m_unsynced;
    const bool compact = m_journalBytes > std::max(m_policy.compactBytes, m_snapshotBytes);
    m_unsynced = false;
    const int fd = m_journalFd;
    lock.unlock();
    std::string failure;
    if (sync && ::fdatasync(fd) != 0) failure = Errno("cannot sync " + m_dir + "/journal");
    if (failure.empty() && compact) Compact(&failure);
    if (!failure.empty()) Fail(failure, true);
    lock.lock();
  }
}

void StateDir::Close() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closing = true;
  }
  m_wake.notify_all();
  if (m_syncThread.joinable()) m_syncThread.join();
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_journalFd >= 0) {
    ::fdatasync(m_journalFd);
    ::close(m_journalFd);
    m_journalFd = -1;
  }
}

}  // namespace localsvc
