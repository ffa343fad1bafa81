#include "core/interfaces/createtaskdata.h"

#include "common/checks.h"
#include "platform/guid.h"

bool TaskDataBase::IsSameBase(const TaskDataBase& other) const {
  return strTaskName == other.strTaskName && strId == other.strId && strFullPath == other.strFullPath &&
         bIsDir == other.bIsDir && nDirection == other.nDirection;
}

std::string TaskPathLastElement(const std::string& fullPath) {
  std::string path = fullPath;
  if (!path.empty() && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

namespace {

template <class T>
T* NewRecord(const char* taskName) {
  T* record = new T();
  record->strTaskName = taskName;
  return record;
}

}  // namespace

TaskData_Login* CreateTaskData_Login(const std::string& user, const std::string& password,
                                     const std::string& computerId, const std::string& clientName,
                                     const std::string& clientVersion) {
  ASSERT(!user.empty());
  ASSERT(!password.empty());
  ASSERT(!computerId.empty());
  auto* r = NewRecord<TaskData_Login>("Login");
  r->strUser = user;
  r->strPassword = password;
  r->strDeviceId = computerId;
  r->strClientName = clientName;
  r->strClientVersion = clientVersion;
  return r;
}

TaskData_ReLogin* CreateTaskData_ReLogin(const std::string& token, const std::string& computerId) {
  ASSERT(!token.empty());
  ASSERT(!computerId.empty());
  auto* r = NewRecord<TaskData_ReLogin>("ReLogin");
  r->strToken = token;
  r->strDeviceId = computerId;
  return r;
}

TaskData_GetItemInfo* CreateTaskData_GetFileInfo(const std::string& id) {
  ASSERT(!id.empty());
  auto* r = NewRecord<TaskData_GetItemInfo>("GetFileInfo");
  r->strId = id;
  return r;
}

TaskData_Dir* CreateTaskData_Dir(const std::string& token, const std::string& folderId) {
  ASSERT(!token.empty());
  auto* r = NewRecord<TaskData_Dir>("Dir");
  r->strToken = token;
  r->strId = folderId;
  return r;
}

TaskData_GetSpace* CreateTaskData_GetSpace(const std::string& token) {
  ASSERT(!token.empty());
  auto* r = NewRecord<TaskData_GetSpace>("GetSpace");
  r->strToken = token;
  return r;
}

TaskData_GetRemoteOptVer* CreateTaskData_GetMaxVer(const std::string& token) {
  ASSERT(!token.empty());
  auto* r = NewRecord<TaskData_GetRemoteOptVer>("GetMaxVer");
  r->strToken = token;
  return r;
}

TaskData_GetRemoteOptVer* CreateTaskData_GetRemoteOptVer(const std::string& token) {
  auto* r = NewRecord<TaskData_GetRemoteOptVer>("GetRemoteOptVer");
  r->strToken = token;
  return r;
}

TaskData_GetThumbnail* CreateTaskData_GetThumbnail(const std::string& token, const std::string& id,
                                                   const std::string& packagePath,
                                                   const std::string& outputFolder, int32_t height,
                                                   int32_t width) {
  auto* r = NewRecord<TaskData_GetThumbnail>("GetThumbnail");
  r->strToken = token;
  r->strId = id;
  r->strPackagePath = packagePath;
  r->strOutputFolder = outputFolder;
  r->nHeight = height;
  r->nWidth = width;
  return r;
}

TaskData_FullTextSearch* CreateTaskData_FullTextSearch(const std::string& token, const std::string& searchText,
                                                       int32_t searchType) {
  auto* r = NewRecord<TaskData_FullTextSearch>("FullTextSearch");
  r->strToken = token;
  r->searchText = searchText;
  r->nSearchType = searchType;
  return r;
}

namespace {

// The base fields of the item operations.
template <class T>
T* NewItemRecord(const char* taskName, const std::string& token, bool isDir, const std::string& id,
                 const std::string& fullPath) {
  T* r = NewRecord<T>(taskName);
  r->strToken = token;
  r->bIsDir = isDir;
  r->strId = id;
  r->strFullPath = fullPath;
  return r;
}

}  // namespace

TaskData_Delete* CreateTaskData_Delete(const std::string& token, bool isDir, const std::string& id,
                                       const std::string& fullPath) {
  return NewItemRecord<TaskData_Delete>(isDir ? "DeleteDirectory" : "DeleteFile", token, isDir, id, fullPath);
}

TaskData_Rename* CreateTaskData_Rename(const std::string& token, bool isDir, const std::string& id,
                                       const std::string& fullPath, const std::string& newName) {
  auto* r = NewItemRecord<TaskData_Rename>(isDir ? "RenameDirectory" : "EditFile", token, isDir, id, fullPath);
  r->strNewName = newName;
  return r;
}

TaskData_Move* CreateTaskData_Move(const std::string& token, bool isDir, const std::string& id,
                                   const std::string& fullPath, const std::string& newParentId,
                                   const std::string& name) {
  auto* r = NewItemRecord<TaskData_Move>(isDir ? "MoveDirectory" : "MoveFile", token, isDir, id, fullPath);
  r->strParentId = newParentId;
  r->strName = name;
  return r;
}

TaskData_GetRecycle* CreateTaskData_GetRecycle(const std::string& token, const std::string& opVersion,
                                               int32_t size) {
  ASSERT(!token.empty());
  ASSERT(!opVersion.empty());
  auto* r = NewRecord<TaskData_GetRecycle>("GetRecycle");
  r->strToken = token;
  r->strOpVersion = opVersion;
  r->nSize = size;
  return r;
}

TaskData_CleanRecycle* CreateTaskData_CleanRecycle(const std::string& token, const std::string& id) {
  ASSERT(!token.empty());
  ASSERT(!id.empty());
  auto* r = NewRecord<TaskData_CleanRecycle>("CleanRecycle");
  r->strToken = token;
  r->strId = id;
  return r;
}

TaskData_Recover* CreateTaskData_Recover(const std::string& token, const std::string& id,
                                         const std::string& parentId) {
  ASSERT(!token.empty());
  ASSERT(!id.empty());
  auto* r = NewRecord<TaskData_Recover>("Recover");
  r->strToken = token;
  r->strId = id;
  r->strParentId = parentId;
  return r;
}

TaskData_GetAllShareFile* CreateTaskData_GetAllShareFile(const std::string& token, int32_t shareType) {
  auto* r = NewRecord<TaskData_GetAllShareFile>("GetAllShareFile");
  r->strToken = token;
  r->nShareType = shareType;
  return r;
}

TaskData_DirectoryAdd* CreateTaskData_CreateDirectory(const std::string& token, const std::string& parentId,
                                                      const std::string& fullPath) {
  auto* r = NewRecord<TaskData_DirectoryAdd>("CreateDirectory");
  r->strToken = token;
  r->strFullPath = fullPath;
  r->bIsDir = true;
  r->nDirection = 1;
  r->strName = TaskPathLastElement(fullPath);
  r->strParentId = parentId;
  return r;
}

TaskData_NewFile* CreateTaskData_UpdateNewFile(const std::string& parentId, const std::string& fullPath,
                                               const std::string& sourcePath) {
  auto* r = NewRecord<TaskData_NewFile>("UpdateNewFile");
  r->strId = NewGuidString();
  r->strFullPath = fullPath;
  r->strSecondPath = sourcePath;
  r->bIsDir = false;
  r->nDirection = 1;
  r->strName = TaskPathLastElement(fullPath);
  r->strParentId = parentId;
  return r;
}

TaskData_DownloadFile* CreateTaskData_DownloadFile(const std::string& id, const std::string& fullPath,
                                                   const std::string& targetPath) {
  auto* r = NewRecord<TaskData_DownloadFile>("DownloadFile");
  r->strId = id;
  r->strFullPath = fullPath;
  r->strSecondPath = targetPath;
  r->bIsDir = false;
  r->nDirection = 0;
  r->strName = TaskPathLastElement(fullPath);
  r->nPreviousVer = 0;
  return r;
}

TaskData_UpdateFile* CreateTaskData_UpdateFile(const std::string& id, const std::string& fullPath,
                                               const std::string& fileVersion, const std::string& secondPath) {
  auto* r = NewRecord<TaskData_UpdateFile>("UpdateFile");
  r->strId = id;
  r->strFullPath = fullPath;
  r->strSecondPath = secondPath;
  r->bIsDir = false;
  r->nDirection = 1;
  r->strFileVer = fileVersion;
  r->strName = TaskPathLastElement(fullPath);
  return r;
}
