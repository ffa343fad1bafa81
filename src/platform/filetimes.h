// File times from statx: the birth time where the file system keeps one, else the
// last-write time in its place.
#pragma once

#include <cstdint>
#include <string>

#include "platform/fileenv.h"

struct FileTimes {
  int64_t birthSec = 0, birthNsec = 0;      // creation time (mtime when none is kept)
  int64_t modifySec = 0, modifyNsec = 0;    // last write
  int64_t accessSec = 0, accessNsec = 0;    // last access
  bool hasBirth = false;
};

// Does not follow a final symbolic link; the status is read through env. False with
// errno set on failure.
bool GetFileTimes(const std::string& path, FileTimes* times, FileEnv* env = FileEnv::Default());
