// DownloadFileTask: the task of a "DownloadFile" record, which fetches the service's
// file strId (its previous version when nPreviousVer is set) and moves it onto
// strSecondPath in the sync space: in blocks when the service's global version is
// "3", else as one encoded file that is decoded here. Nothing reaches strSecondPath
// unless its SHA-1 is the one the service announced (letter case aside), and nothing
// does once the task is cancelled.
//
// On S_OK the record's strSha1 and nFileVer are the SHA-1 and version of what was
// delivered. The one encoded file's service answers emptyFile for a file it holds
// empty, and sends nothing: when the record's nItemSize says the file is empty, an
// empty file is delivered (version nItemFileVer); else emptyFile is the result.
//
// A file of a folder download (the record's strDestRoot set) is delivered into its
// folder entered below strDestRoot without following a link (missing folders are
// made): a link, or anything else but a folder, at a folder's place fails the task
// with E_CV_LOCAL_NOT_FOLDER, and nothing is written there or into a link's target.
// Results: E_CV_TASK_FAILED for content whose SHA-1 differs, E_FAIL for a ticket
// without a file key, E_CV_LOCAL_LOCKED when another program holds the target,
// E_CV_LOCAL_NOT_FOLDER (above), E_INVALIDARG for a target not below strDestRoot,
// E_CV_CURL_CANCEL once cancelled, else the failing step's result (emptyFile,
// fileMissInAgent and failureToApplyStub of the service among them).
#pragma once

#include "core/taskmgr/task/task.h"

struct TaskData_DownloadFile;

class DownloadFileTask final : public CTaskBase {
 public:
  DownloadFileTask(TaskData_DownloadFile* record, const FileTaskOptions& options);

 protected:
  HRESULT ExecuteLocal() override;
  HRESULT ExecuteRemote() override;

 private:
  HRESULT _DownloadByBlock();
  // Delivers an empty file: the service's answer for a file the listing names empty.
  HRESULT _DeliverEmpty();
  // Moves the plain file onto the record's target; on success the guard lets it go.
  HRESULT _Deliver(TaskTempFile* plain);

  TaskData_DownloadFile* m_pRecord;
};
