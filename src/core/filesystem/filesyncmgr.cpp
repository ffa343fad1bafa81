// CFileSyncMgr: life, the opened-file table's operations, and how opens, downloads and
// uploads become tasks.
#include "core/filesystem/filesyncmgr.h"

#include <sys/stat.h>

#include <utility>

#include "common/checks.h"
#include "common/filehelper.h"
#include "common/pathcheck.h"
#include "common/recordtree.h"
#include "common/strhelper.h"
#include "core/filesystem/cachefiles.h"
#include "core/filesystem/prompttexts.h"
#include "core/filesystem/taskerror.h"
#include "core/interfaces/createtaskdata.h"

namespace {

// The managers that completion callbacks may reach, by the name handed to the task
// manager as context. A callback that comes after its manager is gone finds nothing.
class LiveManagers {
 public:
  static uintptr_t Add(std::weak_ptr<CFileSyncMgr> manager) {
    std::lock_guard<std::mutex> guard(Lock());
    const uintptr_t name = ++Next();
    Map().emplace(name, std::move(manager));
    return name;
  }
  static void Remove(uintptr_t name) {
    std::weak_ptr<CFileSyncMgr> gone;  // released after the lock
    std::lock_guard<std::mutex> guard(Lock());
    auto it = Map().find(name);
    if (it == Map().end()) return;
    gone = std::move(it->second);
    Map().erase(it);
  }
  static std::shared_ptr<CFileSyncMgr> Find(uintptr_t name) {
    std::lock_guard<std::mutex> guard(Lock());
    auto it = Map().find(name);
    return it == Map().end() ? nullptr : it->second.lock();
  }

 private:
  // Never destroyed: a callback may come while the process ends.
  static std::mutex& Lock() {
    static auto* lock = new std::mutex;
    return *lock;
  }
  static std::map<uintptr_t, std::weak_ptr<CFileSyncMgr>>& Map() {
    static auto* map = new std::map<uintptr_t, std::weak_ptr<CFileSyncMgr>>;
    return *map;
  }
  static uintptr_t& Next() {
    static uintptr_t next = 0;
    return next;
  }
};

// Set on the task manager's thread while it runs one of our completions: an open made
// there must not wait for an upload's end, which that very thread is to report.
thread_local bool t_inTaskEnd = false;

// What the user is told when a copy in the cache folder is claimed elsewhere.
std::string InEditText(const std::string& name) {
  return "文件“" + name + "”正在被您的另一个程序编辑，请等编辑结束后再试。";
}

}  // namespace

void CFileSyncMgr::_OnTaskFinish(TaskDataBase* record, void* context) {
  std::shared_ptr<CFileSyncMgr> self = LiveManagers::Find(reinterpret_cast<uintptr_t>(context));
  if (!record) return;
  if (!self) {
    OSTREL_LOG(kLogWarn, "CFileSyncMgr: the file system is gone; the end of %s %s is not handled",
               record->TasksName().c_str(), record->strFullPath.c_str());
    return;
  }
  t_inTaskEnd = true;
  self->_OnTaskFinished(*record);
  t_inTaskEnd = false;
}

CFileSyncMgr::CFileSyncMgr(FileSyncOptions options)
    : m_options(std::move(options)),
      m_clock(m_options.clock ? m_options.clock : Clock::System()),
      m_env(m_options.env ? m_options.env : FileEnv::Default()),
      m_claims(m_env),
      m_markers(m_env),
      m_notify(m_options.notify, m_clock, m_env) {}

CFileSyncMgr::~CFileSyncMgr() {
  UnInit();
  if (m_anchor) LiveManagers::Remove(m_anchor);
}

