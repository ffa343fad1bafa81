// CLocalStorage: creation, tables, version counters, transactions and freshness.
#include "core/localstorage/localstorage.h"

#include <algorithm>
#include <initializer_list>
#include <new>
#include <vector>

#include "common/checks.h"
#include "common/db/dbhelper.h"
#include "common/db/kvdb.h"
#include "common/filehelper.h"
#include "common/strhelper.h"
#include "common/tracestack.h"

namespace {

// Columns added to tables of older data bases: name, type, default.
struct UpgradeColumn {
  const char* name;
  const char* type;
  const char* defaultValue;
};
constexpr UpgradeColumn kSharersColumn{"sharers", "TEXT", "''"};
constexpr UpgradeColumn kViewModeColumn{"viewmode", "INT", "0"};
constexpr UpgradeColumn kSharedColumn{"bshared", "TINYINT", "0"};

}  // namespace

const char* const CLocalStorage::kTableColumns =
    "id\t\t\tINTEGER\t\t\tPRIMARY KEY\t,isdir\t\t\tTINYINT\t\t\t\t\t\t,size\t\t\tINT\t\t\t\t\t\t\t,version\t\tINT"
    "\t\t\t\t\t\t\t,fileversion\tINT\t\t\t\t\t\t\t,sha1\t\t\tVARCHAR(42)\t\t\t\t\t,svrparentid\tVARCHAR(260) "
    "COLLATE NOCASE\t,svrid\t\t\tVARCHAR(260) COLLATE NOCASE\t,svr_mtime\t\tDATETIME\t\t\t\t\t,svr_ctime\t\tDATETIME"
    "\t\t\t\t\t,localpath\t\tVARCHAR(260) COLLATE NOCASE\t,localname\t\tVARCHAR(260) COLLATE NOCASE\t,local_mtime\t"
    "DATETIME\t\t\t\t\t,local_ctime\tDATETIME\t\t\t\t\t,cacheversion\tINT\t\t\t\t\t\t\t,itemversion\tINT\t\t\t\t\t"
    "\t\t,sharers\t\tTEXT\t\t\t\t\t\t,viewmode\t\tINT\t\t\t\t\t\t\t,bshared\t\tTINYINT\t\t\t\t\t\t ";

HRESULT CreateLocalStorage(ILocalStorage** ppLocalStorage, FileEnv* env) {
  ASSERT(ppLocalStorage);
  if (!ppLocalStorage) return E_POINTER;
  std::shared_ptr<CDBHelper> session = GetUserDB();
  ERROR_CHECK_BOOLEX(session);
  CLocalStorage* pLocalStorage = new (std::nothrow) CLocalStorage(std::move(session), env);
  ERROR_CHECK_BOOLEX(pLocalStorage);
  pLocalStorage->AddRef();
  *ppLocalStorage = pLocalStorage;
  return S_OK;
}

CLocalStorage::CLocalStorage(std::shared_ptr<CDBHelper> session, FileEnv* env)
    : m_env(env),
      m_spSession(std::move(session)),
      m_pDB(m_spSession.get()),
      m_pConfig(&m_spSession->Config()),
      m_temp(env) {}

HRESULT CLocalStorage::Init(const std::string& configPath, const std::string& localSyncPath) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CLocalStorage::Init()", &hr, "ConfigPath = %s, LocalSyncPath = %s", configPath.c_str(),
                     localSyncPath.c_str());
  std::lock_guard<std::recursive_mutex> storage(m_storageLock);
  const char* szLocalSyncPath = localSyncPath.c_str();
  ERROR_CHECK_BOOLEX(!IsStrEmpty(szLocalSyncPath));

  std::string syncPath = WithoutTrailingSlash(localSyncPath);
  std::string tempFolder = JoinPath(syncPath, std::string(kTempFolderName) + "/");
  {
    std::lock_guard<std::mutex> paths(m_pathLock);
    m_strLocalSyncPath = syncPath;
    m_strTempFolder = tempFolder;
  }

  // Without its folder nothing can be downloaded: a clear failure now.
  hr = EnsureDirectory(syncPath, 0700, m_env);
  ERROR_CHECK_COM(hr);

  // Another process of the user may be at work in the temp folder: what it claims stays.
  bool bRet = m_temp.Open(tempFolder);
  ASSERT(bRet);

  hr = CreateDbTables();
  ERROR_CHECK_COM(hr);
  return hr;
}

