// Task records: every request the engine makes of the service, and every file
// transfer, travels as one record. A creator (CreateTaskData_*, createtaskdata.h)
// builds it, the task manager runs it, and the remote storage or a file task reads its
// arguments and writes the task's state and results back into it.
//
// A record is owned by whoever holds it and ended with Release (never delete); the
// asynchronous task manager owns the records handed to it. A record is not
// synchronised: while a task runs, its executer writes taskState under its own lock.
// Every field starts initialised (texts empty, numbers and flags 0 unless stated).
// Text is UTF-8; cloud full paths use "\" between elements, local paths "/".
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/resultcodes.h"

// taskState.eTaskStateType. The value 1 is not used.
enum TaskStateType : int32_t {
  TS_Wait = 0,     // created, or waiting in the queue
  TS_Running = 2,  // an executer has started it
  TS_Finish = 3,   // ended, successfully or not (see hrResult)
};

struct TaskState {
  int32_t eTaskStateType = TS_Wait;
  HRESULT hrResult = S_OK;  // result of the last try
  int64_t nDoneSize = 0;    // bytes moved so far
  int64_t nTotalSize = 0;   // bytes to move
};

// nOpenFlags bits of a "DownloadFile" record.
inline constexpr int32_t kOpenFlagForEdit = 1;        // downloaded to be opened for editing
inline constexpr int32_t kOpenFlagOpenedCached = 2;   // that failed; the cached copy was opened read-only

class TaskDataBase {
 public:
  TaskDataBase(const TaskDataBase&) = default;
  TaskDataBase& operator=(const TaskDataBase&) = default;

  // Destroys the record.
  virtual void Release() = 0;
  // A new record of the same kind with every field copied; the caller owns it.
  virtual TaskDataBase* Clone() const = 0;
  // True when both records describe the same piece of work (the rule is per kind;
  // records of different kinds are never the same).
  virtual bool IsSameTask(const TaskDataBase& other) const = 0;
  // Carries no behaviour: 0 for every kind.
  virtual int32_t Reserved3() const = 0;

  // The dispatch word ("Login", "Dir", "DownloadFile", ...).
  const std::string& TasksName() const { return strTaskName; }
  // Equal task names, strId and strFullPath (exact byte comparison), bIsDir and
  // nDirection.
  bool IsSameBase(const TaskDataBase& other) const;

  int32_t nSerial = -1;
  std::string strTaskName;
  std::string strToken;      // session token: from the creator or the task manager
  std::string strId;         // the item's service id; for "UpdateNewFile" a fresh GUID text
  int64_t nFileVer = 0;      // file version from a download reply
  std::string strFullPath;   // the item's full path
  std::string strSecondPath; // the upload's source, or the download's target in the sync space
  std::string strSha1;       // SHA-1 text of the file from a download reply
  bool bIsDir = false;
  int32_t nReserved10 = 0;
  int32_t nDirection = 1;    // 1: local step first (uploads, folder creation); 0: remote first
  TaskState taskState;
  int32_t nOpenFlags = 0;    // kOpenFlag* of a "DownloadFile" record

 protected:
  TaskDataBase() = default;
  virtual ~TaskDataBase() = default;
};

// The common implementation of every record T: Release, Clone and the kind test of
// IsSameTask. T supplies `bool IsSameKind(const T& other) const`.
template <class T>
class TaskDataBaseImpl : public TaskDataBase {
 public:
  void Release() override { delete static_cast<T*>(this); }
  TaskDataBase* Clone() const override { return new T(static_cast<const T&>(*this)); }
  bool IsSameTask(const TaskDataBase& other) const override {
    const T* same = dynamic_cast<const T*>(&other);
    return same != nullptr && static_cast<const T*>(this)->IsSameKind(*same);
  }
  int32_t Reserved3() const override { return 0; }
};

