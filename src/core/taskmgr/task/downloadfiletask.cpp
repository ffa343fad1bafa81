#include "core/taskmgr/task/downloadfiletask.h"

#include <fcntl.h>

#include "common/checks.h"
#include "common/folderbeneath.h"
#include "common/recordtree.h"
#include "common/sha1.h"
#include "common/strhelper.h"
#include "common/tracestack.h"
#include "core/encrypt/encodefile.h"
#include "core/interfaces/ilocalstorage.h"
#include "core/interfaces/iremotestorage.h"
#include "core/interfaces/taskdata.h"
#include "platform/posixfile.h"

DownloadFileTask::DownloadFileTask(TaskData_DownloadFile* record, const FileTaskOptions& options)
    : CTaskBase(record, options), m_pRecord(record) {}

HRESULT DownloadFileTask::ExecuteLocal() {
  OSTREL_LOG(kLogError, "%s", "*ASSERT*: 0");
  return E_NOTIMPL;
}

HRESULT DownloadFileTask::ExecuteRemote() {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("DownloadFileTask::ExecuteRemote()", &hr, "strId = %s, strFullPath = %s",
                     m_pRecord->strId.c_str(), m_pRecord->strFullPath.c_str());
  std::string version;
  if (SUCCEEDED(m_pRemoteStorage->GetGlobalVersion(m_pRecord->strToken, &version)) && version == "3")
    return hr = _DownloadByBlock();

  TaskTempFile blob(Env(), m_pLocalStorage->GetTempFilePath());
  if (blob.Path().empty()) return hr = E_FAIL;
  m_pRecord->strTempPath = blob.Path();
  RecordTree reply;
  hr = m_pRemoteStorage->DownloadFile(*m_pRecord, &CTaskBase::OnTransferProgress, this, &reply);
  if (hr == E_CV_SRV_EMPTY_FILE && m_pRecord->nItemSize == 0 && !m_pRecord->nPreviousVer) {
    // The service sends nothing for a file it holds empty: the listing said so too.
    return hr = _DeliverEmpty();
  }
  if (FAILED(hr)) {
    if (hr == E_CV_SRV_EMPTY_FILE)
      OSTREL_LOG(kLogWarn, "%s", "DownloadFileTask::ExecuteRemote() empty file, current task droped!");
    else if (hr == E_CV_SRV_FILE_MISS_IN_AGENT)
      OSTREL_LOG(kLogWarn, "%s", "DownloadFileTask::ExecuteRemote() file miss in aggent, current task droped!");
    else if (hr == E_CV_SRV_FAILURE_TO_APPLY_STUB)
      OSTREL_LOG(kLogWarn, "%s", "DownloadFileTask::ExecuteRemote() fail to apply stub, current task droped!");
    else
      OSTREL_LOG(kLogWarn, "ERROR_CHECK_COM hr = %x: hr", static_cast<unsigned>(hr));
    return hr;
  }
  const std::string strFileKey = reply.GetValue("fileKey");
  if (IsStrEmpty(strFileKey.c_str())) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:!IsStrEmpty(strFileKey)");
    return hr = E_FAIL;
  }
  TaskTempFile plain(Env(), m_pLocalStorage->GetTempFilePath());
  if (plain.Path().empty()) return hr = E_FAIL;
  hr = LocalFailure(DecodeFile(blob.Path(), plain.Path(), strFileKey, kDecodeDefaultCap, Env()));
  ERROR_CHECK_COM(hr);

  int64_t size = -1;
  std::string szSha1Download;
  hr = _SizeAndSha1(plain.Path(), &size, &szSha1Download);
  ERROR_CHECK_COM(hr);
  ASSERT(!IsStrEmpty(szSha1Download.c_str()));
  const std::string strSha1 = reply.GetValue("sha1");
  if (!SameSha1(szSha1Download, strSha1)) {
    OSTREL_LOG(kLogWarn, "%s", "DownloadFileTask::ExecuteRemote() Download File Sha1 check failed!");
    return hr = E_CV_TASK_FAILED;
  }
  blob.Remove();
  m_pRecord->strSha1 = strSha1;
  ReadFileVersion(reply.GetValue("fileVer"), &m_pRecord->nFileVer);
  return hr = _Deliver(&plain);
}