HRESULT CFileSyncMgr::Init(ISyncCenter* syncCenter, ILocalStorage* localStorage, IRemoteStorage* remoteStorage,
                           ITaskMgr* taskMgr) {
  if (!(syncCenter && localStorage && remoteStorage && taskMgr)) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: pSyncCenter && pLocalStorage && pRemoteStorage && pTaskMgr");
    return E_POINTER;
  }
  if (m_initialised.exchange(true) || m_stopped) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: !m_hWorkThread");
    return E_FAIL;
  }
  m_pSyncCenter = syncCenter;
  m_spLocalStorage = RefPtr<ILocalStorage>(localStorage);
  m_spRemoteStorage = RefPtr<IRemoteStorage>(remoteStorage);
  m_spTaskMgr = RefPtr<ITaskMgr>(taskMgr);
  // The folder the opened files are downloaded into (see CFileSystem::OpenFile).
  m_pathCache = localStorage->GetFullPath("");
  struct stat st {};
  if (m_pathCache.empty() || !m_env->Stat(m_pathCache, &st) || !S_ISDIR(st.st_mode)) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:m_pathCache.FileExists()");
    return E_FAIL;
  }
  if (!m_env->RealPath(m_pathCache, &m_cacheClaimPath)) m_cacheClaimPath = _ClaimPath(m_pathCache);
  m_claims.SetFolder(localStorage->GetTempFolder());
  m_anchor = LiveManagers::Add(weak_from_this());

  const HRESULT hrNotify = m_notify.Start(&CFileSyncMgr::_OnFileNotify, this, syncCenter, m_pathCache);
  if (FAILED(hrNotify)) return hrNotify;

  std::shared_ptr<CFileSyncMgr> self = shared_from_this();
  if (!m_thread.Start([self] { self->_WorkThread(); })) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:m_hWorkThread");
    return E_FAIL;
  }
  return S_OK;
}

HRESULT CFileSyncMgr::UnInit() {
  if (m_stopped.exchange(true)) return S_OK;
  const HRESULT hrNotify = m_notify.Stop();
  m_stopEvent.Set();
  const auto wait = m_options.stopWait;
  if (!m_thread.Join(wait))
    OSTREL_LOG(kLogError, "CFileSyncMgr::UnInit: 线程退出超时，TimeOut = %d", static_cast<int>(wait.count()));
  // An open that waits for an upload gives up; the copies are claimed no more.
  m_claims.Stop();
  m_claims.ReleaseAll();
  // Told after the lock: a log line may wait for other processes.
  std::vector<std::string> stillOpen;
  {
    std::lock_guard<std::mutex> guard(m_tableLock);
    for (const auto& [fileId, entry] : m_table) stillOpen.push_back(entry.localPath);
  }
  for (const std::string& localPath : stillOpen)
    OSTREL_LOG(kLogInfo, "CFileSyncMgr::UnInit(): %s is still open; an edit not sent stays in the cache folder",
               localPath.c_str());
  return hrNotify;
}

// --- the opened-file table ---------------------------------------------------------

HRESULT CFileSyncMgr::GetOpenFileList(std::vector<TaskListEntry>* files) {
  if (!files) return E_POINTER;
  std::lock_guard<std::mutex> guard(m_tableLock);
  files->reserve(files->size() + m_table.size());
  for (const auto& [fileId, entry] : m_table) {
    TaskListEntry row;
    row.strId = entry.fileId;
    row.strFullPath = entry.fullPath;
    row.nDirection = 1;
    row.nOpenFlags = entry.flags;
    files->push_back(std::move(row));
  }
  return S_OK;
}

HRESULT CFileSyncMgr::RemoveOpenFile(const std::string& fileId) {
  std::map<std::string, OpenFileEntry> removed;  // their programs and claims are given up after the lock
  {
    std::lock_guard<std::mutex> guard(m_tableLock);
    if (fileId.empty()) {
      removed.swap(m_table);
    } else if (auto node = m_table.extract(fileId)) {
      removed.insert(std::move(node));
    }
  }
  for (const auto& [id, entry] : removed)
    if (!entry.claim.empty()) m_claims.Drop(entry.claim);
  return S_OK;
}

HRESULT CFileSyncMgr::GetOpenFileInfo(const std::string& fileId, std::string* localPath, std::string* fullPath,
                                      int64_t* fileVer) {
  std::lock_guard<std::mutex> guard(m_tableLock);
  auto it = m_table.find(fileId);
  if (it == m_table.end()) return E_FAIL;
  if (localPath) *localPath = it->second.localPath;
  if (fullPath) *fullPath = it->second.fullPath;
  if (fileVer) *fileVer = it->second.fileVer;
  return S_OK;
}

bool CFileSyncMgr::IsFileOpen(const std::string& fileId) {
  std::lock_guard<std::mutex> guard(m_tableLock);
  return m_table.count(fileId) != 0;
}

