#include "common/crashreport.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "common/config.h"
#include "common/filehelper.h"
#include "common/log.h"
#include "common/strhelper.h"
#include "platform/clock.h"
#include "platform/crashhandler.h"
#include "platform/inifile.h"

namespace {

std::string ExecutablePath(FileEnv* env) {
  std::string path;
  return env->ReadLink("/proc/self/exe", &path) ? path : std::string();
}

}  // namespace

void COldFileCleaner::SetFolder(const std::string& folder) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_folder = folder;
}

std::string COldFileCleaner::Folder() {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_folder;
}

void COldFileCleaner::SetClock(Clock* clock) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_clock = clock;
}

int COldFileCleaner::CleanOldFiles() {
  std::string folder;
  Clock* clock;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    folder = m_folder;
    clock = m_clock ? m_clock : Clock::System();
  }
  if (folder.empty()) return 0;
  AddBackslash(&folder);
  int64_t now = std::chrono::duration_cast<std::chrono::seconds>(clock->Now().time_since_epoch()).count();
  std::vector<FolderEntry> entries;
  m_env->ListFolder(folder, /*followLink=*/true, &entries);
  int deleted = 0;
  for (const FolderEntry& e : entries) {
    std::string path = folder + e.name;
    struct stat st {};
    if (!m_env->Lstat(path, &st) || S_ISDIR(st.st_mode)) continue;
    if (static_cast<int64_t>(st.st_mtim.tv_sec) >= now - kMaxAgeSeconds) continue;
    if (m_env->Unlink(path)) {
      ++deleted;
    } else {
      OSTREL_LOG(kLogWarn, "cannot delete old file %s: %s", path.c_str(), std::strerror(errno));
    }
  }
  return deleted;
}

bool CCrashReport::InstallCrashHandler(void* /*module*/, const std::string& exePath, bool showDialog,
                                       const std::string& rootFolder, int /*reserved*/) {
  std::string dump = JoinPath(rootFolder, "dump/");
  if (FAILED(EnsureDirectory(dump, 0700, m_env))) {
    OSTREL_LOG(kLogError, "crash handler: cannot create the dump folder %s", dump.c_str());
    return false;
  }
  SetFolder(dump);
  SetCrashReportsEnabled(IsEnabled());
  if (!InstallCrashSignalHandler(dump)) {
    OSTREL_LOG(kLogError, "crash handler: cannot be installed for %s", dump.c_str());
    return false;
  }
  OSTREL_LOG(kLogInfo, "crash handler installed for %s, reports in %s (dialog flag %d not used)", exePath.c_str(),
             dump.c_str(), showDialog ? 1 : 0);
  return true;
}

void CCrashReport::SetEnabled(bool enabled) {
  m_enabled.store(enabled);
  SetCrashReportsEnabled(enabled);
}

CCrashReport& GetCrashReporter() {
  // Immortal: the handler may fire while static objects are destroyed.
  static CCrashReport* instance = new CCrashReport();
  return *instance;
}

void InitCrashReport(const std::string& configFolder, FileEnv* env) {
  CIniFile ini(env);
  ini.Load(JoinPath(configFolder, "config.ini"));
  if (ini.GetInt(kIniSectionOstrel, kIniCrashReport, kDefaultCrashReport) == 0) return;
  bool dialog = ini.GetInt(kIniSectionOstrel, kIniCrashReportDialog, kDefaultCrashReportDialog) != 0;
  GetCrashReporter().InstallCrashHandler(nullptr, ExecutablePath(env), dialog, JoinPath(configFolder, ""), 0);
}
