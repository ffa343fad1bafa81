// The crash-report object of the process: installs the crash handler that writes
// reports to the "dump" folder of the configuration folder, and deletes old reports.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/fileenv.h"

class Clock;

// Deletes old files of one folder.
class COldFileCleaner {
 public:
  // The folder is listed and its files deleted through env, which must outlive the object.
  explicit COldFileCleaner(FileEnv* env = FileEnv::Default()) : m_env(env) {}

  // Files older than this (last write, in seconds) are deleted.
  static constexpr int64_t kMaxAgeSeconds = 259200;

  // Deletes every file (not sub-folder) of the dump folder whose last write lies more
  // than kMaxAgeSeconds before now; a symbolic link is removed, never its target.
  // Returns how many were deleted; nothing happens before a folder is set.
  int CleanOldFiles();

  void SetFolder(const std::string& folder);
  std::string Folder();
  // The clock that tells "now" (nullptr: the system clock); it must outlive its use.
  void SetClock(Clock* clock);

 protected:
  FileEnv* m_env;

 private:
  std::mutex m_mutex;
  std::string m_folder;
  Clock* m_clock = nullptr;
};

class CCrashReport : public COldFileCleaner {
 public:
  explicit CCrashReport(FileEnv* env = FileEnv::Default()) : COldFileCleaner(env) {}

  // Creates the folder "dump/" in rootFolder (0700) and installs the crash handler
  // there. module and reserved are not used; showDialog is logged only (reports are
  // written without asking). False when the folder or the handler cannot be set up.
  bool InstallCrashHandler(void* module, const std::string& exePath, bool showDialog, const std::string& rootFolder,
                           int reserved);

  // Reports are written while enabled (the default); the signal ends the process
  // either way.
  void SetEnabled(bool enabled);
  bool IsEnabled() const { return m_enabled.load(); }

 private:
  std::atomic<bool> m_enabled{true};
};

// The process-wide crash-report object, created on first use, on the real file system.
CCrashReport& GetCrashReporter();

// Reads CrashReport from config.ini in configFolder (default 1); when it is not 0,
// installs the crash handler with the dump folder in configFolder and the
// CrashReportDialog value (default 0) as the dialog flag. config.ini is read through env.
void InitCrashReport(const std::string& configFolder, FileEnv* env = FileEnv::Default());
