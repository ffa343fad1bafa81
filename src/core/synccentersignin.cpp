// CSyncCenter: sign-in, the per-user environment, log-out and forgetting the user.
#include <utility>
#include <vector>

#include "common/cachecleaner.h"
#include "common/db/dbhelper.h"
#include "common/filehelper.h"
#include "common/fileversion.h"
#include "common/hwinfo.h"
#include "common/recordtree.h"
#include "common/registry.h"
#include "common/strhelper.h"
#include "common/tracestack.h"
#include "core/coreassert.h"
#include "core/interfaces/createtaskdata.h"
#include "core/synccenter.h"
#include "core/userfolder.h"

namespace {

// Makes one component into *member; a failure or a missing object gives a failure.
template <class T>
HRESULT CreateComponent(const std::function<HRESULT(T**)>& create, RefPtr<T>* created) {
  if (!create) return E_NOTIMPL;
  HRESULT hr = create(created->Receive());
  if (SUCCEEDED(hr) && !*created) hr = E_FAIL;
  return hr;
}

// Logs "ERROR_CHECK_COM hr = %x: hr" at level 5 and gives hr back.
HRESULT LogComFailure(HRESULT hr) {
  OSTREL_LOG(kLogWarn, "ERROR_CHECK_COM hr = %x: %s", static_cast<unsigned>(hr), "hr");
  return hr;
}

void LogComMessage(HRESULT hr, const char* message) {
  OSTREL_LOG(kLogError, "ERROR_CHECK_COM: hr = %x MSG: %s", static_cast<unsigned>(hr), message);
}

}  // namespace

HRESULT CSyncCenter::Login(const std::string& szUserName, const std::string& szPassword, int32_t loginMode) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CSyncCenter::Login", &hr, "UserName = %s, szPassword = %s", szUserName.c_str(), "-password-");
  ERROR_CHECK_BOOLEX_TEXT(!szUserName.empty() && !szPassword.empty(),
                          "!IsStrEmpty(szUserName) && !IsStrEmpty(szPassword)");
  ERROR_CHECK_BOOLEX_TEXT(_PathExists(m_pathConfigRoot), "m_pathConfigRoot.FileExists()");
  SetRegDWORD("", kRegLoginMode, static_cast<uint32_t>(loginMode), m_env);
  hr = _SignInAndStart(szUserName, szPassword, "");
  return hr;
}

HRESULT CSyncCenter::TryLogin(int32_t /*unused*/) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE("CSyncCenter::TryLogin", &hr);
  // While signed in, the user stays the one whose components run.
  std::string userId;
  if (m_fLoggedin)
    userId = _UserId();
  else
    GetRegValue(&userId, "", kRegUserId, "", false, m_env);
  _SetUserId(userId);
  std::string strUserName, strSID;
  if (!userId.empty()) {
    strUserName = _ReadUserValue(kRegUserName);
    strSID = _ReadUserValue(kRegToken);
  }
  ERROR_CHECK_BOOLEX_TEXT(!strUserName.empty() && !strSID.empty(), "!IsStrEmpty(strUserName) && !IsStrEmpty(strSID)");
  ERROR_CHECK_BOOLEX_TEXT(_PathExists(m_pathConfigRoot) && _PathExists(_GetLocalSyncPath()),
                          "m_pathConfigRoot.FileExists() && ::PathFileExistsW(_GetLocalSyncPath())");
  hr = _SignInAndStart(strUserName, "", strSID);
  return hr;
}

HRESULT CSyncCenter::_SignInAndStart(const std::string& userName, const std::string& password,
                                     const std::string& token) {
  PostEvent(kNuvraStateSigningIn, nullptr, false);
  HRESULT hr = _Login(userName, password, token);
  if (hr == E_CV_SRV_CLIENT_NO_LOGIN || hr == E_CV_SRV_CLIENT_TOKEN_EXPIRED) _ClearUserInfo(false);
  if (hr != S_OK) {
    PostEvent(kNuvraStateNotSignedIn, nullptr, false);
    if (FAILED(hr)) {
      LogComFailure(hr);
      return hr;
    }
  }
  hr = Start();
  if (FAILED(hr)) LogComFailure(hr);
  return hr;
}

