// The knobs of the folder watcher, each with its default. Tests inject the file
// system, the inotify instance, a small watch cap and a hook that holds the reader.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/inotify.h"

class FileEnv;

struct DirectoryWatchOptions {
  // Lists the watched folders and reads their times; never follows a link.
  // nullptr: FileEnv::Default().
  FileEnv* env = nullptr;
  // Opens the one inotify instance of the watcher, with the cap below. Empty:
  // OpenInotify.
  std::function<std::unique_ptr<CInotify>(size_t maxWatches)> openInotify;
  // The most watches (one per folder) held at once, below the system's own table
  // (fs.inotify.max_user_watches). A tree that needs more ends its watch (kind 5,
  // ENOSPC); the others stay watched.
  size_t maxWatches = CInotify::kNoWatchCap;
  // Folders never watched, with everything below them (full paths, no trailing "/").
  std::vector<std::string> excluded;
  // How long the first half of a move (out of a watched folder) waits for its second
  // half once no more changes are queued; without one it is a removal.
  std::chrono::milliseconds renamePairWait{50};
  // Bytes read from the change queue at once.
  size_t readBufferBytes = 64 * 1024;
  // Folders the start-up walk of a tree watches between two reads of the queue.
  size_t walkSlice = 256;
  // The most paths remembered as reported since the queue was last empty (they keep
  // a scan from reporting again what an event reported, and the other way round).
  size_t recentRecordCap = 65536;
  // Test hook: called on the worker thread before each read of the queue; it may
  // block, holding the reader while changes pile up in the system's queue.
  std::function<void()> beforeRead;
  // Test hook: called on the worker thread before each slice of a start-up walk; it
  // may block, holding the walk.
  std::function<void()> beforeWalkSlice;
};
