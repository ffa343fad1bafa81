// CLocalStorage: the rows of the item tables. Every value from the service or the
// user is a bound parameter; table names are the program's own.
#include <sched.h>

#include <algorithm>
#include <unordered_set>

#include "common/checks.h"
#include "common/db/kvdb.h"
#include "common/strhelper.h"
#include "common/tracestack.h"
#include "core/localstorage/localstorage.h"
#include "core/localstorage/sharers.h"

namespace {

// The columns of an item read, in the order of the column indexes below.
constexpr char kItemColumns[] =
    "isdir, sha1, size, version, fileversion, localpath, localname, local_ctime, local_mtime, svrparentid, svrid, "
    "bshared, sharers";
enum ItemColumn {
  kColIsDir,
  kColSha1,
  kColSize,
  kColVersion,
  kColFileVersion,
  kColLocalPath,
  kColLocalName,
  kColLocalCTime,
  kColLocalMTime,
  kColParentId,
  kColSvrId,
  kColShared,
  kColSharers,
};

// Rows read in one run under the data-base lock.
constexpr size_t kRowsPerRun = 64;

constexpr char kInsertFields[] =
    "size, fileversion, sha1, svrparentid, svrid, localpath, localname, isdir, local_ctime, local_mtime, sharers, "
    "bshared, itemversion";
constexpr char kInsertValues[] = "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?";
constexpr char kUpdateSet[] =
    "size = ?, fileversion = ?, sha1 = ?, svrparentid = ?, svrid = ?, localpath = ?, localname = ?, isdir = ?, "
    "local_ctime = ?, local_mtime = ?, sharers = ?, bshared = ?, itemversion = ?";
constexpr char kItemKey[] = "svrid = ? AND isdir = ?";

// The data checks of a stored row, as one item (GetItemInfo) or in a listing (and a
// search). A listing takes a file without SHA-1: the service lists a file made empty
// that way until content is sent, and one such row must not make every stored listing
// of its folder unreadable. GetItemInfo, which callers use to compare contents, still
// refuses it.
struct RowChecks {
  const char* sha1;  // null: not checked
  const char* ctime;
  const char* mtime;
  const char* svrId;
};
constexpr RowChecks kItemChecks{
    "ERROR_CHECK_BOOLEX:fileInfo.bIsDir || !fileInfo.strSha1.IsEmpty()",
    "ERROR_CHECK_BOOLEX:fileInfo.bIsDir || !fileInfo.strLocalCTime.IsEmpty()",
    "ERROR_CHECK_BOOLEX:fileInfo.bIsDir || !fileInfo.strLocalMTime.IsEmpty()",
    "ERROR_CHECK_BOOLEX:!fileInfo.strSvrId.IsEmpty()",
};
constexpr RowChecks kListingChecks{
    nullptr,
    "ERROR_CHECK_BOOLEX:fileinfo.bIsDir || !fileinfo.strLocalCTime.IsEmpty()",
    "ERROR_CHECK_BOOLEX:fileinfo.bIsDir || !fileinfo.strLocalMTime.IsEmpty()",
    "ERROR_CHECK_BOOLEX:!fileinfo.strSvrId.IsEmpty()",
};

#define ROW_CHECK(cond, text)                 \
  do {                                        \
    if (!(cond)) {                            \
      OSTREL_LOG(kLogWarn, "%s", text);       \
      return E_FAIL;                          \
    }                                         \
  } while (0)

// Reads the current row into item, in the column order, each value checked as it comes;
// on a failure the members read before it stay filled.
HRESULT ReadItemRow(CDBQueryHelper& row, const RowChecks& checks, bool withDetails, CFileItemRecord* item) {
  unsigned isDir = 0;
  ERROR_CHECK_COM(row.getUIntField(kColIsDir, &isDir, 0));
  item->bIsDir = isDir;
  ERROR_CHECK_COM(row.getStringField(kColSha1, &item->strSha1, std::string()));
  if (checks.sha1) ROW_CHECK(item->bIsDir || !item->strSha1.empty(), checks.sha1);
  ERROR_CHECK_COM(row.getInt64Field(kColSize, &item->size, 0));
  ERROR_CHECK_COM(row.getInt64Field(kColVersion, &item->opVer, 0));
  ERROR_CHECK_COM(row.getInt64Field(kColFileVersion, &item->fileVer, 0));
  if (withDetails) ERROR_CHECK_COM(row.getStringField(kColLocalPath, &item->strLocalPath, std::string()));
  ERROR_CHECK_COM(row.getStringField(kColLocalName, &item->strName, std::string()));
  ERROR_CHECK_COM(row.getStringField(kColLocalCTime, &item->strLocalCTime, std::string()));
  ROW_CHECK(item->bIsDir || !item->strLocalCTime.empty(), checks.ctime);
  ERROR_CHECK_COM(row.getStringField(kColLocalMTime, &item->strLocalMTime, std::string()));
  ROW_CHECK(item->bIsDir || !item->strLocalMTime.empty(), checks.mtime);
  ERROR_CHECK_COM(row.getStringField(kColParentId, &item->strParentId, std::string()));
  ERROR_CHECK_COM(row.getStringField(kColSvrId, &item->strSvrId, std::string()));
  ROW_CHECK(!item->strSvrId.empty(), checks.svrId);
  if (withDetails) {
    int shared = 0;
    ERROR_CHECK_COM(row.getIntField(kColShared, &shared, 0));
    item->bShared = shared;
    std::string sharers;
    ERROR_CHECK_COM(row.getStringField(kColSharers, &sharers, std::string()));
    ParseSharers(sharers, &item->shareEntries);
  }
  return S_OK;
}

// Ids compare as the NOCASE columns do: ASCII letters without case.
std::string IdKey(const std::string& id) { return ToLowerAscii(id); }

// The search text matched literally: "\", "%" and "_" escaped for LIKE ... ESCAPE '\'.
std::string LikePattern(const std::string& text) {
  std::string pattern = "%";
  for (char c : text) {
    if (c == '\\' || c == '%' || c == '_') pattern += '\\';
    pattern += c;
  }
  pattern += '%';
  return pattern;
}

bool BySvrId(const CFileItemRecord& a, const CFileItemRecord& b) { return a.strSvrId < b.strSvrId; }

// Whether the select finds a row. Logs nothing beyond the data base's own lines.
HRESULT HasRow(CDB* db, const std::string& sql, const DBParams& params, bool* found) {
  CDBQueryHelper row;
  HRESULT hr = db->execQuery(sql, row, params);
  if (FAILED(hr)) return hr;
  bool end = true;
  hr = row.eof(&end);
  if (SUCCEEDED(hr)) *found = !end;
  return hr;
}

// Appends the first column of every row the select gives. Logs nothing beyond the
// data base's own lines.
HRESULT SelectTexts(CDB* db, const std::string& sql, const DBParams& params, std::vector<std::string>* texts) {
  CDBQueryHelper rows;
  HRESULT hr = db->execQuery(sql, rows, params);
  while (SUCCEEDED(hr)) {
    bool end = true;
    hr = rows.eof(&end);
    if (FAILED(hr) || end) break;
    std::string text;
    hr = rows.getStringField(0, &text, std::string());
    if (FAILED(hr)) break;
    texts->push_back(std::move(text));
    hr = rows.nextRow();
  }
  return hr;
}

}  // namespace

