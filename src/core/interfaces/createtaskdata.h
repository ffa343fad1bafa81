// The creators of the task records, one per task name. Each returns a new record
// with the task name and the fields named by its arguments set; the caller owns it
// and ends it with Release, unless it hands it to the asynchronous task manager. A
// missing argument that a request needs writes an assertion line; the record is
// returned all the same. Never returns null.
#pragma once

#include <string>

#include "core/interfaces/taskdata.h"

TaskData_Login* CreateTaskData_Login(const std::string& user, const std::string& password,
                                     const std::string& computerId, const std::string& clientName,
                                     const std::string& clientVersion);
TaskData_ReLogin* CreateTaskData_ReLogin(const std::string& token, const std::string& computerId);
// The token is left empty: the dispatcher fills it before the request.
TaskData_GetItemInfo* CreateTaskData_GetFileInfo(const std::string& id);
TaskData_Dir* CreateTaskData_Dir(const std::string& token, const std::string& folderId);
TaskData_GetSpace* CreateTaskData_GetSpace(const std::string& token);
// "GetMaxVer" and "GetRemoteOptVer": the same kind of record under two names.
TaskData_GetRemoteOptVer* CreateTaskData_GetMaxVer(const std::string& token);
TaskData_GetRemoteOptVer* CreateTaskData_GetRemoteOptVer(const std::string& token);
TaskData_GetThumbnail* CreateTaskData_GetThumbnail(const std::string& token, const std::string& id,
                                                   const std::string& packagePath,
                                                   const std::string& outputFolder, int32_t height,
                                                   int32_t width);
TaskData_FullTextSearch* CreateTaskData_FullTextSearch(const std::string& token, const std::string& searchText,
                                                       int32_t searchType);
// "DeleteDirectory" when isDir, else "DeleteFile"; the same rule for the next two.
TaskData_Delete* CreateTaskData_Delete(const std::string& token, bool isDir, const std::string& id,
                                       const std::string& fullPath);
TaskData_Rename* CreateTaskData_Rename(const std::string& token, bool isDir, const std::string& id,
                                       const std::string& fullPath, const std::string& newName);
TaskData_Move* CreateTaskData_Move(const std::string& token, bool isDir, const std::string& id,
                                   const std::string& fullPath, const std::string& newParentId,
                                   const std::string& name);
TaskData_GetRecycle* CreateTaskData_GetRecycle(const std::string& token, const std::string& opVersion,
                                               int32_t size);
TaskData_CleanRecycle* CreateTaskData_CleanRecycle(const std::string& token, const std::string& id);
TaskData_Recover* CreateTaskData_Recover(const std::string& token, const std::string& id,
                                         const std::string& parentId);
TaskData_GetAllShareFile* CreateTaskData_GetAllShareFile(const std::string& token, int32_t shareType);
// strName is the last element of the cloud full path.
TaskData_DirectoryAdd* CreateTaskData_CreateDirectory(const std::string& token, const std::string& parentId,
                                                      const std::string& fullPath);
// strId is a new GUID text; strName the last element of the full path.
TaskData_NewFile* CreateTaskData_UpdateNewFile(const std::string& parentId, const std::string& fullPath,
                                               const std::string& sourcePath);
TaskData_DownloadFile* CreateTaskData_DownloadFile(const std::string& id, const std::string& fullPath,
                                                   const std::string& targetPath);
TaskData_UpdateFile* CreateTaskData_UpdateFile(const std::string& id, const std::string& fullPath,
                                               const std::string& fileVersion, const std::string& secondPath);

// The last element of a full path whose elements are separated by "\" or "/" (one
// trailing separator is dropped first): "a\b\c" -> "c", "a\b\" -> "b", "c" -> "c".
std::string TaskPathLastElement(const std::string& fullPath);
