#include "core/filesystem/filenotifymonitor/changemonitor.h"

#include <errno.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <algorithm>

#include "common/log.h"
#include "common/utf8.h"
#include "platform/event.h"
#include "platform/fileenv.h"

namespace {

// Every watch asks for these; IN_IGNORED, IN_UNMOUNT and IN_Q_OVERFLOW always come.
constexpr uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                                   IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

std::string Join(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

bool IsAtOrBelow(const std::string& path, const std::string& folder) {
  if (path.size() < folder.size() || path.compare(0, folder.size(), folder) != 0) return false;
  return path.size() == folder.size() || folder == "/" || path[folder.size()] == '/';
}

bool NotBefore(const struct timespec& t, const struct timespec& since) {
  return t.tv_sec > since.tv_sec || (t.tv_sec == since.tv_sec && t.tv_nsec >= since.tv_nsec);
}

bool After(const struct timespec& t, const struct timespec& since) {
  return t.tv_sec > since.tv_sec || (t.tv_sec == since.tv_sec && t.tv_nsec > since.tv_nsec);
}

// The clock the file system stamps changes with.
struct timespec CoarseNow() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return now;
}

}  // namespace

CChangeMonitor::CChangeMonitor(std::shared_ptr<CInotify> inotify, const DirectoryWatchOptions& options,
                               const std::atomic<bool>* stopRequested)
    : m_inotify(std::move(inotify)),
      m_options(options),
      m_env(options.env ? options.env : FileEnv::Default()),
      m_stop(stopRequested),
      m_lastEmpty(CoarseNow()),
      m_buffer(std::max<size_t>(options.readBufferBytes, sizeof(struct inotify_event) + NAME_MAX + 1)) {}

CChangeMonitor::~CChangeMonitor() = default;

int CChangeMonitor::Fd() const { return m_inotify->Fd(); }

uint32_t CChangeMonitor::MaskFor(const Tree& tree) const {
  return kFolderEvents | ((tree.filter & kChangeLastWrite) ? IN_CLOSE_WRITE : 0u);
}

CChangeMonitor::Tree* CChangeMonitor::TreeOf(const Folder* folder) {
  const Folder* root = m_folders.RootOf(folder);
  if (!root) return nullptr;
  auto it = m_trees.find(root->tree);
  return it == m_trees.end() || it->second.ended ? nullptr : &it->second;
}

CChangeMonitor::Tree* CChangeMonitor::TreeAt(const std::string& root) {
  for (auto& [id, tree] : m_trees)
    if (!tree.ended && tree.root == root) return &tree;
  return nullptr;
}

bool CChangeMonitor::IsExcluded(const std::string& path, const Tree& tree) const {
  for (const std::string& folder : m_options.excluded)
    if (IsAtOrBelow(path, folder)) return true;
  for (const auto& [id, other] : m_trees)
    if (&other != &tree && !other.ended && path == other.root) return true;
  return false;
}

void CChangeMonitor::SweepEndedTrees() {
  for (auto it = m_trees.begin(); it != m_trees.end();) it = it->second.ended ? m_trees.erase(it) : std::next(it);
}

void CChangeMonitor::Unwatch(Folder* folder) {
  std::vector<int> wds;
  m_folders.Remove(folder, &wds);
  for (int wd : wds) m_inotify->RemoveWatch(wd);
}

void CChangeMonitor::EndTree(Tree& tree, int error) {
  if (tree.ended) return;
  if (error == ENOSPC && m_options.maxWatches != CInotify::kNoWatchCap) {
    OSTREL_LOG(kLogError,
               "CDirectoryChangeWatcher: the watch of %s has ended: the watch table is full (this watcher's cap of %zu "
               "watches, or the system's fs.inotify.max_user_watches) with %zu folders watched",
               tree.root.c_str(), m_options.maxWatches, m_folders.Count());
  } else if (error == ENOSPC) {
    OSTREL_LOG(kLogError,
               "CDirectoryChangeWatcher: the watch of %s has ended: the watch table is full (the system's "
               "fs.inotify.max_user_watches) with %zu folders watched",
               tree.root.c_str(), m_folders.Count());
  } else {
    OSTREL_LOG(kLogWarn, "CDirectoryChangeWatcher: the watch of %s has ended, error %d", tree.root.c_str(), error);
  }
  tree.ended = true;
  tree.startWalk.clear();
  if (tree.rootFolder) Unwatch(tree.rootFolder);
  tree.rootFolder = nullptr;
  tree.handler->On_ReadDirectoryChangesError(error, tree.root);
}

