#include "core/logicadapter/logicadapter.h"

#include <climits>
#include <cstdlib>
#include <utility>

#include "common/strformat.h"
#include "core/coreassert.h"
#include "core/interfaces/ilocalstorage.h"

namespace {

// Logs "ERROR_CHECK_COM hr = %x: hr" at level 5 and gives hr back.
HRESULT LogComFailure(HRESULT hr) {
  OSTREL_LOG(kLogWarn, "ERROR_CHECK_COM hr = %x: %s", static_cast<unsigned>(hr), "hr");
  return hr;
}

}  // namespace

CLogicAdapter::CLogicAdapter(LogicAdapterCreators creators) : m_creators(std::move(creators)) {}

CLogicAdapter::~CLogicAdapter() = default;

RefPtr<ISyncCenter> CLogicAdapter::SyncCenter() {
  RefPtr<ISyncCenter> syncCenter;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    syncCenter = m_spSyncCenter;
  }
  ASSERT_TEXT(syncCenter, "m_spSyncCenter");
  return syncCenter;
}

RefPtr<IShellAdapter> CLogicAdapter::ShellAdapter() {
  RefPtr<IShellAdapter> shellAdapter;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    shellAdapter = m_spShellAdapter;
  }
  ASSERT_TEXT(shellAdapter, "m_spShellAdapter");
  return shellAdapter;
}

RefPtr<IFileSystem> CLogicAdapter::FileSystem() {
  RefPtr<IFileSystem> fileSystem;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    fileSystem = m_pFileSystem;
  }
  ASSERT_TEXT(fileSystem, "m_pFileSystem");
  return fileSystem;
}

// --- wiring and session ---

HRESULT CLogicAdapter::Init(const std::string& szConfigPath, IMainWindow* pMainWindow) {
  ASSERT_TEXT(!szConfigPath.empty(), "!IsStrEmpty(szConfigPath)");
  RefPtr<IShellAdapter> shellAdapter;
  HRESULT hr = m_creators.createShellAdapter ? m_creators.createShellAdapter(shellAdapter.Receive()) : E_FAIL;
  if (SUCCEEDED(hr) && !shellAdapter) hr = E_FAIL;
  if (FAILED(hr)) return LogComFailure(hr);
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_spShellAdapter = shellAdapter;
  }
  hr = shellAdapter->SetMainWindow(pMainWindow);
  if (FAILED(hr)) return LogComFailure(hr);

  RefPtr<ISyncCenter> syncCenter;
  hr = m_creators.createSyncCenter ? m_creators.createSyncCenter(syncCenter.Receive()) : E_FAIL;
  if (SUCCEEDED(hr) && !syncCenter) hr = E_FAIL;
  if (FAILED(hr)) return LogComFailure(hr);
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_spSyncCenter = syncCenter;
  }
  hr = syncCenter->Init(szConfigPath, shellAdapter.get());
  if (FAILED(hr)) LogComFailure(hr);
  return hr;
}

HRESULT CLogicAdapter::UnInit() {
  RefPtr<ISyncCenter> syncCenter;
  RefPtr<IShellAdapter> shellAdapter;
  RefPtr<IFileSystem> fileSystem;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    syncCenter = m_spSyncCenter;
    shellAdapter = std::move(m_spShellAdapter);
    fileSystem = std::move(m_pFileSystem);
  }
  // No new call reaches the file system from here on; it is released after the sync
  // centre is stopped, with the sync centre's own reference still held.
  ASSERT_TEXT(syncCenter, "m_spSyncCenter");
  HRESULT hr = syncCenter ? syncCenter->Stop() : E_FAIL;
  ASSERT_TEXT(SUCCEEDED(hr), "(((HRESULT)(hr)) >= 0)");
  fileSystem.reset();

  ASSERT_TEXT(shellAdapter, "m_spShellAdapter");
  hr = shellAdapter ? shellAdapter->UnInit() : E_FAIL;
  ASSERT_TEXT(SUCCEEDED(hr), "(((HRESULT)(hr)) >= 0)");

  hr = syncCenter ? syncCenter->UnInit() : E_FAIL;
  ASSERT_TEXT(SUCCEEDED(hr), "(((HRESULT)(hr)) >= 0)");
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_spSyncCenter == syncCenter) m_spSyncCenter.reset();
  }
  // The last references go outside the lock, the sync centre's first: it borrows the
  // shell adapter (its pointer is not referenced).
  syncCenter.reset();
  shellAdapter.reset();
  return hr;
}

