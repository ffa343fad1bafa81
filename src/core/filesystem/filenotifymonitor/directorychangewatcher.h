// The folder watcher: one worker thread and one inotify instance read the changes of
// every watched tree, and each change is handed to the tree's receiver on the thread
// that runs the dispatcher (in place of a hidden window's message loop): the
// receiver is called there only, in the order the changes were read, and never while
// the worker waits for it.
//
// What each tree reports is stated in changemonitor.h. The worker thread and the
// instance come with the first WatchDirectory. Stop ends both for good.
//
// Threads: WatchDirectory, UnwatchDirectory and Stop may be called from any thread,
// the dispatcher's included, but not from the worker thread (the receivers never run
// there). The dispatcher must outlive Stop. A receiver must outlive Stop (or the
// watcher) and must not be destroyed while its tree is watched.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "core/filesystem/filenotifymonitor/directorychangehandler.h"
#include "core/filesystem/filenotifymonitor/dispatchgate.h"
#include "core/filesystem/filenotifymonitor/watchoptions.h"
#include "platform/workerthread.h"

class CChangeMonitor;
class CDispatcher;
class CInotify;
class CWakeFd;

// Results of WatchDirectory besides 0 and the errno values of the system.
inline constexpr int kWatchInvalidParameter = 87;  // empty or relative folder, no filter or no handler
inline constexpr int kWatchBadPathName = 161;       // the folder does not exist
inline constexpr int kWatchNoThread = 164;          // the worker thread could not be started

class CDirectoryChangeWatcher {
 public:
  // dispatcher is borrowed (see above).
  CDirectoryChangeWatcher(CDispatcher* dispatcher, DirectoryWatchOptions options = {});
  // Stops (see Stop).
  ~CDirectoryChangeWatcher();
  CDirectoryChangeWatcher(const CDirectoryChangeWatcher&) = delete;
  CDirectoryChangeWatcher& operator=(const CDirectoryChangeWatcher&) = delete;

  // Watches the folder directory (a full path) with handler as its receiver; with
  // watchSubtree every folder below it as well. filter is a mix of kChange* bits.
  // Returns once directory itself is watched: 0; the rest of the tree is watched on
  // the worker thread, and the receiver is told On_WatchStarted (error 0) when it
  // all is, or On_ReadDirectoryChangesError when it cannot be. A folder watched
  // already is let go first (On_WatchStopped). Failures: kWatchInvalidParameter,
  // kWatchBadPathName, ENOTDIR (a file or a symbolic link), EEXIST (it lies in a
  // watched tree), ENOSPC (the watch table is full), EMFILE (no inotify instance),
  // kWatchNoThread, ECANCELED (the watcher was stopped), or another errno of the
  // system; the receiver is then told On_WatchStarted with the error, except for the
  // first four.
  int WatchDirectory(const std::string& directory, uint32_t filter, CDirectoryChangeHandler* handler,
                     bool watchSubtree);
  // Lets go of the tree watched at directory; its receiver is told On_WatchStopped
  // after the changes read before. True when it was watched.
  bool UnwatchDirectory(const std::string& directory);

  // Ends the watch. When it returns, no receiver is called any more (notifications
  // still queued on the dispatcher are dropped; a receiver running on another thread
  // has returned), the worker thread has ended and the inotify instance is closed.
  // Called from a receiver, it does not wait for that receiver's own return. Must not
  // be called while holding a lock that a receiver takes. May be called more than
  // once and from several threads at once.
  void Stop();

  // True between the start of the worker thread and Stop.
  bool Running();

 private:
  struct Command;

  int StartWorker();
  int Submit(std::shared_ptr<Command> command);
  void WorkerMain(std::shared_ptr<CInotify> inotify, std::shared_ptr<CWakeFd> wake);
  // Completes the commands left with ECANCELED and refuses new ones.
  void CancelCommands();
  void RunCommands(CChangeMonitor& monitor);

  CDispatcher* const m_dispatcher;
  DirectoryWatchOptions m_options;
  const std::shared_ptr<CDispatchGate> m_gate = std::make_shared<CDispatchGate>();
  std::atomic<bool> m_stopRequested{false};
  CWorkerThread m_thread;

  std::mutex m_mutex;  // the members below; never held while waiting
  bool m_started = false;
  bool m_stopped = false;
  bool m_workerEnded = false;
  std::shared_ptr<CWakeFd> m_wake;
  std::deque<std::shared_ptr<Command>> m_commands;
};
