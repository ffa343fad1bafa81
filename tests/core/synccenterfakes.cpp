#include "core/synccenterfakes.h"

#include <sstream>
#include <utility>

#include "common/strformat.h"

// --- Journal ---

void Journal::Add(const std::string& event) {
  std::function<void(const std::string&)> observer;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_entries.push_back(event);
    observer = m_observer;
  }
  if (observer) observer(event);
}

std::vector<std::string> Journal::Entries() {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_entries;
}

std::vector<std::string> Journal::With(const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& entry : Entries())
    if (entry.rfind(prefix, 0) == 0) out.push_back(entry);
  return out;
}

int Journal::Count(const std::string& event) {
  int n = 0;
  for (const std::string& entry : Entries()) n += entry == event;
  return n;
}

void Journal::Clear() {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_entries.clear();
}

void Journal::SetObserver(std::function<void(const std::string&)> observer) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_observer = std::move(observer);
}

RecordTree FakeSignIn::Reply() const {
  RecordTree reply("nuvra");
  if (FAILED(result)) return reply;
  reply.AddValue("userId", userId);
  reply.AddValue("token", token);
  reply.AddValue("email", email);
  reply.AddValue("nickName", nickName);
  return reply;
}

namespace {

using Shared = FakeComponents::Shared;

// What every fake shares: the journal, the failure plan and the count of live fakes.
struct FakeBase {
  FakeBase(std::string kind, std::shared_ptr<Journal> journal, std::shared_ptr<Shared> shared,
           std::shared_ptr<std::atomic<int>> alive)
      : kind(std::move(kind)), journal(std::move(journal)), shared(std::move(shared)), alive(std::move(alive)) {
    if (this->alive) ++*this->alive;
  }
  ~FakeBase() {
    if (journal) journal->Add(kind + ".Released");
    if (alive) --*alive;
  }
  // Records the step and answers its planned failure, or S_OK.
  HRESULT Step(const std::string& step) {
    const std::string event = kind + "." + step;
    if (journal) journal->Add(event);
    if (!shared) return S_OK;
    std::lock_guard<std::mutex> guard(shared->mutex);
    return shared->failAt == event ? shared->failure : S_OK;
  }
  std::string kind;
  std::shared_ptr<Journal> journal;
  std::shared_ptr<Shared> shared;
  std::shared_ptr<std::atomic<int>> alive;
};

#define FAKE_RETURNS(hr, Method, ...) \
  HRESULT Method(__VA_ARGS__) override { return hr; }
#define FAKE_NOTIMPL(Method, ...) FAKE_RETURNS(E_NOTIMPL, Method, __VA_ARGS__)

class FakeLocalStorageComponent final : public CUnknownImpl<ILocalStorage>, FakeBase {
 public:
  using FakeBase::FakeBase;
  HRESULT Init(const std::string&, const std::string&) override { return Step("Init"); }
  HRESULT UnInit() override { return Step("UnInit"); }
  HRESULT ClearLastSnapshot() override { return Step("ClearLastSnapshot"); }
  FAKE_NOTIMPL(BeginTransaction) FAKE_NOTIMPL(CommitTransaction)
  bool FolderNeedUpdate(const std::string&, ItemSpace) override { return true; }
  FAKE_NOTIMPL(GetLastSyncSnapshot, const std::string&, std::vector<CFileItemRecord>*, ItemSpace)
  FAKE_NOTIMPL(GetItemInfo, const std::string&, CFileItemRecord*, ItemSpace)
  FAKE_NOTIMPL(GetItemShareRight, const std::string&, std::vector<ShareEntry>*, ItemSpace)
  FAKE_NOTIMPL(AddOrUpdateFileItem, const CFileItemRecord&, ItemSpace)
  FAKE_NOTIMPL(UpdateFileVersion, const std::string&, int64_t, int64_t, const std::string&)
  FAKE_NOTIMPL(ClearOldFileItem, const std::string&, ItemSpace)
  FAKE_NOTIMPL(UpdateFolderCacheVesion, const std::string&, ItemSpace, int64_t)
  FAKE_NOTIMPL(SetCurCacheVesion, int64_t) FAKE_NOTIMPL(SetCurShareCacheVesion, int64_t)
  FAKE_NOTIMPL(AdoptServiceVersions, int64_t, int64_t) FAKE_NOTIMPL(BeginListingTransaction, ItemSpace, int64_t)
  int64_t GetCurCacheVesion(int64_t defaultValue) override { return defaultValue; }
  int64_t GetCurShareCacheVesion(int64_t defaultValue) override { return defaultValue; }
  FAKE_NOTIMPL(GetFileSha1ByPath, const std::string&, std::string*, bool)
  FAKE_NOTIMPL(GetFileSizeByPath, const std::string&, int64_t*, bool)
  FAKE_NOTIMPL(GetFileTimeByPath, const std::string&, std::string*, std::string*, bool)
  FAKE_NOTIMPL(DeleteFileItem, const std::string&, ItemSpace)
  FAKE_NOTIMPL(DeleteFoldItem, const std::string&, ItemSpace)
  FAKE_NOTIMPL(EncodeFile, const std::string&, const std::string&, const std::string&, const std::string&)
  FAKE_NOTIMPL(DecodeFile, const std::string&, const std::string&, const std::string&)
  std::string GetTempFilePath() override { return std::string(); }
  std::string GetTempFolder() override { return std::string(); }
  std::string GetFullPath(const std::string&) override { return std::string(); }
  FAKE_NOTIMPL(CopyFileToTempPathByFullPath, const std::string&, std::string*, bool)
  FAKE_NOTIMPL(MoveTempFileToSyncSpace, const std::string&, const std::string&, const std::string&)
  FAKE_NOTIMPL(LocalFullTextSearch, const std::string&, std::vector<CFileItemRecord>*)
  FAKE_NOTIMPL(SetFolderViewMode, const std::string&, int, int, ItemSpace)
  int GetFolderViewMode(const std::string&, int, ItemSpace) override { return 0; }
};

class FakeRemoteStorageComponent final : public CUnknownImpl<IRemoteStorage>, FakeBase {
 public:
  using FakeBase::FakeBase;
  using Progress = TransportProgressCallback;
  HRESULT Init() override { return Step("Init"); }
  HRESULT UnInit() override { return Step("UnInit"); }
  HRESULT Login(const TaskData_Login& r, Progress, void*, RecordTree* reply) override {
    {
      std::lock_guard<std::mutex> guard(shared->mutex);
      shared->passwords.push_back(r.strPassword);
    }
    journal->Add("Request.Login(" + r.strUser + ")");
    return Answer(reply);
  }
  HRESULT ReLogin(const TaskData_ReLogin& r, Progress, void*, RecordTree* reply) override {
    journal->Add("Request.ReLogin(" + r.strToken + ")");
    return Answer(reply);
  }
  HRESULT CheckProxyServer(RecordTree*) override { return Step("CheckProxyServer"); }
#define FAKE_SLOT(M, Record) FAKE_NOTIMPL(M, const TaskData_##Record&, Progress, void*, RecordTree*)
  FAKE_SLOT(GetSpace, GetSpace) FAKE_SLOT(Dir, Dir) FAKE_SLOT(GetMaxVers, GetRemoteOptVer)
  FAKE_SLOT(GetRecycle, GetRecycle) FAKE_SLOT(CleanRecycle, CleanRecycle) FAKE_SLOT(Recover, Recover)
  FAKE_SLOT(PushNotify, PushNotify) FAKE_SLOT(GetAllShareFile, GetAllShareFile) FAKE_SLOT(Rename, Rename)
  FAKE_SLOT(NewFolder, DirectoryAdd) FAKE_SLOT(Move, Move) FAKE_SLOT(Move2, Move) FAKE_SLOT(NewFile, NewFile)
  FAKE_SLOT(UpdateFile, UpdateFile) FAKE_SLOT(_UploadFile, UpdateFile) FAKE_SLOT(SetFileModTime, UpdateFile)
  FAKE_SLOT(DownloadFile, DownloadFile) FAKE_SLOT(GetItemInfo, GetItemInfo) FAKE_SLOT(GetThumbnail, GetThumbnail)
  FAKE_SLOT(FullTextSearch, FullTextSearch)
#undef FAKE_SLOT
  FAKE_NOTIMPL(Delete, const TaskData_Delete&, Progress, void*)
  FAKE_NOTIMPL(DeleteEx, const TaskData_Delete&, Progress, void*)
  FAKE_NOTIMPL(GetGlobalVersion, const std::string&, std::string*)
  FAKE_NOTIMPL(UploadFile_UFA, const TaskData_UpdateFile_UFA&, const std::vector<std::string>&, Progress, void*,
               std::string*)
  FAKE_NOTIMPL(DownloadFile_UFA, TaskData_DownloadFile_UFA&, ILocalStorage*, Progress, void*, bool)
  FAKE_NOTIMPL(GetNormalItemSnapshot, const SnapshotRecord&, Progress, void*, RecordTree*)
  FAKE_NOTIMPL(GetDeletedItemSnapshot, const SnapshotRecord&, Progress, void*, RecordTree*)
  FAKE_NOTIMPL(ShareFile, const ShareRecord&, Progress, void*, RecordTree*)
  FAKE_NOTIMPL(UploadBlock, const std::string&, Progress, void*, const std::string&, const std::string&, RecordTree*)
  FAKE_NOTIMPL(DownloadBlock, const std::string&, Progress, void*, const std::string&, const std::string&,
               const std::string&)
  FAKE_NOTIMPL(HttpRequest, const std::string&, const std::string&, const std::string*, Progress, void*,
               std::string*, int32_t)

