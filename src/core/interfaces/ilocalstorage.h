// The local storage: the per-user item store that serves listings while the service's
// versions say nothing changed, and the sync folder with its temp folder ".tmp".
//
// One object per signed-in user, shared by the window thread, the task executers and
// the event dispatch. Operations return result codes and never throw. Ids, names and
// texts are UTF-8 and reach SQL only as bound values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/unknown.h"
#include "core/interfaces/fileitemrecord.h"

inline constexpr IID IID_ILocalStorage = GuidFromString("{AF23C8AF-C5C7-4C8E-A2CA-CB9DF79E217F}");

class ILocalStorage : public IUnknown {
 public:
  static constexpr IID kIID = IID_ILocalStorage;

  // Slot 3. Keeps the sync folder (created with its parents), cleans its temp folder
  // ".tmp" (what another live process of the user claims stays, and so do resume
  // folders changed in the last seven days), opens this store's work folder in it, and
  // creates or upgrades the item tables. The data base and its "config" table must be
  // open. E_FAIL for an empty sync path or a sync folder that cannot be created; else
  // the first failure of the tables.
  virtual HRESULT Init(const std::string& configPath, const std::string& localSyncPath) = 0;
  // Slot 4. Always S_OK; the data base stays open.
  virtual HRESULT UnInit() = 0;

  // Slots 5 and 6. One listing's writes as one step: BeginTransaction takes the
  // transaction and storage locks, reads the version counters once (every row written
  // and swept until the commit carries that stamp) and opens a data-base transaction.
  // Every other thread's storage operation waits until CommitTransaction, which the
  // same thread must call, once per BeginTransaction (they nest). Begin is always
  // S_OK. Commit returns the failure of a write made inside the transaction (the
  // transaction is then rolled back and the writes after the failure were refused),
  // else the commit's result.
  virtual HRESULT BeginTransaction() = 0;
  virtual HRESULT CommitTransaction() = 0;

  // Slot 7. Empties both item tables and marks every root listing stale.
  virtual HRESULT ClearLastSnapshot() = 0;
  // Slot 8. True when the folder's listing (id "" = the space's root) must come from
  // the service: never listed, marked at a lower version, or unknown.
  virtual bool FolderNeedUpdate(const std::string& id, ItemSpace space) = 0;
  // Slot 9. Appends the stored children of parentId; nothing is appended on failure.
  virtual HRESULT GetLastSyncSnapshot(const std::string& parentId, std::vector<CFileItemRecord>* items,
                                      ItemSpace space) = 0;
  // Slot 10. The stored item; E_FAIL when there is none or its row fails a check.
  virtual HRESULT GetItemInfo(const std::string& id, CFileItemRecord* item, ItemSpace space) = 0;
  // Slot 11. Appends the share list that governs the item: its own, else that of the
  // nearest ancestor that has one. E_FAIL when none has one.
  virtual HRESULT GetItemShareRight(const std::string& id, std::vector<ShareEntry>* entries, ItemSpace space) = 0;
  // Slot 12. Stores the item, keyed by its fileId and folder flag (17 is stored as 1),
  // stamped with the current version (the transaction's stamp inside one).
  virtual HRESULT AddOrUpdateFileItem(const CFileItemRecord& item, ItemSpace space) = 0;
  // Slot 13. New size, file version and SHA-1 of a stored file; S_FALSE when neither
  // table holds the id.
  virtual HRESULT UpdateFileVersion(const std::string& fileId, int64_t size, int64_t fileVersion,
                                    const std::string& sha1) = 0;
  // Slot 14. Removes the children of parentId that carry an older stamp than the
  // current one (vanished files, and vanished folders with everything below them).
  virtual HRESULT ClearOldFileItem(const std::string& parentId, ItemSpace space) = 0;
  // Slot 15. Marks the folder's listing (id "" = root) fresh at listedAt, the space's
  // version read before the listing was asked for (so no later than the listing
  // itself), or at the space's current version when that is lower: a mark never says
  // more than the listing holds, nor more than the store has reached. A listing newer
  // than its mark is asked for once more when it is next wanted.
  virtual HRESULT UpdateFolderCacheVesion(const std::string& id, ItemSpace space, int64_t listedAt) = 0;
  // Slots 16 to 19. The service's operation and share versions. A setter never lowers
  // the stored value (S_FALSE when it keeps a higher one): it is for the late answers
  // of a listing's own version query. A getter returns the default when nothing is
  // stored or the read fails.
  virtual HRESULT SetCurCacheVesion(int64_t version) = 0;
  virtual int64_t GetCurCacheVesion(int64_t defaultValue) = 0;
  virtual HRESULT SetCurShareCacheVesion(int64_t version) = 0;
  virtual int64_t GetCurShareCacheVesion(int64_t defaultValue) = 0;