HRESULT CLocalStorage::ReadItems(const std::string& table, const std::string& condition, const DBParams& params,
                                 bool withDetails, std::vector<CFileItemRecord>* items) {
  CDBQueryHelper rows;
  HRESULT hr =
      m_pDB->execQuery(StringFormat("SELECT %s FROM %s WHERE %s", kItemColumns, table.c_str(), condition.c_str()),
                       rows, params);
  ERROR_CHECK_COM(hr);
  // Rows are read in runs under the data-base lock (each read would take it on its own
  // otherwise); between runs the lock is let go and the thread yields, so that a long
  // listing does not starve the threads that wait for the data base.
  auto dbLock = m_pDB->Lock();
  for (size_t n = 1;; ++n) {
    bool end = true;
    hr = rows.eof(&end);
    ERROR_CHECK_COM(hr);
    if (end) return S_OK;
    hr = ReadItemRow(rows, kListingChecks, withDetails, &items->emplace_back());
    if (FAILED(hr)) {
      items->pop_back();
      return hr;
    }
    hr = rows.nextRow();
    ERROR_CHECK_COM(hr);
    if (n % kRowsPerRun == 0) {
      dbLock.unlock();
      sched_yield();
      dbLock.lock();
    }
  }
}

HRESULT CLocalStorage::GetLastSyncSnapshot(const std::string& parentId, std::vector<CFileItemRecord>* items,
                                           ItemSpace space) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CLocalStorage::GetLastSyncSnapshot()", &hr, "szId = %s", parentId.c_str());
  std::lock_guard<std::recursive_mutex> storage(m_storageLock);
  // The shared-out view is the own rows that the user shares.
  const bool sharedOut = space == ItemSpace::ShareToOther;
  const char* table = ReadTable(space);
  const char* condition = sharedOut ? "svrparentid = ? AND bshared = ?" : "svrparentid = ?";
  const DBParams params = sharedOut ? DBParams{parentId, 1} : DBParams{parentId};
  // Collected apart and appended only whole: a failed read adds nothing.
  std::vector<CFileItemRecord> found;
  {
    // Sized once: a large folder's records are not moved again and again.
    CDBQueryHelper count;
    int rows = 0;
    if (SUCCEEDED(m_pDB->execQuery(StringFormat("SELECT count(*) FROM %s WHERE %s", table, condition), count,
                                   params)) &&
        SUCCEEDED(count.getIntField(0, &rows, 0)) && rows > 0)
      found.reserve(static_cast<size_t>(rows));
  }
  hr = ReadItems(table, condition, params, true, &found);
  if (FAILED(hr)) return hr;
  if (items->empty()) {
    items->swap(found);
    return hr;
  }
  items->reserve(items->size() + found.size());
  for (CFileItemRecord& item : found) items->push_back(std::move(item));
  return hr;
}

