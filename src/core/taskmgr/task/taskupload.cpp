// CTaskBase: the upload of a file's content, as one encoded file or in blocks.
#include <string>
#include <vector>

#include "common/checks.h"
#include "common/recordtree.h"
#include "common/strhelper.h"
#include "core/encrypt/encodefile.h"
#include "core/interfaces/createtaskdata.h"
#include "core/interfaces/ilocalstorage.h"
#include "core/interfaces/iremotestorage.h"
#include "core/remotestorage/blockfiles.h"
#include "core/taskmgr/task/task.h"

namespace {

// The service's modification time of the file becomes the record's strMTime; a
// failure only writes its line (the content is what matters).
void SetModTime(IRemoteStorage* remote, const TaskData_UpdateFile& record) {
  RecordTree reply;
  HRESULT hr2 = remote->SetFileModTime(record, nullptr, nullptr, &reply);
  if (FAILED(hr2)) OSTREL_LOG(kLogError, "%s", "*ASSERT*: (((HRESULT)(hr2)) >= 0)");
}

// The name the compress policy judges the content by: the item's own name (the temp
// copy's name is a GUID without extension), else the source file's.
std::string PolicyName(const TaskData_UpdateFile& record) {
  if (!record.strName.empty()) return record.strName;
  return TaskPathLastElement(record.strSecondPath);
}

// The result of the copy of the source as the upload reports it: a cancel stays a
// cancel, any other failure fails the task.
HRESULT CopyResult(HRESULT hr) {
  if (SUCCEEDED(hr) || hr == E_CV_CURL_CANCEL) return hr;
  OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:S_OK == hr");
  return E_CV_TASK_FAILED;
}

// The block files of one split, removed (with their folder) when the guard goes.
class BlockFilesGuard {
 public:
  explicit BlockFilesGuard(FileEnv* env) : m_env(env) {}
  ~BlockFilesGuard() { DeleteBlockFiles(m_blocks, m_env); }
  BlockFilesGuard(const BlockFilesGuard&) = delete;
  BlockFilesGuard& operator=(const BlockFilesGuard&) = delete;
  std::vector<std::string>* Blocks() { return &m_blocks; }

 private:
  FileEnv* m_env;
  std::vector<std::string> m_blocks;
};

}  // namespace