HRESULT CFileSyncMgr::ReopenFile(const std::string& fileId) {
  OpenFileEntry entry;
  {
    std::lock_guard<std::mutex> guard(m_tableLock);
    auto it = m_table.find(fileId);
    if (it == m_table.end()) return E_FAIL;
    entry = it->second;
  }
  // The upload holds the copy's claim of its own until it ends.
  const std::string claim = entry.claim.empty() ? _ClaimPath(entry.localPath) : entry.claim;
  HRESULT hr = m_claims.Hold(claim);
  if (SUCCEEDED(hr)) {
    _CarryHold(&m_uploadHolds, claim);
    hr = _AddFileTask(entry.fileId, std::string(), entry.fileVer, entry.fullPath, entry.localPath, true, true);
    if (FAILED(hr)) {
      _UncarryHold(&m_uploadHolds, claim);
      m_claims.Drop(claim);
    }
  }
  if (FAILED(hr)) OSTREL_LOG(kLogError, "%s", "*ASSERT*: (((HRESULT)(hr)) >= 0)");
  return hr;
}

// --- claims ------------------------------------------------------------------------

bool CFileSyncMgr::_IsBeingSentLocked(const std::string& claim) const {
  auto it = m_uploadHolds.find(claim);
  return it != m_uploadHolds.end() && it->second > 0;
}

void CFileSyncMgr::_CarryHold(std::map<std::string, int>* carried, const std::string& claim) {
  std::lock_guard<std::mutex> guard(m_tableLock);
  ++(*carried)[claim];
}

void CFileSyncMgr::_UncarryHold(std::map<std::string, int>* carried, const std::string& claim) {
  std::lock_guard<std::mutex> guard(m_tableLock);
  auto it = carried->find(claim);
  if (it != carried->end() && --it->second <= 0) carried->erase(it);
}

std::string CFileSyncMgr::_TakeCarriedHold(const TaskDataBase& record) {
  const std::string& name = record.TasksName();
  std::map<std::string, int>* carried =
      name == "DownloadFile" ? &m_downloadHolds : name == "UpdateFile" ? &m_uploadHolds : nullptr;
  if (!carried || record.strSecondPath.empty()) return std::string();
  const std::string claim = _ClaimPath(record.strSecondPath);
  std::lock_guard<std::mutex> guard(m_tableLock);
  auto it = carried->find(claim);
  if (it == carried->end()) return std::string();  // a task that took no hold (a retry, a plain upload)
  if (--it->second <= 0) carried->erase(it);
  return claim;
}

HRESULT CFileSyncMgr::_HoldCopy(const std::string& claim, const std::string& fullPath, bool open) {
  // A plain download never replaces a copy this process holds: a program edits it, or
  // its edit is being sent.
  const HRESULT hr = !open && m_claims.HeldHere(claim) ? E_CV_LOCAL_IN_EDIT : m_claims.Hold(claim);
  const std::string name = TaskPathLastElement(fullPath);
  if (hr == E_CV_LOCAL_IN_EDIT) {
    OSTREL_LOG(kLogInfo, "CFileSyncMgr: %s is being edited by another program of the user; it is left as it is",
               claim.c_str());
    _Notify(InEditText(name));
  } else if (FAILED(hr)) {
    _Notify(TransferFailedText(open ? "打开" : "下载", name, hr));
  }
  return hr;
}

// --- tasks -----------------------------------------------------------------------

HRESULT CFileSyncMgr::RetryTask(const std::string& taskId) {
  if (!m_spTaskMgr) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: m_pTaskMgr");
    return E_FAIL;
  }
  return m_spTaskMgr->RetryTask(taskId, &CFileSyncMgr::_OnTaskFinish, _Context());
}

HRESULT CFileSyncMgr::UploadFile(const std::string& fileId, const std::string& parentId, int64_t fileVer,
                                 const std::string& fullPath, const std::string& srcPath, bool async) {
  return _AddFileTask(fileId, parentId, fileVer, fullPath, srcPath, false, async);
}

HRESULT CFileSyncMgr::_AddFileTask(const std::string& fileId, const std::string& parentId, int64_t fileVer,
                                   const std::string& fullPath, const std::string& srcPath, bool force,
                                   bool async) {
  if (!m_spTaskMgr) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: m_pTaskMgr");
    return E_FAIL;
  }
  TaskDataBase* record = fileId.empty()
                             ? static_cast<TaskDataBase*>(CreateTaskData_UpdateNewFile(parentId, fullPath, srcPath))
                             : CreateTaskData_UpdateFile(fileId, fullPath, std::to_string(fileVer), srcPath);
  if (async) return m_spTaskMgr->AddTask(record, force, &CFileSyncMgr::_OnTaskFinish, _Context());
  TaskDataPtr<TaskDataBase> owned(record);
  RecordTree reply;
  return m_spTaskMgr->ExecuteTask(record, &reply, kFileTransferTries);
}

