#include "core/synccenter.h"

#include <new>
#include <utility>

#include "common/filehelper.h"
#include "common/recordtree.h"
#include "common/registry.h"
#include "common/tracestack.h"
#include "core/coreassert.h"

CSyncCenter::CSyncCenter(CoreComponentFactory factory, FileEnv* env)
    : m_factory(std::move(factory)), m_env(env ? env : FileEnv::Default()) {}

CSyncCenter::~CSyncCenter() {
  // The reverse order of the members; the shell adapter is not ours to release.
  m_spFileSystem.reset();
  m_spTaskMgr.reset();
  m_spRemoteStorage.reset();
  m_spLocalStorage.reset();
  m_spEventCenter.reset();
}

std::string CSyncCenter::_UserId() {
  std::lock_guard<std::mutex> guard(m_userLock);
  return m_strUserId;
}

void CSyncCenter::_SetUserId(const std::string& userId) {
  std::lock_guard<std::mutex> guard(m_userLock);
  m_strUserId = userId;
}

std::string CSyncCenter::_ReadUserValue(const char* name) {
  std::string value;
  GetRegValue(&value, _UserId(), name, "", false, m_env);
  return value;
}

bool CSyncCenter::_PathExists(const std::string& path) {
  struct stat st;
  return !path.empty() && m_env->Stat(path, &st);
}

uint32_t CSyncCenter::_LoginMode() { return GetRegDWORD("", kRegLoginMode, 0, false, m_env); }

// --- life ---

HRESULT CSyncCenter::Init(const std::string& configFolder, IShellAdapter* shellAdapter) {
  HRESULT hr = S_OK;
  TRACE_SCOPE("CSyncCenter::Init()", &hr);
  ASSERT_TEXT(!configFolder.empty() && shellAdapter, "!IsStrEmpty(szConfigPath) && pShellAdpater");
  ASSERT_TEXT(!m_pShellAdapter.load(), "!m_pShellAdapter");
  m_pathConfigRoot = configFolder;
  m_pShellAdapter = shellAdapter;
  hr = configFolder.empty() ? E_FAIL : EnsureDirectory(configFolder, 0700, m_env);
  ERROR_CHECK_COM_MSG(hr, "%s", "szConfigPath no Exist, Nuvra want to CreateDir Failed!");
  return hr;
}

HRESULT CSyncCenter::UnInit() {
  HRESULT hr = S_OK;
  TRACE_SCOPE("CSyncCenter::UnInit()", &hr);
  {
    std::lock_guard<std::mutex> guard(m_loginLock);
    hr = _UnInitUserEnv();
  }
  ASSERT_TEXT(SUCCEEDED(hr), "(((HRESULT)(hr)) >= 0)");
  return hr;
}

// --- per-user values ---

HRESULT CSyncCenter::GetUserValue(std::string* value, const std::string& name, const std::string& defaultValue) {
  const std::string userId = _UserId();
  ASSERT_TEXT(!userId.empty(), "!m_strUserId.IsEmpty()");
  if (!value) return E_POINTER;
  GetRegValue(value, userId, name, defaultValue, false, m_env);
  return S_OK;
}

HRESULT CSyncCenter::SetUserValue(const std::string& name, const std::string& value) {
  const std::string userId = _UserId();
  ASSERT_TEXT(!userId.empty(), "!m_strUserId.IsEmpty()");
  return SetRegString(userId, name, value, m_env);
}

HRESULT CSyncCenter::GetLocalSyncPath(std::string* path) {
  const std::string syncPath = _GetLocalSyncPath();
  ASSERT_TEXT(!syncPath.empty(), "_GetLocalSyncPath().GetLength() > 0");
  if (!path) return E_POINTER;
  *path = syncPath;
  return S_OK;
}

HRESULT CSyncCenter::GetUserInfo(std::string* userName, std::string* token, std::string* userId,
                                 std::string* nickName) {
  if (!m_fLoggedin) return S_FALSE;
  const std::string id = _UserId();
  if (userName) GetRegValue(userName, id, kRegUserName, "", false, m_env);
  if (token) GetRegValue(token, id, kRegToken, "", false, m_env);
  if (userId) *userId = id;
  if (nickName) GetRegValue(nickName, id, kRegNickName, "", false, m_env);
  return S_OK;
}

// --- state record ---

HRESULT CSyncCenter::GetState(NuvraState* pNuvraState) {
  ASSERT(pNuvraState);
  if (!pNuvraState) return E_POINTER;
  *pNuvraState = m_state.GetState();
  return S_OK;
}

HRESULT CSyncCenter::PostState(const NuvraState* state, bool queue) {
  if (!state) return E_POINTER;
  m_state.PostState(*state, queue);
  return S_OK;
}

HRESULT CSyncCenter::PostEvent(uint32_t kind, RecordTree* info, bool queue) {
  const NuvraState state = BuildEventState(kind, info);
  return PostState(&state, queue);
}

HRESULT CSyncCenter::SetOverrideState(const NuvraState* state) {
  if (!state) return E_POINTER;
  m_state.SetOverrideState(*state);
  return S_OK;
}

HRESULT CSyncCenter::ClearOverrideState() {
  m_state.ClearOverrideState();
  return S_OK;
}

// --- components ---