HRESULT CLocalStorage::UnInit() {
  HRESULT hr = S_OK;
  TRACE_SCOPE("CLocalStorage::UnInit()", &hr);
  return hr;
}

namespace {

// Creates the table with its index when it is missing, adds the upgrade columns that
// an older table lacks, and makes sure of the parent-id index. The first failure of
// the table itself is returned; index and upgrade failures are logged only (inside
// the transaction of a new data base, though, any failure ends the transaction, and
// every later statement of it fails).
HRESULT CreateItemTable(CDB* db, const char* table, const char* indexSql, const char* parentIndexSql,
                        std::initializer_list<UpgradeColumn> upgrades) {
  bool exists = false;
  HRESULT hr = db->tableExists(table, &exists);
  ERROR_CHECK_COM_MSG(hr, "%s", "CLocalStorage::_CreateDbTable() Failed!");
  if (!exists) {
    hr = db->CreateTable(table, CLocalStorage::kTableColumns);
    ERROR_CHECK_COM_MSG(hr, "CLocalStorage::_CreateDbTable Failed: %s", table);
    HRESULT hrIndex = db->ExecDMLRetry(indexSql);
    if (FAILED(hrIndex)) OSTREL_LOG(kLogError, "%s", "*ASSERT*: (((HRESULT)(hr)) >= 0)");
  }
  for (const UpgradeColumn& column : upgrades) {
    // A failed upgrade leaves the table as it was; reads of the column then fail with
    // their own lines.
    CHECK_COM(db->AddColumn(table, column.name, column.type, column.defaultValue));
  }
  HRESULT hrIndex = db->ExecDMLRetry(parentIndexSql);
  if (FAILED(hrIndex)) OSTREL_LOG(kLogError, "%s", "*ASSERT*: (((HRESULT)(hr)) >= 0)");
  return hr;
}

}  // namespace

HRESULT CLocalStorage::CreateDbTables() {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE("CLocalStorage::_CreateDbTable()", &hr);
  // Listings, sweeps and deletes select by parent id alone: each table gets an index on
  // it besides its (svrid, svrparentid) one. Older shared-with-me tables may lack
  // sharers as well, which every read and write of the table uses.
  //
  // A new data base (neither table there yet) gets its tables and indexes in one
  // transaction, so that a first sign-in syncs the file once, not once per statement;
  // a failure then leaves no table at all, and the next Init starts over.
  bool filesExist = true, sharedExist = true;
  const bool fresh = SUCCEEDED(m_pDB->tableExists(kFilesTable, &filesExist)) &&
                     SUCCEEDED(m_pDB->tableExists(kShareInFilesTable, &sharedExist)) && !filesExist &&
                     !sharedExist && m_pDB->BeginTransaction() == S_OK;
  hr = CreateItemTable(m_pDB, CLocalStorage::kFilesTable, "CREATE INDEX files_index ON files(svrid, svrparentid)",
                       "CREATE INDEX IF NOT EXISTS files_parent_index ON files(svrparentid)",
                       {kSharersColumn, kViewModeColumn, kSharedColumn});
  if (SUCCEEDED(hr)) {
    hr = CreateItemTable(m_pDB, CLocalStorage::kShareInFilesTable,
                         "CREATE INDEX shareinfiles_index ON shareinfiles(svrid, svrparentid)",
                         "CREATE INDEX IF NOT EXISTS shareinfiles_parent_index ON shareinfiles(svrparentid)",
                         {kViewModeColumn, kSharedColumn, kSharersColumn});
  }
  if (fresh) {
    if (FAILED(hr)) {
      m_pDB->RollbackTransaction();
    } else {
      hr = m_pDB->CommitTransaction();
    }
  }
  return hr;
}

// --- spaces and version counters -------------------------------------------------

const char* CLocalStorage::ReadTable(ItemSpace space) {
  const char* table = WriteTable(space);
  return table ? table : kFilesTable;
}

const char* CLocalStorage::WriteTable(ItemSpace space) {
  switch (space) {
    case ItemSpace::MyFile:
    case ItemSpace::ShareToOther:
      return kFilesTable;
    case ItemSpace::ShareToMe:
      return kShareInFilesTable;
  }
  OSTREL_LOG(kLogError, "%s", "*ASSERT*: 0");
  return nullptr;
}

