// UpdateFileTask: the task of an "UpdateFile" record, which uploads the content of
// strSecondPath as the next version of the service's file strId (whose version is
// strFileVer), with the source's last-write time as the file's modification time.
// On S_OK the record's nFileVer is the new version and strSha1 the SHA-1 of what was
// sent (strSizeOrg its size).
#pragma once

#include "core/taskmgr/task/task.h"

struct TaskData_UpdateFile;

class UpdateFileTask final : public CTaskBase {
 public:
  UpdateFileTask(TaskData_UpdateFile* record, const FileTaskOptions& options);

 protected:
  HRESULT ExecuteLocal() override;
  HRESULT ExecuteRemote() override;

 private:
  TaskData_UpdateFile* m_pRecord;
};
