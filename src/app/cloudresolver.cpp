#include "app/cloudresolver.h"

#include "core/logicadapter/logicadapter.h"

namespace {

const CFileItemRecord* FindByName(const std::vector<CFileItemRecord>& items, const std::string& name) {
  for (const auto& item : items)
    if (item.strName == name) return &item;
  return nullptr;
}

}  // namespace

HRESULT ListCloudFolder(CLogicAdapter& adapter, ItemSpace space, const std::string& folderId, const CloudPath& path,
                        bool forceRefresh, std::vector<CFileItemRecord>* items) {
  switch (space) {
    case ItemSpace::ShareToMe:
      return adapter.DirShareToMe(folderId, path.EngineForm(), items, forceRefresh);
    case ItemSpace::ShareToOther:
      return adapter.DirShareToOther(folderId, path.EngineForm(), items, forceRefresh);
    default:
      return adapter.DirMyFile(folderId, path.EngineForm(), items, forceRefresh);
  }
}

HRESULT ResolveCloudPath(CLogicAdapter& adapter, ItemSpace space, const CloudPath& path, ResolvedItem* out,
                         std::string* error) {
  ResolvedItem current;
  current.isRoot = true;
  CloudPath walked;
  const auto& elements = path.Elements();
  for (size_t i = 0; i < elements.size(); ++i) {
    if (!current.isDir) {
      if (error) *error = walked.Display() + " is not a folder";
      return E_CV_TARGET_NOT_EXISTS;
    }
    const CFileItemRecord* found = nullptr;
    std::vector<CFileItemRecord> items;
    // A stale listing the service did not renew still finds what it holds: the
    // command's own request then meets the service.
    HRESULT hr = ListCloudFolder(adapter, space, current.id, walked, false, &items);
    found = FindByName(items, elements[i]);
    if (!found) {
      // The cached listing may be older than the service's: ask the service once.
      items.clear();
      hr = ListCloudFolder(adapter, space, current.id, walked, true, &items);
      if (FAILED(hr)) return hr;
      found = FindByName(items, elements[i]);
    }
    walked = walked.Child(elements[i]);
    if (!found) {
      if (error) *error = "no such item: " + walked.Display();
      return E_CV_TARGET_NOT_EXISTS;
    }
    ResolvedItem next;
    next.path = walked;
    next.isDir = found->bIsDir != kItemFile;
    next.id = found->strSvrId;
    next.parentId = current.id;
    next.item = *found;
    current = std::move(next);
  }
  current.path = walked;
  *out = std::move(current);
  return S_OK;
}