void CChangeMonitor::EndAll(int error) {
  for (auto& [id, tree] : m_trees) EndTree(tree, error);
}

void CChangeMonitor::TellStarted(Tree& tree) {
  if (!tree.starting || tree.ended) return;
  tree.starting = false;
  tree.handler->On_WatchStarted(0, tree.root);
}

// --- trees -------------------------------------------------------------------------

int CChangeMonitor::AddTree(const std::string& root, uint32_t filter, bool subtree,
                            std::shared_ptr<CDelayedDirectoryChangeHandler> handler) {
  SweepEndedTrees();
  RemoveTree(root);
  SweepEndedTrees();
  Tree& tree = m_trees[m_nextTreeId];
  tree.id = m_nextTreeId++;
  tree.root = root;
  tree.filter = filter;
  tree.subtree = subtree;
  tree.handler = std::move(handler);
  // The fine clock: an item made before this instant never counts as made after it,
  // whatever grain the file system stamps with.
  ::clock_gettime(CLOCK_REALTIME, &tree.startedAt);
  const int wd = m_inotify->AddWatch(root, MaskFor(tree) | IN_MASK_CREATE);
  if (wd < 0) {
    const int error = errno;
    tree.ended = true;
    tree.handler->On_WatchStarted(error, root);
    return error;
  }
  tree.rootFolder = m_folders.AddRoot(wd, root, tree.id);
  tree.rootFolder->pass = m_pass;
  if (subtree) ListFolder(tree.rootFolder, root, tree, WalkMode::kStartUp, &tree.startWalk);
  if (tree.startWalk.empty()) TellStarted(tree);
  return 0;
}

bool CChangeMonitor::RemoveTree(const std::string& root) {
  Tree* tree = TreeAt(root);
  if (!tree) return false;
  tree->ended = true;
  tree->startWalk.clear();
  if (tree->rootFolder) Unwatch(tree->rootFolder);
  tree->rootFolder = nullptr;
  tree->handler->On_WatchStopped(tree->root);
  return true;
}

bool CChangeMonitor::Walking() const {
  for (const auto& [id, tree] : m_trees)
    if (!tree.ended && !tree.startWalk.empty()) return true;
  return false;
}

void CChangeMonitor::WalkSome(size_t count) {
  if (m_options.beforeWalkSlice) m_options.beforeWalkSlice();
  SweepEndedTrees();
  for (auto& [id, tree] : m_trees) {
    while (count > 0 && !tree.ended && !tree.startWalk.empty() && !Stopping()) {
      WalkItem item = std::move(tree.startWalk.back());
      tree.startWalk.pop_back();
      WalkFolder(item, WalkMode::kStartUp, &tree.startWalk);
      --count;
    }
    if (tree.startWalk.empty()) TellStarted(tree);
    if (count == 0 || Stopping()) return;
  }
}

// --- walking -----------------------------------------------------------------------

bool CChangeMonitor::IsReportableName(const std::string& name, const Folder* folder) {
  bool ok = IsValidUtf8(name);
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F) ok = false;
  if (!ok)
    OSTREL_LOG(kLogWarn, "CDirectoryChangeWatcher: a name in %s is not UTF-8 text; it is left out",
               m_folders.PathOf(folder).c_str());
  return ok;
}

bool CChangeMonitor::ChangedSince(const std::string& path, const struct timespec& since, bool sameTick) const {
  struct stat st {};
  return m_env->Lstat(path, &st) && (sameTick ? NotBefore(st.st_ctim, since) : After(st.st_ctim, since));
}