HRESULT CLocalStorage::GetItemInfo(const std::string& id, CFileItemRecord* item, ItemSpace space) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CLocalStorage::GetItemInfo()", &hr, "szId = %s", id.c_str());
  std::lock_guard<std::recursive_mutex> storage(m_storageLock);
  CDBQueryHelper row;
  hr = m_pDB->execQuery(StringFormat("SELECT %s FROM %s WHERE svrid = ?", kItemColumns, ReadTable(space)), row, {id});
  ERROR_CHECK_COM(hr);
  bool end = true;
  hr = row.eof(&end);
  ERROR_CHECK_COM(hr);
  if (end) {
    hr = E_FAIL;
    return hr;
  }
  hr = ReadItemRow(row, kItemChecks, true, item);
  return hr;
}

HRESULT CLocalStorage::GetItemShareRight(const std::string& id, std::vector<ShareEntry>* entries, ItemSpace space) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CLocalStorage::GetItemShareRight()", &hr, "szId = %s", id.c_str());
  std::lock_guard<std::recursive_mutex> storage(m_storageLock);
  const std::string sql = StringFormat("SELECT sharers, svrparentid FROM %s WHERE svrid = ?", ReadTable(space));
  std::unordered_set<std::string> visited;
  std::string current = id;
  for (int step = 0; step <= kMaxFolderDepth; ++step) {
    if (!visited.insert(IdKey(current)).second) {
      OSTREL_LOG(kLogWarn, "CLocalStorage::GetItemShareRight(): stored folders loop at %s", current.c_str());
      hr = E_FAIL;
      return hr;
    }
    CDBQueryHelper row;
    hr = m_pDB->execQuery(sql, row, {current});
    ERROR_CHECK_COM(hr);
    bool end = true;
    hr = row.eof(&end);
    ERROR_CHECK_COM(hr);
    if (end) break;
    std::string sharers, parent;
    hr = row.getStringField(0, &sharers, std::string());
    ERROR_CHECK_COM(hr);
    if (!sharers.empty()) {
      ParseSharers(sharers, entries);
      hr = S_OK;
      return hr;
    }
    hr = row.getStringField(1, &parent, std::string());
    ERROR_CHECK_COM(hr);
    current = std::move(parent);
  }
  hr = E_FAIL;
  return hr;
}