int64_t CLocalStorage::CurrentVersion(ItemSpace space) {
  switch (space) {
    case ItemSpace::MyFile:
    case ItemSpace::ShareToOther:
      return GetCurCacheVesion(0);
    case ItemSpace::ShareToMe:
      return GetCurShareCacheVesion(0);
  }
  OSTREL_LOG(kLogError, "%s", "*ASSERT*: 0");
  return -1;
}

int64_t CLocalStorage::StampFor(ItemSpace space) {
  if (m_txnDepth == 0) return CurrentVersion(space);
  return space == ItemSpace::ShareToMe ? m_txnShareStamp : m_txnCacheStamp;
}

int64_t CLocalStorage::GetVersion(const char* field, int64_t defaultValue) {
  std::lock_guard<std::recursive_mutex> storage(m_storageLock);
  int64_t value = defaultValue;
  HRESULT hr = m_pConfig->GetInt64Item(kSection, field, &value, defaultValue);
  return SUCCEEDED(hr) ? value : defaultValue;
}

HRESULT CLocalStorage::SetVersion(const char* field, int64_t version) {
  std::lock_guard<std::recursive_mutex> storage(m_storageLock);
  HRESULT hr = S_OK;
  if (RefusedByFailedTransaction(&hr)) return hr;
  // A late or repeated answer must not make stale folders look fresh. The comparison
  // and the write are one step for every process of the user.
  int64_t stored = 0;
  hr = TrackWrite(m_pConfig->UpdateItem(kSection, field, [&](const std::string* current, std::string* next) {
    if (current && !current->empty() && version < (stored = CKVDB::ParseInt64(*current))) return false;
    *next = std::to_string(version);
    return true;
  }));
  ERROR_CHECK_COM(hr);
  if (hr == S_FALSE)
    OSTREL_LOG(kLogWarn, "CLocalStorage: %s stays %lld, not lowered to %lld", field, static_cast<long long>(stored),
               static_cast<long long>(version));
  return hr;
}

HRESULT CLocalStorage::SetCurCacheVesion(int64_t version) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CLocalStorage::SetCurCacheVesion()", &hr, "lOptVersion = %lld", static_cast<long long>(version));
  hr = SetVersion(kCacheVersion, version);
  return hr;
}

int64_t CLocalStorage::GetCurCacheVesion(int64_t defaultValue) { return GetVersion(kCacheVersion, defaultValue); }

HRESULT CLocalStorage::SetCurShareCacheVesion(int64_t version) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CLocalStorage::SetCurShareCacheVesion()", &hr, "lOptVersion = %lld",
                     static_cast<long long>(version));
  hr = SetVersion(kShareCacheVersion, version);
  return hr;
}

int64_t CLocalStorage::GetCurShareCacheVesion(int64_t defaultValue) {
  return GetVersion(kShareCacheVersion, defaultValue);
}

// --- transactions ----------------------------------------------------------------

bool CLocalStorage::RefusedByFailedTransaction(HRESULT* hr) const {
  if (m_txnDepth == 0 || SUCCEEDED(m_txnFailure)) return false;
  *hr = m_txnFailure;
  return true;
}

HRESULT CLocalStorage::TrackWrite(HRESULT hr) {
  if (FAILED(hr) && m_txnDepth > 0 && SUCCEEDED(m_txnFailure)) m_txnFailure = hr;
  return hr;
}

HRESULT CLocalStorage::BeginTransaction() {
  m_txnLock.lock();
  m_storageLock.lock();
  if (m_txnDepth++ == 0) {
    m_txnOwner = std::this_thread::get_id();
    m_txnFailure = S_OK;
    m_txnCacheStamp = GetCurCacheVesion(0);
    m_txnShareStamp = GetCurShareCacheVesion(0);
    HRESULT hr = m_pDB->BeginTransaction();
    if (FAILED(hr)) {
      // Written one by one, a listing could be half kept: its writes are refused.
      m_txnFailure = hr;
      OSTREL_LOG(kLogWarn, "CLocalStorage::BeginTransaction(): no transaction, its writes are refused, hr = %x",
                 static_cast<unsigned>(hr));
    }
  }
  return S_OK;
}

