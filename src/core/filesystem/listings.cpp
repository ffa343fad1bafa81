// CFileSystem: the listings of folders, of the recycle bin and of search hits, and how a
// listing from the service is written back to the local storage.
#include "common/checks.h"
#include "common/tracestack.h"
#include "core/filesystem/filesystem.h"
#include "core/filesystem/replyitem.h"
#include "core/filesystem/searchmerge.h"
#include "core/interfaces/createtaskdata.h"

namespace {

// The line of a local-storage call that failed inside a listing (which goes on).
void LogStoreFailure(HRESULT hr) {
  if (FAILED(hr)) OSTREL_LOG(kLogError, "%s", "*ASSERT*: (((HRESULT)(hr)) >= 0)");
}

void AppendAll(std::vector<CFileItemRecord>&& found, std::vector<CFileItemRecord>* items) {
  if (items->empty()) {
    items->swap(found);
    return;
  }
  items->reserve(items->size() + found.size());
  for (CFileItemRecord& item : found) items->push_back(std::move(item));
}

}  // namespace

HRESULT CFileSystem::Snapshot(const std::string& parentId, std::vector<CFileItemRecord>* items, ItemSpace space,
                              bool sharerRoot) {
  std::vector<CFileItemRecord> found;
  HRESULT hr = m_spLocalStorage->GetLastSyncSnapshot(parentId, &found, space);
  if (FAILED(hr)) {
    LogStoreFailure(hr);
    return hr;
  }
  // The store keeps a sharer's pseudo-folder as a folder.
  if (sharerRoot)
    for (CFileItemRecord& item : found) item.bIsDir = kItemSharerFolder;
  AppendAll(std::move(found), items);
  return hr;
}

void CFileSystem::StoreListing(const std::string& folderId, const std::vector<CFileItemRecord>& items,
                               ItemSpace space, int64_t listedAt) {
  // One transaction: the rows, the sweep and the folder's mark all carry the version
  // the listing was asked at (or the store's, when lower): a change that reached the
  // store while the listing was under way is never counted as held by it. When a write
  // fails, nothing of it is kept and the folder stays stale.
  m_spLocalStorage->BeginListingTransaction(space, listedAt);
  for (const CFileItemRecord& item : items) LogStoreFailure(m_spLocalStorage->AddOrUpdateFileItem(item, space));
  LogStoreFailure(m_spLocalStorage->ClearOldFileItem(folderId, space));
  LogStoreFailure(m_spLocalStorage->UpdateFolderCacheVesion(folderId, space, listedAt));
  LogStoreFailure(m_spLocalStorage->CommitTransaction());
}

int64_t CFileSystem::StoredVersion(ItemSpace space) {
  return space == ItemSpace::ShareToMe ? m_spLocalStorage->GetCurShareCacheVesion(0)
                                       : m_spLocalStorage->GetCurCacheVesion(0);
}

