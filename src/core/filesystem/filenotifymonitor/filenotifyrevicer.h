// The receiver the file sync manager owns: it keeps the callback, owns the folder
// watcher, starts it on the configured trees and stops it. Changes reach the
// callback on the thread that runs the dispatcher given to Init (the thread that
// starts the file sync manager), one at a time, in the order they were read.
//
// Threads: Init and StartMonitor on one thread at a time; StopMonitor from any
// thread, also from inside the callback. The dispatcher must outlive StopMonitor (or
// the receiver). The callback must not block for long: every later change waits for
// it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/resultcodes.h"
#include "core/filesystem/filenotifymonitor/directorychangehandler.h"
#include "core/filesystem/filenotifymonitor/watchoptions.h"

class CDirectoryChangeWatcher;
class CDispatcher;

// The callback's actions.
inline constexpr uint32_t kFileActionAdded = 0;
inline constexpr uint32_t kFileActionRemoved = 1;
inline constexpr uint32_t kFileActionRenamed = 2;    // path is the old path, newPath the new one
inline constexpr uint32_t kFileActionModified = 3;

// action, the item's full path, the new full path of a rename (else null), and the
// context given to Init. The result is not used.
using FileNotifyCallBack = int (*)(uint32_t action, const char* path, const char* newPath, void* context);

// Which trees are watched: a setting of the caller.
struct FileNotifySettings {
  // Watched with every folder below them (DefaultWatchRoots unless configured).
  // Roots that do not exist, or cannot be watched, are left out.
  std::vector<std::string> roots;
  // Left out with everything below them: the configuration folder, the registry
  // store's folder and the sync folder, whose changes are the client's own.
  std::vector<std::string> excluded;
};

class CFileNotifyRevicer : public CDirectoryChangeHandler {
 public:
  // options: the watcher's knobs (tests); its excluded folders come from Init.
  explicit CFileNotifyRevicer(DirectoryWatchOptions options = {});
  // Stops the watch.
  ~CFileNotifyRevicer() override;

  // Keeps the settings, the dispatcher (borrowed), the callback and its context.
  // S_OK; E_INVALIDARG without a dispatcher. A null callback or no root is logged
  // ("*ASSERT*: pFileNotifyCallBack && szMonitorPath"); nothing is reported then.
  HRESULT Init(const FileNotifySettings& settings, CDispatcher* dispatcher, FileNotifyCallBack callback,
               void* context);
  // Watches every root (each with its folders; changes of file and folder names and
  // closes after writing). Returns once each root itself is watched; a root that
  // cannot be watched is left out. S_OK; E_FAIL before a successful Init. Started
  // again after StopMonitor, it starts a new watch.
  HRESULT StartMonitor();
  // Ends the watch: when it returns, the callback is not called any more (changes
  // queued on the dispatcher are dropped), and the watcher's thread and descriptors
  // are gone. E_FAIL ("ERROR_CHECK_BOOLEX:bRet") when no watch was running.
  HRESULT StopMonitor();

  // The watcher's side (dispatcher thread).
  void On_FileAdded(const std::string& path) override;
  void On_FileRemoved(const std::string& path) override;
  void On_FileNameChanged(const std::string& oldPath, const std::string& newPath) override;
  void On_FileModified(const std::string& path) override;
  void On_ReadDirectoryChangesError(int error, const std::string& directory) override;
  void On_WatchStarted(int error, const std::string& directory) override;
  void On_WatchStopped(const std::string& directory) override;

 private:
  void Notify(uint32_t action, const std::string& path, const std::string* newPath);

  const DirectoryWatchOptions m_options;
  std::mutex m_mutex;  // the members below; never held while calling out or waiting
  std::shared_ptr<CDirectoryChangeWatcher> m_watcher;
  FileNotifySettings m_settings;
  CDispatcher* m_dispatcher = nullptr;
  FileNotifyCallBack m_pFileNotifyCallBack = nullptr;
  void* m_context = nullptr;
};
