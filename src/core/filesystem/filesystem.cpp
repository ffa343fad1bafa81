// CFileSystem: creation, life cycle, the quota and version queries, and the slots that
// forward to the local storage or the task manager.
#include "core/filesystem/filesystem.h"

#include <limits>
#include <new>
#include <vector>

#include "common/checks.h"
#include "common/strhelper.h"
#include "common/tracestack.h"
#include "core/interfaces/createtaskdata.h"

HRESULT CreateFileSystem(IFileSystem** ppObj) { return CreateFileSystem(ppObj, FileSyncOptions()); }

HRESULT CreateFileSystem(IFileSystem** ppObj, const FileSyncOptions& options) {
  ASSERT(ppObj);
  if (!ppObj) return E_FAIL;
  CFileSystem* pFileSystem = new (std::nothrow) CFileSystem(options);
  ERROR_CHECK_BOOLEX(pFileSystem);
  pFileSystem->AddRef();
  *ppObj = pFileSystem;
  return S_OK;
}

CFileSystem::CFileSystem(const FileSyncOptions& options)
    : m_env(options.env ? options.env : FileEnv::Default()),
      m_spFileSyncMgr(std::make_shared<CFileSyncMgr>(options)) {}

CFileSystem::~CFileSystem() { m_spFileSyncMgr->UnInit(); }

HRESULT CFileSystem::Init(ISyncCenter* syncCenter, ILocalStorage* localStorage, IRemoteStorage* remoteStorage,
                          ITaskMgr* taskMgr) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE("CFileSystem::Init()", &hr);
  if (!(syncCenter && localStorage && remoteStorage && taskMgr)) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: pSyncCenter && pLocalStorage && pRemoteStorage && pTaskMgr");
    return hr = E_POINTER;
  }
  if (m_spLocalStorage || m_spTaskMgr) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: !m_pLocalStorage && !m_pTaskMgr");
    return hr = E_FAIL;
  }

  m_pSyncCenter = syncCenter;
  m_spLocalStorage = RefPtr<ILocalStorage>(localStorage);
  m_spTaskMgr = RefPtr<ITaskMgr>(taskMgr);
  {
    std::lock_guard<std::mutex> guard(m_spaceLock);
    m_nUsedSpace = m_nTotalSpace = -1;
  }
  hr = syncCenter->GetUserInfo(nullptr, &m_strToken, nullptr, nullptr);
  if (hr != S_OK) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:hr == S_OK");
    return hr = E_FAIL;
  }
  hr = m_spFileSyncMgr->Init(syncCenter, localStorage, remoteStorage, taskMgr);
  if (FAILED(hr)) {
    OSTREL_LOG(kLogWarn, "ERROR_CHECK_COM hr = %x: hr", static_cast<unsigned>(hr));
    return hr;
  }

  // A fresh answer: when the service's versions are behind the stored ones (a faulty
  // answer stored before, a restored service), they are taken and every stored listing
  // goes stale.
  hr = RefreshCacheVersion(true, true, FileSystemTries::kOperation, VersionStore::kAdopt);
  return hr;
}

HRESULT CFileSystem::UnInit() {
  HRESULT hr = S_OK;
  TRACE_SCOPE("CFileSystem::UnInit()", &hr);
  {
    std::lock_guard<std::mutex> guard(m_spaceLock);
    m_nUsedSpace = m_nTotalSpace = -1;
  }
  hr = m_spFileSyncMgr->UnInit();
  return hr;
}

HRESULT CFileSystem::RunTask(TaskDataBase* record, RecordTree* reply, int32_t tries) {
  TaskDataPtr<TaskDataBase> owned(record);
  if (!m_spTaskMgr) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: m_pTaskMgr");
    return E_FAIL;
  }
  HRESULT hr = m_spTaskMgr->ExecuteTask(record, reply, tries);
  if (FAILED(hr)) OSTREL_LOG(kLogWarn, "ERROR_CHECK_COM hr = %x: hr", static_cast<unsigned>(hr));
  return hr;
}

namespace {

// The reply's version under key; false, with a log line, when it is not one.
bool ReadVersion(const RecordTree& reply, const char* key, int64_t* version) {
  const std::string text = reply.GetValue(key);
  if (ParseServiceVersion(text, version)) return true;
  OSTREL_LOG(kLogWarn, "CFileSystem: the service's %s \"%s\" is not a version; nothing stored", key, text.c_str());
  return false;
}

}  // namespace

HRESULT CFileSystem::RefreshCacheVersion(bool opVer, bool shareVer, int32_t tries, VersionStore how) {
  RecordTree reply;
  HRESULT hr = RunTask(CreateTaskData_GetRemoteOptVer(Token()), &reply, tries);
  if (FAILED(hr)) return hr;
  int64_t op = 0, share = 0;
  const bool opValid = !opVer || ReadVersion(reply, "opVer", &op);
  const bool shareValid = !shareVer || ReadVersion(reply, "shareVer", &share);
  hr = opValid && shareValid ? S_OK : E_FAIL;
  std::vector<HRESULT> stored;
  if (how == VersionStore::kAdopt) {
    if (opValid && shareValid) stored.push_back(m_spLocalStorage->AdoptServiceVersions(op, share));
  } else {
    // A late answer never lowers what is stored (the local storage keeps the higher).
    if (opVer && opValid) stored.push_back(m_spLocalStorage->SetCurCacheVesion(op));
    if (shareVer && shareValid) stored.push_back(m_spLocalStorage->SetCurShareCacheVesion(share));
  }
  for (HRESULT hrStore : stored) {
    if (FAILED(hrStore)) {
      OSTREL_LOG(kLogError, "%s", "*ASSERT*: (((HRESULT)(hr)) >= 0)");
      if (SUCCEEDED(hr)) hr = hrStore;
    }
  }
  return hr;
}