HRESULT CFileSyncMgr::OpenFile(const std::string& fileId, const std::string& fullPath,
                               const std::string& localPath, ItemSpace space) {
  const std::string claim = _ClaimPath(localPath);
  for (;;) {
    bool isOpen = false, beingSent = false;
    {
      std::lock_guard<std::mutex> guard(m_tableLock);
      isOpen = m_table.count(fileId) != 0;
      beingSent = !isOpen && _IsBeingSentLocked(claim);
    }
    if (isOpen) {
      if (RefPtr<IShellAdapter> shell = _Shell())
        shell->ShowMessage("文件“" + TaskPathLastElement(fullPath) + "”已处于打开状态，不能重复打开。", kPromptCaption);
      return S_OK;
    }
    if (!beingSent) break;
    // The copy holds the last edit until its upload has ended: after a success it is
    // the stored version, after a failure the conflict question keeps it safe.
    if (t_inTaskEnd) {
      OSTREL_LOG(kLogWarn, "CFileSyncMgr: %s is not opened: its last edit is still being sent", localPath.c_str());
      _Notify(InEditText(TaskPathLastElement(fullPath)));
      return E_CV_LOCAL_IN_EDIT;
    }
    OSTREL_LOG(kLogInfo, "CFileSyncMgr: the open of %s waits for the upload of its last edit", localPath.c_str());
    if (!m_claims.WaitUntilDropped(claim)) {
      OSTREL_LOG(kLogInfo, "CFileSyncMgr: stopped; %s is not opened", localPath.c_str());
      return E_ABORT;
    }
  }
  return _DownloadFile(fileId, fullPath, localPath, true, true, true, space);
}

HRESULT CFileSyncMgr::DownloadFile(const std::string& fileId, const std::string& fullPath,
                                   const std::string& destPath, bool async, ItemSpace space,
                                   const std::string& destRoot) {
  return _DownloadFile(fileId, fullPath, destPath, false, false, async, space, destRoot);
}

HRESULT CFileSyncMgr::_DownloadFile(const std::string& fileId, const std::string& fullPath,
                                    const std::string& localPath, bool force, bool open, bool async,
                                    ItemSpace space, const std::string& destRoot) {
  if (!m_spTaskMgr || !m_spRemoteStorage) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: m_pTaskMgr && m_pRemoteStorage");
    return E_FAIL;
  }
  if (localPath.empty()) return E_INVALIDARG;
  // The copy is claimed before anything touches it: an open's, and a download's into
  // the cache folder.
  std::string claim = _ClaimPath(localPath);
  if (!open && !IsPathInFolder(claim, m_cacheClaimPath)) claim.clear();
  if (!claim.empty()) {
    const HRESULT held = _HoldCopy(claim, fullPath, open);
    if (FAILED(held)) return held;
  }
  // Dropped on every way out that leaves no task or entry to keep it.
  struct HoldGuard {
    CEditClaims* claims;
    std::string claim;
    ~HoldGuard() {
      if (!claim.empty()) claims->Drop(claim);
    }
  } hold{&m_claims, claim};

  const bool isFile = IsRegularFile(localPath, m_env);
  if (isFile && !SetFileWritable(localPath, m_env)) OSTREL_LOG(kLogError, "%s", "*ASSERT*: bRet");
  if (!open) m_markers.Acquire(localPath);

  CFileItemRecord item;
  const bool cached = SUCCEEDED(m_spLocalStorage->GetItemInfo(fileId, &item, space));
  if (isFile && cached) {
    if (IsLocalCopyUnchanged(localPath, item, m_env)) {
      if (_IsCurrentOnService(fileId, item.fileVer)) {
        // The copy is the service's current content: it is taken as downloaded.
        TaskDataPtr<TaskData_DownloadFile> record(CreateTaskData_DownloadFile(fileId, fullPath, localPath));
        record->nOpenFlags = open ? kOpenFlagForEdit : 0;
        record->nFileVer = item.fileVer;
        record->strSha1 = item.strSha1;
        record->taskState.eTaskStateType = TS_Finish;
        if (_OnTaskSucceeded(*record, claim)) hold.claim.clear();
        if (!open) m_markers.Release(localPath);
        return S_OK;
      }
    } else {
      const HRESULT hr = _PutLocalEditAside(localPath, item.strName);
      if (FAILED(hr)) {
        if (!open) m_markers.Release(localPath);
        _Notify(TransferFailedText(open ? "打开" : "下载", TaskPathLastElement(fullPath), hr));
        return hr;
      }
    }
  }

  TaskData_DownloadFile* record = CreateTaskData_DownloadFile(fileId, fullPath, localPath);
  if (open) record->nOpenFlags |= kOpenFlagForEdit;
  record->strDestRoot = destRoot;
  if (cached && !item.bIsDir) {
    // What the listing said bounds a download of that version.
    record->nItemSize = item.size;
    record->nItemFileVer = item.fileVer;
  }
  HRESULT hr = E_FAIL;
  if (async) {
    // The task carries the hold until it ends (see _OnTaskFinished).
    if (!claim.empty()) _CarryHold(&m_downloadHolds, claim);
    hr = m_spTaskMgr->AddTask(record, force, &CFileSyncMgr::_OnTaskFinish, _Context());
    if (FAILED(hr)) {
      OSTREL_LOG(kLogWarn, "ERROR_CHECK_COM hr = %x: hr", static_cast<unsigned>(hr));
      if (!claim.empty()) _UncarryHold(&m_downloadHolds, claim);
      if (!open) m_markers.Release(localPath);
    } else {
      hold.claim.clear();
    }
    return hr;
  }
  TaskDataPtr<TaskDataBase> owned(record);
  RecordTree reply;
  hr = m_spTaskMgr->ExecuteTask(record, &reply, kFileTransferTries);
  if (!open) m_markers.Release(localPath);
  return hr;
}

