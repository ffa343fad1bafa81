// CFileSystem: the file-system facade (IFileSystem). Every remote operation runs one
// task record through the task manager on the caller's thread, with a fixed number of
// tries (see FileSystemTries); listings are served from the local storage while its
// versions say the folder is current, and written back to it when they come from the
// service.
//
// Threads: any slot may be called from any thread once Init has returned, also at
// once. The facade holds no lock while it calls another component; its one lock guards
// the cached quota. Transfers and the opened files are the embedded file sync
// manager's (filesyncmgr.h), which has a thread and locks of its own. The writes of one listing go to the local storage between its
// BeginTransaction and CommitTransaction on the calling thread, so the rows of two
// listings never mix.
//
// Listings (see listings.cpp and sharelistings.cpp) hand out what one attempt found: a
// snapshot read or a service listing that fails appends nothing, and the caller's list
// receives the items of the attempt that answered. Items that cannot be stored safely
// (see IsStorableItem) are left out of the listings that are stored.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "common/recordtree.h"
#include "common/unknown.h"
#include "core/filesystem/filesyncmgr.h"
#include "core/filesystem/filesyncoptions.h"
#include "core/filesystem/prompttexts.h"
#include "core/interfaces/ifilesystem.h"
#include "core/interfaces/ilocalstorage.h"
#include "core/interfaces/isynccenter.h"
#include "core/interfaces/taskdata.h"
#include "platform/folderhandle.h"
#include "shell/ishelladapter.h"

// How often each operation sends its request while it fails with a network result.
struct FileSystemTries {
  static constexpr int32_t kListing = 2;     // listings, the version query inside one, quota, search
  static constexpr int32_t kOperation = 3;   // item operations, thumbnails, GetMaxVer, Init's version query
};


// Makes a file system and stores it in *ppObj with one reference for the caller. S_OK;
// E_FAIL when ppObj is null ("*ASSERT*: ppObj") or the object cannot be made
// ("ERROR_CHECK_BOOLEX:pFileSystem").
HRESULT CreateFileSystem(IFileSystem** ppObj);
// The same with the file sync manager's options in place of the defaults.
HRESULT CreateFileSystem(IFileSystem** ppObj, const FileSyncOptions& options);

class CFileSystem final : public CUnknownImpl<IFileSystem> {
 public:
  explicit CFileSystem(const FileSyncOptions& options = {});

  // Keeps a reference to the local storage and the task manager and a pointer to the
  // sync centre (which owns this object and outlives it), reads the session token,
  // starts the file sync manager and takes the service's operation and share versions
  // as they are (see ILocalStorage::AdoptServiceVersions). E_POINTER when one of the four is missing; E_FAIL when Init ran before or
  // nobody is signed in; else the failure of the file sync manager's Init, of the
  // version query or of storing a version, or S_OK.
  HRESULT Init(ISyncCenter* syncCenter, ILocalStorage* localStorage, IRemoteStorage* remoteStorage,
               ITaskMgr* taskMgr) override;
  // Forgets the cached quota and stops the watch of opened files (waiting for its
  // thread). A second call does nothing more. S_OK.
  HRESULT UnInit() override;

  // A version the service answers that is not a plain decimal of at most 2^53 is
  // refused: E_FAIL, *opVer untouched.
  HRESULT GetMaxVer(std::string* opVer) override;
  // A figure the service answers that is not a plain 64-bit decimal is refused: E_FAIL,
  // nothing cached, the outs untouched.
  HRESULT GetSpaceInfo(int64_t* used, int64_t* total, bool forceRefresh) override;
  HRESULT NewFolder(const std::string& parentId, const std::string& fullPath, std::string* fileId) override;
  HRESULT Rename(bool isDir, const std::string& fileId, const std::string& newName) override;
  // On E_CV_TARGET_EXISTS the user is told through the shell adapter's prompt; the
  // answer does not change the result. No lock is held meanwhile.
  HRESULT Move(bool isDir, const std::string& fileId, const std::string& newParentId) override;
  // After the service's delete, the stored item (a folder with everything below it)
  // goes from the local storage; a failure there is logged, the result is the service's.
  HRESULT Delete(bool isDir, const std::string& fileId, ItemSpace space) override;

