// Finding items by cloud path: each folder on the way is listed through the facade
// (the cached listing first, a fresh one when a name is not found in it), and the
// element is looked up by its exact name.
#pragma once

#include <string>
#include <vector>

#include "app/cloudpath.h"
#include "common/resultcodes.h"
#include "core/interfaces/fileitemrecord.h"

class CLogicAdapter;

struct ResolvedItem {
  CloudPath path;
  bool isRoot = false;
  bool isDir = true;
  std::string id;        // "" for the root
  std::string parentId;  // "" for the root and its items
  CFileItemRecord item;  // empty for the root
};

// Lists the folder folderId (path is only logged) of the view; forceRefresh asks the
// service. The facade's result.
HRESULT ListCloudFolder(CLogicAdapter& adapter, ItemSpace space, const std::string& folderId, const CloudPath& path,
                        bool forceRefresh, std::vector<CFileItemRecord>* items);

// Finds path in the view. S_OK with *out; E_CV_TARGET_NOT_EXISTS with *error naming
// the first element not found, or the element that is not a folder when more follow;
// a listing's failure as it is.
HRESULT ResolveCloudPath(CLogicAdapter& adapter, ItemSpace space, const CloudPath& path, ResolvedItem* out,
                         std::string* error);
