// Atomic replacement of files. Readers see the old or the new content, never a mix;
// after a crash either version may be found, never a half-written one.
#pragma once

#include <string>
#include <sys/types.h>

// Writes bytes to a temp file in the target's folder, fsyncs it, renames it over the
// target and fsyncs the folder. The target gets mode. False (target untouched) on
// failure; the temp file is removed.
bool AtomicWriteFile(const std::string& target, const std::string& bytes, mode_t mode = 0600);

// Moves source onto target, replacing it. Within one file system a rename; across
// file systems a copy to a temp file beside the target, fsync, rename, fsync of the
// folder, then the source is removed. On failure the target is untouched, and the
// source too. errno tells the cause.
bool MoveReplace(const std::string& source, const std::string& target);