  // Transfers (transfers.cpp). OpenFile answers S_OK, whatever happens, the file sync
  // manager telling the user, except E_CV_LOCAL_IN_EDIT when another program of the
  // user edits the file's cache copy (nothing is opened then). A parent id or name that
  // cannot become one local path element skips the open with a log line.
  HRESULT OpenFile(const std::string& fileId, const std::string& parentId, const std::string& fullPath,
                   ItemSpace space) override;
  // Asks "Wizard_DownLoadFileExist" first when something lies at destFilePath; a
  // refusal is S_OK with nothing downloaded.
  HRESULT DownloadFile(const std::string& fileId, const std::string& parentId, const std::string& fullPath,
                       const std::string& destFilePath, bool async, ItemSpace space) override;
  // A source larger than kMaxUploadSize is refused with E_FAIL (the user is told the
  // first time in the process); a source name that IsUploadableName refuses gives
  // E_INVALIDARG and a notice.
  HRESULT UploadFile(const std::string& fileId, const std::string& parentId, int64_t fileVer,
                     const std::string& fullPath, const std::string& srcFilePath, bool async) override;
  // Makes destFilePath and downloads the folder's items into it, folders first-come as
  // listed; stops at the first failure (its code), S_FALSE for an empty folder. The
  // folder destFilePath lies in is the user's choice: it is made with its parents, and
  // a link there is followed. Every folder below it is made and entered without
  // following a link (and so are the files' folders when the files are delivered): a
  // link, or anything else but a folder, in a folder's place fails the download with
  // E_CV_LOCAL_NOT_FOLDER, a notice names its path, and nothing is written there or
  // into a link's target. Items whose names cannot be local path elements are skipped
  // with a log line; a folder that lies inside itself, or deeper than
  // kMaxFolderWalkDepth, fails. The walk holds one open folder per level it is down.
  HRESULT DownloadFolder(const std::string& fileId, const std::string& parentId, const std::string& fullPath,
                         const std::string& destFilePath, int32_t value) override;
  // Makes the folder (asking "Wizard_UpLoadFolderExist" to merge into one that exists)
  // and queues one upload per regular file below it, going on past failures; the last
  // entry's code. Links and special files are skipped; names with "\" are refused.
  HRESULT UploadFolder(const std::string& parentId, const std::string& value, const std::string& fullPath,
                       const std::string& srcFilePath) override;

  HRESULT GetThumbnail(const std::string& id, const std::string& cachePath, int32_t height, int32_t width) override;
  // The result is S_OK when the service or the local storage answered (a failure of
  // either is logged and gives no hits of its own), else the local storage's failure
  // with nothing appended.
  HRESULT FullTextSearch(const std::string& searchText, int32_t searchType,
                         std::vector<CFileItemRecord>* items) override;
  HRESULT SetFolderViewMode(const std::string& id, int32_t viewMode, int32_t rootKey, ItemSpace space) override;
  int32_t GetFolderViewMode(const std::string& id, int32_t rootKey, ItemSpace space) override;
  bool FolderNeedUpdate(const std::string& id, ItemSpace space) override;

  HRESULT DirMyFile(const std::string& parentId, const std::string& fullPath, std::vector<CFileItemRecord>* items,
                    bool forceRefresh) override;
  HRESULT DirShareToOther(const std::string& parentId, const std::string& fullPath,
                          std::vector<CFileItemRecord>* items, bool forceRefresh) override;
  HRESULT DirShareToMe(const std::string& parentId, const std::string& fullPath,
                       std::vector<CFileItemRecord>* items, bool forceRefresh) override;
  HRESULT Reserved24() override;
  HRESULT GetItemShareRight(const std::string& id, std::vector<ShareEntry>* entries, ItemSpace space) override;
  HRESULT GetRecycle(const std::string& opVersion, int32_t size, std::vector<CFileItemRecord>* items) override;
  HRESULT CleanRecycle(const std::string& fileId) override;
  HRESULT Recover(const std::string& fileId, const std::string& parentId) override;

  HRESULT CancelTask(const std::string& taskId) override;
  // Either list may be null.
  HRESULT GetTaskList(std::vector<TaskListEntry>* running, std::vector<TaskListEntry>* finished) override;
  HRESULT RemoveFinishedTask(const std::string& taskId) override;
  HRESULT Reserved32() override;
  // The file sync manager's.
  HRESULT RetryTask(const std::string& taskId) override;
  HRESULT GetOpenFileList(std::vector<TaskListEntry>* files) override;
  HRESULT RemoveOpenFile(const std::string& fileId) override;
  HRESULT GetOpenFileInfo(const std::string& fileId, std::string* localPath, std::string* fullPath,
                          int64_t* fileVer) override;
  HRESULT ReopenFile(const std::string& fileId) override;