// Ends a record held by a smart pointer: TaskDataPtr<TaskData_Dir> p(CreateTaskData_Dir(...)).
struct TaskDataReleaser {
  void operator()(TaskDataBase* record) const {
    if (record) record->Release();
  }
};
template <class T>
using TaskDataPtr = std::unique_ptr<T, TaskDataReleaser>;

struct TaskData_Login final : TaskDataBaseImpl<TaskData_Login> {
  std::string strUser, strPassword, strDeviceId, strClientName, strClientVersion;
  bool IsSameKind(const TaskData_Login&) const { return false; }
};

struct TaskData_ReLogin final : TaskDataBaseImpl<TaskData_ReLogin> {
  std::string strDeviceId;  // the computer id
  bool IsSameKind(const TaskData_ReLogin&) const { return false; }
};

// "GetFileInfo": the token is filled by the dispatcher.
struct TaskData_GetItemInfo final : TaskDataBaseImpl<TaskData_GetItemInfo> {
  bool IsSameKind(const TaskData_GetItemInfo& o) const { return IsSameBase(o); }
};

struct TaskData_Dir final : TaskDataBaseImpl<TaskData_Dir> {
  bool IsSameKind(const TaskData_Dir&) const { return false; }
};

struct TaskData_GetSpace final : TaskDataBaseImpl<TaskData_GetSpace> {
  bool IsSameKind(const TaskData_GetSpace&) const { return false; }
};

// "GetRemoteOptVer" and "GetMaxVer".
struct TaskData_GetRemoteOptVer final : TaskDataBaseImpl<TaskData_GetRemoteOptVer> {
  bool IsSameKind(const TaskData_GetRemoteOptVer&) const { return false; }
};

struct TaskData_GetThumbnail final : TaskDataBaseImpl<TaskData_GetThumbnail> {
  int32_t nHeight = 0;
  int32_t nWidth = 0;
  std::string strPackagePath;   // the package is downloaded here and deleted after unpacking
  std::string strOutputFolder;  // where it is unpacked
  bool IsSameKind(const TaskData_GetThumbnail& o) const { return IsSameBase(o); }
};

struct TaskData_FullTextSearch final : TaskDataBaseImpl<TaskData_FullTextSearch> {
  std::string searchText;
  int32_t nSearchType = 0;
  bool IsSameKind(const TaskData_FullTextSearch& o) const { return IsSameBase(o); }
};

// "DeleteFile" and "DeleteDirectory".
struct TaskData_Delete final : TaskDataBaseImpl<TaskData_Delete> {
  bool IsSameKind(const TaskData_Delete& o) const { return IsSameBase(o); }
};

// "EditFile" and "RenameDirectory".
struct TaskData_Rename final : TaskDataBaseImpl<TaskData_Rename> {
  std::string strNewName;
  bool IsSameKind(const TaskData_Rename& o) const { return IsSameBase(o) && strNewName == o.strNewName; }
};

// "MoveFile" and "MoveDirectory".
struct TaskData_Move final : TaskDataBaseImpl<TaskData_Move> {
  std::string strParentId;  // the new parent
  std::string strName;      // empty keeps the name
  bool IsSameKind(const TaskData_Move& o) const {
    return IsSameBase(o) && strParentId == o.strParentId && strName == o.strName;
  }
};

struct TaskData_GetRecycle final : TaskDataBaseImpl<TaskData_GetRecycle> {
  std::string strOpVersion;
  int32_t nSize = 0;
  bool IsSameKind(const TaskData_GetRecycle& o) const { return IsSameBase(o); }
};

struct TaskData_CleanRecycle final : TaskDataBaseImpl<TaskData_CleanRecycle> {
  bool IsSameKind(const TaskData_CleanRecycle& o) const { return IsSameBase(o); }
};

struct TaskData_Recover final : TaskDataBaseImpl<TaskData_Recover> {
  std::string strParentId;
  bool IsSameKind(const TaskData_Recover& o) const { return IsSameBase(o); }
};

