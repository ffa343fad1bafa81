// Fakes of engine components for their callers' tests: reference-counted (hold them in a RefPtr), thread-safe.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/recordtree.h"
#include "core/interfaces/ilocalstorage.h"
#include "core/interfaces/iremotestorage.h"
#include "core/interfaces/isynccenter.h"
#include "shell/ishelladapter.h"

// A local storage for components that only pass it on: an aligned address where no object lives; calling it is a bug.
inline ILocalStorage* UnusedLocalStorage() { return reinterpret_cast<ILocalStorage*>(alignof(void*)); }

#define OSTREL_FAKE_RETURNS(hr, Method, ...) HRESULT Method(__VA_ARGS__) override { return hr; }
#define OSTREL_FAKE_NOTIMPL(Method, ...) OSTREL_FAKE_RETURNS(E_NOTIMPL, Method, __VA_ARGS__)

// The sync centre: the signed-in user and the components it hands out; the rest is E_NOTIMPL.
class FakeSyncCenter final : public CUnknownImpl<ISyncCenter> {
 public:
  // From now on GetUserInfo answers S_OK with these, user id "u1" and no nick name; before, S_FALSE, writing nothing.
  void SignIn(const std::string& userName, const std::string& token) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_user = {userName, token, "u1", ""};
  }
  void Register(IUnknown* object) {  // GetInterface hands out the latest registered object that has the iid
    std::lock_guard<std::mutex> guard(m_mutex);
    m_components.emplace_back(object);
  }
  HRESULT GetUserInfo(std::string* userName, std::string* token, std::string* userId, std::string* nickName) override {
    std::lock_guard<std::mutex> guard(m_mutex);
    std::string* out[] = {userName, token, userId, nickName};
    for (size_t i = 0; i < m_user.size(); ++i)
      if (out[i]) *out[i] = m_user[i];
    return m_user.empty() ? S_FALSE : S_OK;
  }
  HRESULT GetInterface(GUID iid, void** object) override {  // else E_FAIL (E_POINTER for a null object)
    std::lock_guard<std::mutex> guard(m_mutex);
    for (auto it = m_components.rbegin(); it != m_components.rend(); ++it)
      if ((*it)->QueryInterface(iid, object) == S_OK) return S_OK;
    return object ? (*object = nullptr, E_FAIL) : E_POINTER;
  }
  OSTREL_FAKE_NOTIMPL(GetUserValue, std::string*, const std::string&, const std::string&) OSTREL_FAKE_NOTIMPL(UnInit)
  OSTREL_FAKE_NOTIMPL(Login, const std::string&, const std::string&, int32_t) OSTREL_FAKE_NOTIMPL(GetState, NuvraState*)
  OSTREL_FAKE_NOTIMPL(SetUserValue, const std::string&, const std::string&) OSTREL_FAKE_NOTIMPL(ClearOverrideState)
  OSTREL_FAKE_NOTIMPL(Init, const std::string&, IShellAdapter*) OSTREL_FAKE_NOTIMPL(SetOverrideState, const NuvraState*)
  OSTREL_FAKE_NOTIMPL(PostEvent, uint32_t, RecordTree*, bool) OSTREL_FAKE_NOTIMPL(PostState, const NuvraState*, bool)
  OSTREL_FAKE_NOTIMPL(GetLocalSyncPath, std::string*) OSTREL_FAKE_NOTIMPL(TryLogin, int32_t) OSTREL_FAKE_NOTIMPL(UnBind)
  OSTREL_FAKE_NOTIMPL(CheckProxyServer) OSTREL_FAKE_NOTIMPL(Start) OSTREL_FAKE_NOTIMPL(Stop)

 private:
  std::mutex m_mutex;
  std::vector<std::string> m_user;  // name, token, id, nick name; empty: signed out
  std::vector<RefPtr<IUnknown>> m_components;
};

// The shell adapter: counts forced upgrades and never exits; prompts and folder pickers cancel (-1, empty), opening
// fails, the rest is S_OK.
struct FakeShellAdapter final : CUnknownImpl<IShellAdapter> {
  std::atomic<int> forceUpgrades{0};
  HRESULT ForceUpgrade() override { return ++forceUpgrades, S_OK; }
  std::string PickFolder(const std::string&) override { return std::string(); }
  OSTREL_FAKE_RETURNS(S_OK, SetMainWindow, IMainWindow*) OSTREL_FAKE_RETURNS(S_OK, OnDragDataFile, const std::string&)
  OSTREL_FAKE_RETURNS(S_OK, ShowMessage, const std::string&, const std::string&) OSTREL_FAKE_RETURNS(S_OK, UnInit)
  OSTREL_FAKE_RETURNS(S_OK, ShowNotify, const std::string&, const std::string&, uint32_t, uint32_t)
  ShellProcess ShellOpen(const std::string&) override { return kShellOpenFailed; }
  int32_t ShowWizard(const std::string&, const std::string&, const std::string&, const std::string&, int32_t,
                     const std::string&, int32_t) override { return -1; }
};

