// CTaskBase: the common part of the file tasks (NewFileTask, UpdateFileTask,
// DownloadFileTask), which move one file between the user's disk and the service. A
// task is made by CreateFileTask from its record, initialised once, executed (again
// for each try of its executer) and destroyed by its maker; it borrows the record,
// the storages and the progress function and never releases them.
//
// Threads: a task runs on one thread at a time (the executer's or the caller's).
// Cancel and OnTransferProgress may come from any thread at any time; Cancel only
// sets a flag, which every transfer's progress callback and every long local step
// (copy, hash, encoding, split, decoding) reads, so a cancelled task ends with
// E_CV_CURL_CANCEL at its next read, write or progress report and starts nothing new.
//
// Temporary files: every one a task makes is removed before Execute returns, on every
// path; only a block download that fails keeps its verified blocks in its resume
// folder (the remote storage's), so that the next try fetches only the others.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "common/resultcodes.h"
#include "core/interfaces/itask.h"
#include "core/taskmgr/task/cancelfileenv.h"
#include "core/taskmgr/task/filetaskoptions.h"
#include "core/taskmgr/task/tasktempfile.h"

class ILocalStorage;
class IRemoteStorage;
class ISyncCenter;
class TaskDataBase;
struct TaskData_UpdateFile;

class CTaskBase : public ITask {
 public:
  ~CTaskBase() override = default;
  CTaskBase(const CTaskBase&) = delete;
  CTaskBase& operator=(const CTaskBase&) = delete;

  // Keeps both storages (asserted non-null), the progress function (may be null), the
  // two values (handed on unread) and the progress context. S_OK.
  HRESULT Init(ILocalStorage* localStorage, IRemoteStorage* remoteStorage, TransportProgressCallback progress,
               int64_t value1, int64_t value2, void* context) override;
  // ExecuteLocal when the record's nDirection is non-zero, else ExecuteRemote; their
  // result. E_FAIL before Init; E_CV_CURL_CANCEL once cancelled, without a start.
  HRESULT Execute() override;
  HRESULT Cancel(uint32_t waitMs) override;
  TaskDataBase* GetTaskData() override;

  // The progress callback the task hands to its transfers, with the task as context:
  // E_FAIL once the task is cancelled (the transfer then ends with E_CV_CURL_CANCEL),
  // else what the progress function given to Init returns for (its context, the five
  // values), or 0 without one.
  static HRESULT OnTransferProgress(void* task, double dlTotal, double dlNow, double ulTotal, double ulNow,
                                    double speed);

 protected:
  CTaskBase(TaskDataBase* record, const FileTaskOptions& options);

  // The task's work, run on the executing thread. A side a task kind does not have
  // logs "*ASSERT*: 0" and returns E_NOTIMPL.
  virtual HRESULT ExecuteLocal() = 0;
  virtual HRESULT ExecuteRemote() = 0;

  bool Cancelled() const { return m_cancelled.load(); }
  // E_CV_CURL_CANCEL once cancelled, else S_OK: asked between steps.
  HRESULT CancelPoint() const;
  // The result of a local step that failed with hr: E_CV_CURL_CANCEL when the task was
  // cancelled meanwhile (the step was stopped), else hr.
  HRESULT LocalFailure(HRESULT hr) const;

  // Uploads the content of the record's strSecondPath as a new version of the file
  // strId, whose version is strFileVer, with the block protocol when the service's
  // global version is "3", else as one encoded file; the service's modification time
  // of the file becomes strMTime. On success *newFileVersion is the version the
  // service gave the upload and strSizeOrg and strSha1Org describe what was sent (the
  // size as a 64-bit decimal). E_CV_TASK_FAILED when the source cannot be copied, and
  // (one encoded file) when the service refuses the upload with failureToApplyStub,
  // forbidden or uploadError; E_FAIL for a ticket without a file key; else the
  // failing step's result.
  HRESULT _UpdateFile(TaskData_UpdateFile* record, std::string* newFileVersion);
  // The block protocol's part of _UpdateFile (the modification time excepted).
  HRESULT _UpdateFileByBlock(TaskData_UpdateFile* record, std::string* newFileVersion);
  // Copies source into a new file of the temp folder, which *copy then guards. The
  // copy's failure, logged (E_CV_CURL_CANCEL when cancelled).
  HRESULT _CopyToTemp(const std::string& source, TaskTempFile* copy);
  // The file's size and SHA-1 text (lower case), read through the task's file system.
  HRESULT _SizeAndSha1(const std::string& path, int64_t* size, std::string* sha1);

  // The file system of the task's local steps: reads and writes stop once cancelled.
  FileEnv* Env() { return &m_env; }

  TaskDataBase* m_pTaskData;            // borrowed
  ILocalStorage* m_pLocalStorage = nullptr;    // borrowed, from Init
  IRemoteStorage* m_pRemoteStorage = nullptr;  // borrowed, from Init
  ISyncCenter* m_pSyncCenter;           // borrowed, may be null

 private:
  TransportProgressCallback m_progress = nullptr;
  int64_t m_value1 = 0;
  int64_t m_value2 = 0;
  void* m_progressContext = nullptr;
  std::atomic<bool> m_cancelled{false};
  CancelFileEnv m_env;  // reads m_cancelled
};

// Reads a file version of the service (a plain decimal) into *version; false, with a
// warning and *version untouched, for any other text.
bool ReadFileVersion(const std::string& text, int64_t* version);

// The modification time the service is given for a file whose last-write time text is
// timeText ("YYYY-MM-DD hh:mm:ss.fffffff"): the text before its last "."; empty when
// it holds no ".".
std::string ModTimeFromTimeText(const std::string& timeText);

// True when two SHA-1 texts name the same digest: equal, ASCII letters compared
// without case.
bool SameSha1(const std::string& a, const std::string& b);