 private:
  // Stops the file sync manager's watch when UnInit has not.
  ~CFileSystem() override;

  // Runs the record (owned by the call: released at the end) through the task manager
  // with that many tries; a failure is logged "ERROR_CHECK_COM hr = %x: hr". E_FAIL
  // before Init.
  HRESULT RunTask(TaskDataBase* record, RecordTree* reply, int32_t tries);

  // One folder's listing in a space: from the local storage while it is current and
  // readable, else from the service (written back), else the stored snapshot.
  HRESULT Dir(const std::string& parentId, std::vector<CFileItemRecord>* items, bool forceRefresh, ItemSpace space);
  // How RefreshCacheVersion stores what the service answers.
  enum class VersionStore {
    kNeverLower,  // a listing's own query: a late answer never lowers the stored versions
    kAdopt,       // the sign-in's fresh query: both taken as the service's (AdoptServiceVersions)
  };
  // Asks the service's versions and stores those wanted: opVer as the cache version,
  // shareVer as the share cache version. A version that is not a plain decimal of at
  // most 2^53 is refused and stores nothing (E_FAIL); kAdopt wants both and stores
  // nothing unless both are valid. S_OK, or the first failure.
  HRESULT RefreshCacheVersion(bool opVer, bool shareVer, int32_t tries, VersionStore how = VersionStore::kNeverLower);
  // The stored version a listing of the space is marked against (0 when none).
  int64_t StoredVersion(ItemSpace space);
  // Stores a listing of folderId in one transaction: every item, the sweep of the rows
  // the listing no longer holds, and the folder's mark at listedAt (the space's version
  // read before the listing was asked for). Failures are logged only.
  void StoreListing(const std::string& folderId, const std::vector<CFileItemRecord>& items, ItemSpace space,
                    int64_t listedAt);
  // The stored children of the folder appended to *items (nothing on failure); at the
  // shared-with-me root each as a sharer's pseudo-folder.
  HRESULT Snapshot(const std::string& parentId, std::vector<CFileItemRecord>* items, ItemSpace space,
                   bool sharerRoot);
  // The shared-with-me view's root (sharers) or one sharer's items (sharer = email).
  HRESULT ListSharedToMe(const std::string& sharer, std::vector<CFileItemRecord>* items);

  std::string Token() const { return m_strToken; }

  // The shell adapter, or null ("*ASSERT*: pShellAdapter").
  RefPtr<IShellAdapter> ShellAdapter();
  // The answer of the prompt (caption, default 1, check box, last value -1); -1 when it
  // cannot be asked.
  int32_t Ask(const char* key, const std::string& text, const char* buttons);
  // Tells the user that the file or folder at localPath is not uploaded for its name.
  void RefuseName(const std::string& localPath);
  HRESULT UploadFolderWalk(const std::string& parentId, const std::string& value, const std::string& fullPath,
                           const std::string& srcFolder, int depth);
  // Tells the user that a download does not go into localPath: a link or no folder.
  void RefuseNotFolder(const std::string& localPath);
  // DownloadFile's question and hand-over: probePath tells whether something lies at
  // destFilePath; destRoot as CFileSyncMgr::DownloadFile takes it.
  HRESULT DownloadFileTo(const std::string& fileId, const std::string& fullPath, const std::string& destFilePath,
                         const std::string& probePath, const std::string& destRoot, bool async, ItemSpace space);
  // One folder download (transfers.cpp).
  struct DownloadWalk;
  // Downloads the folder fileId into parent's entry name ("": into parent itself),
  // whose path is destFolder.
  HRESULT DownloadFolderWalk(const std::string& fileId, const std::string& fullPath, const FolderHandle& parent,
                             const std::string& name, const std::string& destFolder, DownloadWalk* walk);

  ISyncCenter* m_pSyncCenter = nullptr;  // the owner; set by Init
  RefPtr<ILocalStorage> m_spLocalStorage;
  RefPtr<ITaskMgr> m_spTaskMgr;
  std::string m_strToken;  // written by Init only

  FileEnv* const m_env;
  // Made with the object; shared with its watch thread and the task manager's callbacks.
  const std::shared_ptr<CFileSyncMgr> m_spFileSyncMgr;

  std::mutex m_spaceLock;  // guards the two figures; never held across a call
  int64_t m_nUsedSpace = -1;   // -1: no figure known yet
  int64_t m_nTotalSpace = -1;
};
