// The permission bits of files delivered to the user: 0666 less the process's umask.
#pragma once

#include <sys/types.h>

#include "platform/fileenv.h"

// The process's file-mode creation mask, read without changing it (so it is safe
// while other threads create files); 022 when it cannot be read.
mode_t CurrentUmask(FileEnv* env = FileEnv::Default());

// 0666 & ~CurrentUmask(): what a file the user saves would get.
inline mode_t UserFileMode(FileEnv* env = FileEnv::Default()) {
  return static_cast<mode_t>(0666 & ~CurrentUmask(env));
}