void CChangeMonitor::WalkFolder(const WalkItem& item, WalkMode mode, std::vector<WalkItem>* stack) {
  Folder* parent = m_folders.Find(item.parentWd);
  if (!parent) return;  // gone since the item was queued
  Tree* tree = TreeOf(parent);
  if (!tree) return;
  const std::string path = Join(m_folders.PathOf(parent), item.name);
  if (IsExcluded(path, *tree)) return;
  // A rescan asks again for folders it watches already, to learn where they are now.
  const uint32_t mask = MaskFor(*tree) | (mode == WalkMode::kReportNew ? 0u : static_cast<uint32_t>(IN_MASK_CREATE));
  const int wd = m_inotify->AddWatch(path, mask);
  if (wd < 0) {
    const int error = errno;
    if (error == ENOSPC) {
      EndTree(*tree, ENOSPC);
    } else if (error != EEXIST && error != ENOENT && error != ENOTDIR && error != ELOOP) {
      OSTREL_LOG(kLogWarn, "CDirectoryChangeWatcher: cannot watch %s, error %d", path.c_str(), error);
    }
    return;  // EEXIST: watched already; the others: no longer a folder
  }
  Folder* folder = m_folders.Find(wd);
  if (folder) {
    if (folder->pass == m_pass || folder->tree >= 0) return;  // reached twice, or a root
    if (folder->parent != parent || folder->name != item.name) m_folders.Move(folder, parent, item.name);
  } else {
    folder = m_folders.AddChild(parent, item.name, wd);
  }
  folder->pass = m_pass;
  ListFolder(folder, path, *tree, mode, stack);
}

void CChangeMonitor::ListFolder(Folder* folder, const std::string& path, Tree& tree, WalkMode mode,
                                std::vector<WalkItem>* stack) {
  std::vector<FolderEntry> entries;
  m_env->ListFolder(path, false, &entries);  // a folder gone or unreadable lists what it can
  // Items changed since then may have been missed by the watch; a folder whose entries
  // did not change since then holds none.
  const struct timespec* since = mode == WalkMode::kReportNew ? &m_lastEmpty
                                 : mode == WalkMode::kStartUp ? &tree.startedAt
                                                              : nullptr;
  // After an overflow an item of the tick the queue was found empty in counts (a
  // second report is less harm than a lost one); at start-up it does not, for the
  // items made just before the watch are no news.
  const bool sameTick = mode == WalkMode::kReportNew;
  const bool checkTimes = since && ChangedSince(path, *since, sameTick);
  for (const FolderEntry& entry : entries) {
    if (!IsReportableName(entry.name, folder)) continue;
    const bool isDir = entry.type == DT_DIR;
    if (isDir && tree.subtree) stack->push_back({folder->wd, entry.name});
    if (mode == WalkMode::kReportAll) {
      ReportAdded(tree, Join(path, entry.name), isDir);
    } else if (checkTimes) {
      const std::string child = Join(path, entry.name);
      if (ChangedSince(child, *since, sameTick)) ReportAdded(tree, child, isDir);
    }
  }
}

void CChangeMonitor::WalkAll(std::vector<WalkItem>* stack, WalkMode mode) {
  while (!stack->empty() && !Stopping()) {
    WalkItem item = std::move(stack->back());
    stack->pop_back();
    WalkFolder(item, mode, stack);
  }
}

// --- reports -----------------------------------------------------------------------

void CChangeMonitor::Remember(const std::string& path) {
  if (m_recent.size() < m_options.recentRecordCap) m_recent.insert(path);
}

void CChangeMonitor::ReportAdded(Tree& tree, const std::string& path, bool isDir) {
  if (m_recent.count(path)) return;  // a scan and an event both saw it
  Remember(path);
  if (tree.filter & (isDir ? kChangeDirName : kChangeFileName)) tree.handler->On_FileAdded(path);
}

void CChangeMonitor::ReportRemoved(Tree& tree, const std::string& path, bool isDir) {
  m_recent.erase(path);
  if (tree.filter & (isDir ? kChangeDirName : kChangeFileName)) tree.handler->On_FileRemoved(path);
}

void CChangeMonitor::ReportRenamed(Tree& tree, const std::string& oldPath, const std::string& newPath, bool isDir) {
  m_recent.erase(oldPath);
  Remember(newPath);
  if (tree.filter & (isDir ? kChangeDirName : kChangeFileName)) tree.handler->On_FileNameChanged(oldPath, newPath);
}