HRESULT CFileSystem::Dir(const std::string& parentId, std::vector<CFileItemRecord>* items, bool forceRefresh,
                         ItemSpace space) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CFileSystem::Dir()", &hr, "szParentId = %s", parentId.c_str());
  if (!m_spLocalStorage) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: m_pLocalStorage");
    return hr;
  }
  // Below the root, the shared-out view shows every child of a shared folder: the
  // children are read like the own ones (the shared flag marks only what the user
  // shared by itself).
  const ItemSpace readSpace = space == ItemSpace::ShareToOther && !parentId.empty() ? ItemSpace::MyFile : space;
  if (!forceRefresh && !m_spLocalStorage->FolderNeedUpdate(parentId, space)) {
    hr = Snapshot(parentId, items, readSpace, false);
    if (hr == S_OK) return hr;
  }

  // The version first: whatever it says was so before the listing is asked for, so the
  // listing holds at least that much (a failed query leaves the stored version, which
  // is older still). A later version would take in changes the rows may miss.
  switch (space) {
    case ItemSpace::MyFile:
    case ItemSpace::ShareToOther:
      RefreshCacheVersion(true, false, FileSystemTries::kListing);
      break;
    case ItemSpace::ShareToMe:
      RefreshCacheVersion(false, true, FileSystemTries::kListing);
      break;
    default:
      OSTREL_LOG(kLogError, "%s", "*ASSERT*: 0");
      break;
  }
  const int64_t listedAt = StoredVersion(space);

  RecordTree reply;
  hr = RunTask(CreateTaskData_Dir(Token(), parentId), &reply, FileSystemTries::kListing);
  if (FAILED(hr)) {
    // No answer: the stored items, whatever their age, for the caller to show as such,
    // and the service's failure, so that it is not taken for a current listing.
    Snapshot(parentId, items, readSpace, false);
    return hr;
  }

  std::vector<CFileItemRecord> found;
  found.reserve(reply.GetChildCount());
  for (size_t i = 0; i < reply.GetChildCount(); ++i) {
    const RecordTree& node = reply.GetChild(i);
    if (node.GetValue("fileId").empty()) continue;
    CFileItemRecord fileInfo = ConvertReplyItem(node, kFolderItemRule);
    if (fileInfo.strSvrId.empty() || fileInfo.strName.empty())
      OSTREL_LOG(kLogError, "%s", "*ASSERT*: !fileInfo.strSvrId.IsEmpty() && !fileInfo.strName.IsEmpty()");
    // A file made empty has no content yet, and so no SHA-1: it is listed and stored all
    // the same.
    if (!fileInfo.bIsDir && fileInfo.strSha1.empty())
      OSTREL_LOG(kLogError, "%s", "*ASSERT*: fileInfo.bIsDir || !fileInfo.strSha1.IsEmpty()");
    std::string why;
    if (!IsStorableItem(fileInfo, parentId, &why)) {
      OSTREL_LOG(kLogWarn, "CFileSystem::Dir(): item %s of folder %s left out: %s", fileInfo.strSvrId.c_str(),
                 parentId.c_str(), why.c_str());
      continue;
    }
    found.push_back(std::move(fileInfo));
  }

  StoreListing(parentId, found, space, listedAt);
  AppendAll(std::move(found), items);
  return hr = S_OK;
}

HRESULT CFileSystem::DirMyFile(const std::string& parentId, const std::string& fullPath,
                               std::vector<CFileItemRecord>* items, bool forceRefresh) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CFileSystem::DirMyFile()", &hr, "szParentId = %s, szFullPath = %s, bForceRefress = %d",
                     parentId.c_str(), fullPath.c_str(), forceRefresh ? 1 : 0);
  if (!items) return hr = E_POINTER;
  hr = Dir(parentId, items, forceRefresh, ItemSpace::MyFile);
  return hr;
}

HRESULT CFileSystem::GetRecycle(const std::string& opVersion, int32_t size, std::vector<CFileItemRecord>* items) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CFileSystem::GetRecycle()", &hr, "szOpVersion = %s, lSize = %ld", opVersion.c_str(),
                     static_cast<long>(size));
  if (!items) return hr = E_POINTER;
  RecordTree reply;
  hr = RunTask(CreateTaskData_GetRecycle(Token(), opVersion, size), &reply, FileSystemTries::kListing);
  if (FAILED(hr)) return hr;
  items->reserve(items->size() + reply.GetChildCount());
  for (size_t i = 0; i < reply.GetChildCount(); ++i) items->push_back(ConvertReplyItem(reply.GetChild(i), kRecycleItemRule));
  return hr;
}

HRESULT CFileSystem::FullTextSearch(const std::string& searchText, int32_t searchType,
                                    std::vector<CFileItemRecord>* items) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CFileSystem::FullTextSearch()", &hr, "searchText = %s", searchText.c_str());
  if (!items) return hr = E_POINTER;
  if (!m_spLocalStorage) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: m_pLocalStorage");
    return hr;
  }
  std::vector<CFileItemRecord> serviceHits, localHits;
  RecordTree reply;
  const HRESULT hrService =
      RunTask(CreateTaskData_FullTextSearch(Token(), searchText, searchType), &reply, FileSystemTries::kListing);
  if (SUCCEEDED(hrService)) {
    serviceHits.reserve(reply.GetChildCount());
    for (size_t i = 0; i < reply.GetChildCount(); ++i)
      serviceHits.push_back(ConvertReplyItem(reply.GetChild(i), kSearchItemRule));
  }
  hr = m_spLocalStorage->LocalFullTextSearch(searchText, &localHits);
  if (FAILED(hr)) {
    LogStoreFailure(hr);
    // Without local hits the service's stand alone; without either nothing is found.
    if (FAILED(hrService)) return hr = hrService;
    localHits.clear();
  }
  MergeSearchHits(std::move(serviceHits), std::move(localHits), items);
  // Without the service's answer the hits are the stored items' alone: handed out, with
  // the service's failure.
  return hr = SUCCEEDED(hrService) ? S_OK : hrService;
}
