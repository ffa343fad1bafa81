// CLocalStorage: the local item store (tables "files" and "shareinfiles" and the
// section "LocalStorage" of the key-value table "config" in the user's data base) and
// the sync folder's file services. See ILocalStorage for the contracts.
//
// Locks, outermost first: the transaction lock, the storage lock (both re-entrant),
// then the data base's own lock. The storage lock serialises every item-store
// operation; a transaction holds it from BeginTransaction to CommitTransaction, and
// its data-base transaction (see common/db/db.h) shuts every other thread's statement
// out meanwhile, config-table writes from outside the store included. Once the
// data-base transaction is gone (its BEGIN failed, or a write failed and rolled it
// back), every later write of the transaction and its sweep are refused with that
// failure, and CommitTransaction returns it: nothing of it is kept. The
// move lock serialises moves into the sync folder (a copy across file systems may take
// long) without holding up the item store; the path lock guards the two folder paths
// and is never held across a call. Hashing and copies into the temp folder run under
// no lock.
//
// The sync folder's files, the temp folder and the encodings are reached through the
// FileEnv given at creation; the data base keeps to SQLite's own file access.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/db/db.h"
#include "common/unknown.h"
#include "core/interfaces/ilocalstorage.h"
#include "core/localstorage/tempfolder.h"
#include "platform/fileenv.h"

class CDBHelper;
class CKVDB;

// Creates a CLocalStorage on the current session's data base (GetUserDB) with one
// reference for the caller. The store keeps that session: once it has ended, the
// store's reads and writes fail (E_CV_DB_ERROR) and never reach another session's
// data base. S_OK; E_FAIL when no session is open or, with
// "ERROR_CHECK_BOOLEX:pLocalStorage", when the object cannot be made. Its files go
// through env, which must outlive it.
HRESULT CreateLocalStorage(ILocalStorage** ppLocalStorage, FileEnv* env = FileEnv::Default());

class CLocalStorage final : public CUnknownImpl<ILocalStorage> {
 public:
  // The config section and its version fields.
  static constexpr const char* kSection = "LocalStorage";
  static constexpr const char* kCacheVersion = "CacheVersion";
  static constexpr const char* kShareCacheVersion = "ShareCacheVersion";
  static constexpr const char* kRootCacheVersion = "RootCacheVersion";
  static constexpr const char* kRootShareCacheVersion = "RootShareCacheVersion";
  static constexpr const char* kRootShareOutCacheVersion = "RootShareOutCacheVersion";
  // The item tables: the user's own items, and the items shared with the user.
  static constexpr const char* kFilesTable = "files";
  static constexpr const char* kShareInFilesTable = "shareinfiles";
  // The column text both item tables are created with.
  static const char* const kTableColumns;
  // The temp folder's name inside the sync folder; no relative path may start with it.
  static constexpr const char* kTempFolderName = ".tmp";
  // Folder nesting that the walks over stored rows follow at most.
  static constexpr int kMaxFolderDepth = 512;

  explicit CLocalStorage(std::shared_ptr<CDBHelper> session, FileEnv* env = FileEnv::Default());

