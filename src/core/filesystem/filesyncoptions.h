// What the creator of a file system may set in place of the defaults of its file sync
// manager: the pace of the watch of opened files, the clock it reads, how it learns
// whether another program holds a file, and the file system every local step goes
// through, so that tests run in milliseconds and inject file faults.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "core/filesystem/filesyncnotify.h"
#include "platform/clock.h"
#include "platform/fileenv.h"
#include "platform/lockprobe.h"

struct FileSyncOptions {
  // How often the watch thread looks at the opened files. kWaitForever: never by
  // itself (a test then calls CFileSyncMgr::CheckEditedFiles).
  std::chrono::milliseconds watchPeriod{1500};
  // How long a file that no other program holds must stay so, on the clock, before its
  // editing counts as over (a program that saves by closing and opening again lets go
  // of the file for a moment).
  std::chrono::milliseconds releaseWait{5000};
  // The first passes, during which a file found held by another program turns its
  // entry from following the program to following the file's lock.
  uint32_t lockPasses = 5;
  // How long UnInit waits for the watch thread.
  std::chrono::milliseconds stopWait{5000};
  // The clock of releaseWait; null: Clock::System().
  Clock* clock = nullptr;
  // Every local file step; null: FileEnv::Default().
  FileEnv* env = nullptr;
  // Whether another program holds the file; empty: ProbeFileLock through env.
  std::function<FileLockState(const std::string& path)> probeLock;
  // The watch for drag and copy markers.
  FileNotifyOptions notify;
};
