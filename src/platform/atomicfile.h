// Atomic replacement of files. Readers see the old or the new content, never a mix;
// after a crash either version may be found, never a half-written one. Every
// file-system call goes through the FileEnv given.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/fileenv.h"

// A new unused-looking temp path in the target's folder: ".{GUID}.tmp".
std::string TempPathBeside(const std::string& target);

// Writes bytes to a temp file in the target's folder, fsyncs it, renames it over the
// target and fsyncs the folder. The target gets mode (less the umask). False (target
// untouched) on failure, errno set; the temp file is removed.
bool AtomicWriteFile(const std::string& target, const std::string& bytes, mode_t mode = 0600,
                     FileEnv* env = FileEnv::Default());
// The same through a temp path of the caller's choosing, a new name in the target's
// folder, for callers that must recognise their own temp files later.
bool AtomicWriteFileVia(const std::string& target, const std::string& temp, const std::string& bytes,
                        mode_t mode = 0600, FileEnv* env = FileEnv::Default());

// Moves source onto target, replacing it. A regular file is fsynced first (a failing
// fsync fails the move). Within one file system a rename; across
// file systems (a regular file only) a copy to a temp file beside the target that
// keeps the permission bits and times, fsync, rename, fsync of the folder, then the
// source is removed. On failure errno tells the cause and the target is untouched,
// the source too; the one exception is a source that cannot be removed after the
// copy replaced the target: then both hold the data and the call still fails.
bool MoveReplace(const std::string& source, const std::string& target, FileEnv* env = FileEnv::Default());
