// The worker thread's side of the folder watcher: one inotify instance, the watched
// trees, and the turning of the instance's records into changes for each tree's
// handler. Every member runs on the worker thread only; nothing here takes a lock.
//
// What is reported, per tree (full paths):
//   - added: an item created, or moved in from outside the watched trees; the items
//     found in a folder that was created or moved in (they may predate its watch);
//   - removed: an item deleted, or moved out of the watched trees;
//   - renamed: both halves of a move inside the watched trees, once;
//   - modified: a file opened for writing was closed (once per close).
// Every folder of a tree is watched (inotify is not recursive), one after the other: an
// item made or changed in a folder after the watch began and before the start-up walk
// reached the folder is reported as added (the walk cannot tell the two apart; on a
// file system that stamps changes with the coarse clock, one made in the clock tick in
// which the watch began may be missed).
// Excluded folders, the other trees' roots, symbolic links and names that are not UTF-8
// text are left out.
// A folder moved away stops being watched; one moved in is watched and scanned.
//
// When the system's queue overflows, changes were lost: the trees are scanned again.
// Items changed since the queue was last found empty are reported as added, unless
// they were reported since; folders found are watched, those gone are forgotten.
// Removals lost in the overflow are not reported.
//
// A tree that cannot be watched whole (a full watch table: ENOSPC; its root deleted
// or moved: ENOENT) ends its watch: its folders are let go and its handler is told
// (kind 5). The other trees stay watched.
#pragma once

#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/filesystem/filenotifymonitor/delayeddirectorychangehandler.h"
#include "core/filesystem/filenotifymonitor/watchedfolders.h"
#include "core/filesystem/filenotifymonitor/watchoptions.h"
#include "platform/inotify.h"

class FileEnv;
struct InotifyRecord;

class CChangeMonitor {
 public:
  // Shares the instance; options and stopRequested must outlive the monitor. Long
  // walks end early once stopRequested is set.
  CChangeMonitor(std::shared_ptr<CInotify> inotify, const DirectoryWatchOptions& options,
                 const std::atomic<bool>* stopRequested);
  // Lets go of the instance (the last owner closes it, which ends every watch).
  ~CChangeMonitor();
  CChangeMonitor(const CChangeMonitor&) = delete;
  CChangeMonitor& operator=(const CChangeMonitor&) = delete;

  // The descriptor to poll for changes.
  int Fd() const;

  // Watches the folder root (a full path to an existing folder) and, with subtree,
  // every folder below it. 0 once root itself is watched; the rest of the tree is
  // watched by WalkSome, after which the handler is told kind 6 with error 0. Else
  // the errno of watching root (EEXIST: it lies in another watched tree), and the
  // handler is told kind 6 with it. A tree with this root already is let go first.
  int AddTree(const std::string& root, uint32_t filter, bool subtree,
              std::shared_ptr<CDelayedDirectoryChangeHandler> handler);
  // Lets go of the tree at root and tells its handler kind 7. False when no tree has
  // that root.
  bool RemoveTree(const std::string& root);

  // True while the start-up walk of some tree has folders left.
  bool Walking() const;
  // Watches up to count more folders of the start-up walks.
  void WalkSome(size_t count);

  // Reads and handles every change queued now, until the queue is empty.
  void ReadChanges();
  // How long the next wait for changes may last: kWaitForever, or, while the first
  // half of a move waits for its second, the pair wait.
  std::chrono::milliseconds NextWait() const;
  // The wait ended with nothing queued: moves still unpaired are removals.
  void OnWaitTimedOut();
  // Ends the watch of every tree with error (kind 5), as when the queue cannot be
  // read any more.
  void EndAll(int error);

  size_t WatchedFolderCount() const { return m_folders.Count(); }

 private:
  using Folder = CWatchedFolders::Folder;
  enum class WalkMode {
    kStartUp,    // the start-up walk: items changed since the tree's watch began
    kQuiet,      // a folder moved in from where it was not watched: report nothing
    kReportAll,  // a new folder: every item found is added
    kReportNew,  // after an overflow: items changed since the queue was last empty
  };
  struct WalkItem {
    int parentWd;
    std::string name;
  };
  struct Tree {
    int id = 0;
    std::string root;
    uint32_t filter = 0;
    bool subtree = true;
    bool ended = false;
    bool starting = true;  // kind 6 not told yet
    struct timespec startedAt {};  // when its watch began
    std::shared_ptr<CDelayedDirectoryChangeHandler> handler;
    Folder* rootFolder = nullptr;
    std::vector<WalkItem> startWalk;
  };
  struct PendingMove {
    uint32_t cookie;
    int wd;           // the folder it left
    std::string name;
    bool isDir;
    int childWd;      // the moved folder's own watch; -1 when it has none
    uint64_t drainSeq;
  };

  uint32_t MaskFor(const Tree& tree) const;
  Tree* TreeOf(const Folder* folder);
  Tree* TreeAt(const std::string& root);
  bool IsExcluded(const std::string& path, const Tree& tree) const;
  bool Stopping() const { return m_stop->load(std::memory_order_relaxed); }
  void SweepEndedTrees();
  void EndTree(Tree& tree, int error);
  void Unwatch(Folder* folder);
  void TellStarted(Tree& tree);

  void HandleRecord(const InotifyRecord& record);
  void OnSelfEvent(Folder* folder, uint32_t mask);
  void OnMovedTo(Folder* folder, const std::string& name, bool isDir, uint32_t cookie);
  void FlushMove(const PendingMove& move);
  void FlushMovesBefore(uint64_t drainSeq);
  void OnOverflow();

  // Watches the folder item names and lists it; see WalkMode.
  void WalkFolder(const WalkItem& item, WalkMode mode, std::vector<WalkItem>* stack);
  void ListFolder(Folder* folder, const std::string& path, Tree& tree, WalkMode mode, std::vector<WalkItem>* stack);
  void WalkAll(std::vector<WalkItem>* stack, WalkMode mode);
  // path's inode changed after since, or in its tick too with sameTick (the coarse
  // clock the file system stamps changes with).
  bool ChangedSince(const std::string& path, const struct timespec& since, bool sameTick) const;
  bool IsReportableName(const std::string& name, const Folder* folder);

  void ReportAdded(Tree& tree, const std::string& path, bool isDir);
  void ReportRemoved(Tree& tree, const std::string& path, bool isDir);
  void ReportRenamed(Tree& tree, const std::string& oldPath, const std::string& newPath, bool isDir);
  void Remember(const std::string& path);

  std::shared_ptr<CInotify> m_inotify;
  const DirectoryWatchOptions& m_options;
  FileEnv* const m_env;
  const std::atomic<bool>* const m_stop;
  CWatchedFolders m_folders;
  std::map<int, Tree> m_trees;  // by id; ended trees wait for SweepEndedTrees
  int m_nextTreeId = 1;
  std::vector<PendingMove> m_pendingMoves;
  uint64_t m_drainSeq = 0;
  uint64_t m_pass = 0;  // the current rescan
  // Paths reported as present (added, or renamed to) since the queue was last found
  // empty, at most recentRecordCap of them; and when that was.
  std::unordered_set<std::string> m_recent;
  struct timespec m_lastEmpty {};
  std::vector<char> m_buffer;
};