HRESULT CSyncCenter::_Login(const std::string& szUserName, const std::string& szPassword, const std::string& szSID) {
  ASSERT_TEXT((!szUserName.empty() && !szPassword.empty()) || !szSID.empty(),
              "(!IsStrEmpty(szUserName) && !IsStrEmpty(szPassword)) || !IsStrEmpty(szSID)");
  HRESULT hr = S_OK;
  TRACE_SCOPE("CSyncCenter::_Login()", &hr);
  if (m_fLoggedin) {
    OSTREL_LOG(kLogWarn, "ERROR_CHECK_BOOLEX:!m_fLoggedinMSG: %s", "You have Login, Please Logout First!");
    return hr;
  }
  std::lock_guard<std::mutex> guard(m_loginLock);
  hr = _LoginToServer(szUserName, szPassword, szSID);
  ERROR_CHECK_SUCCESS_MSG(hr, "%s", "LoginToServer Failed!");
  m_fLoggedin = true;
  hr = _InitUserEnv();
  if (FAILED(hr)) {
    LogComMessage(hr, "_InitUserEnv Failed!");
    // Nothing half-built stays: what was made is torn down, and nobody is signed in.
    _UnInitUserEnv();
  }
  return hr;
}

HRESULT CSyncCenter::_LoginToServer(const std::string& userName, const std::string& password,
                                    const std::string& token) {
  const bool bLogin = !userName.empty() && !password.empty();
  const bool bReLogin = !token.empty();
  ASSERT_TEXT(bLogin || bReLogin, "bLogin || bReLogin");
  HRESULT hr = E_FAIL;
  TRACE_SCOPE("CSyncCenter::_LoginToServer()", &hr);
  RecordTree reply;
  const std::string strComputerId = GetComputerId();
  ERROR_CHECK_BOOLEX_TEXT(!strComputerId.empty(), "!IsStrEmpty(strComputerId)");
  const std::string clientVersion = GetClientVersionString();
  // The user whose token this is, as TryLogin read it with the token from the store.
  const std::string readUserId = bReLogin ? _UserId() : std::string();
  {
    // A remote storage for this request alone, released right after it.
    RefPtr<IRemoteStorage> remoteStorage;
    hr = CreateComponent(m_factory.createRemoteStorage, &remoteStorage);
    ERROR_CHECK_COM(hr);
    if (bReLogin) {
      TaskDataPtr<TaskData_ReLogin> record(CreateTaskData_ReLogin(token, strComputerId));
      hr = remoteStorage->ReLogin(*record, nullptr, nullptr, &reply);
    } else {
      TaskDataPtr<TaskData_Login> record(
          CreateTaskData_Login(userName, password, strComputerId, "ostrel", clientVersion));
      hr = remoteStorage->Login(*record, nullptr, nullptr, &reply);
    }
  }
  ERROR_CHECK_COM(hr);
  if (hr != S_OK) return hr;

  // The user id names the user's folder and registry key: one safe path element,
  // or nothing is made.
  const std::string strUserId = reply.GetValue("userId");
  if (!IsSafeUserId(strUserId)) {
    hr = E_FAIL;
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:IsSafeUserId(strUserId)");
    return hr;
  }
  std::string syncRoot;
  hr = _PrepareUserEnv(strUserId, bReLogin ? &syncRoot : nullptr);
  if (FAILED(hr)) {
    LogComMessage(hr, "_PrepareUserEnv Failed!");
    CloseUserDB();
    return hr;
  }
  if (!bReLogin) {
    // A password sign-in replaces whatever sign-in is stored.
    _SaveUserInfo(reply.GetValue("nickName"), reply.GetValue("email"), strUserId, reply.GetValue("token"));
    hr = S_OK;
    return hr;
  }
  hr = _SaveTokenSignIn(readUserId, token, syncRoot, reply);
  if (FAILED(hr)) CloseUserDB();
  return hr;
}

HRESULT CSyncCenter::_SaveTokenSignIn(const std::string& readUserId, const std::string& readToken,
                                      const std::string& syncRoot, const RecordTree& reply) {
  const std::string userId = reply.GetValue("userId");
  std::vector<std::string> stored;
  const HRESULT hr = CompareAndSetRegStrings({{"", kRegUserId, readUserId}, {readUserId, kRegToken, readToken}},
                                             {{"", kRegUserId, userId},
                                              {userId, kRegSyncRoot, syncRoot},
                                              {userId, kRegNickName, reply.GetValue("nickName")},
                                              {userId, kRegUserName, reply.GetValue("email")},
                                              {userId, kRegToken, reply.GetValue("token")}},
                                             &stored, m_env);
  // A store that cannot be written fails no sign-in (the registry layer logged it).
  if (hr != S_FALSE) return S_OK;
  // Another process changed the stored sign-in while the request ran.
  if (stored.size() == 2 && stored[0] == readUserId && !stored[1].empty()) {
    OSTREL_LOG(kLogInfo, "%s",
               "CSyncCenter: another process stored a newer token of this user meanwhile; it is kept and used");
    return S_OK;
  }
  OSTREL_LOG(kLogWarn, "%s",
             "CSyncCenter: the stored sign-in was signed out or replaced while this process signed in with it; "
             "nothing is saved and this process is not signed in");
  return E_FAIL;
}