// A local storage for components that hold it without using it: every call answers E_NOTIMPL, an empty text or
// the default given. *alive (when given) turns false when the last reference goes.
class FakeLocalStorage final : public CUnknownImpl<ILocalStorage> {
 public:
  explicit FakeLocalStorage(std::shared_ptr<std::atomic<bool>> alive = nullptr) : m_alive(std::move(alive)) {
    if (m_alive) *m_alive = true;
  }
  ~FakeLocalStorage() override {
    if (m_alive) *m_alive = false;
  }
  OSTREL_FAKE_NOTIMPL(Init, const std::string&, const std::string&) OSTREL_FAKE_NOTIMPL(UnInit)
  OSTREL_FAKE_NOTIMPL(BeginTransaction) OSTREL_FAKE_NOTIMPL(CommitTransaction) OSTREL_FAKE_NOTIMPL(ClearLastSnapshot)
  bool FolderNeedUpdate(const std::string&, ItemSpace) override { return true; }
  OSTREL_FAKE_NOTIMPL(GetLastSyncSnapshot, const std::string&, std::vector<CFileItemRecord>*, ItemSpace)
  OSTREL_FAKE_NOTIMPL(GetItemInfo, const std::string&, CFileItemRecord*, ItemSpace)
  OSTREL_FAKE_NOTIMPL(GetItemShareRight, const std::string&, std::vector<ShareEntry>*, ItemSpace)
  OSTREL_FAKE_NOTIMPL(AddOrUpdateFileItem, const CFileItemRecord&, ItemSpace)
  OSTREL_FAKE_NOTIMPL(UpdateFileVersion, const std::string&, int64_t, int64_t, const std::string&)
  OSTREL_FAKE_NOTIMPL(ClearOldFileItem, const std::string&, ItemSpace)
  OSTREL_FAKE_NOTIMPL(UpdateFolderCacheVesion, const std::string&, ItemSpace, int64_t)
  OSTREL_FAKE_NOTIMPL(SetCurCacheVesion, int64_t) OSTREL_FAKE_NOTIMPL(SetCurShareCacheVesion, int64_t)
  OSTREL_FAKE_NOTIMPL(AdoptServiceVersions, int64_t, int64_t) OSTREL_FAKE_NOTIMPL(BeginListingTransaction, ItemSpace, int64_t)
  int64_t GetCurCacheVesion(int64_t defaultValue) override { return defaultValue; }
  int64_t GetCurShareCacheVesion(int64_t defaultValue) override { return defaultValue; }
  OSTREL_FAKE_NOTIMPL(GetFileSha1ByPath, const std::string&, std::string*, bool)
  OSTREL_FAKE_NOTIMPL(GetFileSizeByPath, const std::string&, int64_t*, bool)
  OSTREL_FAKE_NOTIMPL(GetFileTimeByPath, const std::string&, std::string*, std::string*, bool)
  OSTREL_FAKE_NOTIMPL(DeleteFileItem, const std::string&, ItemSpace)
  OSTREL_FAKE_NOTIMPL(DeleteFoldItem, const std::string&, ItemSpace)
  OSTREL_FAKE_NOTIMPL(EncodeFile, const std::string&, const std::string&, const std::string&, const std::string&)
  OSTREL_FAKE_NOTIMPL(DecodeFile, const std::string&, const std::string&, const std::string&)
  std::string GetTempFilePath() override { return std::string(); }
  std::string GetTempFolder() override { return std::string(); }
  std::string GetFullPath(const std::string&) override { return std::string(); }
  OSTREL_FAKE_NOTIMPL(CopyFileToTempPathByFullPath, const std::string&, std::string*, bool)
  OSTREL_FAKE_NOTIMPL(MoveTempFileToSyncSpace, const std::string&, const std::string&, const std::string&)
  OSTREL_FAKE_NOTIMPL(LocalFullTextSearch, const std::string&, std::vector<CFileItemRecord>*)
  OSTREL_FAKE_NOTIMPL(SetFolderViewMode, const std::string&, int, int, ItemSpace)
  int GetFolderViewMode(const std::string&, int, ItemSpace) override { return 0; }

 private:
  std::shared_ptr<std::atomic<bool>> m_alive;
};