HRESULT DownloadFileTask::_DownloadByBlock() {
  TaskData_DownloadFile_UFA ufa;
  ufa.strToken = m_pRecord->strToken;
  ufa.strFileId = m_pRecord->strId;
  TaskTempFile file(Env(), m_pLocalStorage->GetTempFilePath());
  ufa.pathDownload = file.Path();
  ERROR_CHECK_BOOLEX(!ufa.pathDownload.empty());
  HRESULT hr = m_pRemoteStorage->DownloadFile_UFA(ufa, m_pLocalStorage, &CTaskBase::OnTransferProgress, this,
                                                  m_pRecord->nPreviousVer != 0);
  ERROR_CHECK_COM(hr);
  // The joined file is delivered only as the content the service announced.
  int64_t size = -1;
  std::string sha1;
  hr = _SizeAndSha1(file.Path(), &size, &sha1);
  ERROR_CHECK_COM(hr);
  if (!SameSha1(sha1, ufa.strFileSha1)) {
    OSTREL_LOG(kLogWarn, "%s", "DownloadFileTask::_DownloadByBlock() Download File Sha1 check failed!");
    return E_CV_TASK_FAILED;
  }
  m_pRecord->strSha1 = ufa.strFileSha1;
  ReadFileVersion(ufa.strFileVer, &m_pRecord->nFileVer);
  return _Deliver(&file);
}

HRESULT DownloadFileTask::_DeliverEmpty() {
  TaskTempFile plain(Env(), m_pLocalStorage->GetTempFilePath());
  ERROR_CHECK_BOOLEX(!plain.Path().empty());
  PosixFile file(Env());
  if (!file.Open(plain.Path(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600) || !file.Close()) {
    OSTREL_LOG(kLogWarn, "DownloadFileTask: the empty file %s cannot be made in the temp folder",
               m_pRecord->strFullPath.c_str());
    return LocalFailure(E_FAIL);
  }
  m_pRecord->strSha1 = Sha1Hex("", 0);
  m_pRecord->nFileVer = m_pRecord->nItemFileVer;
  return _Deliver(&plain);
}

HRESULT DownloadFileTask::_Deliver(TaskTempFile* plain) {
  int64_t lSize = -1;
  HRESULT hr = m_pLocalStorage->GetFileSizeByPath(plain->Path(), &lSize, false);
  ERROR_CHECK_COM(hr);
  ASSERT(lSize != -1L);
  std::string created, modified;
  hr = m_pLocalStorage->GetFileTimeByPath(plain->Path(), &created, &modified, false);
  ERROR_CHECK_COM(hr);
  // A cancelled download (a sign-out among them) never reaches the sync space.
  ERROR_CHECK_COM(CancelPoint());
  // A file of a folder download goes into its folder as entered below the folder the
  // user chose, never through a link planted at a folder's place meanwhile; the
  // handle is held only for the move.
  FolderHandle folder(Env());
  std::string target = m_pRecord->strSecondPath;
  if (!m_pRecord->strDestRoot.empty()) {
    std::string name, failedAt;
    hr = OpenFolderOfFileBeneath(m_pRecord->strDestRoot, m_pRecord->strSecondPath, &folder, &name, &failedAt, Env());
    if (FAILED(hr)) {
      const std::string why = hr == E_CV_LOCAL_NOT_FOLDER ? failedAt + " is a link or not a folder"
                              : hr == E_INVALIDARG        ? "it does not lie below " + m_pRecord->strDestRoot
                                                          : failedAt + " cannot be made or opened";
      OSTREL_LOG(kLogWarn, "DownloadFileTask: %s is not delivered: %s (hr = %x)", m_pRecord->strSecondPath.c_str(),
                 why.c_str(), static_cast<unsigned>(hr));
      return LocalFailure(hr);
    }
    target = folder.EntryPath(name);
  }
  hr = m_pLocalStorage->MoveTempFileToSyncSpace(plain->Path(), target, m_pRecord->strName);
  if (hr != S_OK) {
    OSTREL_LOG(kLogWarn, "ERROR_CHECK_COM hr = %x: hr", static_cast<unsigned>(hr));
    return hr;
  }
  plain->Release();
  return hr;
}
