// One inotify instance, in place of reading a directory's changes: watches on
// folders, read as a stream of inotify_event records. The folder watcher (one per
// process) holds one instance for every folder it watches.
//
// The system keeps a table of watches per user (fs.inotify.max_user_watches); when it
// is full, AddWatch fails with ENOSPC. An instance may carry a cap of its own on the
// watches it holds, so that tests meet a full table without filling the machine's:
// past the cap AddWatch fails with ENOSPC as well, and nothing else changes.
//
// The descriptor is non-blocking and close-on-exec. One thread at a time uses an
// instance (the watcher's worker thread); Fd may be polled from that thread only.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class CInotify {
 public:
  // No cap of the instance's own.
  static constexpr size_t kNoWatchCap = static_cast<size_t>(-1);

  CInotify() = default;
  // Closes the descriptor; the system removes every watch with it.
  virtual ~CInotify() = default;
  CInotify(const CInotify&) = delete;
  CInotify& operator=(const CInotify&) = delete;

  // The descriptor to poll: readable while events wait.
  virtual int Fd() const = 0;
  // inotify_add_watch(2): the watch descriptor, or -1 with errno. A path watched
  // already gives its watch descriptor again (EEXIST with IN_MASK_CREATE). ENOSPC when
  // the system's table or the instance's cap is full.
  virtual int AddWatch(const std::string& path, uint32_t mask) = 0;
  // inotify_rm_watch(2). An IN_IGNORED record for wd follows in the stream.
  virtual bool RemoveWatch(int wd) = 0;
  // Reads whole records without waiting: the byte count, or -1 with errno (EAGAIN when
  // none wait; EINVAL when size cannot hold the next record).
  virtual ssize_t Read(void* buffer, size_t size) = 0;
  // The watches the instance holds now: added, and neither removed nor reported
  // IN_IGNORED by a Read.
  virtual size_t WatchCount() const = 0;
};

// Opens an instance with a cap on its watches (kNoWatchCap: only the system's
// table). nullptr with errno when the system refuses (EMFILE: fs.inotify.
// max_user_instances is reached).
std::unique_ptr<CInotify> OpenInotify(size_t maxWatches = CInotify::kNoWatchCap);

// One record of the stream. name is empty for records about the watched folder
// itself and for IN_Q_OVERFLOW; it points into the buffer it was parsed from.
struct InotifyRecord {
  int wd = -1;
  uint32_t mask = 0;
  uint32_t cookie = 0;
  std::string_view name;
};

// Calls fn for every record of a buffer filled by Read, in order. Never reads past
// size: false (after the whole records before it) when the buffer ends inside a record.
bool ForEachInotifyRecord(const void* buffer, size_t size, const std::function<void(const InotifyRecord&)>& fn);