HRESULT CLocalStorage::BeginWrite(ItemSpace space, const char** table,
                                  std::unique_lock<std::recursive_mutex>* storage) {
  *table = WriteTable(space);
  if (!*table) return S_FALSE;
  *storage = std::unique_lock<std::recursive_mutex>(m_storageLock);
  HRESULT hr = S_OK;
  RefusedByFailedTransaction(&hr);
  return hr;
}

HRESULT CLocalStorage::AddOrUpdateFileItem(const CFileItemRecord& item, ItemSpace space) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CLocalStorage::AddOrUpdateFileItem()", &hr,
                     "szId = %s, szLocalPath = %s, szName= %s, szParentId = %s", item.strSvrId.c_str(),
                     item.strLocalPath.c_str(), item.strName.c_str(), item.strParentId.c_str());
  const char* table = nullptr;
  std::unique_lock<std::recursive_mutex> storage;
  if ((hr = BeginWrite(space, &table, &storage)) != S_OK) return hr;
  // Sharer pseudo-folders (17) are folders like any other in the store.
  const int64_t isDir = item.bIsDir ? 1 : 0;
  bool found = false;
  hr = TrackWrite(HasRow(m_pDB, StringFormat("SELECT id FROM %s WHERE %s", table, kItemKey), {item.strSvrId, isDir},
                         &found));
  ERROR_CHECK_COM(hr);
  DBParams values{item.size,
                  item.fileVer,
                  item.strSha1,
                  item.strParentId,
                  item.strSvrId,
                  item.strLocalPath,
                  item.strName,
                  isDir,
                  item.strLocalCTime,
                  item.strLocalMTime,
                  SerializeSharers(item.shareEntries),
                  static_cast<int64_t>(item.bShared),
                  StampFor(space)};
  if (!found) {
    hr = m_pDB->InsertRow(table, kInsertFields, kInsertValues, values);
  } else {
    values.emplace_back(item.strSvrId);
    values.emplace_back(isDir);
    hr = m_pDB->UpdateRows(table, kUpdateSet, kItemKey, values);
  }
  hr = TrackWrite(hr);
  ERROR_CHECK_COM(hr);
  return hr;
}

HRESULT CLocalStorage::UpdateFileVersion(const std::string& fileId, int64_t size, int64_t fileVersion,
                                         const std::string& sha1) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CLocalStorage::UpdateFileVersion()", &hr,
                     "szFileId = %s, lFileSize = %lld, lFileVersion = %lld, szSha1= %s", fileId.c_str(),
                     static_cast<long long>(size), static_cast<long long>(fileVersion), sha1.c_str());
  std::lock_guard<std::recursive_mutex> storage(m_storageLock);
  if (RefusedByFailedTransaction(&hr)) return hr;
  for (const char* table : {kShareInFilesTable, kFilesTable}) {
    bool found = false;
    // A look-up that fails loses the write: it counts as a failed write.
    hr = TrackWrite(HasRow(m_pDB, StringFormat("SELECT id FROM %s WHERE svrid = ?", table), {fileId}, &found));
    ERROR_CHECK_COM(hr);
    if (!found) continue;
    hr = TrackWrite(m_pDB->UpdateRows(table, "size = ?, fileversion = ?, sha1 = ?", "svrid = ?",
                                      {size, fileVersion, sha1, fileId}));
    ERROR_CHECK_COM(hr);
    return hr;
  }
  hr = S_FALSE;
  return hr;
}

