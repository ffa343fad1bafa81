// CSyncCenter: the root object of the sync engine. See ISyncCenter for the slots.
//
// It keeps the configuration folder and the shell adapter given to Init, the
// signed-in user, the per-user data base session and the five components that a
// sign-in creates, and the core state record (CCoreState).
//
// Sign-in (Login, TryLogin) sends one request on a remote storage made for it alone,
// then builds the user's environment: the folder <configuration folder>/<user id>
// with the data base "tevok.db" and, unless the user's SyncRoot names another, the
// sync folder "Cache"; then the local storage, remote storage, task manager, file
// system and event centre, each initialised with those before it; then Start. A user
// id from the service that is not one safe path element (IsSafeUserId) fails the
// sign-in before anything is created. When building the components fails, what was
// built is torn down again and nobody is signed in. A rejected stored token
// (clientNoLogin, clientTokenExpired) forgets the user. A sign-in from the stored token
// saves what it brought only while the stored sign-in is still the one it read: one
// that another process signed out meanwhile leaves this process signed out too.
//
// Tear-down (UnInit, and log-out through UnBind) stops the components, uninitialises
// and releases them (file system, event centre, task manager, local storage, remote
// storage) and ends the data base session, also past a component whose UnInit fails
// (the first failure is returned); only then, with the login mode 2 ("not my
// computer"), is the user's folder deleted (DeleteUserFolder: nothing outside it).
// Afterwards nobody is signed in. UnBind also forgets the user (token and UserId);
// UnInit keeps them for the next start's TryLogin, except in login mode 2.
//
// Threads: Init, the sign-in operations, UnBind, Start, Stop and UnInit come from one
// thread (the UI thread), one at a time. Every other slot may be called from any
// thread: the state slots take only the state lock; GetInterface, GetUserInfo and the
// user values copy what they need under a short lock that is never held across a
// call into another component. The password and the token never reach the log.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "common/unknown.h"
#include "core/componentfactory.h"
#include "core/corestate.h"
#include "core/interfaces/ieventcenter.h"
#include "core/interfaces/ifilesystem.h"
#include "core/interfaces/ilocalstorage.h"
#include "core/interfaces/iremotestorage.h"
#include "core/interfaces/isynccenter.h"
#include "core/interfaces/itaskmgr.h"
#include "platform/fileenv.h"
#include "shell/ishelladapter.h"

// Login modes (the root value LoginMode).
inline constexpr uint32_t kLoginModeMyComputer = 1;
inline constexpr uint32_t kLoginModeNotMyComputer = 2;

// The name of the per-user sync folder made when SyncRoot is empty.
inline constexpr char kDefaultSyncFolderName[] = "Cache";

class CSyncCenter final : public CUnknownImpl<ISyncCenter> {
 public:
  // The components come from factory; folders and registry values go through env,
  // which must outlive the object.
  CSyncCenter(CoreComponentFactory factory, FileEnv* env);

  HRESULT Init(const std::string& configFolder, IShellAdapter* shellAdapter) override;
  HRESULT UnInit() override;
  HRESULT GetUserValue(std::string* value, const std::string& name, const std::string& defaultValue) override;
  HRESULT SetUserValue(const std::string& name, const std::string& value) override;
  HRESULT Login(const std::string& szUserName, const std::string& szPassword, int32_t loginMode) override;
  HRESULT UnBind() override;
  HRESULT TryLogin(int32_t unused) override;
  HRESULT GetState(NuvraState* pNuvraState) override;
  HRESULT PostState(const NuvraState* state, bool queue) override;
  HRESULT PostEvent(uint32_t kind, RecordTree* info, bool queue) override;
  HRESULT SetOverrideState(const NuvraState* state) override;
  HRESULT ClearOverrideState() override;
  // Starts what is not running yet: the task manager, then the event centre. A second
  // call while both run does nothing (S_OK). E_FAIL, starting nothing, while nobody is
  // signed in.
  HRESULT Start() override;
  // Stops the file system's watch of opened files (its UnInit, which the tear-down
  // repeats), the event centre (waiting for its thread) and then the task manager
  // (waiting for its tasks without bound), when present.
  HRESULT Stop() override;
  HRESULT GetLocalSyncPath(std::string* path) override;
  HRESULT GetUserInfo(std::string* userName, std::string* token, std::string* userId,
                      std::string* nickName) override;
  HRESULT GetInterface(GUID iid, void** object) override;
  HRESULT CheckProxyServer() override;

 private:
  ~CSyncCenter() override;