// --- reading -----------------------------------------------------------------------

void CChangeMonitor::ReadChanges() {
  SweepEndedTrees();
  const uint64_t drain = ++m_drainSeq;
  for (;;) {
    if (m_options.beforeRead) m_options.beforeRead();
    const ssize_t n = m_inotify->Read(m_buffer.data(), m_buffer.size());
    if (n < 0) {
      if (errno == EAGAIN) break;
      const int error = errno;
      OSTREL_LOG(kLogError, "CDirectoryChangeWatcher: reading the change queue failed, error %d", error);
      EndAll(error);
      return;
    }
    if (n == 0) break;
    ForEachInotifyRecord(m_buffer.data(), static_cast<size_t>(n),
                         [this](const InotifyRecord& record) { HandleRecord(record); });
    if (Stopping()) return;
  }
  // Everything queued before now has been read.
  FlushMovesBefore(drain);
  m_recent.clear();
  m_lastEmpty = CoarseNow();
}

std::chrono::milliseconds CChangeMonitor::NextWait() const {
  return m_pendingMoves.empty() ? kWaitForever : m_options.renamePairWait;
}

void CChangeMonitor::OnWaitTimedOut() { FlushMovesBefore(m_drainSeq + 1); }

void CChangeMonitor::HandleRecord(const InotifyRecord& record) {
  if (record.mask & IN_Q_OVERFLOW) {
    OnOverflow();
    return;
  }
  Folder* folder = m_folders.Find(record.wd);
  if (!folder) return;  // a watch let go of before this record was read
  if (record.mask & IN_IGNORED) {
    // The folder is gone (deleted, or its file system unmounted).
    if (folder->tree >= 0) {
      if (Tree* tree = TreeOf(folder)) EndTree(*tree, ENOENT);
    } else {
      Unwatch(folder);
    }
    return;
  }
  if (record.mask & (IN_MOVE_SELF | IN_DELETE_SELF | IN_UNMOUNT)) {
    OnSelfEvent(folder, record.mask);
    return;
  }
  Tree* tree = TreeOf(folder);
  if (!tree) return;
  const std::string name(record.name);
  if (name.empty() || !IsReportableName(name, folder)) return;
  const bool isDir = (record.mask & IN_ISDIR) != 0;
  const std::string path = Join(m_folders.PathOf(folder), name);
  if (record.mask & IN_CREATE) {
    ReportAdded(*tree, path, isDir);
    if (isDir && tree->subtree) {
      std::vector<WalkItem> stack{{folder->wd, name}};
      WalkAll(&stack, WalkMode::kReportAll);
    }
  } else if (record.mask & IN_DELETE) {
    ReportRemoved(*tree, path, isDir);
  } else if (record.mask & IN_CLOSE_WRITE) {
    if (tree->filter & kChangeLastWrite) tree->handler->On_FileModified(path);
  } else if (record.mask & IN_MOVED_FROM) {
    const Folder* child = isDir ? m_folders.Child(folder, name) : nullptr;
    m_pendingMoves.push_back({record.cookie, folder->wd, name, isDir, child ? child->wd : -1, m_drainSeq});
  } else if (record.mask & IN_MOVED_TO) {
    OnMovedTo(folder, name, isDir, record.cookie);
  }
}

void CChangeMonitor::OnSelfEvent(Folder* folder, uint32_t mask) {
  if (!(mask & IN_MOVE_SELF)) return;  // deleted or unmounted: IN_IGNORED follows
  if (folder->tree >= 0) {
    // The root now lies elsewhere: its tree no longer is the folder it was given.
    if (Tree* tree = TreeOf(folder)) EndTree(*tree, ENOENT);
    return;
  }
  // The second half of a move comes before this record: a first half still waiting
  // means the folder left the watched trees.
  auto it = std::find_if(m_pendingMoves.begin(), m_pendingMoves.end(),
                         [&](const PendingMove& m) { return m.childWd == folder->wd; });
  if (it == m_pendingMoves.end()) return;
  PendingMove move = std::move(*it);
  m_pendingMoves.erase(it);
  FlushMove(move);
}