  // Slots 20 to 22. SHA-1 text, size and time texts ("YYYY-MM-DD hh:mm:ss.fffffff",
  // local time, 100 ns units; creation then last write) of a local file. With
  // relative the path is taken inside the sync folder (see GetFullPath); a path
  // refused there gives E_INVALIDARG.
  virtual HRESULT GetFileSha1ByPath(const std::string& path, std::string* sha1, bool relative) = 0;
  virtual HRESULT GetFileSizeByPath(const std::string& path, int64_t* size, bool relative) = 0;
  virtual HRESULT GetFileTimeByPath(const std::string& path, std::string* creationTime, std::string* modifyTime,
                                    bool relative) = 0;
  // Slots 23 and 24. Remove a stored file, or a stored folder with everything below it.
  virtual HRESULT DeleteFileItem(const std::string& fileId, ItemSpace space) = 0;
  virtual HRESULT DeleteFoldItem(const std::string& folderId, ItemSpace space) = 0;
  // Slots 25 and 26. The file encoding for the service (the file key is never logged).
  virtual HRESULT EncodeFile(const std::string& fileName, const std::string& srcFile, const std::string& desFile,
                             const std::string& fileKey) = 0;
  virtual HRESULT DecodeFile(const std::string& srcFile, const std::string& desFile, const std::string& fileKey) = 0;
  // Slot 27. A new path named by a new GUID in the store's own work folder inside the
  // temp folder; no file is created.
  virtual std::string GetTempFilePath() = 0;
  // Slot 28. The temp folder, with a trailing "/".
  virtual std::string GetTempFolder() = 0;
  // Slot 29. Copies the file to a new temp path and hands that out.
  // E_CV_LOCAL_NOT_EXIST for a missing source; E_CV_LOCAL_LOCKED when it cannot be
  // read; E_FAIL for other failures (no temp file remains).
  virtual HRESULT CopyFileToTempPathByFullPath(const std::string& fullPath, std::string* tempPath,
                                               bool relative) = 0;
  // Slot 30. Moves a finished file onto cachePath (parents created, an existing file
  // replaced atomically, across file systems too). E_CV_LOCAL_NOT_EXIST for a missing
  // source; E_CV_LOCAL_LOCKED when another process holds the target open or locked,
  // or it cannot be replaced; E_FAIL for any other failure, among them a folder that
  // could not be synced after the move (the file is in place then, but may not survive
  // a power loss); the name is only traced. cachePath may name an entry of an open
  // folder (FolderHandle::EntryPath): the file then goes into that very folder.
  virtual HRESULT MoveTempFileToSyncSpace(const std::string& sourcePath, const std::string& cachePath,
                                          const std::string& name) = 0;
  // Slot 31. The sync folder joined with a relative path ("" gives the sync folder).
  // A path that could leave the folder (absolute, or with an empty, "." or ".."
  // element, or a NUL) gives "" and a log line.
  virtual std::string GetFullPath(const std::string& relativePath) = 0;
  // Slot 32. Items of both tables whose name holds the text (literally, ignoring
  // ASCII case), in fileId order; an id in both tables once, from files.
  virtual HRESULT LocalFullTextSearch(const std::string& searchText, std::vector<CFileItemRecord>* items) = 0;
  // Slots 33 and 34. A folder's view mode as the windows chose it (id "" = the root
  // view named by rootKey); 0 when unknown.
  virtual HRESULT SetFolderViewMode(const std::string& id, int viewMode, int rootKey, ItemSpace space) = 0;
  virtual int GetFolderViewMode(const std::string& id, int rootKey, ItemSpace space) = 0;

  // The versions the service has now (a push answer, the sign-in's fresh query), taken
  // as they are, in one step for every process of the user. When both are at least the
  // stored ones they are stored as the setters store them. When either is lower
  // (the service went back: a faulty answer before, or a restore from a backup), both
  // are stored all the same and every stored listing becomes stale: the roots' marks
  // and every folder's mark are cleared and every row's stamp is set below any version,
  // so that each folder's next listing goes to the service once and its sweep removes
  // what that listing no longer holds; the rows themselves stay (and a log line says
  // so). S_OK; on a failure nothing changes and the data base's failure is returned.
  // A thread inside a transaction of this store is refused (E_FAIL, nothing done).
  virtual HRESULT AdoptServiceVersions(int64_t opVer, int64_t shareVer) = 0;
  // A listing's BeginTransaction: the same, except that the rows of space written and
  // swept until the commit are stamped with listedAt (the space's version read before
  // the listing was asked for), or with the space's current version when that is
  // lower. A listing's rows then never carry a version its reply may not hold, and the
  // next listing's sweep removes what vanished after that reply. Ended by
  // CommitTransaction; nested in an open transaction it keeps that one's stamps.
  virtual HRESULT BeginListingTransaction(ItemSpace space, int64_t listedAt) = 0;
};
