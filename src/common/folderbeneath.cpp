#include "common/folderbeneath.h"

#include <cerrno>

#include "common/pathcheck.h"

HRESULT FolderEntryResult(int err) {
  switch (err) {
    case ELOOP:
    case ENOTDIR:
      return E_CV_LOCAL_NOT_FOLDER;
    case ENOENT:
      return E_CV_LOCAL_NOT_EXIST;
    case EACCES:
    case EPERM:
    case EROFS:
      return E_CV_LOCAL_LOCKED;
    default:
      return E_FAIL;
  }
}

HRESULT EnterSubFolder(const FolderHandle& parent, const std::string& name, FolderHandle* child) {
  if (parent.OpenChild(name, true, kDownloadFolderMode, child)) return S_OK;
  return FolderEntryResult(errno);
}

HRESULT OpenFolderOfFileBeneath(const std::string& root, const std::string& path, FolderHandle* folder,
                                std::string* name, std::string* failedAt, FileEnv* env) {
  std::string prefix = root;
  while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
  if (prefix != "/") prefix += "/";
  if (root.empty() || path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return E_INVALIDARG;
  const std::string relative = path.substr(prefix.size());
  if (!IsSafeRelativePath(relative)) return E_INVALIDARG;

  FolderHandle current(env);
  if (!current.Open(root)) {
    const HRESULT hr = FolderEntryResult(errno);
    *failedAt = root;
    return hr;
  }
  std::string reached = prefix;
  size_t begin = 0;
  for (size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', begin)) {
    const std::string element = relative.substr(begin, slash - begin);
    reached += element;
    FolderHandle next(env);
    const HRESULT hr = EnterSubFolder(current, element, &next);
    if (FAILED(hr)) {
      *failedAt = reached;
      return hr;
    }
    current = std::move(next);
    reached += "/";
    begin = slash + 1;
  }
  *name = relative.substr(begin);
  *folder = std::move(current);
  return S_OK;
}