HRESULT CLogicAdapter::_GetFileSystem() {
  RefPtr<ISyncCenter> syncCenter = SyncCenter();
  if (!syncCenter) return E_FAIL;
  void* object = nullptr;
  HRESULT hr = syncCenter->GetInterface(IFileSystem::kIID, &object);
  if (SUCCEEDED(hr) && !object) hr = E_FAIL;
  if (FAILED(hr)) return LogComFailure(hr);
  RefPtr<IFileSystem> fileSystem = RefPtr<IFileSystem>::Adopt(static_cast<IFileSystem*>(object));
  std::lock_guard<std::mutex> guard(m_lock);
  m_pFileSystem.swap(fileSystem);
  return hr;  // the one replaced (normally none) is released after the lock
}

HRESULT CLogicAdapter::Login(const std::string& szUserName, const std::string& szPassword, int32_t loginMode) {
  ASSERT_TEXT(!szUserName.empty() && !szPassword.empty(), "!IsStrEmpty(szUserName) && !IsStrEmpty(szPassword)");
  RefPtr<ISyncCenter> syncCenter = SyncCenter();
  if (!syncCenter) return E_FAIL;
  HRESULT hr = syncCenter->Login(szUserName, szPassword, loginMode);
  if (FAILED(hr)) return LogComFailure(hr);
  hr = _GetFileSystem();
  if (FAILED(hr)) LogComFailure(hr);
  return hr;
}

HRESULT CLogicAdapter::TryLogin(int32_t unused) {
  RefPtr<ISyncCenter> syncCenter = SyncCenter();
  if (!syncCenter) return E_FAIL;
  HRESULT hr = syncCenter->TryLogin(unused);
  if (FAILED(hr)) return LogComFailure(hr);
  hr = _GetFileSystem();
  if (FAILED(hr)) LogComFailure(hr);
  return hr;
}

HRESULT CLogicAdapter::UnBind() {
  RefPtr<IFileSystem> fileSystem;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    fileSystem = std::move(m_pFileSystem);
  }
  fileSystem.reset();
  RefPtr<ISyncCenter> syncCenter = SyncCenter();
  return syncCenter ? syncCenter->UnBind() : E_FAIL;
}

bool CLogicAdapter::IsLoggedIn() {
  RefPtr<ISyncCenter> syncCenter = SyncCenter();
  std::string userName;
  return syncCenter && syncCenter->GetUserInfo(&userName, nullptr, nullptr, nullptr) == S_OK;
}

HRESULT CLogicAdapter::GetUserInfo(std::string* userName, std::string* token, std::string* userId,
                                   std::string* nickName) {
  RefPtr<ISyncCenter> syncCenter = SyncCenter();
  return syncCenter ? syncCenter->GetUserInfo(userName, token, userId, nickName) : E_FAIL;
}

std::string CLogicAdapter::GetLocalSyncPath() {
  RefPtr<ISyncCenter> syncCenter = SyncCenter();
  std::string path;
  const HRESULT hr = syncCenter ? syncCenter->GetLocalSyncPath(&path) : E_FAIL;
  ASSERT_TEXT(SUCCEEDED(hr), "(((HRESULT)(hr)) >= 0)");
  return SUCCEEDED(hr) ? path : std::string();
}

std::string CLogicAdapter::GetUserValue(const std::string& name, const std::string& defaultValue) {
  RefPtr<ISyncCenter> syncCenter = SyncCenter();
  std::string value = defaultValue;
  if (syncCenter && FAILED(syncCenter->GetUserValue(&value, name, defaultValue))) value = defaultValue;
  return value;
}

HRESULT CLogicAdapter::SetUserValue(const std::string& name, const std::string& value) {
  RefPtr<ISyncCenter> syncCenter = SyncCenter();
  return syncCenter ? syncCenter->SetUserValue(name, value) : E_FAIL;
}

