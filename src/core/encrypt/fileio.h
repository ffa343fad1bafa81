// File opening shared by the cipher and packing routines: a source opened for
// reading, and a destination created anew that is never the source itself. Files are
// opened through the FileEnv their PosixFile objects carry.
#pragma once

#include <cstdint>
#include <string>

#include "platform/posixfile.h"

namespace encrypt_io {

// Opens an existing file for reading. False (errno set) when it cannot be opened or
// is not a regular file (a folder, a device).
bool OpenSource(const std::string& path, PosixFile* file);

// Creates the destination (mode 0600 when new) and empties it, unless it is the same
// file as `source` (same device and inode, hard links included): then false with
// errno EINVAL and nothing is truncated. A destination that is not a regular file
// (a device) is opened as it is.
bool CreateDestination(const std::string& path, const PosixFile& source, PosixFile* file);

// The size of an open file; false on failure.
bool FileSize(const PosixFile& file, uint64_t* size);

// True when both paths name one existing file.
bool IsSameFile(const std::string& a, const std::string& b, FileEnv* env = FileEnv::Default());

}  // namespace encrypt_io