HRESULT CLocalStorage::BeginListingTransaction(ItemSpace space, int64_t listedAt) {
  BeginTransaction();
  if (m_txnDepth == 1) {
    int64_t* stamp = space == ItemSpace::ShareToMe ? &m_txnShareStamp : &m_txnCacheStamp;
    *stamp = std::min(*stamp, listedAt);
  }
  return S_OK;
}

HRESULT CLocalStorage::CommitTransaction() {
  // Only the thread inside the transaction holds the storage lock then.
  if (!m_storageLock.try_lock()) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: CommitTransaction on a thread without a transaction");
    return E_FAIL;
  }
  if (m_txnDepth == 0 || m_txnOwner != std::this_thread::get_id()) {
    m_storageLock.unlock();
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: CommitTransaction without BeginTransaction");
    return E_FAIL;
  }
  HRESULT hr = S_OK;
  if (--m_txnDepth == 0) {
    if (FAILED(m_txnFailure)) {
      hr = m_txnFailure;
      m_pDB->RollbackTransaction();
      OSTREL_LOG(kLogWarn, "CLocalStorage::CommitTransaction(): a write failed, nothing kept, hr = %x",
                 static_cast<unsigned>(hr));
    } else {
      hr = m_pDB->CommitTransaction();
      CHECK_COM(hr);
    }
    m_txnFailure = S_OK;
    m_txnOwner = std::thread::id();
  }
  m_storageLock.unlock();  // the level taken above
  m_storageLock.unlock();  // BeginTransaction's
  m_txnLock.unlock();
  return hr;
}

// --- freshness -------------------------------------------------------------------

bool CLocalStorage::FolderNeedUpdate(const std::string& id, ItemSpace space) {
  HRESULT hr = 1;  // traced: 1 when the listing must come from the service
  TRACE_SCOPE_DETAIL("CLocalStorage::FolderNeedUpdate()", &hr, "szId = %s", id.c_str());
  std::lock_guard<std::recursive_mutex> storage(m_storageLock);
  bool need = true;
  if (id.empty()) {
    // A root that was never listed (or was cleared) has no mark: stale.
    switch (space) {
      case ItemSpace::MyFile:
        need = GetCurCacheVesion(0) > GetVersion(kRootCacheVersion, -1);
        break;
      case ItemSpace::ShareToMe:
        need = GetCurShareCacheVesion(0) > GetVersion(kRootShareCacheVersion, -1);
        break;
      case ItemSpace::ShareToOther:
        need = GetCurCacheVesion(0) > GetVersion(kRootCacheVersion, -1) ||
               GetCurShareCacheVesion(0) > GetVersion(kRootShareOutCacheVersion, -1);
        break;
      default:
        OSTREL_LOG(kLogError, "%s", "*ASSERT*: 0");
        need = false;
        break;
    }
  } else {
    CDBQueryHelper row;
    bool end = true;
    if (SUCCEEDED(m_pDB->execQuery(StringFormat("SELECT cacheversion FROM %s WHERE svrid = ? and isdir = 1",
                                                ReadTable(space)),
                                   row, {id})) &&
        SUCCEEDED(row.eof(&end)) && !end) {
      int64_t cv = -1;
      if (SUCCEEDED(row.getInt64Field(0, &cv, -1))) need = CurrentVersion(space) > cv;
    }
  }
  hr = need ? 1 : 0;
  return need;
}

HRESULT CLocalStorage::UpdateFolderCacheVesion(const std::string& id, ItemSpace space, int64_t listedAt) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CLocalStorage::UpdateFolderCacheVesion()", &hr, "szId = %s, listedAt = %lld", id.c_str(),
                     static_cast<long long>(listedAt));
  std::lock_guard<std::recursive_mutex> storage(m_storageLock);
  if (RefusedByFailedTransaction(&hr)) return hr;
  if (id.empty()) {
    const char* field = nullptr;
    int64_t version = 0;
    switch (space) {
      case ItemSpace::MyFile:
        field = kRootCacheVersion;
        version = GetCurCacheVesion(0);
        break;
      case ItemSpace::ShareToMe:
        field = kRootShareCacheVersion;
        version = GetCurShareCacheVesion(0);
        break;
      case ItemSpace::ShareToOther:
        field = kRootShareOutCacheVersion;
        version = GetCurShareCacheVesion(0);
        break;
      default:
        OSTREL_LOG(kLogError, "%s", "*ASSERT*: 0");
        hr = S_OK;
        return hr;
    }
    hr = TrackWrite(m_pConfig->SetInt64Item(kSection, field, std::min(listedAt, version)));
    ERROR_CHECK_COM(hr);
    return hr;
  }
  const char* table = WriteTable(space);
  if (!table) {
    hr = S_FALSE;
    return hr;
  }
  hr = TrackWrite(m_pDB->UpdateRows(table, "cacheversion = ?", "svrid = ? and isdir = 1",
                                    {std::min(listedAt, CurrentVersion(space)), id}));
  ERROR_CHECK_COM(hr);
  return hr;
}

