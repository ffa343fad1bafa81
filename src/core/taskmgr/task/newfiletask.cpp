#include "core/taskmgr/task/newfiletask.h"

#include "common/checks.h"
#include "common/recordtree.h"
#include "common/strhelper.h"
#include "common/tracestack.h"
#include "core/interfaces/createtaskdata.h"
#include "core/interfaces/ifilesystem.h"
#include "core/interfaces/ilocalstorage.h"
#include "core/interfaces/iremotestorage.h"
#include "core/interfaces/isynccenter.h"
#include "core/interfaces/taskdata.h"
#include "shell/ishelladapter.h"

namespace {

constexpr char kWizardKey[] = "Wizard_UpLoadFileExist";
constexpr char kWizardText[] = "  文件已经存在，请选择以下操作方式。";
constexpr char kCaption[] = "Sepra便携版";
constexpr char kWizardButtons[] = "替换|更新|取消";
constexpr char kWizardCheckText[] = "记住我的选择";

constexpr int32_t kAnswerReplace = 2;
constexpr int32_t kAnswerUpdate = 1;
constexpr int32_t kAnswerNotAsked = -2;

}  // namespace

NewFileTask::NewFileTask(TaskData_NewFile* record, const FileTaskOptions& options)
    : CTaskBase(record, options), m_pRecord(record) {}

HRESULT NewFileTask::ExecuteRemote() {
  OSTREL_LOG(kLogError, "%s", "*ASSERT*: 0");
  return E_NOTIMPL;
}

HRESULT NewFileTask::ExecuteLocal() {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("NewFileTask::ExecuteLocal()", &hr, "strId = %s, strFullPath = %s", m_pRecord->strId.c_str(),
                     m_pRecord->strFullPath.c_str());
  RecordTree reply;
  hr = m_pRemoteStorage->NewFile(*m_pRecord, nullptr, nullptr, &reply);
  OSTREL_LOG(kLogInfo, "NewFileTask::ExecuteLocal NewFile ParentId = %s, Name = %s", m_pRecord->strParentId.c_str(),
             m_pRecord->strName.c_str());
  if (hr != S_OK && hr != E_CV_TARGET_EXISTS) {
    if (hr == E_CV_PARENT_NOT_EXIST)
      OSTREL_LOG(kLogError, "%s", "*ASSERT*: 父目录不存在");
    else
      OSTREL_LOG(kLogWarn, "ERROR_CHECK_COM hr = %x: hr", static_cast<unsigned>(hr));
    return hr;
  }
  const bool targetExists = hr == E_CV_TARGET_EXISTS;
  const std::string strFileId = reply.GetValue("fileId");
  const std::string strFileVer = reply.GetValue("fileVer");
  const std::string strSha1 = reply.GetValue("sha1");
  ASSERT(!IsStrEmpty(strFileId.c_str()));
  ASSERT(!IsStrEmpty(strFileVer.c_str()));
  // Without an id there is no entry to upload into.
  if (strFileId.empty()) return hr = E_FAIL;
  // An entry that an earlier try of this task made (the answer to that try was lost) is
  // this upload's own: there is nothing to ask the user about.
  const bool ownEntry = targetExists && m_pRecord->strId == strFileId;
  m_pRecord->strId = strFileId;
  const bool emptyEntry = !(strFileVer > "0");

  int32_t answer = kAnswerNotAsked;
  if (targetExists) {
    if (!emptyEntry && !ownEntry) answer = _AskAboutExistingFile();
    ERROR_CHECK_COM(hr = CancelPoint());
    if (!strSha1.empty()) {
      int64_t size = -1;
      std::string szOrgFileSha1;
      hr = _SizeAndSha1(m_pRecord->strSecondPath, &size, &szOrgFileSha1);
      if (hr == E_CV_CURL_CANCEL) return hr;
      ASSERT(!IsStrEmpty(szOrgFileSha1.c_str()));
      if (!szOrgFileSha1.empty() && SameSha1(szOrgFileSha1, strSha1) && answer != kAnswerReplace) {
        // The service holds this content already: put there by an earlier try of this
        // task (an upload), or by someone else (nothing is uploaded).
        ReadFileVersion(strFileVer, &m_pRecord->nFileVer);
        m_pRecord->strSha1 = strSha1;
        return hr = ownEntry ? S_OK : S_FALSE;
      }
    }
  }
  if (emptyEntry) return hr = _UploadIntoEntry(strFileId, strFileVer);

  // What the service holds under the id stays until the upload handed on ends.
  ReadFileVersion(strFileVer, &m_pRecord->nFileVer);
  m_pRecord->strSha1 = strSha1;
  return hr = _HandOn(answer, strFileId, strFileVer);
}

HRESULT NewFileTask::_UploadIntoEntry(const std::string& fileId, const std::string& fileVer) {
  std::string created, modified;
  HRESULT hr = m_pLocalStorage->GetFileTimeByPath(m_pRecord->strSecondPath, &created, &modified, false);
  if (hr != S_OK) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:hr == S_OK");
    return E_CV_TASK_FAILED;
  }
  TaskDataPtr<TaskData_UpdateFile> update(
      CreateTaskData_UpdateFile(fileId, m_pRecord->strFullPath, fileVer, m_pRecord->strSecondPath));
  update->strToken = m_pRecord->strToken;
  update->strMTime = ModTimeFromTimeText(modified);
  std::string newFileVer;
  hr = _UpdateFile(update.get(), &newFileVer);
  ERROR_CHECK_COM(hr);
  ReadFileVersion(newFileVer, &m_pRecord->nFileVer);
  m_pRecord->strSha1 = update->strSha1Org;
  return hr;
}

int32_t NewFileTask::_AskAboutExistingFile() {
  RefPtr<IShellAdapter> shell;
  if (!m_pSyncCenter ||
      FAILED(m_pSyncCenter->GetInterface(IID_IShellAdapter, reinterpret_cast<void**>(shell.Receive()))) || !shell) {
    OSTREL_LOG(kLogWarn, "%s", "NewFileTask: no shell adapter to ask about the existing file; taken as cancel");
    return -1;
  }
  return shell->ShowWizard(kWizardKey, m_pRecord->strName + kWizardText, kCaption, kWizardButtons, 1,
                           kWizardCheckText, -1);
}

HRESULT NewFileTask::_HandOn(int32_t answer, const std::string& fileId, const std::string& fileVer) {
  if (answer != kAnswerReplace && answer != kAnswerUpdate && answer != kAnswerNotAsked) return S_FALSE;
  RefPtr<IFileSystem> fileSystem;
  if (m_pSyncCenter)
    CHECK_COM(m_pSyncCenter->GetInterface(IID_IFileSystem, reinterpret_cast<void**>(fileSystem.Receive())));
  ERROR_CHECK_BOOLEX(fileSystem);
  HRESULT hr = E_FAIL;
  if (answer == kAnswerReplace) {
    hr = fileSystem->Delete(false, fileId, ItemSpace::MyFile);
    ERROR_CHECK_COM(hr);
    hr = fileSystem->UploadFile("", m_pRecord->strParentId, 0, m_pRecord->strFullPath, m_pRecord->strSecondPath,
                                true);
    ERROR_CHECK_COM(hr);
    return hr;
  }
  int64_t version = 0;
  ReadFileVersion(fileVer, &version);
  hr = fileSystem->UploadFile(fileId, m_pRecord->strParentId, version, m_pRecord->strFullPath,
                              m_pRecord->strSecondPath, true);
  ERROR_CHECK_COM(hr);
  return hr;
}