HRESULT CLocalStorage::ClearOldFileItem(const std::string& parentId, ItemSpace space) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CLocalStorage::ClearOldFileItem()", &hr, "szFileId = %s", parentId.c_str());
  const char* table = nullptr;
  std::unique_lock<std::recursive_mutex> storage;
  if ((hr = BeginWrite(space, &table, &storage)) != S_OK) return hr;
  const int64_t stamp = StampFor(space);
  hr = TrackWrite(m_pDB->DeleteRows(table, "svrparentid = ? AND itemversion < ? AND isdir = 0", {parentId, stamp}));
  ERROR_CHECK_COM(hr);
  std::vector<std::string> folders;
  hr = TrackWrite(SelectTexts(
      m_pDB, StringFormat("SELECT svrid FROM %s WHERE svrparentid = ? AND itemversion < ? AND isdir = 1", table),
      {parentId, stamp}, &folders));
  ERROR_CHECK_COM(hr);
  for (const std::string& folder : folders) {
    hr = TrackWrite(DeleteFolderRows(table, folder));
    ERROR_CHECK_COM(hr);
  }
  hr = S_OK;
  return hr;
}

HRESULT CLocalStorage::DeleteFileItem(const std::string& fileId, ItemSpace space) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CLocalStorage::DeleteFileItem()", &hr, "szFileId = %s", fileId.c_str());
  const char* table = nullptr;
  std::unique_lock<std::recursive_mutex> storage;
  if ((hr = BeginWrite(space, &table, &storage)) != S_OK) return hr;
  hr = TrackWrite(m_pDB->DeleteRows(table, "svrid = ? AND isdir = 0", {fileId}));
  ERROR_CHECK_COM(hr);
  return hr;
}

HRESULT CLocalStorage::DeleteFoldItem(const std::string& folderId, ItemSpace space) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CLocalStorage::DeleteFoldItem()", &hr, "szFileId = %s", folderId.c_str());
  const char* table = nullptr;
  std::unique_lock<std::recursive_mutex> storage;
  if ((hr = BeginWrite(space, &table, &storage)) != S_OK) return hr;
  hr = TrackWrite(DeleteFolderRows(table, folderId));
  return hr;
}

HRESULT CLocalStorage::DeleteFolderRows(const char* table, const std::string& folderId) {
  // Depth first with an explicit stack: files of a folder, then its sub-folders, then
  // the folder's own row. Every folder id is entered once (rows that loop back are
  // passed over) and nesting stops at kMaxFolderDepth.
  struct Frame {
    std::string id;
    std::vector<std::string> subFolders;
    size_t next = 0;
  };
  const std::string selectSub = StringFormat("SELECT svrid FROM %s WHERE svrparentid = ? AND isdir = 1", table);
  std::unordered_set<std::string> visited{IdKey(folderId)};
  std::vector<Frame> stack;
  auto enter = [&](const std::string& id) -> HRESULT {
    HRESULT hr = m_pDB->DeleteRows(table, "svrparentid = ? AND isdir = 0", {id});
    ERROR_CHECK_COM(hr);
    Frame frame;
    frame.id = id;
    hr = SelectTexts(m_pDB, selectSub, {id}, &frame.subFolders);
    ERROR_CHECK_COM(hr);
    stack.push_back(std::move(frame));
    return S_OK;
  };

  HRESULT hr = enter(folderId);
  if (FAILED(hr)) return hr;
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next < top.subFolders.size()) {
      std::string sub = top.subFolders[top.next++];
      if (!visited.insert(IdKey(sub)).second) continue;
      if (stack.size() >= static_cast<size_t>(kMaxFolderDepth)) {
        OSTREL_LOG(kLogWarn, "CLocalStorage::DeleteFoldItem(): folders nested deeper than %d under %s",
                   kMaxFolderDepth, folderId.c_str());
        return E_FAIL;
      }
      hr = enter(sub);
      if (FAILED(hr)) return hr;
      continue;
    }
    hr = m_pDB->DeleteRows(table, "svrid = ? AND isdir = 1", {top.id});
    ERROR_CHECK_COM(hr);
    stack.pop_back();
  }
  return S_OK;
}

