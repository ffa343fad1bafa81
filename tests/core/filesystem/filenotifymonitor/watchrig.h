// Helpers for the folder watcher's tests: a receiver that records what reaches its
// callback, a way to run the dispatcher (on the test's thread) until a condition
// holds, barriers that prove every earlier change has been reported, and the file
// operations the tests make, each one system call so that the expected changes are
// exact.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "core/filesystem/filenotifymonitor/filenotifyrevicer.h"
#include "platform/dispatcher.h"

// One call of the callback.
struct Change {
  uint32_t action = 0;
  std::string path;
  std::string newPath;

  friend bool operator==(const Change& a, const Change& b) {
    return a.action == b.action && a.path == b.path && a.newPath == b.newPath;
  }
  friend bool operator<(const Change& a, const Change& b) {
    if (a.action != b.action) return a.action < b.action;
    if (a.path != b.path) return a.path < b.path;
    return a.newPath < b.newPath;
  }
  friend std::ostream& operator<<(std::ostream& os, const Change& c) {
    static const char* const kNames[] = {"added", "removed", "renamed", "modified"};
    os << (c.action < 4 ? kNames[c.action] : "?") << " " << c.path;
    if (!c.newPath.empty()) os << " -> " << c.newPath;
    return os;
  }
};

inline Change Added(const std::string& p) { return {kFileActionAdded, p, ""}; }
inline Change Removed(const std::string& p) { return {kFileActionRemoved, p, ""}; }
inline Change Renamed(const std::string& a, const std::string& b) { return {kFileActionRenamed, a, b}; }
inline Change Modified(const std::string& p) { return {kFileActionModified, p, ""}; }

// Records on the dispatcher's thread (the test's thread, which must own the dispatcher).
class RecordingRevicer : public CFileNotifyRevicer {
 public:
  explicit RecordingRevicer(CDispatcher* dispatcher, DirectoryWatchOptions options = {});

  // Init with these trees, then StartMonitor.
  HRESULT Start(const std::vector<std::string>& roots, const std::vector<std::string>& excluded = {});
  // Init only, for a test that hands the receiver to a watcher of its own.
  HRESULT Prepare();
  // Runs the dispatcher until every root has started (or ended): whether all started.
  bool WaitStarted(const std::vector<std::string>& roots);
  // Runs the dispatcher until pred holds (checked now and after every notification)
  // or bound has passed: whether it held.
  bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds bound = std::chrono::seconds(60));
  // Creates a new empty file in folder and runs the dispatcher until its addition is
  // reported: every change made before has been reported then (moves out of the
  // watched trees aside, which wait for their pair). False when it never came.
  bool Barrier(const std::string& folder);

  // What reached the callback, barriers left out, in order.
  std::vector<Change> Changes() const;
  // How often change came.
  int CountOf(const Change& change) const;
  size_t RawCount() const { return m_changes.size(); }

  std::map<std::string, int> started;  // On_WatchStarted: root -> error
  std::map<std::string, int> ended;    // On_ReadDirectoryChangesError: root -> error
  int stopped = 0;                     // On_WatchStopped
  // Called on the dispatcher's thread for every change, after it is recorded.
  std::function<void(const Change&)> onChange;

  void On_ReadDirectoryChangesError(int error, const std::string& directory) override;
  void On_WatchStarted(int error, const std::string& directory) override;
  void On_WatchStopped(const std::string& directory) override;

 private:
  static int Callback(uint32_t action, const char* path, const char* newPath, void* context);
  void Check();

  CDispatcher* const m_dispatcher;
  std::vector<Change> m_changes;
  std::function<bool()> m_until;
  std::string m_barrier;  // the last barrier's file
  bool m_barrierSeen = false;
};

// The file operations of the tests; each fails the test when the system refuses.
void MakeFolder(const std::string& path);
// Creates an empty file without opening it for writing (so no close-after-write).
void CreateEmpty(const std::string& path);
// Opens an existing file for writing, writes text, closes it.
void WriteAndClose(const std::string& path, const std::string& text);
void MoveTo(const std::string& from, const std::string& to);
void DeleteFile(const std::string& path);
void DeleteFolder(const std::string& path);
void MakeLink(const std::string& target, const std::string& link);

// Waits until the clock the file system stamps changes with (CLOCK_REALTIME_COARSE)
// has passed path's change time: a change made after this returns is later.
void WaitUntilFileClockPasses(const std::string& path);

// Descriptors open in this process, threads running in it, watches an inotify
// descriptor holds (from /proc).
int OpenDescriptorCount();
int ThreadCount();
int KernelWatchCount(int inotifyFd);
// fs.inotify.max_queued_events.
long MaxQueuedEvents();