void CChangeMonitor::OnMovedTo(Folder* folder, const std::string& name, bool isDir, uint32_t cookie) {
  Tree* tree = TreeOf(folder);
  const std::string newPath = Join(m_folders.PathOf(folder), name);
  auto it = std::find_if(m_pendingMoves.begin(), m_pendingMoves.end(),
                         [&](const PendingMove& m) { return m.cookie == cookie; });
  Folder* from = nullptr;
  PendingMove move{};
  if (it != m_pendingMoves.end()) {
    move = std::move(*it);
    m_pendingMoves.erase(it);
    from = m_folders.Find(move.wd);
  }
  if (!from || !TreeOf(from)) {
    // Moved in from outside the watched trees.
    ReportAdded(*tree, newPath, isDir);
    if (isDir && tree->subtree && !IsExcluded(newPath, *tree)) {
      std::vector<WalkItem> stack{{folder->wd, name}};
      WalkAll(&stack, WalkMode::kReportAll);
    }
    return;
  }
  ReportRenamed(*tree, Join(m_folders.PathOf(from), move.name), newPath, isDir);
  if (!isDir) return;
  Folder* moved = move.childWd >= 0 ? m_folders.Find(move.childWd) : nullptr;
  if (!tree->subtree || IsExcluded(newPath, *tree)) {
    if (moved) Unwatch(moved);
  } else if (moved) {
    m_folders.Move(moved, folder, name);
  } else {
    // A folder that was not watched where it came from (an excluded one).
    std::vector<WalkItem> stack{{folder->wd, name}};
    WalkAll(&stack, WalkMode::kQuiet);
  }
}

void CChangeMonitor::FlushMove(const PendingMove& move) {
  Folder* from = m_folders.Find(move.wd);
  Tree* tree = from ? TreeOf(from) : nullptr;
  if (tree) ReportRemoved(*tree, Join(m_folders.PathOf(from), move.name), move.isDir);
  if (move.childWd >= 0)
    if (Folder* moved = m_folders.Find(move.childWd)) Unwatch(moved);
}

void CChangeMonitor::FlushMovesBefore(uint64_t drainSeq) {
  std::vector<PendingMove> due;
  for (auto it = m_pendingMoves.begin(); it != m_pendingMoves.end();) {
    if (it->drainSeq < drainSeq) {
      due.push_back(std::move(*it));
      it = m_pendingMoves.erase(it);
    } else {
      ++it;
    }
  }
  for (const PendingMove& move : due) FlushMove(move);
}

// --- overflow ----------------------------------------------------------------------

void CChangeMonitor::OnOverflow() {
  OSTREL_LOG(kLogWarn, "%s", "CDirectoryChangeWatcher: the change queue overflowed; the watched trees are scanned again");
  ++m_pass;
  for (auto& [id, tree] : m_trees) {
    if (tree.ended || Stopping()) continue;
    const int wd = m_inotify->AddWatch(tree.root, MaskFor(tree));
    const int error = wd < 0 ? errno : ENOENT;
    if (wd < 0 || !tree.rootFolder || wd != tree.rootFolder->wd) {
      // The root was deleted, or replaced by another folder, while changes were lost.
      if (wd >= 0 && !m_folders.Find(wd)) m_inotify->RemoveWatch(wd);
      EndTree(tree, error);
      continue;
    }
    tree.rootFolder->pass = m_pass;
    tree.startWalk.clear();  // the rescan walks the whole tree
    std::vector<WalkItem> stack;
    ListFolder(tree.rootFolder, tree.root, tree, WalkMode::kReportNew, &stack);
    if (!tree.subtree) stack.clear();
    WalkAll(&stack, WalkMode::kReportNew);
    if (!tree.ended && !Stopping()) TellStarted(tree);
  }
  if (Stopping()) return;
  // Folders no rescan reached are gone from the trees.
  for (int wd : m_folders.AllWds()) {
    Folder* folder = m_folders.Find(wd);
    if (folder && folder->pass != m_pass) Unwatch(folder);
  }
}