HRESULT CLocalStorage::LocalFullTextSearch(const std::string& searchText, std::vector<CFileItemRecord>* items) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CLocalStorage::LocalFullTextSearch()", &hr, "searchText = %s", searchText.c_str());
  std::lock_guard<std::recursive_mutex> storage(m_storageLock);
  const std::string condition = "Localname like ? ESCAPE '\\'";
  const std::string pattern = LikePattern(searchText);
  std::vector<CFileItemRecord> own, shared;
  hr = ReadItems(kFilesTable, condition, {pattern}, false, &own);
  ERROR_CHECK_COM(hr);
  hr = ReadItems(kShareInFilesTable, condition, {pattern}, false, &shared);
  ERROR_CHECK_COM(hr);
  std::stable_sort(own.begin(), own.end(), BySvrId);
  std::stable_sort(shared.begin(), shared.end(), BySvrId);
  // The union by fileId; an id in both tables comes from files.
  items->reserve(items->size() + own.size() + shared.size());
  size_t i = 0, j = 0;
  while (i < own.size() && j < shared.size()) {
    if (BySvrId(own[i], shared[j])) {
      items->push_back(std::move(own[i++]));
    } else if (BySvrId(shared[j], own[i])) {
      items->push_back(std::move(shared[j++]));
    } else {
      items->push_back(std::move(own[i++]));
      ++j;
    }
  }
  for (; i < own.size(); ++i) items->push_back(std::move(own[i]));
  for (; j < shared.size(); ++j) items->push_back(std::move(shared[j]));
  return hr;
}

HRESULT CLocalStorage::SetFolderViewMode(const std::string& id, int viewMode, int rootKey, ItemSpace space) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CLocalStorage::SetFolderViewMode()", &hr, "szId = %s", id.c_str());
  std::lock_guard<std::recursive_mutex> storage(m_storageLock);
  if (RefusedByFailedTransaction(&hr)) return hr;
  if (id.empty()) {
    hr = TrackWrite(m_pConfig->SetItem(kSection, std::to_string(rootKey), std::to_string(viewMode)));
    ERROR_CHECK_COM(hr);
    return hr;
  }
  const char* table = WriteTable(space);
  if (!table) {
    hr = S_FALSE;
    return hr;
  }
  bool found = false;
  hr = TrackWrite(HasRow(m_pDB, StringFormat("SELECT id FROM %s WHERE svrid = ?", table), {id}, &found));
  ERROR_CHECK_COM(hr);
  if (!found) {
    hr = S_OK;
    return hr;
  }
  hr = TrackWrite(m_pDB->UpdateRows(table, "viewmode = ?", "svrid = ?", {viewMode, id}));
  ERROR_CHECK_COM(hr);
  return hr;
}

int CLocalStorage::GetFolderViewMode(const std::string& id, int rootKey, ItemSpace space) {
  HRESULT hr = S_OK;
  TRACE_SCOPE_DETAIL("CLocalStorage::GetFolderViewMode()", &hr, "szId = %s", id.c_str());
  std::lock_guard<std::recursive_mutex> storage(m_storageLock);
  int mode = 0;
  if (id.empty()) {
    hr = m_pConfig->GetIntItem(kSection, std::to_string(rootKey), &mode, 0);
    return SUCCEEDED(hr) ? mode : 0;
  }
  CDBQueryHelper row;
  bool end = true;
  hr = m_pDB->execQuery(StringFormat("SELECT viewmode FROM %s WHERE svrid = ?", ReadTable(space)), row, {id});
  if (SUCCEEDED(hr)) hr = row.eof(&end);
  if (SUCCEEDED(hr) && !end) hr = row.getIntField(0, &mode, 0);
  return SUCCEEDED(hr) ? mode : 0;
}