HRESULT CSyncCenter::_PrepareUserEnv(const std::string& userId, std::string* unsavedSyncRoot) {
  HRESULT hr = S_OK;
  TRACE_SCOPE_DETAIL("CSyncCenter::_PrepareUserEnv()", &hr, "szUserId:%s", userId.c_str());
  _SetUserId(userId);
  if (!unsavedSyncRoot) SetRegString("", kRegUserId, userId, m_env);

  m_pathUseConfigRoot = UserFolderPath(m_pathConfigRoot, userId);
  hr = EnsureDirectory(m_pathUseConfigRoot, 0700, m_env);
  ERROR_CHECK_COM_MSG(hr, "%s", "m_pathUseConfigRoot no Exist, Nuvra want to CreateDir Failed!");

  hr = OpenUserDB(m_pathUseConfigRoot);
  ERROR_CHECK_COM_MSG(hr, "%s", "Create User Database Failed!");

  std::string szCachePath = _ReadUserValue(kRegSyncRoot);
  if (szCachePath.empty()) szCachePath = JoinPath(m_pathUseConfigRoot, kDefaultSyncFolderName);
  hr = EnsureDirectory(szCachePath, 0700, m_env);
  ERROR_CHECK_COM_MSG(hr, "%s", "szCachePath no Exist, Nuvra want to CreateDir Failed!");
  if (unsavedSyncRoot)
    *unsavedSyncRoot = szCachePath;
  else
    SetRegString(userId, kRegSyncRoot, szCachePath, m_env);
  return hr;
}

HRESULT CSyncCenter::_InitUserEnv() {
  HRESULT hr = S_OK;
  TRACE_SCOPE("CSyncCenter::_InitUserEnv()", &hr);
  // Each component goes into its member as soon as it exists, so that a failure
  // further on leaves it for the tear-down (which stops them first).
  m_needsStop = true;
  RefPtr<ILocalStorage> localStorage;
  hr = CreateComponent(m_factory.createLocalStorage, &localStorage);
  _SetComponent(&m_spLocalStorage, localStorage);
  if (FAILED(hr)) return LogComFailure(hr);
  hr = localStorage->Init(m_pathUseConfigRoot, _GetLocalSyncPath());
  ERROR_CHECK_COM_MSG(hr, "%s", "Init Cache Failed!");

  RefPtr<IRemoteStorage> remoteStorage;
  hr = CreateComponent(m_factory.createRemoteStorage, &remoteStorage);
  _SetComponent(&m_spRemoteStorage, remoteStorage);
  if (FAILED(hr)) return LogComFailure(hr);
  hr = remoteStorage->Init();
  ERROR_CHECK_COM_MSG(hr, "%s", "Init RemoteStorage Failed!");

  RefPtr<ITaskMgr> taskMgr;
  hr = CreateComponent(m_factory.createTaskMgr, &taskMgr);
  _SetComponent(&m_spTaskMgr, taskMgr);
  if (FAILED(hr)) return LogComFailure(hr);
  hr = taskMgr->Init(this, localStorage.get(), remoteStorage.get());
  ERROR_CHECK_COM_MSG(hr, "%s", "Init TaskMgr Failed!");

  RefPtr<IFileSystem> fileSystem;
  hr = CreateComponent(m_factory.createFileSystem, &fileSystem);
  _SetComponent(&m_spFileSystem, fileSystem);
  if (FAILED(hr)) return LogComFailure(hr);
  hr = fileSystem->Init(this, localStorage.get(), remoteStorage.get(), taskMgr.get());
  ERROR_CHECK_COM_MSG(hr, "%s", "Init FileSystem Failed!");

  RefPtr<IEventCenter> eventCenter;
  hr = CreateComponent(m_factory.createEventCenter, &eventCenter);
  _SetComponent(&m_spEventCenter, eventCenter);
  ERROR_CHECK_COM_MSG(hr, "%s", "Create EventCenter Failed!");
  hr = eventCenter->Init(this);
  ERROR_CHECK_COM_MSG(hr, "%s", "Init EventCenter Failed!");
  return hr;
}

