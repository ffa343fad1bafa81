#include "core/filesystem/filesyncnotify.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "common/config.h"
#include "common/configfolder.h"
#include "common/log.h"
#include "core/filesystem/cachefiles.h"
#include "core/filesystem/filenotifymonitor/watchroots.h"
#include "core/filesystem/filesyncmgr.h"
#include "core/interfaces/isynccenter.h"
#include "platform/clock.h"
#include "platform/dispatcher.h"
#include "platform/fileenv.h"
#include "platform/registrystore.h"
#include "shell/ishelladapter.h"

namespace {

// The setting may name many folders: it is read whole.
constexpr size_t kWatchRootsChars = 64 * 1024;

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string ParentFolder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// path is folder itself or lies below it.
bool IsAtOrBelow(const std::string& path, const std::string& folder) {
  return path == folder || IsPathInFolder(path, folder);
}

}  // namespace

std::vector<std::string> ParseWatchRoots(const std::string& value) {
  std::vector<std::string> roots;
  size_t at = 0;
  while (at <= value.size()) {
    size_t end = value.find(':', at);
    if (end == std::string::npos) end = value.size();
    const std::string entry = value.substr(at, end - at);
    if (!entry.empty() && entry[0] == '/') {
      roots.push_back(WithoutTrailingSlash(entry));
    } else if (!entry.empty()) {
      OSTREL_LOG(kLogWarn, "CFileSyncMgr: the watched folder \"%s\" is not an absolute path; it is left out",
                 entry.c_str());
    }
    at = end + 1;
  }
  return roots;
}

std::vector<std::string> ConfiguredWatchRoots(CConfig& config) {
  std::string value;
  config.GetString(&value, kIniSectionOstrel, kIniWatchRoots, "", kWatchRootsChars);
  std::vector<std::string> roots = ParseWatchRoots(value);
  return roots.empty() ? DefaultWatchRoots() : roots;
}

CFileSyncNotify::CFileSyncNotify(FileNotifyOptions options, Clock* clock, FileEnv* env)
    : m_options(std::move(options)), m_clock(clock), m_env(env), m_revicer([&] {
        DirectoryWatchOptions watch = m_options.watch;
        if (!watch.env) watch.env = env;
        return watch;
      }()) {}

CFileSyncNotify::~CFileSyncNotify() { Stop(); }

HRESULT CFileSyncNotify::Start(FileNotifyCallBack callback, void* context, ISyncCenter* syncCenter,
                               const std::string& cacheFolder) {
  if (m_started.exchange(true) || m_stopping.load()) return E_FAIL;
  m_pSyncCenter = syncCenter;
  m_cacheFolder = cacheFolder;
  CDispatcher* dispatcher = m_options.dispatcher;
  if (!dispatcher) dispatcher = CDispatcher::OfCurrentThread();
  if (!dispatcher) dispatcher = CDispatcher::OfMainThread();
  if (!dispatcher) {
    OSTREL_LOG(kLogWarn, "%s",
               "CFileSyncMgr: no dispatcher runs on this thread or the main thread; drag and copy markers are not "
               "watched");
    return S_OK;
  }
  // The client's own writes land here; watching them would flood the watch.
  for (const std::string& folder : {GetConfigFolder(m_env), ParentFolder(CRegistryStore::DefaultPath()), cacheFolder}) {
    const std::string excluded = WithoutTrailingSlash(folder);
    if (!excluded.empty() && excluded[0] == '/' && excluded != "/") m_excluded.push_back(excluded);
  }
  const std::vector<std::string> configured =
      m_options.roots.empty() ? ConfiguredWatchRoots(CConfig::Instance()) : m_options.roots;
  FileNotifySettings settings;
  settings.excluded = m_excluded;
  for (const std::string& configuredRoot : configured) {
    const std::string root = WithoutTrailingSlash(configuredRoot);
    bool left = false;
    for (const std::string& excluded : m_excluded) left = left || IsAtOrBelow(root, excluded);
    if (left) {
      OSTREL_LOG(kLogInfo, "CFileSyncMgr: %s holds the client's own files; it is not watched", root.c_str());
    } else {
      settings.roots.push_back(root);
    }
  }
  HRESULT hr = m_revicer.Init(settings, dispatcher, callback, context);
  if (SUCCEEDED(hr)) hr = m_revicer.StartMonitor();
  if (FAILED(hr)) {
    OSTREL_LOG(kLogError, "ERROR_CHECK_COM hr = %x: hr", static_cast<unsigned>(hr));
    return hr;
  }
  m_watching = true;
  return S_OK;
}

HRESULT CFileSyncNotify::Stop() {
  m_stopping = true;
  if (!m_watching.exchange(false)) return S_OK;
  const HRESULT hr = m_revicer.StopMonitor();
  if (FAILED(hr)) OSTREL_LOG(kLogError, "%s", "*ASSERT*: (((HRESULT)(hr)) >= 0)");
  return hr;
}

void CFileSyncNotify::OnFileNotify(uint32_t action, const std::string& path) {
  if (action != kFileActionAdded || path.empty()) return;
  if (IsPathInFolder(path, m_cacheFolder)) return;
  if (path.find(kDragDataMarker) != std::string::npos) {
    HandOn(path);
  } else if (path.find(kCopyDataMarker) != std::string::npos) {
    m_clock->SleepFor(m_options.copyMarkerDelay);
    if (m_stopping.load()) {
      OSTREL_LOG(kLogInfo, "CFileSyncMgr: the watch stopped; the marker %s is not handed on", path.c_str());
      return;
    }
    HandOn(path);
  }
}

bool CFileSyncNotify::IsOwnMarker(const std::string& path) {
  struct stat st {};
  if (!m_env->Lstat(path, &st)) {
    OSTREL_LOG(kLogInfo, "CFileSyncMgr: the marker %s is gone, error %d", path.c_str(), errno);
    return false;
  }
  const int64_t own = m_options.ownUser >= 0 ? m_options.ownUser : static_cast<int64_t>(::geteuid());
  if (!S_ISREG(st.st_mode) || static_cast<int64_t>(st.st_uid) != own) {
    OSTREL_LOG(kLogWarn, "CFileSyncMgr: %s is not a file of this user (owner %u); it is ignored", path.c_str(),
               static_cast<unsigned>(st.st_uid));
    return false;
  }
  return true;
}

void CFileSyncNotify::HandOn(const std::string& path) {
  if (!m_pSyncCenter || !IsOwnMarker(path)) return;
  void* object = nullptr;
  const HRESULT hr = m_pSyncCenter->GetInterface(IID_IShellAdapter, &object);
  if (FAILED(hr) || !object) {
    OSTREL_LOG(kLogWarn, "ERROR_CHECK_COM hr = %x: hr", static_cast<unsigned>(FAILED(hr) ? hr : E_NOINTERFACE));
    return;
  }
  RefPtr<IShellAdapter> shell = RefPtr<IShellAdapter>::Adopt(static_cast<IShellAdapter*>(object));
  shell->OnDragDataFile(path);
}

int CFileSyncMgr::_OnFileNotify(uint32_t action, const char* path, const char* newPath, void* context) {
  (void)newPath;
  auto* self = static_cast<CFileSyncMgr*>(context);
  if (self && path) self->m_notify.OnFileNotify(action, path);
  return 0;
}
