// Whether another program holds a file: the stand-in for opening a file without
// sharing to see whether anyone else has it. Linux lets a file that is open elsewhere
// be replaced or deleted, so callers that must not pull a file out from under a
// program ask here first.
//
// A file counts as held when a process other than this one has it open (a descriptor
// under /proc/<pid>/fd names the same inode) or holds an advisory lock or lease on it
// (/proc/locks: POSIX, OFD and flock locks, leases). Processes whose descriptors this
// process may not read (other users', unless privileged) are seen only through their
// locks. Nothing is opened or locked on the file itself.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/fileenv.h"

enum class FileLockState {
  kMissing,   // no file at the path (or a path element is no folder)
  kUnlocked,  // no other process holds it
  kLocked,    // another process has it open or locked
};

// Probes the file that the path names (a final symbolic link is followed). The scan
// costs one stat per open descriptor of every readable process: call it per decision,
// not in tight loops. The file, /proc/locks and /proc are read through env.
FileLockState ProbeFileLock(const std::string& path, FileEnv* env = FileEnv::Default());

// The parts of the probe, with the process and /proc root as seams for tests.
//
// True when a process under procRoot other than self has a descriptor on (dev, ino).
bool AnyProcessHasOpen(dev_t dev, ino_t ino, pid_t self, const std::string& procRoot = "/proc",
                       FileEnv* env = FileEnv::Default());
// True when the text of /proc/locks lists a lock or lease held (not waited for) on
// (dev, ino) by a process other than self. Lines that cannot be read are skipped.
bool ProcLocksHold(std::string_view procLocks, dev_t dev, ino_t ino, pid_t self);