HRESULT CSyncCenter::_TearDownUserEnv() {
  // No thread of a component may run while it is taken apart, and each is stopped
  // before its UnInit, also one that never started.
  if (m_needsStop) Stop();

  HRESULT first = S_OK;
  auto keep = [&first](HRESULT hr) {
    if (FAILED(hr) && SUCCEEDED(first)) first = hr;
  };
  if (RefPtr<IFileSystem> fileSystem = _Component(m_spFileSystem)) {
    const HRESULT hr = fileSystem->UnInit();
    ASSERT_TEXT(SUCCEEDED(hr), "(((HRESULT)(hr)) >= 0)");
    _SetComponent(&m_spFileSystem, RefPtr<IFileSystem>());
  }
  if (RefPtr<IEventCenter> eventCenter = _Component(m_spEventCenter)) {
    const HRESULT hr = eventCenter->UnInit();
    if (FAILED(hr)) LogComFailure(hr);
    keep(hr);
    _SetComponent(&m_spEventCenter, RefPtr<IEventCenter>());
  }
  if (RefPtr<ITaskMgr> taskMgr = _Component(m_spTaskMgr)) {
    const HRESULT hr = taskMgr->UnInit();
    if (FAILED(hr)) LogComFailure(hr);
    keep(hr);
    _SetComponent(&m_spTaskMgr, RefPtr<ITaskMgr>());
  }
  if (RefPtr<ILocalStorage> localStorage = _Component(m_spLocalStorage)) {
    const HRESULT hr = localStorage->UnInit();
    ASSERT_TEXT(SUCCEEDED(hr), "(((HRESULT)(hr)) >= 0)");
    _SetComponent(&m_spLocalStorage, RefPtr<ILocalStorage>());
  }
  if (RefPtr<IRemoteStorage> remoteStorage = _Component(m_spRemoteStorage)) {
    const HRESULT hr = remoteStorage->UnInit();
    if (FAILED(hr)) LogComFailure(hr);
    keep(hr);
    _SetComponent(&m_spRemoteStorage, RefPtr<IRemoteStorage>());
  }
  CloseUserDB();
  return first;
}

HRESULT CSyncCenter::_UnInitUserEnv() {
  HRESULT hr = S_OK;
  TRACE_SCOPE("CSyncCenter::_UnInitUserEnv()", &hr);
  hr = _TearDownUserEnv();
  m_fLoggedin = false;
  if (_LoginMode() == kLoginModeNotMyComputer) _ClearUserInfo(true);
  return hr;
}

HRESULT CSyncCenter::_SaveUserInfo(const std::string& nickName, const std::string& userName,
                                   const std::string& userId, const std::string& token) {
  HRESULT hr = SetRegString(userId, kRegNickName, nickName, m_env);
  ERROR_CHECK_COM(hr);
  hr = SetRegString(userId, kRegUserName, userName, m_env);
  ERROR_CHECK_COM(hr);
  _SetUserId(userId);
  hr = SetRegString(userId, kRegToken, token, m_env);
  ERROR_CHECK_COM(hr);
  return hr;
}

void CSyncCenter::_ClearUserInfo(bool deleteUserFolder) {
  const std::string userId = _UserId();
  // The cache cleaner trims the sync folder of the stored user, so it runs while the
  // user is still stored.
  if (!deleteUserFolder) CleanCache(m_env);
  SetRegString(userId, kRegToken, "", m_env);
  _SetUserId("");
  // With the user id gone these two land under the root key.
  SetRegString("", kRegUserName, "", m_env);
  SetRegString("", kRegNickName, "", m_env);
  SetRegString("", "userid", "", m_env);
  CloseUserDB();
  // Only the user's own folder goes; a sync folder elsewhere stays.
  if (deleteUserFolder && !userId.empty()) DeleteUserFolder(m_pathConfigRoot, userId, m_env);
}

HRESULT CSyncCenter::_Logout() {
  HRESULT hr = S_OK;
  TRACE_SCOPE("CSyncCenter::_Logout()", &hr);
  std::lock_guard<std::mutex> guard(m_loginLock);
  const bool notMyComputer = _LoginMode() == kLoginModeNotMyComputer;
  // The components go first: nothing they use is deleted under them.
  hr = _TearDownUserEnv();
  m_fLoggedin = false;
  _ClearUserInfo(notMyComputer);
  if (SUCCEEDED(hr))
    PostEvent(kNuvraStateNotSignedIn, nullptr, false);
  else
    LogComMessage(hr, "SyncCenter::Logout Failed!");
  return hr;
}

HRESULT CSyncCenter::UnBind() {
  HRESULT hr = S_OK;
  const std::string userId = _UserId();
  TRACE_SCOPE_DETAIL("CSyncCenter::UnBind()", &hr, "Current UserName = %s, UserId = %s",
                     _ReadUserValue(kRegUserName).c_str(), userId.c_str());
  hr = Stop();
  ERROR_CHECK_COM(hr);
  hr = _Logout();
  ERROR_CHECK_COM(hr);
  return hr;
}
