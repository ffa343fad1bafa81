// IFileSystem: the sync engine's one entry point for what the windows do with the
// user's cloud space: listings of the three views and of the recycle bin, search,
// item operations, quota, thumbnails, transfers, and the transfer and opened-file
// lists. The logic adapter forwards to it one call per slot.
//
// Listings prefer the local storage and go to the service only when the cached
// folder is stale, forced or unreadable; a listing whose request fails falls back to
// the stored items. Every remote operation runs a task record through the task
// manager on the caller's thread, so callers keep listings off a thread that must
// stay responsive. Every slot may be called from any thread once Init has returned.
// Out lists are appended to. Ids, names and paths are UTF-8; cloud paths use "\".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/unknown.h"
#include "core/interfaces/fileitemrecord.h"
#include "core/interfaces/itaskmgr.h"

class ILocalStorage;
class IRemoteStorage;
class ISyncCenter;

class IFileSystem : public IUnknown {
 public:
  static constexpr IID kIID = GuidFromString("{D039AADC-11E3-4D6B-840B-A41EE7B11159}");

  // Slot 3. Keeps the local storage and the task manager (borrowed: the sync centre
  // keeps them until after UnInit), reads the session token and the service's
  // versions. Slot 4 forgets the cached quota and stops the opened-file watch.
  virtual HRESULT Init(ISyncCenter* syncCenter, ILocalStorage* localStorage, IRemoteStorage* remoteStorage,
                       ITaskMgr* taskMgr) = 0;
  virtual HRESULT UnInit() = 0;

  // Slot 5. The service's operation version, as its decimal text. E_FAIL, *opVer
  // untouched, when the service's text is not a plain decimal of at most 2^53.
  virtual HRESULT GetMaxVer(std::string* opVer) = 0;
  // Slot 6. Bytes used and available; asks the service only the first time or when forced.
  // A failure (or figures that are not plain decimals) leaves the outs untouched.
  virtual HRESULT GetSpaceInfo(int64_t* used, int64_t* total, bool forceRefresh) = 0;
  // Slot 7. fullPath is the new folder's cloud path. The new (or, for E_CV_TARGET_EXISTS,
  // the existing) folder's id goes to *fileId when given.
  virtual HRESULT NewFolder(const std::string& parentId, const std::string& fullPath, std::string* fileId) = 0;
  // Slots 8 to 10.
  virtual HRESULT Rename(bool isDir, const std::string& fileId, const std::string& newName) = 0;
  virtual HRESULT Move(bool isDir, const std::string& fileId, const std::string& newParentId) = 0;
  virtual HRESULT Delete(bool isDir, const std::string& fileId, ItemSpace space) = 0;

  // Slots 11 to 15: transfers and opening a file for editing.
  virtual HRESULT OpenFile(const std::string& fileId, const std::string& parentId, const std::string& fullPath,
                           ItemSpace space) = 0;
  virtual HRESULT DownloadFile(const std::string& fileId, const std::string& parentId, const std::string& fullPath,
                               const std::string& destFilePath, bool async, ItemSpace space) = 0;
  // fileId "" uploads a new file.
  virtual HRESULT UploadFile(const std::string& fileId, const std::string& parentId, int64_t fileVer,
                             const std::string& fullPath, const std::string& srcFilePath, bool async) = 0;
  virtual HRESULT DownloadFolder(const std::string& fileId, const std::string& parentId, const std::string& fullPath,
                                 const std::string& destFilePath, int32_t value) = 0;
  virtual HRESULT UploadFolder(const std::string& parentId, const std::string& value, const std::string& fullPath,
                               const std::string& srcFilePath) = 0;

  // Slot 16. The picture of the item, height by width, lands at cachePath.
  virtual HRESULT GetThumbnail(const std::string& id, const std::string& cachePath, int32_t height,
                               int32_t width) = 0;
  // Slot 17. The service's hits merged with the local ones by fileId, in fileId order (a
  // fileId in both once, from the service). S_OK when the service answered. When its
  // request failed: the local hits, and the service's failure (they may be out of date).
  virtual HRESULT FullTextSearch(const std::string& searchText, int32_t searchType,
                                 std::vector<CFileItemRecord>* items) = 0;
  // Slots 18 to 20: forwarded to the local storage.
  virtual HRESULT SetFolderViewMode(const std::string& id, int32_t viewMode, int32_t rootKey, ItemSpace space) = 0;
  virtual int32_t GetFolderViewMode(const std::string& id, int32_t rootKey, ItemSpace space) = 0;
  virtual bool FolderNeedUpdate(const std::string& id, ItemSpace space) = 0;

  // Slots 21 to 23: the three views. parentId "" is the view's root; fullPath is only
  // logged. S_OK only for a current listing. One whose request fails appends the stored
  // items (the shared-out root excepted), whatever their age, and returns the request's
  // failure, so that a caller may show them as stored ones; a listing that fails
  // otherwise appends nothing.
  virtual HRESULT DirMyFile(const std::string& parentId, const std::string& fullPath,
                            std::vector<CFileItemRecord>* items, bool forceRefresh) = 0;
  virtual HRESULT DirShareToOther(const std::string& parentId, const std::string& fullPath,
                                  std::vector<CFileItemRecord>* items, bool forceRefresh) = 0;
  virtual HRESULT DirShareToMe(const std::string& parentId, const std::string& fullPath,
                               std::vector<CFileItemRecord>* items, bool forceRefresh) = 0;
  // Slot 24: unused; logs an assertion line and returns S_OK.
  virtual HRESULT Reserved24() = 0;
  // Slot 25: forwarded to the local storage.
  virtual HRESULT GetItemShareRight(const std::string& id, std::vector<ShareEntry>* entries, ItemSpace space) = 0;
  // Slots 26 to 28: the recycle bin.
  virtual HRESULT GetRecycle(const std::string& opVersion, int32_t size, std::vector<CFileItemRecord>* items) = 0;
  virtual HRESULT CleanRecycle(const std::string& fileId) = 0;
  virtual HRESULT Recover(const std::string& fileId, const std::string& parentId) = 0;

  // Slots 29 to 31 and 33: the task manager's background tasks. GetTaskList fills
  // running with the running then the waiting tasks and finished with the ended ones.
  virtual HRESULT CancelTask(const std::string& taskId) = 0;
  virtual HRESULT GetTaskList(std::vector<TaskListEntry>* running, std::vector<TaskListEntry>* finished) = 0;
  virtual HRESULT RemoveFinishedTask(const std::string& taskId) = 0;
  // Slot 32: unused; logs an assertion line and returns S_OK.
  virtual HRESULT Reserved32() = 0;
  virtual HRESULT RetryTask(const std::string& taskId) = 0;

  // Slots 34 to 37: files opened for editing.
  virtual HRESULT GetOpenFileList(std::vector<TaskListEntry>* files) = 0;
  // id "" removes every entry.
  virtual HRESULT RemoveOpenFile(const std::string& fileId) = 0;
  // E_FAIL, nothing written, when the file has no entry. Each out may be null.
  virtual HRESULT GetOpenFileInfo(const std::string& fileId, std::string* localPath, std::string* fullPath,
                                  int64_t* fileVer) = 0;
  virtual HRESULT ReopenFile(const std::string& fileId) = 0;

 protected:
  ~IFileSystem() = default;
};

inline constexpr IID IID_IFileSystem = IFileSystem::kIID;
