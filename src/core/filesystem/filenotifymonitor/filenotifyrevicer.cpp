#include "core/filesystem/filenotifymonitor/filenotifyrevicer.h"

#include "common/log.h"
#include "common/tracestack.h"
#include "core/filesystem/filenotifymonitor/directorychangewatcher.h"

namespace {

// File names, folder names and last writes.
constexpr uint32_t kRevicerFilter = kChangeFileName | kChangeDirName | kChangeLastWrite;

}  // namespace

CFileNotifyRevicer::CFileNotifyRevicer(DirectoryWatchOptions options) : m_options(std::move(options)) {}

CFileNotifyRevicer::~CFileNotifyRevicer() {
  std::shared_ptr<CDirectoryChangeWatcher> watcher;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    watcher.swap(m_watcher);
  }
  if (watcher) watcher->Stop();
}

HRESULT CFileNotifyRevicer::Init(const FileNotifySettings& settings, CDispatcher* dispatcher,
                                 FileNotifyCallBack callback, void* context) {
  if (!dispatcher) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: pDispatcher");
    return E_INVALIDARG;
  }
  if (!callback || settings.roots.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: pFileNotifyCallBack && szMonitorPath");
  std::lock_guard<std::mutex> guard(m_mutex);
  m_settings = settings;
  m_dispatcher = dispatcher;
  m_pFileNotifyCallBack = callback;
  m_context = context;
  return S_OK;
}

HRESULT CFileNotifyRevicer::StartMonitor() {
  HRESULT hr = S_OK;
  TRACE_SCOPE("CFileNotifyRevicer::StartMonitor()", &hr);
  std::shared_ptr<CDirectoryChangeWatcher> watcher;
  std::vector<std::string> roots;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_dispatcher) {
      hr = E_FAIL;
      return hr;
    }
    if (m_watcher && m_watcher->Running()) return hr;
    DirectoryWatchOptions options = m_options;
    options.excluded = m_settings.excluded;
    m_watcher = std::make_shared<CDirectoryChangeWatcher>(m_dispatcher, std::move(options));
    watcher = m_watcher;
    roots = m_settings.roots;
  }
  // A root that cannot be watched is left out; the watcher logs why.
  for (const std::string& root : roots) watcher->WatchDirectory(root, kRevicerFilter, this, true);
  return hr;
}

HRESULT CFileNotifyRevicer::StopMonitor() {
  HRESULT hr = S_OK;
  TRACE_SCOPE("CFileNotifyRevicer::StopMonitor()", &hr);
  std::shared_ptr<CDirectoryChangeWatcher> watcher;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    watcher = m_watcher;
  }
  const bool bRet = watcher && watcher->Running();
  if (watcher) watcher->Stop();
  if (!bRet) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:bRet");
    hr = E_FAIL;
  }
  return hr;
}

void CFileNotifyRevicer::Notify(uint32_t action, const std::string& path, const std::string* newPath) {
  FileNotifyCallBack callback;
  void* context;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    callback = m_pFileNotifyCallBack;
    context = m_context;
  }
  if (!callback) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: m_pFileNotifyCallBack");
    return;
  }
  callback(action, path.c_str(), newPath ? newPath->c_str() : nullptr, context);
}

void CFileNotifyRevicer::On_FileAdded(const std::string& path) { Notify(kFileActionAdded, path, nullptr); }

void CFileNotifyRevicer::On_FileRemoved(const std::string& path) { Notify(kFileActionRemoved, path, nullptr); }

void CFileNotifyRevicer::On_FileNameChanged(const std::string& oldPath, const std::string& newPath) {
  Notify(kFileActionRenamed, oldPath, &newPath);
}

void CFileNotifyRevicer::On_FileModified(const std::string& path) { Notify(kFileActionModified, path, nullptr); }

void CFileNotifyRevicer::On_ReadDirectoryChangesError(int error, const std::string& directory) {
  OSTREL_LOG(kLogError, "CFileNotifyRevicer::On_ReadDirectoryChangesError: err=%d, path=%s", error, directory.c_str());
}

void CFileNotifyRevicer::On_WatchStarted(int error, const std::string& directory) {
  OSTREL_LOG(kLogInfo, "CFileNotifyRevicer::On_WatchStarted:err=%d, path=%s", error, directory.c_str());
}

void CFileNotifyRevicer::On_WatchStopped(const std::string& directory) {
  OSTREL_LOG(kLogInfo, "CFileNotifyRevicer::On_WatchStopped: %s", directory.c_str());
}
