// The file sync manager's watch for drag and copy markers. When the user drags or
// pastes items of the cloud into a local folder, the windows drop a marker file there
// whose name holds "_ostrel_dragdata_" or "_ostrel_copydata_"; the folder watcher
// reports its addition, and the marker is handed to the shell adapter
// (OnDragDataFile), which reads the items listed in it and downloads them into that
// folder.
//
// What is watched: the trees of FileNotifyOptions::roots, else of the config.ini
// setting "WatchRoots" (section "Ostrel"; absolute folders separated by ":"), else the
// home folder and the folders where removable media are mounted for the user
// (DefaultWatchRoots). Left out, with everything below them, because the client's own
// writes there would flood the watch: the configuration folder, the registry store's
// folder and the sync (cache) folder.
//
// What is handed on: an addition (nothing else) whose full path holds one of the two
// marker texts (case-sensitive) and lies outside the cache folder (IsPathInFolder), and
// only when the path then is a regular file of our own user: a drag marker at once, a
// copy marker after copyMarkerDelay (the windows finish writing it meanwhile).
//
// Threads: Start and Stop from any thread, one at a time. OnFileNotify runs on the
// thread of the dispatcher (see FileNotifyOptions::dispatcher): it calls the shell
// adapter there and, for a copy marker,
// pauses that thread for the delay. Once Stop has returned, no notice is handled any
// more; a copy marker whose delay ends after Stop began is dropped.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "common/resultcodes.h"
#include "core/filesystem/filenotifymonitor/filenotifyrevicer.h"
#include "core/filesystem/filenotifymonitor/watchoptions.h"

class CConfig;
class CDispatcher;
class Clock;
class FileEnv;
class ISyncCenter;

// The texts that make a path a marker.
inline constexpr char kDragDataMarker[] = "_ostrel_dragdata_";
inline constexpr char kCopyDataMarker[] = "_ostrel_copydata_";
// config.ini, section "Ostrel": the watched folders.
inline constexpr char kIniWatchRoots[] = "WatchRoots";

struct FileNotifyOptions {
  // Where notices are handled. Null: the dispatcher that the thread calling
  // CFileSyncMgr::Init owns, else the one the process's main thread owns (the
  // application's main loop); when there is none, no marker is watched (logged) and
  // the rest of the manager works as usual. It must outlive the manager's UnInit.
  CDispatcher* dispatcher = nullptr;
  // The watched trees (full paths). Empty: the setting, else DefaultWatchRoots.
  std::vector<std::string> roots;
  // How long a copy marker waits before it is handed on, on the manager's clock.
  std::chrono::milliseconds copyMarkerDelay{100};
  // The user whose marker files are accepted; -1: the process's effective user.
  int64_t ownUser = -1;
  // The folder watcher's own knobs (tests: a watch cap, a held reader).
  DirectoryWatchOptions watch;
};

// The folders of the setting's value: absolute paths separated by ":"; empty and
// relative entries are left out (logged). Nothing when the value is empty.
std::vector<std::string> ParseWatchRoots(const std::string& value);
// The watched trees when no roots are given: the setting read through config, else
// DefaultWatchRoots.
std::vector<std::string> ConfiguredWatchRoots(CConfig& config);

class CFileSyncNotify {
 public:
  // clock and env must outlive the object.
  CFileSyncNotify(FileNotifyOptions options, Clock* clock, FileEnv* env);
  // Stops.
  ~CFileSyncNotify();
  CFileSyncNotify(const CFileSyncNotify&) = delete;
  CFileSyncNotify& operator=(const CFileSyncNotify&) = delete;

  // Starts the receiver on the watched trees, with callback and context, each notice
  // to be handled by OnFileNotify; markers go to the shell adapter of syncCenter
  // (borrowed; it must outlive Stop). cacheFolder is left out of the watch and its
  // markers are ignored. S_OK also when there is no dispatcher (nothing is watched
  // then); the receiver's failure otherwise. Once only: E_FAIL after Start or Stop.
  HRESULT Start(FileNotifyCallBack callback, void* context, ISyncCenter* syncCenter, const std::string& cacheFolder);
  // Ends the watch (see above). S_OK, also when nothing was watched; the receiver's
  // failure otherwise (logged "*ASSERT*: (((HRESULT)(hr)) >= 0)"). May be called from
  // the dispatcher's thread, also from inside OnFileNotify.
  HRESULT Stop();

  // Handles one notice of the receiver (dispatcher thread only); see above.
  void OnFileNotify(uint32_t action, const std::string& path);

  // The folders left out of the watch (set by Start).
  const std::vector<std::string>& Excluded() const { return m_excluded; }
  // Whether a watch was started and is not stopped.
  bool Watching() const { return m_watching.load(); }

 private:
  bool IsOwnMarker(const std::string& path);
  void HandOn(const std::string& path);

  const FileNotifyOptions m_options;
  Clock* const m_clock;
  FileEnv* const m_env;
  CFileNotifyRevicer m_revicer;
  // Set by Start, read on the dispatcher's thread afterwards.
  ISyncCenter* m_pSyncCenter = nullptr;
  std::string m_cacheFolder;
  std::vector<std::string> m_excluded;
  std::atomic<bool> m_started{false};
  std::atomic<bool> m_stopping{false};
  std::atomic<bool> m_watching{false};
};
