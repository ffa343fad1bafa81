// Atomic replacement of files. Readers see the old or the new content, never a mix;
// after a crash either version may be found, never a half-written one. Every
// file-system call goes through the FileEnv given.
//
// Durability: a call returns true only once every folder it changed was fsynced (a
// file system that does not sync folders, EINVAL, counts as synced), so the change
// survives a power loss. When a folder cannot be synced the call returns false with
// errno from the fsync (EIO, ...) although the change has happened: the target holds
// the new content (what is left of a moved source is told at MoveReplace), but after
// a power loss the old content (or no file, for a new target) may be found again. So
// a false never promises an untouched target: a caller must keep what it needs to
// make the change again and must not remove the only other copy of the data.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/fileenv.h"

// A new unused-looking temp path in the target's folder: ".{GUID}.tmp".
std::string TempPathBeside(const std::string& target);

// Writes bytes to a temp file in the target's folder, fsyncs it, renames it over the
// target and fsyncs the folder. The target gets mode (less the umask). False with
// errno set on failure, the temp file removed: the target untouched, except when the
// folder could not be synced after the rename (see Durability above).
bool AtomicWriteFile(const std::string& target, const std::string& bytes, mode_t mode = 0600,
                     FileEnv* env = FileEnv::Default());
// The same through a temp path of the caller's choosing, a new name in the target's
// folder, for callers that must recognise their own temp files later.
bool AtomicWriteFileVia(const std::string& target, const std::string& temp, const std::string& bytes,
                        mode_t mode = 0600, FileEnv* env = FileEnv::Default());

// Moves source onto target, replacing it. A regular file is fsynced first (a failing
// fsync fails the move). Within one file system a rename, then an fsync of the
// target's folder and of the source's when it is another; across file systems (a
// regular file only) a copy to a temp file beside the target that keeps the
// permission bits and times, fsync, rename, fsync of the target's folder, then the
// source is removed and its folder fsynced. On failure errno tells the cause and the
// target is untouched, the source too, with these exceptions:
//  - a folder that cannot be synced after the rename (see Durability above): the
//    target holds the data, but the move may not survive a power loss; the source
//    name is gone after a rename within one file system, kept after a copy whose
//    target folder was not synced, gone when only the source's folder was not synced;
//  - a source that cannot be removed after the copy replaced the target: both hold
//    the data.
bool MoveReplace(const std::string& source, const std::string& target, FileEnv* env = FileEnv::Default());
