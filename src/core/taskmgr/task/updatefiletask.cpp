#include "core/taskmgr/task/updatefiletask.h"

#include "common/checks.h"
#include "core/interfaces/ilocalstorage.h"
#include "core/interfaces/taskdata.h"

UpdateFileTask::UpdateFileTask(TaskData_UpdateFile* record, const FileTaskOptions& options)
    : CTaskBase(record, options), m_pRecord(record) {}

HRESULT UpdateFileTask::ExecuteRemote() {
  OSTREL_LOG(kLogError, "%s", "*ASSERT*: 0");
  return E_NOTIMPL;
}

HRESULT UpdateFileTask::ExecuteLocal() {
  std::string created, modified;
  HRESULT hr = m_pLocalStorage->GetFileTimeByPath(m_pRecord->strSecondPath, &created, &modified, false);
  if (hr != S_OK) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:hr == S_OK");
    return E_CV_TASK_FAILED;
  }
  m_pRecord->strMTime = ModTimeFromTimeText(modified);
  std::string newFileVer;
  hr = _UpdateFile(m_pRecord, &newFileVer);
  ERROR_CHECK_COM(hr);
  ReadFileVersion(newFileVer, &m_pRecord->nFileVer);
  m_pRecord->strSha1 = m_pRecord->strSha1Org;
  return hr;
}
