// NewFileTask: the task of an "UpdateNewFile" record, which puts a file the service
// does not hold yet into a folder: it makes the service's entry (strName in
// strParentId) and uploads strSecondPath into it.
//
// When the folder already holds a file of that name that has content, the user is
// asked through the shell adapter ("Wizard_UpLoadFileExist": replace 2, update 1,
// cancel -1; -2 when nothing was shown); the same content (equal SHA-1, any letter
// case) ends with S_FALSE unless the answer was replace (or the entry is the one an
// earlier try of this task made and uploaded into: S_OK, without a question). Replace deletes the service's
// file and uploads the source as a new file, update uploads it as the file's next
// version; both go through the file-system facade as tasks of their own, so this task
// ends with S_OK once they are handed on. Any other answer ends with S_FALSE and
// nothing more: S_FALSE always means that the service's file was kept as it was and
// nothing was uploaded.
//
// On success the record's strId is the service's file id (in place of the GUID text it
// was made with), nFileVer and strSha1 the version and SHA-1 the service holds under
// it: the uploaded content's when this task uploaded it, else what the service had.
#pragma once

#include "core/taskmgr/task/task.h"

struct TaskData_NewFile;

class NewFileTask final : public CTaskBase {
 public:
  NewFileTask(TaskData_NewFile* record, const FileTaskOptions& options);

 protected:
  HRESULT ExecuteLocal() override;
  HRESULT ExecuteRemote() override;

 private:
  // The upload into the service's entry fileId, whose version is fileVer.
  HRESULT _UploadIntoEntry(const std::string& fileId, const std::string& fileVer);
  // The user's answer to the question about the existing file; -1 when it cannot be
  // asked (no sync centre or shell adapter).
  int32_t _AskAboutExistingFile();
  // The answer handed on to the file-system facade: replace or update.
  HRESULT _HandOn(int32_t answer, const std::string& fileId, const std::string& fileVer);

  TaskData_NewFile* m_pRecord;
};