HRESULT CFileSystem::GetMaxVer(std::string* opVer) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE("CFileSystem::GetMaxVer()", &hr);
  if (!opVer) return hr = E_POINTER;
  RecordTree reply;
  hr = RunTask(CreateTaskData_GetMaxVer(Token()), &reply, FileSystemTries::kOperation);
  if (FAILED(hr)) return hr;
  const std::string text = reply.GetValue("opVer");
  int64_t version = 0;
  if (!ParseServiceVersion(text, &version)) {
    OSTREL_LOG(kLogWarn, "CFileSystem::GetMaxVer(): the service's opVer \"%s\" is not a version", text.c_str());
    return hr = E_FAIL;
  }
  *opVer = text;
  return hr;
}

HRESULT CFileSystem::GetSpaceInfo(int64_t* used, int64_t* total, bool forceRefresh) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CFileSystem::GetSpaceInfo()", &hr, "bForceRefress = %d", forceRefresh ? 1 : 0);
  if (!used || !total) return hr = E_POINTER;
  bool known = false;
  {
    std::lock_guard<std::mutex> guard(m_spaceLock);
    known = m_nUsedSpace != -1;
  }
  if (!known || forceRefresh) {
    RecordTree reply;
    hr = RunTask(CreateTaskData_GetSpace(Token()), &reply, FileSystemTries::kListing);
    if (FAILED(hr)) return hr;
    int64_t newUsed = 0, newTotal = 0;
    const std::string usedText = reply.GetValue("used"), totalText = reply.GetValue("total");
    constexpr uint64_t kMax = std::numeric_limits<int64_t>::max();
    if (!ParsePlainDecimal(usedText, kMax, &newUsed) || !ParsePlainDecimal(totalText, kMax, &newTotal)) {
      OSTREL_LOG(kLogWarn, "CFileSystem::GetSpaceInfo(): the service's used \"%s\" or total \"%s\" is not a size",
                 usedText.c_str(), totalText.c_str());
      return hr = E_FAIL;
    }
    std::lock_guard<std::mutex> guard(m_spaceLock);
    m_nUsedSpace = newUsed;
    m_nTotalSpace = newTotal;
  }
  std::lock_guard<std::mutex> guard(m_spaceLock);
  *used = m_nUsedSpace;
  *total = m_nTotalSpace;
  return hr = S_OK;
}

HRESULT CFileSystem::SetFolderViewMode(const std::string& id, int32_t viewMode, int32_t rootKey, ItemSpace space) {
  if (!m_spLocalStorage) return E_FAIL;
  return m_spLocalStorage->SetFolderViewMode(id, viewMode, rootKey, space);
}

int32_t CFileSystem::GetFolderViewMode(const std::string& id, int32_t rootKey, ItemSpace space) {
  if (!m_spLocalStorage) return 0;
  return m_spLocalStorage->GetFolderViewMode(id, rootKey, space);
}

bool CFileSystem::FolderNeedUpdate(const std::string& id, ItemSpace space) {
  if (!m_spLocalStorage) return true;
  return m_spLocalStorage->FolderNeedUpdate(id, space);
}

HRESULT CFileSystem::GetItemShareRight(const std::string& id, std::vector<ShareEntry>* entries, ItemSpace space) {
  if (!entries) return E_POINTER;
  if (!m_spLocalStorage) return E_FAIL;
  return m_spLocalStorage->GetItemShareRight(id, entries, space);
}

HRESULT CFileSystem::Reserved24() {
  OSTREL_LOG(kLogError, "%s", "*ASSERT*: 0");
  return S_OK;
}

HRESULT CFileSystem::Reserved32() {
  OSTREL_LOG(kLogError, "%s", "*ASSERT*: 0");
  return S_OK;
}

// --- the task manager's background tasks -----------------------------------------

HRESULT CFileSystem::CancelTask(const std::string& taskId) {
  if (!m_spTaskMgr) return E_FAIL;
  return m_spTaskMgr->CancelTask(taskId);
}

HRESULT CFileSystem::GetTaskList(std::vector<TaskListEntry>* running, std::vector<TaskListEntry>* finished) {
  if (!m_spTaskMgr) return E_FAIL;
  HRESULT hr = S_OK;
  if (running) hr = m_spTaskMgr->GetTaskList(false, running);
  if (SUCCEEDED(hr) && finished) hr = m_spTaskMgr->GetTaskList(true, finished);
  return hr;
}

HRESULT CFileSystem::RemoveFinishedTask(const std::string& taskId) {
  if (!m_spTaskMgr) return E_FAIL;
  return m_spTaskMgr->RemoveFinishedTask(taskId);
}

// --- the file sync manager's -----------------------------------------------------

HRESULT CFileSystem::RetryTask(const std::string& taskId) { return m_spFileSyncMgr->RetryTask(taskId); }

HRESULT CFileSystem::GetOpenFileList(std::vector<TaskListEntry>* files) {
  return m_spFileSyncMgr->GetOpenFileList(files);
}

HRESULT CFileSystem::RemoveOpenFile(const std::string& fileId) { return m_spFileSyncMgr->RemoveOpenFile(fileId); }

HRESULT CFileSystem::GetOpenFileInfo(const std::string& fileId, std::string* localPath, std::string* fullPath,
                                     int64_t* fileVer) {
  return m_spFileSyncMgr->GetOpenFileInfo(fileId, localPath, fullPath, fileVer);
}

HRESULT CFileSystem::ReopenFile(const std::string& fileId) { return m_spFileSyncMgr->ReopenFile(fileId); }