  HRESULT Init(const std::string& configPath, const std::string& localSyncPath) override;
  HRESULT UnInit() override;
  HRESULT BeginTransaction() override;
  HRESULT CommitTransaction() override;
  HRESULT ClearLastSnapshot() override;
  bool FolderNeedUpdate(const std::string& id, ItemSpace space) override;
  HRESULT GetLastSyncSnapshot(const std::string& parentId, std::vector<CFileItemRecord>* items,
                              ItemSpace space) override;
  HRESULT GetItemInfo(const std::string& id, CFileItemRecord* item, ItemSpace space) override;
  HRESULT GetItemShareRight(const std::string& id, std::vector<ShareEntry>* entries, ItemSpace space) override;
  HRESULT AddOrUpdateFileItem(const CFileItemRecord& item, ItemSpace space) override;
  HRESULT UpdateFileVersion(const std::string& fileId, int64_t size, int64_t fileVersion,
                            const std::string& sha1) override;
  HRESULT ClearOldFileItem(const std::string& parentId, ItemSpace space) override;
  HRESULT UpdateFolderCacheVesion(const std::string& id, ItemSpace space, int64_t listedAt) override;
  HRESULT SetCurCacheVesion(int64_t version) override;
  int64_t GetCurCacheVesion(int64_t defaultValue) override;
  HRESULT SetCurShareCacheVesion(int64_t version) override;
  int64_t GetCurShareCacheVesion(int64_t defaultValue) override;
  HRESULT GetFileSha1ByPath(const std::string& path, std::string* sha1, bool relative) override;
  HRESULT GetFileSizeByPath(const std::string& path, int64_t* size, bool relative) override;
  HRESULT GetFileTimeByPath(const std::string& path, std::string* creationTime, std::string* modifyTime,
                            bool relative) override;
  HRESULT DeleteFileItem(const std::string& fileId, ItemSpace space) override;
  HRESULT DeleteFoldItem(const std::string& folderId, ItemSpace space) override;
  HRESULT EncodeFile(const std::string& fileName, const std::string& srcFile, const std::string& desFile,
                     const std::string& fileKey) override;
  HRESULT DecodeFile(const std::string& srcFile, const std::string& desFile, const std::string& fileKey) override;
  std::string GetTempFilePath() override;
  std::string GetTempFolder() override;
  HRESULT CopyFileToTempPathByFullPath(const std::string& fullPath, std::string* tempPath, bool relative) override;
  HRESULT MoveTempFileToSyncSpace(const std::string& sourcePath, const std::string& cachePath,
                                  const std::string& name) override;
  std::string GetFullPath(const std::string& relativePath) override;
  HRESULT LocalFullTextSearch(const std::string& searchText, std::vector<CFileItemRecord>* items) override;
  HRESULT SetFolderViewMode(const std::string& id, int viewMode, int rootKey, ItemSpace space) override;
  int GetFolderViewMode(const std::string& id, int rootKey, ItemSpace space) override;
  HRESULT AdoptServiceVersions(int64_t opVer, int64_t shareVer) override;
  HRESULT BeginListingTransaction(ItemSpace space, int64_t listedAt) override;

 private:
  ~CLocalStorage() override = default;

  HRESULT CreateDbTables();

  // The table a read of the space uses: files for an unknown space, after an
  // assertion line. WriteTable gives null for an unknown space (the caller returns
  // S_FALSE without SQL), also after an assertion line.
  static const char* ReadTable(ItemSpace space);
  static const char* WriteTable(ItemSpace space);
  // The current version counter of the space; -1 for an unknown space.
  int64_t CurrentVersion(ItemSpace space);
  // The stamp of rows written now: the transaction's, else the current version.
  // Called under the storage lock.
  int64_t StampFor(ItemSpace space);
  HRESULT SetVersion(const char* field, int64_t version);
  int64_t GetVersion(const char* field, int64_t defaultValue);

  // The start of a write to the space's table: S_FALSE (no SQL) for an unknown space;
  // else the storage lock is taken into *storage, *table is set, and the result is
  // the failure of the open transaction, if any, else S_OK.
  HRESULT BeginWrite(ItemSpace space, const char** table, std::unique_lock<std::recursive_mutex>* storage);

  // Inside a transaction whose write failed, every later write is refused with that
  // failure (returns true and sets *hr). Called under the storage lock.
  bool RefusedByFailedTransaction(HRESULT* hr) const;
  // Records a failed write inside a transaction; returns hr.
  HRESULT TrackWrite(HRESULT hr);

  // Appends the rows that match, read with the listing's checks; withDetails adds the
  // path text, shared flag and share list. On a failure the rows read before it stay
  // appended. Called under the storage lock.
  HRESULT ReadItems(const std::string& table, const std::string& condition, const DBParams& params,
                    bool withDetails, std::vector<CFileItemRecord>* items);
  // Deletes a stored folder with everything below it (see DeleteFoldItem). Called
  // under the storage lock.
  HRESULT DeleteFolderRows(const char* table, const std::string& folderId);

  // The path for a file service: relative ones through GetFullPath; E_INVALIDARG when
  // refused there.
  HRESULT ResolvePath(const std::string& path, bool relative, std::string* resolved);
  std::string SyncPath();

  FileEnv* m_env;
  std::shared_ptr<CDBHelper> m_spSession;
  CDB* m_pDB;         // the session's data base and its config table
  CKVDB* m_pConfig;
  std::recursive_mutex m_txnLock;
  std::recursive_mutex m_storageLock;
  std::mutex m_moveLock;

  std::mutex m_pathLock;
  std::string m_strLocalSyncPath;  // no trailing "/"
  std::string m_strTempFolder;     // with a trailing "/"
  CTempFolder m_temp;              // the temp folder's clean-up and this store's work folder

  // Transaction state, under the storage lock.
  int m_txnDepth = 0;
  std::thread::id m_txnOwner;
  int64_t m_txnCacheStamp = 0;
  int64_t m_txnShareStamp = 0;
  HRESULT m_txnFailure = S_OK;
};