  // --- sign-in (synccentersignin.cpp) ---
  // Steps 4 to 8 of a sign-in: posts "signing in", signs in, and starts.
  HRESULT _SignInAndStart(const std::string& userName, const std::string& password, const std::string& token);
  HRESULT _Login(const std::string& szUserName, const std::string& szPassword, const std::string& szSID);
  HRESULT _LoginToServer(const std::string& userName, const std::string& password, const std::string& token);
  // Makes the user's folder, opens the data base and makes the sync folder. Stores the
  // user id and the sync folder (SyncRoot) on the way, unless unsavedSyncRoot is given:
  // then it writes nothing and *unsavedSyncRoot receives the sync folder, for the
  // caller to save with the rest of the sign-in.
  HRESULT _PrepareUserEnv(const std::string& userId, std::string* unsavedSyncRoot = nullptr);
  // Saves a sign-in from the stored token, as one compare-and-set in the registry store
  // (under its lock): the user id, sync folder, names and the reply's new token are
  // written only while the stored sign-in is still the one read (root UserId readUserId
  // with the token readToken). When another process stored a newer token of that user
  // meanwhile, the sign-in stands with it and nothing is written (S_OK). When the stored
  // sign-in was signed out or is another user's, nothing is written and the result is
  // E_FAIL: this process is not signed in (and forgets nobody: the other process did).
  // A store that cannot be read or written leaves the sign-in standing (S_OK).
  HRESULT _SaveTokenSignIn(const std::string& readUserId, const std::string& readToken, const std::string& syncRoot,
                           const RecordTree& reply);
  HRESULT _InitUserEnv();
  // Stops what runs, uninitialises and releases the components (every one, also after
  // a failure) and ends the data base session; the first failure.
  HRESULT _TearDownUserEnv();
  // _TearDownUserEnv; then nobody is signed in, and with login mode 2
  // _ClearUserInfo(true).
  HRESULT _UnInitUserEnv();
  HRESULT _SaveUserInfo(const std::string& nickName, const std::string& userName, const std::string& userId,
                        const std::string& token);
  void _ClearUserInfo(bool deleteUserFolder);
  HRESULT _Logout();

  // --- helpers ---
  std::string _UserId();
  void _SetUserId(const std::string& userId);
  // The per-user value (under the current user id; the root key while there is none).
  std::string _ReadUserValue(const char* name);
  std::string _GetLocalSyncPath() { return _ReadUserValue("SyncRoot"); }
  bool _PathExists(const std::string& path);
  uint32_t _LoginMode();
  // Sets or clears a component member under the component lock; the old one is
  // released after the lock is left.
  template <class T>
  void _SetComponent(RefPtr<T>* member, RefPtr<T> value) {
    {
      std::lock_guard<std::mutex> guard(m_componentLock);
      member->swap(value);
    }
    // value holds the old component now; it is released here, outside the lock.
  }
  template <class T>
  RefPtr<T> _Component(const RefPtr<T>& member) {
    std::lock_guard<std::mutex> guard(m_componentLock);
    return member;
  }

  CCoreState m_state;
  CoreComponentFactory m_factory;
  FileEnv* m_env;

  // Written by sign-in and tear-down on the UI thread, read by any thread.
  std::mutex m_componentLock;
  RefPtr<IEventCenter> m_spEventCenter;
  RefPtr<ILocalStorage> m_spLocalStorage;
  RefPtr<IRemoteStorage> m_spRemoteStorage;
  RefPtr<ITaskMgr> m_spTaskMgr;
  RefPtr<IFileSystem> m_spFileSystem;

  std::atomic<IShellAdapter*> m_pShellAdapter{nullptr};  // not referenced: the logic adapter owns it
  std::atomic<bool> m_fLoggedin{false};
  std::atomic<bool> m_taskMgrRunning{false};
  std::atomic<bool> m_eventCenterRunning{false};
  std::atomic<bool> m_needsStop{false};  // components exist that no Stop has stopped since
  std::mutex m_loginLock;  // held by _Login and _Logout

  std::mutex m_userLock;  // guards m_strUserId
  std::string m_strUserId;
  std::string m_pathConfigRoot;     // set by Init only
  std::string m_pathUseConfigRoot;  // UI thread only
};

// Creates a sync centre on the real components (RealCoreComponents) with one
// reference in *ppObj. S_OK, or E_FAIL ("ERROR_CHECK_BOOLEX:pSyncCenter") when it
// cannot be made.
HRESULT CreateSyncCenter(ISyncCenter** ppObj);
// The same with the components of factory and the file system env.
HRESULT CreateSyncCenter(ISyncCenter** ppObj, const CoreComponentFactory& factory,
                         FileEnv* env = FileEnv::Default());