HRESULT CLocalStorage::AdoptServiceVersions(int64_t opVer, int64_t shareVer) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CLocalStorage::AdoptServiceVersions()", &hr, "opVer = %lld, shareVer = %lld",
                     static_cast<long long>(opVer), static_cast<long long>(shareVer));
  std::lock_guard<std::recursive_mutex> storage(m_storageLock);
  // Under the storage lock a transaction can only be the calling thread's own: its
  // rows would keep a stamp from before the reset.
  if (m_txnDepth > 0) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: AdoptServiceVersions inside a transaction");
    return hr;
  }
  // One data-base transaction: no other process of the user stores a version or a
  // listing between the comparison and the writes.
  hr = m_pDB->BeginTransaction();
  ERROR_CHECK_COM(hr);
  // Nothing stored yet counts as no higher than what the service says.
  int64_t storedOp = opVer, storedShare = shareVer;
  hr = m_pConfig->GetInt64Item(kSection, kCacheVersion, &storedOp, opVer);
  if (SUCCEEDED(hr)) hr = m_pConfig->GetInt64Item(kSection, kShareCacheVersion, &storedShare, shareVer);
  const bool wentBack = opVer < storedOp || shareVer < storedShare;
  if (SUCCEEDED(hr)) hr = m_pConfig->SetInt64Item(kSection, kCacheVersion, opVer);
  if (SUCCEEDED(hr)) hr = m_pConfig->SetInt64Item(kSection, kShareCacheVersion, shareVer);
  if (wentBack) {
    // As ClearLastSnapshot marks the roots; the rows stay, stale and below any stamp.
    for (const char* field : {kRootCacheVersion, kRootShareCacheVersion, kRootShareOutCacheVersion})
      if (SUCCEEDED(hr)) hr = m_pConfig->SetInt64Item(kSection, field, -1);
    for (const char* table : {kFilesTable, kShareInFilesTable})
      if (SUCCEEDED(hr))
        hr = m_pDB->ExecDMLRetry(StringFormat("UPDATE %s SET cacheversion = NULL, itemversion = -1", table));
  }
  if (FAILED(hr)) {
    m_pDB->RollbackTransaction();
    ERROR_CHECK_COM(hr);
  }
  hr = m_pDB->CommitTransaction();
  ERROR_CHECK_COM(hr);
  if (wentBack)
    OSTREL_LOG(kLogWarn,
               "CLocalStorage: the service's versions went back (opVer %lld to %lld, shareVer %lld to %lld); every "
               "stored listing is stale",
               static_cast<long long>(storedOp), static_cast<long long>(opVer), static_cast<long long>(storedShare),
               static_cast<long long>(shareVer));
  return hr;
}

HRESULT CLocalStorage::ClearLastSnapshot() {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE("CLocalStorage::ClearLastSnapshot()", &hr);
  std::lock_guard<std::recursive_mutex> storage(m_storageLock);
  if (RefusedByFailedTransaction(&hr)) return hr;
  // The marks go first: should a delete fail, the roots are fetched again rather than
  // served from a half-emptied store.
  for (const char* field : {kRootCacheVersion, kRootShareCacheVersion, kRootShareOutCacheVersion}) {
    hr = TrackWrite(m_pConfig->SetInt64Item(kSection, field, -1));
    ERROR_CHECK_COM(hr);
  }
  hr = TrackWrite(m_pDB->DeleteRows(kFilesTable));
  ERROR_CHECK_COM(hr);
  hr = TrackWrite(m_pDB->DeleteRows(kShareInFilesTable));
  ERROR_CHECK_COM(hr);
  return hr;
}