bool CFileSyncMgr::_IsCurrentOnService(const std::string& fileId, int64_t fileVer) {
  TaskDataPtr<TaskDataBase> record(CreateTaskData_GetFileInfo(fileId));
  RecordTree reply;
  if (m_spTaskMgr->ExecuteTask(record.get(), &reply, 1) != S_OK) return false;
  int64_t current = 0;
  return ParseServiceVersion(reply.GetValue("fileVer"), &current) && current == fileVer;
}

HRESULT CFileSyncMgr::_PutLocalEditAside(const std::string& localPath, const std::string& name) {
  RefPtr<IShellAdapter> shell = _Shell();
  const int32_t answer =
      shell ? shell->ShowWizard("Wizard_OpenConflict",
                                "发现本地有一份修改未上传到服务器中，可能是上次文件上传失败导致，建议先另存出来。",
                                kPromptCaption, "另存...|放弃", 1, kPromptRemember, -1)
            : -1;
  if (answer == 1 || answer == -2) {
    const std::string folder = shell->PickFolder("另存为");
    const std::string copyName = IsSafePathComponent(name) ? name : GetFileNameFromPath(localPath);
    std::string target;
    if (!folder.empty() && JoinLocalName(folder, copyName, &target)) {
      // A copy onto the file itself would go to the trash with it.
      struct stat edit {}, there {};
      if (m_env->Stat(localPath, &edit) && m_env->Stat(target, &there) && edit.st_dev == there.st_dev &&
          edit.st_ino == there.st_ino) {
        OSTREL_LOG(kLogWarn, "CFileSyncMgr: %s is not copied onto itself", localPath.c_str());
      } else if (!CopyFileReplace(localPath, target, m_env)) {
        OSTREL_LOG(kLogError, "%s", "*ASSERT*: bRet");
      }
    }
  }
  if (FAILED(DeleteToRecycleBin(localPath, m_env))) {
    OSTREL_LOG(kLogWarn, "CFileSyncMgr: the local edit %s cannot go to the trash; it stays and nothing is downloaded",
               localPath.c_str());
    return E_FAIL;
  }
  return S_OK;
}

// --- the windows -------------------------------------------------------------------

RefPtr<IShellAdapter> CFileSyncMgr::_Shell() {
  void* object = nullptr;
  if (!m_pSyncCenter || FAILED(m_pSyncCenter->GetInterface(IID_IShellAdapter, &object)) || !object) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: spShellAdapter");
    return RefPtr<IShellAdapter>();
  }
  return RefPtr<IShellAdapter>::Adopt(static_cast<IShellAdapter*>(object));
}

void CFileSyncMgr::_Notify(const std::string& text) {
  if (RefPtr<IShellAdapter> shell = _Shell()) shell->ShowNotify(text, kPromptCaption, 1, 30000);
}
