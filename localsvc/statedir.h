// The folder that keeps the service's state across restarts (--state DIR):
//
//   DIR/snapshot       every record as of the start of journal generation G: a frame
//                      {"gen": G}, then frames of records
//   DIR/journal.<n>    the changes made since, one frame per change (n = G, G + 1...)
//   DIR/blobs/<name>   file contents (encoded blocks and whole files), named after what
//                      they hold; written once, never changed
//   DIR/lock           locked (flock) while a service keeps the folder: one at a time
//
// Files are frames (frames.h) of MessagePack. A record is a key ("item/100001",
// "account/1001"...) and a value, a JSON object; a null value erases the key. A change
// is every record it touched, in one frame: it is kept whole or not at all.
//
// What a crash can lose: Append writes a change with one write() before it returns, and
// callers answer a request only after that, so a killed service loses nothing it
// answered. The journal is synced to disk every StatePolicy::syncPeriod, so a crash of
// the machine can lose the changes of that last period (never part of one, never one
// without those before it). A blob is synced, and its folder, before PutBlob returns, so
// a record naming it can only be written after it is on disk.
//
// The snapshot is replaced (temp file, fsync, rename, fsync of the folder) at Start and
// whenever the journal has outgrown both StatePolicy::compactBytes and the snapshot;
// journals the new snapshot holds are removed after it is in place.
//
// Once a write fails, nothing more is written (the folder keeps the changes before it),
// Failed turns true and the failure callback runs once.
//
// Thread-safe. The sync thread calls the sources (to write a snapshot) without holding
// any lock of this object; Append may be called with the caller's own locks held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace localsvc {

using StateRecord = std::pair<std::string, nlohmann::json>;
using StateRecords = std::vector<StateRecord>;
// The state as read back: the last value of every key that was not erased.
using StateMap = std::map<std::string, nlohmann::json>;

struct StatePolicy {
  // How often the changes appended are synced to disk.
  std::chrono::milliseconds syncPeriod{200};
  // The journal is folded into a new snapshot once it holds more bytes than this and
  // than the snapshot.
  uint64_t compactBytes = uint64_t(16) << 20;
};

class StateDir {
 public:
  // Hands every record one part of the service holds to emit (for a snapshot).
  using Source = std::function<void(const std::function<void(StateRecord)>& emit)>;

  explicit StateDir(StatePolicy policy = {});
  ~StateDir();
  StateDir(const StateDir&) = delete;
  StateDir& operator=(const StateDir&) = delete;

  // Opens and locks dir (made, 0700, when missing; refused while another service holds
  // it) and reads the state it holds into *state: the snapshot, then the journals in
  // order up to the first frame that is not whole (a write torn by a crash; it and
  // everything after it is dropped and named in *notes).
  // False with a reason when the folder cannot be used or the snapshot is damaged.
  bool Open(const std::string& dir, StateMap* state, std::string* notes, std::string* error);
  // Starts keeping the state: writes a snapshot of everything the sources give (they
  // must hold what Open read, and whatever came since), removes the older journals and
  // every blob not named in keepBlobs, and starts the sync thread. False with a reason.
  bool Start(std::vector<Source> sources, const std::set<std::string>& keepBlobs, std::string* error);
  // Appends one change. True when it was written; false once the state can no longer
  // be written (Failed) or after Close.
  bool Append(const StateRecords& change);
  // Writes a blob and syncs it and its folder, unless one of that name exists. False
  // when it cannot be written (Failed).
  bool PutBlob(const std::string& name, std::string_view bytes);
  // A blob's bytes; false when it cannot be read.
  bool ReadBlob(const std::string& name, std::string* bytes);

  bool Failed() const;
  std::string FailureReason() const;
  // fn runs once, on the thread whose write failed, without any lock of this object;
  // onSyncThread tells the sync thread from a caller of Append or PutBlob.
  void OnFailure(std::function<void(bool onSyncThread)> fn);

  // Syncs what was appended and stops the sync thread; later Appends are refused.
  void Close();

 private:
  std::string JournalPath(uint64_t gen) const;
  // Switches to a new journal generation and writes a snapshot of the sources for it.
  // False with a reason when a write fails; false with none when the state is closing
  // or failed already.
  bool Compact(std::string* error);
  bool WriteSnapshot(uint64_t gen, std::string* error);
  void RemoveJournalsBefore(uint64_t gen);
  void SyncLoop();
  void Fail(const std::string& reason, bool onSyncThread);

  const StatePolicy m_policy;
  std::string m_dir;
  int m_dirFd = -1;
  int m_blobDirFd = -1;
  int m_lockFd = -1;  // holds the folder's lock while open
  std::vector<Source> m_sources;  // set by Start, before the sync thread
  std::thread m_syncThread;

  mutable std::mutex m_mutex;  // guards the members below
  std::condition_variable m_wake;
  // Written under m_mutex by Start and the sync thread only; the sync thread also
  // reads it without the lock.
  int m_journalFd = -1;
  uint64_t m_gen = 0;
  uint64_t m_journalBytes = 0;
  uint64_t m_snapshotBytes = 0;
  bool m_unsynced = false;
  bool m_closing = false;
  bool m_failed = false;
  std::string m_failure;
  std::function<void(bool onSyncThread)> m_onFailure;
};

}  // namespace localsvc