HRESULT CSyncCenter::GetInterface(GUID iid, void** object) {
  if (!object) return E_POINTER;
  struct Entry {
    IID iid;
    IUnknown* component;
    void* pointer;  // the component as the interface of iid
  };
  IUnknown* found = nullptr;
  void* pointer = nullptr;
  {
    std::lock_guard<std::mutex> guard(m_componentLock);
    IShellAdapter* shell = m_pShellAdapter.load();
    const Entry entries[] = {
        {IEventCenter::kIID, m_spEventCenter.get(), static_cast<IEventCenter*>(m_spEventCenter.get())},
        {IFileSystem::kIID, m_spFileSystem.get(), static_cast<IFileSystem*>(m_spFileSystem.get())},
        {ILocalStorage::kIID, m_spLocalStorage.get(), static_cast<ILocalStorage*>(m_spLocalStorage.get())},
        {IRemoteStorage::kIID, m_spRemoteStorage.get(), static_cast<IRemoteStorage*>(m_spRemoteStorage.get())},
        {ITaskMgr::kIID, m_spTaskMgr.get(), static_cast<ITaskMgr*>(m_spTaskMgr.get())},
        {IShellAdapter::kIID, shell, static_cast<IShellAdapter*>(shell)},
    };
    for (const Entry& entry : entries) {
      if (entry.iid == iid && entry.component) {
        found = entry.component;
        pointer = entry.pointer;
        break;
      }
    }
    // The reference is taken under the lock, so that tear-down cannot release the
    // component in between.
    if (found) found->AddRef();
  }
  if (!found) return E_FAIL;
  *object = pointer;
  return S_OK;
}

HRESULT CSyncCenter::Start() {
  ASSERT_TEXT(m_fLoggedin, "m_fLoggedin");
  HRESULT hr = S_OK;
  TRACE_SCOPE("CSyncCenter::Start()", &hr);
  RefPtr<ITaskMgr> taskMgr = _Component(m_spTaskMgr);
  RefPtr<IEventCenter> eventCenter = _Component(m_spEventCenter);
  if (!m_fLoggedin || !taskMgr || !eventCenter) {
    hr = E_FAIL;
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:m_fLoggedin && m_spTaskMgr && m_spEventCenter");
    return hr;
  }
  if (!m_taskMgrRunning) {
    hr = taskMgr->Start();
    ERROR_CHECK_COM_MSG(hr, "%s", "Failed to start TaskMgr!");
    m_taskMgrRunning = true;
  }
  if (!m_eventCenterRunning) {
    hr = eventCenter->Start();
    ERROR_CHECK_COM_MSG(hr, "%s", "Failed to start EventCenter!");
    m_eventCenterRunning = true;
  }
  return hr;
}

HRESULT CSyncCenter::Stop() {
  HRESULT hr = S_OK;
  TRACE_SCOPE("CSyncCenter::Stop()", &hr);
  RefPtr<IFileSystem> fileSystem = _Component(m_spFileSystem);
  RefPtr<IEventCenter> eventCenter = _Component(m_spEventCenter);
  RefPtr<ITaskMgr> taskMgr = _Component(m_spTaskMgr);
  // The watch of opened files ends first, while the task manager still takes the
  // uploads of the files it has seen closed (its UnInit may run again at tear-down).
  if (fileSystem) {
    hr = fileSystem->UnInit();
    ASSERT_TEXT(SUCCEEDED(hr), "(((HRESULT)(hr)) >= 0)");
  }
  if (eventCenter) {
    hr = eventCenter->Stop();
    ASSERT_TEXT(SUCCEEDED(hr), "(((HRESULT)(hr)) >= 0)");
  }
  m_eventCenterRunning = false;
  if (taskMgr) {
    hr = taskMgr->Stop(0xFFFFFFFF);
    ASSERT_TEXT(SUCCEEDED(hr), "(((HRESULT)(hr)) >= 0)");
  }
  m_taskMgrRunning = false;
  m_needsStop = false;
  return hr;
}

HRESULT CSyncCenter::CheckProxyServer() {
  HRESULT hr = S_FALSE;
  TRACE_SCOPE("CSyncCenter::CheckProxyServer()", &hr);
  RefPtr<IRemoteStorage> remoteStorage = _Component(m_spRemoteStorage);
  const bool ownStorage = !remoteStorage;
  if (ownStorage) {
    HRESULT hRt = m_factory.createRemoteStorage ? m_factory.createRemoteStorage(remoteStorage.Receive()) : E_FAIL;
    if (FAILED(hRt) || !remoteStorage) {
      OSTREL_LOG(kLogWarn, "ERROR_CHECK_COM hr = %x: %s", static_cast<unsigned>(hRt), "hRt");
      return hr;
    }
    hRt = remoteStorage->Init();
    if (FAILED(hRt)) {
      OSTREL_LOG(kLogError, "ERROR_CHECK_COM: hr = %x MSG: %s", static_cast<unsigned>(hRt),
                 "Init RemoteStorage Failed!");
      return hr;
    }
  }
  RecordTree reply;
  hr = remoteStorage->CheckProxyServer(&reply);
  if (FAILED(hr)) OSTREL_LOG(kLogWarn, "ERROR_CHECK_COM hr = %x: %s", static_cast<unsigned>(hr), "hr");
  if (ownStorage) remoteStorage->UnInit();
  return hr;
}

// --- creation ---

HRESULT CreateSyncCenter(ISyncCenter** ppObj, const CoreComponentFactory& factory, FileEnv* env) {
  ASSERT(ppObj);
  if (!ppObj) return E_FAIL;
  CSyncCenter* pSyncCenter = new (std::nothrow) CSyncCenter(factory, env);
  ERROR_CHECK_BOOLEX(pSyncCenter);
  pSyncCenter->AddRef();
  *ppObj = pSyncCenter;
  return S_OK;
}
