// CFileSystem: the two share views.
//
// Shared by the user: the root lists every item the user shares (from the service; the
// stored snapshot of the root is the own root's shared rows); below it a shared folder
// lists like an own one.
//
// Shared with the user, in three levels: the root lists one pseudo-folder per person who
// shares something with the user (its id is that person's email, so it holds "@"); a
// pseudo-folder lists the items that person shares; below that, real shared folders
// list by id. The first two levels come from one request for every item shared with
// the user and are stored in the shared-with-me table.
#include "common/checks.h"
#include "common/strhelper.h"
#include "common/tracestack.h"
#include "core/filesystem/filesystem.h"
#include "core/filesystem/replyitem.h"
#include "core/interfaces/createtaskdata.h"

namespace {

// The task record's share types.
constexpr int32_t kSharedOut = 0;
constexpr int32_t kSharedToMe = 1;

// The pseudo-folder of one sharer: named "nickName(email)", or the nickName alone when
// it is the email (ASCII case ignored).
CFileItemRecord SharerFolder(const RecordTree& sharer) {
  const std::string nickName = sharer.GetValue("nickName");
  const std::string email = sharer.GetValue("email");
  CFileItemRecord folder;
  folder.strName = StrCompare(nickName, email, true) == 0 ? nickName : nickName + "(" + email + ")";
  folder.strSvrId = email;
  folder.bIsDir = kItemSharerFolder;
  folder.bShared = 0;
  return folder;
}

bool HasNameIgnoringCase(const std::vector<CFileItemRecord>& items, const std::string& name) {
  for (const CFileItemRecord& item : items)
    if (StrCompare(item.strName, name, true) == 0) return true;
  return false;
}

}  // namespace

HRESULT CFileSystem::DirShareToOther(const std::string& parentId, const std::string& fullPath,
                                     std::vector<CFileItemRecord>* items, bool forceRefresh) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CFileSystem::DirShareToOther()", &hr, "szParentId = %s, szFullPath = %s, bForceRefress = %d",
                     parentId.c_str(), fullPath.c_str(), forceRefresh ? 1 : 0);
  if (!items) return hr = E_POINTER;
  if (!parentId.empty()) return hr = Dir(parentId, items, forceRefresh, ItemSpace::ShareToOther);
  if (!m_spLocalStorage) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: m_pLocalStorage");
    return hr;
  }
  // A current root is answered from the store; an unreadable one is asked for (a folder
  // listing of the own root would show what is not shared).
  if (!forceRefresh && !m_spLocalStorage->FolderNeedUpdate(parentId, ItemSpace::ShareToOther)) {
    hr = Snapshot(parentId, items, ItemSpace::ShareToOther, false);
    if (hr == S_OK) return hr;
  }

  // The root is marked against the share version: the one stored before the request,
  // no later than the listing.
  const int64_t listedAt = m_spLocalStorage->GetCurShareCacheVesion(0);
  RecordTree reply;
  hr = RunTask(CreateTaskData_GetAllShareFile(Token(), kSharedOut), &reply, FileSystemTries::kListing);
  if (FAILED(hr)) return hr;
  std::vector<CFileItemRecord> found;
  found.reserve(reply.GetChildCount());
  for (size_t i = 0; i < reply.GetChildCount(); ++i)
    found.push_back(ConvertReplyItem(reply.GetChild(i), kSharedItemRule));
  // The items themselves are not stored here; the root's mark is.
  HRESULT hrStore = m_spLocalStorage->UpdateFolderCacheVesion(parentId, ItemSpace::ShareToOther, listedAt);
  if (FAILED(hrStore)) OSTREL_LOG(kLogError, "%s", "*ASSERT*: (((HRESULT)(hr)) >= 0)");
  for (CFileItemRecord& item : found) items->push_back(std::move(item));
  return hr = S_OK;
}

HRESULT CFileSystem::DirShareToMe(const std::string& parentId, const std::string& fullPath,
                                  std::vector<CFileItemRecord>* items, bool forceRefresh) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CFileSystem::DirShareToMe()", &hr, "szParentId = %s, szFullPath = %s, bForceRefress = %d",
                     parentId.c_str(), fullPath.c_str(), forceRefresh ? 1 : 0);
  if (!items) return hr = E_POINTER;
  if (!parentId.empty() && parentId.find('@') == std::string::npos)
    return hr = Dir(parentId, items, forceRefresh, ItemSpace::ShareToMe);
  if (!m_spLocalStorage) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: m_pLocalStorage");
    return hr;
  }
  const bool root = parentId.empty();
  if (!forceRefresh && !m_spLocalStorage->FolderNeedUpdate(parentId, ItemSpace::ShareToMe)) {
    hr = Snapshot(parentId, items, ItemSpace::ShareToMe, root);
    if (hr == S_OK) return hr;
  }
  hr = ListSharedToMe(parentId, items);
  return hr;
}

HRESULT CFileSystem::ListSharedToMe(const std::string& sharer, std::vector<CFileItemRecord>* items) {
  const bool root = sharer.empty();
  // The listing's mark is the share version stored before the request: no later than
  // the listing.
  const int64_t listedAt = StoredVersion(ItemSpace::ShareToMe);
  RecordTree reply;
  HRESULT hr = RunTask(CreateTaskData_GetAllShareFile(Token(), kSharedToMe), &reply, FileSystemTries::kListing);
  if (FAILED(hr)) {
    // As a folder's listing: the stored items, with the service's failure.
    Snapshot(sharer, items, ItemSpace::ShareToMe, root);
    return hr;
  }

  std::vector<CFileItemRecord> found;
  for (size_t i = 0; i < reply.GetChildCount(); ++i) {
    const RecordTree& node = reply.GetChild(i);
    const RecordTree* sharerNode = FindReplyChild(node, "sharer");
    if (!sharerNode) continue;
    CFileItemRecord item;
    if (root) {
      item = SharerFolder(*sharerNode);
      if (HasNameIgnoringCase(found, item.strName)) continue;
      // The email names the pseudo-folder and tells the levels apart.
      if (item.strSvrId.find('@') == std::string::npos) {
        OSTREL_LOG(kLogWarn, "CFileSystem::DirShareToMe(): sharer \"%s\" left out: its email has no \"@\"",
                   item.strSvrId.c_str());
        continue;
      }
    } else {
      if (StrCompare(sharerNode->GetValue("email"), sharer, true) != 0) continue;
      item = ConvertReplyItem(node, kSharedItemRule);
      item.strParentId = sharer;
    }
    std::string why;
    if (!IsStorableItem(item, sharer, &why)) {
      OSTREL_LOG(kLogWarn, "CFileSystem::DirShareToMe(): item %s of %s left out: %s", item.strSvrId.c_str(),
                 root ? "the root" : sharer.c_str(), why.c_str());
      continue;
    }
    found.push_back(std::move(item));
  }
  StoreListing(sharer, found, ItemSpace::ShareToMe, listedAt);
  for (CFileItemRecord& item : found) items->push_back(std::move(item));
  return S_OK;
}