HRESULT CTaskBase::_UpdateFile(TaskData_UpdateFile* pTaskData, std::string* newFileVersion) {
  ASSERT(pTaskData);
  if (!pTaskData || !newFileVersion) return E_POINTER;
  ERROR_CHECK_COM(CancelPoint());
  std::string version;
  if (SUCCEEDED(m_pRemoteStorage->GetGlobalVersion(pTaskData->strToken, &version)) && version == "3") {
    HRESULT hr = _UpdateFileByBlock(pTaskData, newFileVersion);
    if (FAILED(hr)) return hr;
    SetModTime(m_pRemoteStorage, *pTaskData);
    return S_OK;
  }

  // One encoded file: a copy (the source may change meanwhile), its size and SHA-1,
  // the ticket, the encoding with the ticket's key, the upload.
  TaskTempFile copy(Env());
  HRESULT hr = CopyResult(_CopyToTemp(pTaskData->strSecondPath, &copy));
  if (FAILED(hr)) return hr;
  int64_t lOrgSize = -1;
  std::string szSha1Org;
  hr = _SizeAndSha1(copy.Path(), &lOrgSize, &szSha1Org);
  ERROR_CHECK_COM(hr);
  ASSERT(lOrgSize != -1L);
  ASSERT(!IsStrEmpty(szSha1Org.c_str()));
  pTaskData->strSizeOrg = std::to_string(lOrgSize);
  pTaskData->strSha1Org = szSha1Org;
  ERROR_CHECK_COM(CancelPoint());

  RecordTree ticket;
  hr = m_pRemoteStorage->UpdateFile(*pTaskData, nullptr, nullptr, &ticket);
  if (hr == E_CV_SRV_FAILURE_TO_APPLY_STUB) {
    OSTREL_LOG(kLogWarn, "%s", "TaskBase::_UpdateFile() fail to apply stub, current task droped!");
    return E_CV_TASK_FAILED;
  }
  if (hr == E_CV_SRV_FORBIDDEN) {
    OSTREL_LOG(kLogWarn, "%s", "TaskBase::_UpdateFile() forbidden, current task droped!");
    return E_CV_TASK_FAILED;
  }
  if (FAILED(hr)) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: 0");
    return hr;
  }
  SetModTime(m_pRemoteStorage, *pTaskData);
  const std::string strFileKey = ticket.GetValue("fileKey");
  ERROR_CHECK_BOOLEX(!IsStrEmpty(strFileKey.c_str()));
  pTaskData->strStub = ticket.GetValue("stub");
  pTaskData->strUrl = ticket.GetValue("url");
  ASSERT(!IsStrEmpty(pTaskData->strStub.c_str()));
  ASSERT(!IsStrEmpty(pTaskData->strUrl.c_str()));

  TaskTempFile encoded(Env(), m_pLocalStorage->GetTempFilePath());
  ERROR_CHECK_BOOLEX(!encoded.Path().empty());
  hr = EncodeFile(PolicyName(*pTaskData), copy.Path(), encoded.Path(), strFileKey, false, Env());
  ERROR_CHECK_COM(LocalFailure(hr));
  copy.Remove();
  pTaskData->strTempPath = encoded.Path();
  int64_t lSizeCheck = -1;
  std::string szSha1Check;
  hr = _SizeAndSha1(encoded.Path(), &lSizeCheck, &szSha1Check);
  ERROR_CHECK_COM(hr);
  ASSERT(lSizeCheck != -1L);
  ASSERT(!IsStrEmpty(szSha1Check.c_str()));
  pTaskData->strSizeCheck = std::to_string(lSizeCheck);
  pTaskData->strSha1Check = szSha1Check;
  ERROR_CHECK_COM(CancelPoint());

  RecordTree reply;
  hr = m_pRemoteStorage->_UploadFile(*pTaskData, &CTaskBase::OnTransferProgress, this, &reply);
  if (hr == S_OK) {
    const std::string strNewFileVer = reply.GetValue("fileVer");
    ASSERT(!IsStrEmpty(strNewFileVer.c_str()));
    *newFileVersion = strNewFileVer;
  } else if (hr == E_CV_SRV_UPLOAD_ERROR) {
    hr = E_CV_TASK_FAILED;
  } else {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: 0");
    OSTREL_LOG(kLogWarn, "ERROR_CHECK_COM hr = %x: hr", static_cast<unsigned>(hr));
  }
  return hr;
}

HRESULT CTaskBase::_UpdateFileByBlock(TaskData_UpdateFile* pTaskData, std::string* newFileVersion) {
  TaskTempFile copy(Env());
  HRESULT hr = CopyResult(_CopyToTemp(pTaskData->strSecondPath, &copy));
  if (FAILED(hr)) return hr;
  BlockFilesGuard blocks(Env());
  int64_t size = -1;
  std::string sha1;
  hr = SplitFileToBlocks(copy.Path(), blocks.Blocks(), &size, &sha1, Env());
  ERROR_CHECK_COM(LocalFailure(hr));
  ERROR_CHECK_COM(CancelPoint());

  TaskData_UpdateFile_UFA ufa;
  ufa.strToken = pTaskData->strToken;
  ufa.strFileVer = pTaskData->strFileVer;
  ufa.strFileName = PolicyName(*pTaskData);
  ufa.strFileId = pTaskData->strId;
  ufa.strSizeOrg = std::to_string(size);
  ufa.strFileOrgSha1 = sha1;
  TaskTempFile encoded(Env(), m_pLocalStorage->GetTempFilePath());
  ufa.pathEncode = encoded.Path();
  ERROR_CHECK_BOOLEX(!ufa.pathEncode.empty());
  hr = m_pRemoteStorage->UploadFile_UFA(ufa, *blocks.Blocks(), &CTaskBase::OnTransferProgress, this, newFileVersion);
  ERROR_CHECK_COM(hr);
  pTaskData->strSizeOrg = ufa.strSizeOrg;
  pTaskData->strSha1Org = sha1;
  return hr;
}