struct TaskData_GetAllShareFile final : TaskDataBaseImpl<TaskData_GetAllShareFile> {
  int32_t nShareType = 0;  // non-zero: shared with me; 0: shared by me
  bool IsSameKind(const TaskData_GetAllShareFile& o) const { return IsSameBase(o); }
};

// "CreateDirectory".
struct TaskData_DirectoryAdd final : TaskDataBaseImpl<TaskData_DirectoryAdd> {
  std::string strName;  // last element of the full path
  std::string strParentId;
  bool IsSameKind(const TaskData_DirectoryAdd& o) const {
    return IsSameBase(o) && strName == o.strName && strParentId == o.strParentId;
  }
};

// "UpdateNewFile".
struct TaskData_NewFile final : TaskDataBaseImpl<TaskData_NewFile> {
  std::string strName;  // last element of the full path
  std::string strParentId;
  bool IsSameKind(const TaskData_NewFile& o) const { return IsSameBase(o) && strName == o.strName; }
};

struct TaskData_DownloadFile final : TaskDataBaseImpl<TaskData_DownloadFile> {
  std::string strName;      // last element of the full path
  std::string strTempPath;  // filled by the task
  int32_t nPreviousVer = 0; // non-zero: fetch the previous version
  // The item's plain size and the version it has, when the creator knows them (from a
  // listing): a whole-file download of that version is bounded by that size without
  // asking the service for it. -1 and 0: not known.
  int64_t nItemSize = -1;
  int64_t nItemFileVer = 0;
  // The folder a folder download goes into, as the user chose it, for the files of that
  // download ("" for any other): strSecondPath lies below it, and the folders between
  // the two are entered without following a link when the file is delivered.
  std::string strDestRoot;
  bool IsSameKind(const TaskData_DownloadFile& o) const { return IsSameBase(o) && strTempPath == o.strTempPath; }
};

struct TaskData_UpdateFile final : TaskDataBaseImpl<TaskData_UpdateFile> {
  std::string strFileVer;    // from the creator
  std::string strName;       // last element of the full path
  std::string strMTime;      // modification time text of the source file
  std::string strTempPath;   // the rest are filled by the task
  std::string strSizeOrg;
  std::string strSizeCheck;
  std::string strSha1Org;
  std::string strSha1Check;
  std::string strUrl;
  std::string strStub;
  bool IsSameKind(const TaskData_UpdateFile& o) const {
    return IsSameBase(o) && strFileVer == o.strFileVer && strName == o.strName;
  }
};

// Built by the upload task for the block upload (no task name).
struct TaskData_UpdateFile_UFA final : TaskDataBaseImpl<TaskData_UpdateFile_UFA> {
  std::string strFileVer;
  std::string strFileName;    // the path of the temporary copy
  std::string strFileId;
  std::string strSizeOrg;
  std::string strFileOrgSha1;
  std::string pathEncode;     // scratch file for the encoded blocks
  bool IsSameKind(const TaskData_UpdateFile_UFA& o) const {
    return IsSameBase(o) && strFileVer == o.strFileVer && strFileName == o.strFileName;
  }
};

// Built by the download task for the block download (no task name).
struct TaskData_DownloadFile_UFA final : TaskDataBaseImpl<TaskData_DownloadFile_UFA> {
  std::string strFileId;
  std::string strFileName;    // the item's name, for the block download's own use
  std::string strFileSha1;    // filled by the block download
  std::string strFileVer;     // filled by the block download
  std::string pathDownload;   // the finished file
  bool IsSameKind(const TaskData_DownloadFile_UFA& o) const { return IsSameBase(o); }
};

// Used by the heartbeat's long poll (no task name).
struct TaskData_PushNotify final : TaskDataBaseImpl<TaskData_PushNotify> {
  std::string strUserId;
  bool IsSameKind(const TaskData_PushNotify&) const { return false; }
};
