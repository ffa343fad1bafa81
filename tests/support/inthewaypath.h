// What a test plants where a folder is expected, to see that nothing goes through it or
// into it: a link to another folder, a regular file, a fifo.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/testenv.h"

enum class InTheWay { kNothing, kLink, kFile, kFifo };

// The content of a planted file.
inline constexpr char kInTheWayFile[] = "mine";

// Plants kind at path (a link to linkTarget); the folder path lies in must exist. Fails
// the test when it cannot.
inline void PlantInTheWay(InTheWay kind, const std::string& path, const std::string& linkTarget) {
  switch (kind) {
    case InTheWay::kNothing:
      break;
    case InTheWay::kLink:
      ASSERT_EQ(0, symlink(linkTarget.c_str(), path.c_str())) << path;
      break;
    case InTheWay::kFile:
      WriteFileBytes(path, kInTheWayFile);
      break;
    case InTheWay::kFifo:
      ASSERT_EQ(0, mkfifo(path.c_str(), 0600)) << path;
      break;
  }
}

// True when what was planted at path is still there as it was (kNothing: anything).
inline bool StillInTheWay(InTheWay kind, const std::string& path) {
  struct stat st {};
  if (kind == InTheWay::kNothing) return true;
  if (lstat(path.c_str(), &st) != 0) return false;
  switch (kind) {
    case InTheWay::kLink:
      return S_ISLNK(st.st_mode);
    case InTheWay::kFile:
      return S_ISREG(st.st_mode) && ReadFileBytes(path) == kInTheWayFile;
    case InTheWay::kFifo:
      return S_ISFIFO(st.st_mode);
    default:
      return true;
  }
}