// The remote storage: Delete and the requests that take a reply log a Call and answer the next outcome queued for
// them (S_OK when none; a non-empty reply is copied into the caller's); the rest answer E_NOTIMPL and log nothing.
class RecordingRemoteStorage final : public CUnknownImpl<IRemoteStorage> {
 public:
  using Progress = TransportProgressCallback;
  struct Call { std::string method, taskName, token; bool hadReply, replyWasEmpty; };
  void Queue(const std::string& method, HRESULT hr, const RecordTree& reply = RecordTree()) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_outcomes.insert({method, {hr, reply}});
  }
  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_calls;
  }
  std::vector<std::string> Methods() {  // the calls' requests, in order
    std::vector<std::string> methods;
    for (const Call& call : Calls()) methods.push_back(call.method);
    return methods;
  }
#define OSTREL_SLOT(M, Record) /* a request with a reply record; the record type without TaskData_ */ \
  HRESULT M(const TaskData_##Record& r, Progress, void*, RecordTree* reply) override { return Answer(#M, r, reply); }
  OSTREL_SLOT(Login, Login) OSTREL_SLOT(ReLogin, ReLogin) OSTREL_SLOT(GetSpace, GetSpace) OSTREL_SLOT(Dir, Dir)
  OSTREL_SLOT(GetMaxVers, GetRemoteOptVer) OSTREL_SLOT(GetRecycle, GetRecycle) OSTREL_SLOT(CleanRecycle, CleanRecycle)
  OSTREL_SLOT(Recover, Recover) OSTREL_SLOT(PushNotify, PushNotify) OSTREL_SLOT(GetAllShareFile, GetAllShareFile)
  OSTREL_SLOT(Rename, Rename) OSTREL_SLOT(NewFolder, DirectoryAdd) OSTREL_SLOT(Move, Move) OSTREL_SLOT(Move2, Move)
  OSTREL_SLOT(NewFile, NewFile) OSTREL_SLOT(UpdateFile, UpdateFile) OSTREL_SLOT(_UploadFile, UpdateFile)
  OSTREL_SLOT(SetFileModTime, UpdateFile) OSTREL_SLOT(DownloadFile, DownloadFile) OSTREL_SLOT(GetItemInfo, GetItemInfo)
  OSTREL_SLOT(GetThumbnail, GetThumbnail) OSTREL_SLOT(FullTextSearch, FullTextSearch)
#undef OSTREL_SLOT
  HRESULT Delete(const TaskData_Delete& r, Progress, void*) override { return Answer("Delete", r); }
  OSTREL_FAKE_NOTIMPL(UploadFile_UFA, const TaskData_UpdateFile_UFA&, const std::vector<std::string>&, Progress, void*,
                      std::string*)
  OSTREL_FAKE_NOTIMPL(DownloadFile_UFA, TaskData_DownloadFile_UFA&, ILocalStorage*, Progress, void*, bool)
  OSTREL_FAKE_NOTIMPL(GetNormalItemSnapshot, const SnapshotRecord&, Progress, void*, RecordTree*)
  OSTREL_FAKE_NOTIMPL(GetDeletedItemSnapshot, const SnapshotRecord&, Progress, void*, RecordTree*)
  OSTREL_FAKE_NOTIMPL(ShareFile, const ShareRecord&, Progress, void*, RecordTree*)
  OSTREL_FAKE_NOTIMPL(UploadBlock, const std::string&, Progress, void*, const std::string&, const std::string&,
                      RecordTree*)
  OSTREL_FAKE_NOTIMPL(DownloadBlock, const std::string&, Progress, void*, const std::string&, const std::string&,
                      const std::string&)
  OSTREL_FAKE_NOTIMPL(HttpRequest, const std::string&, const std::string&, const std::string*, Progress, void*,
                      std::string*, int32_t)
  OSTREL_FAKE_NOTIMPL(GetGlobalVersion, const std::string&, std::string*) OSTREL_FAKE_RETURNS(S_OK, Init)
  OSTREL_FAKE_NOTIMPL(DeleteEx, const TaskData_Delete&, Progress, void*) OSTREL_FAKE_RETURNS(S_OK, UnInit)
  OSTREL_FAKE_NOTIMPL(CheckProxyServer, RecordTree*)

 private:
  struct Outcome { HRESULT hr; RecordTree reply; };
  HRESULT Answer(const char* method, const TaskDataBase& record, RecordTree* reply = nullptr) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_calls.push_back({method, record.TasksName(), record.strToken, reply != nullptr, reply && reply->IsEmpty()});
    auto it = m_outcomes.lower_bound(method);  // the earliest queued: equal keys keep their insertion order
    if (it == m_outcomes.end() || it->first != method) return S_OK;
    const HRESULT hr = it->second.hr;
    if (reply && !it->second.reply.IsEmpty()) *reply = std::move(it->second.reply);
    return m_outcomes.erase(it), hr;
  }
  std::mutex m_mutex;
  std::vector<Call> m_calls;
  std::multimap<std::string, Outcome> m_outcomes;
};
#undef OSTREL_FAKE_NOTIMPL
#undef OSTREL_FAKE_RETURNS
