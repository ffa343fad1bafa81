// The receiving end of the folder watcher: everything that is told about changes
// derives from CDirectoryChangeHandler. The base versions of the operations do
// nothing, and the filter lets every change through.
//
// Paths are full paths with "/" between elements, as the file system names them
// (names that are not UTF-8 text are never reported). Which thread calls a handler
// depends on who holds it: the receiver of a watch (CDirectoryChangeWatcher::
// WatchDirectory) is called only on the thread that runs the watcher's dispatcher.
#pragma once

#include <cstdint>
#include <string>

// The kinds of change notification, in the order of the handler's operations.
enum class ChangeKind : int {
  kAdded = 1,          // On_FileAdded
  kRemoved = 2,        // On_FileRemoved
  kModified = 3,       // On_FileModified: a file opened for writing was closed
  kRenamed = 4,        // On_FileNameChanged
  kWatchError = 5,     // On_ReadDirectoryChangesError: the watch of a tree ended
  kWatchStarted = 6,   // On_WatchStarted (error 0) or failed to start
  kWatchStopped = 7,   // On_WatchStopped
};

// What a watch reports (the change filter of WatchDirectory); a change of a kind left
// out is not reported. Folders are watched whatever the filter, so that a tree
// stays covered.
inline constexpr uint32_t kChangeFileName = 0x01;   // files added, removed, renamed
inline constexpr uint32_t kChangeDirName = 0x02;    // folders added, removed, renamed
inline constexpr uint32_t kChangeLastWrite = 0x10;  // files closed after writing

class CDirectoryChangeHandler {
 public:
  CDirectoryChangeHandler() = default;
  virtual ~CDirectoryChangeHandler() = default;
  CDirectoryChangeHandler(const CDirectoryChangeHandler&) = delete;
  CDirectoryChangeHandler& operator=(const CDirectoryChangeHandler&) = delete;

  virtual void On_FileAdded(const std::string& path) { (void)path; }
  virtual void On_FileRemoved(const std::string& path) { (void)path; }
  virtual void On_FileNameChanged(const std::string& oldPath, const std::string& newPath) {
    (void)oldPath;
    (void)newPath;
  }
  virtual void On_FileModified(const std::string& path) { (void)path; }
  // The watch of the tree at directory has ended because of error (an errno value):
  // the tree is no longer watched; other trees are.
  virtual void On_ReadDirectoryChangesError(int error, const std::string& directory) {
    (void)error;
    (void)directory;
  }
  // error 0: every folder of the tree at directory is watched now. Otherwise the
  // watch did not start.
  virtual void On_WatchStarted(int error, const std::string& directory) {
    (void)error;
    (void)directory;
  }
  virtual void On_WatchStopped(const std::string& directory) { (void)directory; }
  // Asked before kinds 1 to 4 are handed on; true lets the change through. secondPath
  // is empty except for a rename.
  virtual bool On_FilterChange(ChangeKind kind, const std::string& path, const std::string& secondPath) {
    (void)kind;
    (void)path;
    (void)secondPath;
    return true;
  }
};
