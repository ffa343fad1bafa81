#include "core/taskmgr/task/task.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "common/checks.h"
#include "common/filehelper.h"
#include "common/strhelper.h"
#include "core/interfaces/ilocalstorage.h"
#include "core/interfaces/taskdata.h"
#include "platform/posixfile.h"

CTaskBase::CTaskBase(TaskDataBase* record, const FileTaskOptions& options)
    : m_pTaskData(record),
      m_pSyncCenter(options.syncCenter),
      m_env(options.env ? options.env : FileEnv::Default(), &m_cancelled) {}

HRESULT CTaskBase::Init(ILocalStorage* localStorage, IRemoteStorage* remoteStorage,
                        TransportProgressCallback progress, int64_t value1, int64_t value2, void* context) {
  ILocalStorage* pLocalStorage = localStorage;
  IRemoteStorage* pRemoteStorage = remoteStorage;
  ASSERT(pLocalStorage && pRemoteStorage);
  m_pLocalStorage = localStorage;
  m_pRemoteStorage = remoteStorage;
  m_progress = progress;
  m_value1 = value1;
  m_value2 = value2;
  m_progressContext = context;
  return S_OK;
}

HRESULT CTaskBase::Execute() {
  ERROR_CHECK_BOOLEX(m_pTaskData && m_pLocalStorage && m_pRemoteStorage);
  ERROR_CHECK_COM(CancelPoint());
  return m_pTaskData->nDirection != 0 ? ExecuteLocal() : ExecuteRemote();
}

HRESULT CTaskBase::Cancel(uint32_t) {
  m_cancelled = true;
  return S_OK;
}

TaskDataBase* CTaskBase::GetTaskData() {
  ASSERT(m_pTaskData);
  return m_pTaskData;
}

HRESULT CTaskBase::OnTransferProgress(void* task, double dlTotal, double dlNow, double ulTotal, double ulNow,
                                      double speed) {
  auto* self = static_cast<CTaskBase*>(task);
  if (!self) return S_OK;
  if (self->Cancelled()) return E_FAIL;
  if (!self->m_progress) return S_OK;
  return self->m_progress(self->m_progressContext, dlTotal, dlNow, ulTotal, ulNow, speed);
}

HRESULT CTaskBase::CancelPoint() const { return Cancelled() ? E_CV_CURL_CANCEL : S_OK; }

HRESULT CTaskBase::LocalFailure(HRESULT hr) const { return Cancelled() ? E_CV_CURL_CANCEL : hr; }

HRESULT CTaskBase::_CopyToTemp(const std::string& source, TaskTempFile* copy) {
  const std::string temp = m_pLocalStorage->GetTempFilePath();
  ERROR_CHECK_BOOLEX(!temp.empty());
  copy->Reset(temp);
  PosixFile in(Env());
  PosixFile out(Env());
  const bool ok = in.OpenRegularForRead(source) && out.Open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600) &&
                  CopyFileData(in, out) && out.Close();
  if (!ok) {
    const int error = errno;
    out.Close();
    copy->Remove();
    OSTREL_LOG(kLogWarn, "CTaskBase::_CopyToTemp(): %s cannot be copied to the temp folder: %s", source.c_str(),
               std::strerror(error));
    return LocalFailure(E_FAIL);
  }
  return S_OK;
}

HRESULT CTaskBase::_SizeAndSha1(const std::string& path, int64_t* size, std::string* sha1) {
  HRESULT hr = GetFileSizeAndSha1(path, size, sha1, nullptr, Env());
  if (FAILED(hr)) return LocalFailure(hr);
  return hr;
}

bool ReadFileVersion(const std::string& text, int64_t* version) {
  if (ParseServiceVersion(text, version)) return true;
  OSTREL_LOG(kLogWarn, "a file version of the service that is no plain decimal: \"%s\"", text.c_str());
  return false;
}

std::string ModTimeFromTimeText(const std::string& timeText) {
  const size_t dot = timeText.rfind('.');
  return dot == std::string::npos ? std::string() : timeText.substr(0, dot);
}

bool SameSha1(const std::string& a, const std::string& b) { return StrCompare(a, b, true) == 0; }