 private:
  HRESULT Answer(RecordTree* reply) {
    FakeSignIn signIn;
    {
      std::lock_guard<std::mutex> guard(shared->mutex);
      signIn = shared->signIn;
    }
    if (reply) *reply = signIn.Reply();
    return signIn.result;
  }
};

class FakeTaskMgrComponent final : public CUnknownImpl<ITaskMgr>, FakeBase {
 public:
  using FakeBase::FakeBase;
  HRESULT Init(ISyncCenter* syncCenter, ILocalStorage* localStorage, IRemoteStorage* remoteStorage) override {
    // As the real one: the session token is read at Init.
    std::string token;
    const HRESULT hr = syncCenter ? syncCenter->GetUserInfo(nullptr, &token, nullptr, nullptr) : E_POINTER;
    if (hr != S_OK || token.empty() || !localStorage || !remoteStorage) journal->Add("TaskMgr.Init without session");
    return Step("Init");
  }
  HRESULT UnInit() override { return Step("UnInit"); }
  HRESULT Start() override { return Step("Start"); }
  HRESULT Stop(uint32_t timeoutMs) override {
    return Step(timeoutMs == 0xFFFFFFFF ? "Stop" : "Stop(bounded)");
  }
  FAKE_NOTIMPL(ExecuteTask, TaskDataBase*, RecordTree*, int32_t)
  HRESULT AddTask(TaskDataBase* record, bool, TaskCompletionCallback, void*) override {
    if (record) record->Release();
    return E_NOTIMPL;
  }
  FAKE_NOTIMPL(CancelTask, const std::string&) FAKE_RETURNS(S_OK, Reserved10)
  FAKE_NOTIMPL(GetTaskList, bool, std::vector<TaskListEntry>*)
  FAKE_NOTIMPL(RemoveFinishedTask, const std::string&)
  FAKE_NOTIMPL(RetryTask, const std::string&, TaskCompletionCallback, void*)
};

class FakeEventCenterComponent final : public CUnknownImpl<IEventCenter>, FakeBase {
 public:
  using FakeBase::FakeBase;
  HRESULT Init(ISyncCenter*) override { return Step("Init"); }
  HRESULT UnInit() override { return Step("UnInit"); }
  HRESULT Start() override { return Step("Start"); }
  HRESULT Stop() override { return Step("Stop"); }
};

std::string Arg(const std::string& s) { return s; }
std::string Arg(bool b) { return b ? "1" : "0"; }
std::string Arg(int32_t n) { return std::to_string(n); }
std::string Arg(int64_t n) { return std::to_string(n); }
std::string Arg(ItemSpace s) { return "space" + std::to_string(static_cast<int>(s)); }
template <class T>
std::string Arg(T* p) {
  return p ? "out" : "null";
}

template <class... A>
std::string Call(const char* slot, const A&... args) {
  std::string text = std::string("FileSystem.") + slot + "(";
  bool first = true;
  ((text += (first ? "" : ","), text += Arg(args), first = false), ...);
  return text + ")";
}

class FakeFileSystemComponent final : public CUnknownImpl<IFileSystem>, FakeBase {
 public:
  using FakeBase::FakeBase;
  HRESULT Init(ISyncCenter*, ILocalStorage*, IRemoteStorage*, ITaskMgr*) override { return Step("Init"); }
  HRESULT UnInit() override { return Step("UnInit"); }
#define FAKE_FS(Slot, Params, ...)              \
  HRESULT Slot Params override {                \
    journal->Add(Call(#Slot __VA_OPT__(, ) __VA_ARGS__));   \
    return kFakeAnswer;                         \
  }
  FAKE_FS(GetMaxVer, (std::string * opVer), opVer)
  FAKE_FS(GetSpaceInfo, (int64_t * used, int64_t* total, bool force), used, total, force)
  FAKE_FS(NewFolder, (const std::string& p, const std::string& f, std::string* id), p, f, id)
  FAKE_FS(Rename, (bool d, const std::string& id, const std::string& n), d, id, n)
  FAKE_FS(Move, (bool d, const std::string& id, const std::string& p), d, id, p)
  FAKE_FS(Delete, (bool d, const std::string& id, ItemSpace s), d, id, s)
  FAKE_FS(OpenFile, (const std::string& id, const std::string& p, const std::string& f, ItemSpace s), id, p, f, s)
  FAKE_FS(DownloadFile,
          (const std::string& id, const std::string& p, const std::string& f, const std::string& d, bool a,
           ItemSpace s),
          id, p, f, d, a, s)
  FAKE_FS(UploadFile,
          (const std::string& id, const std::string& p, int64_t v, const std::string& f, const std::string& s,
           bool a),
          id, p, v, f, s, a)
  FAKE_FS(DownloadFolder,
          (const std::string& id, const std::string& p, const std::string& f, const std::string& d, int32_t v), id,
          p, f, d, v)
  FAKE_FS(UploadFolder, (const std::string& p, const std::string& v, const std::string& f, const std::string& s), p,
          v, f, s)
  FAKE_FS(GetThumbnail, (const std::string& id, const std::string& c, int32_t h, int32_t w), id, c, h, w)
  FAKE_FS(FullTextSearch, (const std::string& t, int32_t k, std::vector<CFileItemRecord>* items), t, k, items)
  FAKE_FS(SetFolderViewMode, (const std::string& id, int32_t m, int32_t r, ItemSpace s), id, m, r, s)
  int32_t GetFolderViewMode(const std::string& id, int32_t r, ItemSpace s) override {
    journal->Add(Call("GetFolderViewMode", id, r, s));
    return kFakeViewMode;
  }
  bool FolderNeedUpdate(const std::string& id, ItemSpace s) override {
    journal->Add(Call("FolderNeedUpdate", id, s));
    return false;
  }
  FAKE_FS(DirMyFile, (const std::string& p, const std::string& f, std::vector<CFileItemRecord>* i, bool r), p, f, i,
          r)
  FAKE_FS(DirShareToOther, (const std::string& p, const std::string& f, std::vector<CFileItemRecord>* i, bool r), p,
          f, i, r)
  FAKE_FS(DirShareToMe, (const std::string& p, const std::string& f, std::vector<CFileItemRecord>* i, bool r), p, f,
          i, r)
  FAKE_FS(Reserved24, ())
  FAKE_FS(GetItemShareRight, (const std::string& id, std::vector<ShareEntry>* e, ItemSpace s), id, e, s)
  FAKE_FS(GetRecycle, (const std::string& v, int32_t n, std::vector<CFileItemRecord>* i), v, n, i)
  FAKE_FS(CleanRecycle, (const std::string& id), id)
  FAKE_FS(Recover, (const std::string& id, const std::string& p), id, p)
  FAKE_FS(CancelTask, (const std::string& id), id)
  FAKE_FS(GetTaskList, (std::vector<TaskListEntry> * r, std::vector<TaskListEntry>* f), r, f)
  FAKE_FS(RemoveFinishedTask, (const std::string& id), id)
  FAKE_FS(Reserved32, ())
  FAKE_FS(RetryTask, (const std::string& id), id)
  FAKE_FS(GetOpenFileList, (std::vector<TaskListEntry> * f), f)
  FAKE_FS(RemoveOpenFile, (const std::string& id), id)
  FAKE_FS(GetOpenFileInfo, (const std::string& id, std::string* l, std::string* f, int64_t* v), id, l, f, v)
  FAKE_FS(ReopenFile, (const std::string& id), id)
#undef FAKE_FS
};

#undef FAKE_NOTIMPL
#undef FAKE_RETURNS

// A creation function for one kind of fake: records "<Kind>.Create" and fails as planned.
template <class Fake, class Interface>
std::function<HRESULT(Interface**)> Creator(const char* kind, std::shared_ptr<Journal> journal,
                                            std::shared_ptr<Shared> shared,
                                            std::shared_ptr<std::atomic<int>> alive) {
  return [kind, journal, shared, alive](Interface** pp) -> HRESULT {
    journal->Add(std::string(kind) + ".Create");
    {
      std::lock_guard<std::mutex> guard(shared->mutex);
      if (shared->failAt == std::string(kind) + ".Create") return shared->failure;
    }
    auto* fake = new Fake(kind, journal, shared, alive);
    fake->AddRef();
    *pp = fake;
    return S_OK;
  };
}

}  // namespace

FakeComponents::FakeComponents()
    : m_journal(std::make_shared<Journal>()),
      m_shared(std::make_shared<Shared>()),
      m_alive(std::make_shared<std::atomic<int>>(0)) {}

void FakeComponents::FailAt(const std::string& step, HRESULT failure) {
  std::lock_guard<std::mutex> guard(m_shared->mutex);
  m_shared->failAt = step;
  m_shared->failure = failure;
}

void FakeComponents::SetSignIn(const FakeSignIn& signIn) {
  std::lock_guard<std::mutex> guard(m_shared->mutex);
  m_shared->signIn = signIn;
}

std::vector<std::string> FakeComponents::Passwords() {
  std::lock_guard<std::mutex> guard(m_shared->mutex);
  return m_shared->passwords;
}

CoreComponentFactory FakeComponents::Factory() {
  CoreComponentFactory factory;
  factory.createLocalStorage =
      Creator<FakeLocalStorageComponent, ILocalStorage>("LocalStorage", m_journal, m_shared, m_alive);
  factory.createRemoteStorage =
      Creator<FakeRemoteStorageComponent, IRemoteStorage>("RemoteStorage", m_journal, m_shared, m_alive);
  factory.createTaskMgr = Creator<FakeTaskMgrComponent, ITaskMgr>("TaskMgr", m_journal, m_shared, m_alive);
  factory.createFileSystem = Creator<FakeFileSystemComponent, IFileSystem>("FileSystem", m_journal, m_shared, m_alive);
  factory.createEventCenter =
      Creator<FakeEventCenterComponent, IEventCenter>("EventCenter", m_journal, m_shared, m_alive);
  return factory;
}

RefPtr<IFileSystem> MakeFakeFileSystem(std::shared_ptr<Journal> journal) {
  return RefPtr<IFileSystem>(new FakeFileSystemComponent("FileSystem", std::move(journal), nullptr, nullptr));
}