int32_t CLogicAdapter::GetUserValueInt(const std::string& name) {
  const std::string text = GetUserValue(name, "");
  if (text.empty()) return 0;
  const long long number = std::strtoll(text.c_str(), nullptr, 10);
  if (number > INT32_MAX) return INT32_MAX;
  if (number < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(number);
}

HRESULT CLogicAdapter::SetUserValueInt(const std::string& name, int32_t value) {
  return SetUserValue(name, StringFormat("%d", value));
}

HRESULT CLogicAdapter::CheckProxyServer() {
  RefPtr<ISyncCenter> syncCenter = SyncCenter();
  return syncCenter ? syncCenter->CheckProxyServer() : E_FAIL;
}

// --- the windows ---

HRESULT CLogicAdapter::ShowMessage(const std::string& text, const std::string& caption) {
  RefPtr<IShellAdapter> shellAdapter = ShellAdapter();
  return shellAdapter ? shellAdapter->ShowMessage(text, caption) : E_FAIL;
}

int32_t CLogicAdapter::ShowWizard(const std::string& key, const std::string& text, const std::string& caption,
                                  const std::string& buttons, int32_t defaultAnswer, const std::string& checkText,
                                  int32_t lastValue) {
  RefPtr<IShellAdapter> shellAdapter = ShellAdapter();
  return shellAdapter ? shellAdapter->ShowWizard(key, text, caption, buttons, defaultAnswer, checkText, lastValue)
                      : -1;
}

HRESULT CLogicAdapter::ShowNotify(const std::string& text, const std::string& caption, uint32_t flags,
                                  uint32_t timeoutMs) {
  RefPtr<IShellAdapter> shellAdapter = ShellAdapter();
  return shellAdapter ? shellAdapter->ShowNotify(text, caption, flags, timeoutMs) : S_FALSE;
}

HRESULT CLogicAdapter::ClearLastSnapshot() {
  RefPtr<ISyncCenter> syncCenter = SyncCenter();
  void* object = nullptr;
  if (syncCenter) syncCenter->GetInterface(ILocalStorage::kIID, &object);
  RefPtr<ILocalStorage> spLocalStorage = RefPtr<ILocalStorage>::Adopt(static_cast<ILocalStorage*>(object));
  ASSERT(spLocalStorage);
  return spLocalStorage ? spLocalStorage->ClearLastSnapshot() : E_FAIL;
}

// --- file operations ---

// Each takes a referenced copy of the file system (E_FAIL, or the given value, without
// one), logs the argument assertion, and forwards.
#define WITH_FILE_SYSTEM(failure)                          \
  RefPtr<IFileSystem> fileSystem = FileSystem();           \
  if (!fileSystem) return failure

HRESULT CLogicAdapter::GetMaxVer(std::string* opVer) {
  WITH_FILE_SYSTEM(E_FAIL);
  return fileSystem->GetMaxVer(opVer);
}

HRESULT CLogicAdapter::GetSpaceInfo(int64_t* used, int64_t* total, bool forceRefresh) {
  WITH_FILE_SYSTEM(E_FAIL);
  return fileSystem->GetSpaceInfo(used, total, forceRefresh);
}

HRESULT CLogicAdapter::NewFolder(const std::string& szParentId, const std::string& szFullPath, std::string* fileId) {
  WITH_FILE_SYSTEM(E_FAIL);
  ASSERT_TEXT(!szFullPath.empty(), "szParentId && !IsStrEmpty(szFullPath)");
  return fileSystem->NewFolder(szParentId, szFullPath, fileId);
}

HRESULT CLogicAdapter::Rename(bool isDir, const std::string& szFileId, const std::string& /*szFullPath*/,
                              const std::string& szNewName) {
  WITH_FILE_SYSTEM(E_FAIL);
  ASSERT_TEXT(!szFileId.empty() && !szNewName.empty(), "!IsStrEmpty(szFileId) && !IsStrEmpty(szNewName)");
  return fileSystem->Rename(isDir, szFileId, szNewName);
}

HRESULT CLogicAdapter::Move(bool isDir, const std::string& szFileId, const std::string& szNewParentId) {
  WITH_FILE_SYSTEM(E_FAIL);
  ASSERT_TEXT(!szFileId.empty(), "!IsStrEmpty(szFileId) && szNewParentId");
  return fileSystem->Move(isDir, szFileId, szNewParentId);
}

HRESULT CLogicAdapter::Delete(bool isDir, const std::string& szFileId, const std::string& /*szFullPath*/,
                              ItemSpace space) {
  WITH_FILE_SYSTEM(E_FAIL);
  ASSERT_TEXT(!szFileId.empty(), "!IsStrEmpty(szFileId)");
  return fileSystem->Delete(isDir, szFileId, space);
}

HRESULT CLogicAdapter::OpenFile(const std::string& szFileId, const std::string& szParentId,
                                const std::string& szFullPath, ItemSpace space) {
  WITH_FILE_SYSTEM(E_FAIL);
  ASSERT_TEXT(!szFileId.empty() && !szFullPath.empty(),
              "!IsStrEmpty(szFileId) && szParentId && !IsStrEmpty(szFullPath)");
  return fileSystem->OpenFile(szFileId, szParentId, szFullPath, space);
}

HRESULT CLogicAdapter::DownloadFile(const std::string& szFileId, const std::string& szParentId,
                                    const std::string& szFullPath, const std::string& szDestFilePath, bool async,
                                    ItemSpace space) {
  WITH_FILE_SYSTEM(E_FAIL);
  ASSERT_TEXT(!szFileId.empty() && !szFullPath.empty() && !szDestFilePath.empty(),
              "!IsStrEmpty(szFileId) && szParentId && !IsStrEmpty(szFullPath) && !IsStrEmpty(szDestFilePath)");
  return fileSystem->DownloadFile(szFileId, szParentId, szFullPath, szDestFilePath, async, space);
}

HRESULT CLogicAdapter::UploadFile(const std::string& szFileId, const std::string& szParentId, int64_t fileVer,
                                  const std::string& szFullPath, const std::string& szSrcFilePath, bool async) {
  WITH_FILE_SYSTEM(E_FAIL);
  ASSERT_TEXT(!szFullPath.empty() && !szSrcFilePath.empty(),
              "szParentId && !IsStrEmpty(szFullPath) && !IsStrEmpty(szSrcFilePath)");
  return fileSystem->UploadFile(szFileId, szParentId, fileVer, szFullPath, szSrcFilePath, async);
}

HRESULT CLogicAdapter::DownloadFolder(const std::string& szFileId, const std::string& szParentId,
                                      const std::string& szFullPath, const std::string& szDestFilePath,
                                      int32_t value) {
  WITH_FILE_SYSTEM(E_FAIL);
  ASSERT_TEXT(!szFileId.empty() && !szFullPath.empty() && !szDestFilePath.empty(),
              "!IsStrEmpty(szFileId) && szParentId && !IsStrEmpty(szFullPath) && !IsStrEmpty(szDestFilePath)");
  return fileSystem->DownloadFolder(szFileId, szParentId, szFullPath, szDestFilePath, value);
}

HRESULT CLogicAdapter::UploadFolder(const std::string& szParentId, const std::string& value,
                                    const std::string& szFullPath, const std::string& szSrcFilePath) {
  WITH_FILE_SYSTEM(E_FAIL);
  ASSERT_TEXT(!szFullPath.empty() && !szSrcFilePath.empty(),
              "szParentId && !IsStrEmpty(szFullPath) && !IsStrEmpty(szSrcFilePath)");
  return fileSystem->UploadFolder(szParentId, value, szFullPath, szSrcFilePath);
}

HRESULT CLogicAdapter::GetThumbnail(const std::string& szId, const std::string& cachePath, int32_t height,
                                    int32_t width) {
  WITH_FILE_SYSTEM(E_FAIL);
  ASSERT_TEXT(!szId.empty(), "szId && !IsStrEmpty(szId)");
  return fileSystem->GetThumbnail(szId, cachePath, height, width);
}

HRESULT CLogicAdapter::FullTextSearch(const std::string& szSearchText, int32_t searchType,
                                      std::vector<CFileItemRecord>* items) {
  WITH_FILE_SYSTEM(E_FAIL);
  ASSERT_TEXT(!szSearchText.empty(), "szSearchText && !IsStrEmpty(szSearchText)");
  return fileSystem->FullTextSearch(szSearchText, searchType, items);
}

HRESULT CLogicAdapter::SetFolderViewMode(const std::string& id, int32_t viewMode, int32_t rootKey, ItemSpace space) {
  WITH_FILE_SYSTEM(E_FAIL);
  return fileSystem->SetFolderViewMode(id, viewMode, rootKey, space);
}

int32_t CLogicAdapter::GetFolderViewMode(const std::string& id, int32_t rootKey, ItemSpace space) {
  WITH_FILE_SYSTEM(0);
  return fileSystem->GetFolderViewMode(id, rootKey, space);
}

bool CLogicAdapter::FolderNeedUpdate(const std::string& id, ItemSpace space) {
  WITH_FILE_SYSTEM(true);
  return fileSystem->FolderNeedUpdate(id, space);
}

HRESULT CLogicAdapter::DirMyFile(const std::string& szParentId, const std::string& fullPath,
                                 std::vector<CFileItemRecord>* items, bool forceRefresh) {
  WITH_FILE_SYSTEM(E_FAIL);
  return fileSystem->DirMyFile(szParentId, fullPath, items, forceRefresh);
}

HRESULT CLogicAdapter::DirShareToOther(const std::string& parentId, const std::string& fullPath,
                                       std::vector<CFileItemRecord>* items, bool forceRefresh) {
  WITH_FILE_SYSTEM(E_FAIL);
  return fileSystem->DirShareToOther(parentId, fullPath, items, forceRefresh);
}

HRESULT CLogicAdapter::DirShareToMe(const std::string& parentId, const std::string& fullPath,
                                    std::vector<CFileItemRecord>* items, bool forceRefresh) {
  WITH_FILE_SYSTEM(E_FAIL);
  return fileSystem->DirShareToMe(parentId, fullPath, items, forceRefresh);
}

HRESULT CLogicAdapter::Reserved24() {
  WITH_FILE_SYSTEM(E_FAIL);
  return fileSystem->Reserved24();
}

HRESULT CLogicAdapter::GetItemShareRight(const std::string& id, std::vector<ShareEntry>* entries, ItemSpace space) {
  WITH_FILE_SYSTEM(E_FAIL);
  return fileSystem->GetItemShareRight(id, entries, space);
}

HRESULT CLogicAdapter::GetRecycle(const std::string& szOpVersion, int32_t size, std::vector<CFileItemRecord>* items) {
  WITH_FILE_SYSTEM(E_FAIL);
  return fileSystem->GetRecycle(szOpVersion, size, items);
}

HRESULT CLogicAdapter::CleanRecycle(const std::string& szFileId) {
  WITH_FILE_SYSTEM(E_FAIL);
  return fileSystem->CleanRecycle(szFileId);
}

HRESULT CLogicAdapter::Recover(const std::string& szFileId, const std::string& parentId) {
  WITH_FILE_SYSTEM(E_FAIL);
  return fileSystem->Recover(szFileId, parentId);
}

HRESULT CLogicAdapter::CancelTask(const std::string& taskId) {
  WITH_FILE_SYSTEM(E_FAIL);
  return fileSystem->CancelTask(taskId);
}

HRESULT CLogicAdapter::GetTaskList(std::vector<TaskListEntry>* running, std::vector<TaskListEntry>* finished) {
  WITH_FILE_SYSTEM(E_FAIL);
  return fileSystem->GetTaskList(running, finished);
}

HRESULT CLogicAdapter::RemoveFinishedTask(const std::string& taskId) {
  WITH_FILE_SYSTEM(E_FAIL);
  return fileSystem->RemoveFinishedTask(taskId);
}

HRESULT CLogicAdapter::RetryTask(const std::string& taskId) {
  WITH_FILE_SYSTEM(E_FAIL);
  return fileSystem->RetryTask(taskId);
}

HRESULT CLogicAdapter::GetOpenFileList(std::vector<TaskListEntry>* files) {
  WITH_FILE_SYSTEM(E_FAIL);
  return fileSystem->GetOpenFileList(files);
}

HRESULT CLogicAdapter::RemoveOpenFile(const std::string& fileId) {
  WITH_FILE_SYSTEM(E_FAIL);
  return fileSystem->RemoveOpenFile(fileId);
}

HRESULT CLogicAdapter::ReopenFile(const std::string& fileId) {
  WITH_FILE_SYSTEM(E_FAIL);
  return fileSystem->ReopenFile(fileId);
}

#undef WITH_FILE_SYSTEM
