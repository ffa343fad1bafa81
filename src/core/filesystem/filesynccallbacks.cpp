// CFileSyncMgr: the end of a file task, as the task manager reports it on its thread:
// the offer of the old copy when an open could not download, the download markers,
// opening a downloaded file with its program, the versions an upload produced, and
// what the user is told when a task failed; the hold on the copy that the task carried
// passes to the entry of an opened file, or ends with the task.
#include <sys/stat.h>

#include "common/checks.h"
#include "common/sha1.h"
#include "common/strhelper.h"
#include "core/filesystem/cachefiles.h"
#include "core/filesystem/filesyncmgr.h"
#include "core/filesystem/prompttexts.h"
#include "core/filesystem/taskerror.h"
#include "core/interfaces/createtaskdata.h"

void CFileSyncMgr::_OnTaskFinished(TaskDataBase& record) {
  TaskState& state = record.taskState;
  if (state.eTaskStateType != TS_Finish)
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: pTaskData->taskState.eTaskStateType == TS_Finish");
  const bool download = record.TasksName() == "DownloadFile";
  const std::string& localPath = record.strSecondPath;
  const std::string claim = _TakeCarriedHold(record);

  // An open that could not download may show the copy the cache holds, read-only.
  if (state.hrResult != S_OK && state.hrResult != E_CV_TARGET_NOT_EXISTS && download &&
      (record.nOpenFlags & kOpenFlagForEdit) && IsRegularFile(localPath, m_env)) {
    const std::string name = GetFileNameFromPath(localPath);
    RefPtr<IShellAdapter> shell = _Shell();
    const int32_t answer =
        shell ? shell->ShowWizard("Wizard_OpenOldVersion", "文件“" + name + "”下载失败，您希望打开缓存在您机器上的旧版本吗？",
                                  kPromptCaption, "打开旧版本|取消", 1, kPromptRemember, -1)
              : -1;
    if (answer == 1 || answer == -2) {
      shell->ShowNotify("正在为您只读打开缓存在您机器上的“" + name + "”文件。", kPromptCaption, 1, 30000);
      state.hrResult = S_OK;
      record.nOpenFlags |= kOpenFlagOpenedCached;
      if (!SetFileReadOnly(localPath, m_env)) OSTREL_LOG(kLogError, "%s", "*ASSERT*: bRet");
    }
  }
  // A plain download's marker goes with its end, whatever the outcome.
  if (download && !(record.nOpenFlags & kOpenFlagForEdit)) m_markers.Release(localPath);

  bool kept = false;
  // S_FALSE: done without a transfer (an upload that kept the service's file).
  if (SUCCEEDED(state.hrResult))
    kept = _OnTaskSucceeded(record, claim);
  else
    _ShowTaskError(record);
  // Last, so that an open waiting for an upload finds the stored version it made.
  if (!kept && !claim.empty()) m_claims.Drop(claim);
}

bool CFileSyncMgr::_OnTaskSucceeded(TaskDataBase& record, const std::string& claim) {
  const std::string& name = record.TasksName();
  if (name == "DownloadFile") {
    // A plain download is done (its marker is its caller's); an open is opened.
    return (record.nOpenFlags & kOpenFlagForEdit) && _OpenDownloadedFile(record, claim);
  }
  if (name == "UpdateFile" || name == "UpdateNewFile") {
    _UpdateOpenFile(record.strId, record.nFileVer, record.strSha1);
    _ProtectCachedFile(record.strId, record.strSecondPath);
    if (name != "UpdateFile") return false;
    const auto* upload = dynamic_cast<const TaskData_UpdateFile*>(&record);
    int64_t size = 0;
    if (!upload || !ParsePlainDecimal(upload->strSizeOrg, INT64_MAX, &size) || record.strSha1.empty()) {
      // A wrong size or SHA-1 in the store would make the next open see an edit.
      OSTREL_LOG(kLogWarn, "CFileSyncMgr: the upload of %s reports no size or SHA-1; the stored item is kept",
                 record.strFullPath.c_str());
      return false;
    }
    const HRESULT hr = m_spLocalStorage->UpdateFileVersion(record.strId, size, record.nFileVer, record.strSha1);
    if (FAILED(hr)) OSTREL_LOG(kLogWarn, "ERROR_CHECK_COM hr = %x: hr", static_cast<unsigned>(hr));
    return false;
  }
  OSTREL_LOG(kLogError, "%s", "*ASSERT*: 0");
  return false;
}

bool CFileSyncMgr::_OpenDownloadedFile(const TaskDataBase& record, const std::string& claim) {
  const std::string& localPath = record.strSecondPath;
  if (m_stopped) {
    OSTREL_LOG(kLogInfo, "CFileSyncMgr: stopped; %s is not opened", localPath.c_str());
    return false;
  }
  // A file shared to the user by one person without the write right is read-only.
  std::vector<ShareEntry> entries;
  if (SUCCEEDED(m_spLocalStorage->GetItemShareRight(record.strId, &entries, ItemSpace::ShareToMe)) &&
      entries.size() == 1 && !(entries[0].rights & kShareRightWrite)) {
    if (!SetFileReadOnly(localPath, m_env)) OSTREL_LOG(kLogError, "%s", "*ASSERT*: bRet");
  }
  std::string sha1 = record.strSha1;
  if (sha1.empty() && !(record.nOpenFlags & kOpenFlagOpenedCached) &&
      FAILED(GetFileSha1(localPath, nullptr, &sha1, m_env))) {
    // Without it every close counts as an edit, so that no edit is lost.
    OSTREL_LOG(kLogWarn, "CFileSyncMgr: %s cannot be hashed at its open", localPath.c_str());
  }
  if (!m_pSyncCenter) OSTREL_LOG(kLogError, "%s", "*ASSERT*: m_pSyncCenter");
  RefPtr<IShellAdapter> shell = _Shell();
  if (!shell) return false;
  const ShellProcess process = shell->ShellOpen(localPath);
  if (process == kShellOpenFailed) {
    OSTREL_LOG(kLogWarn, "CFileSyncMgr: no program could open %s; it is not watched", localPath.c_str());
    _Notify(TransferFailedText("打开", TaskPathLastElement(record.strFullPath), E_FAIL));
    return false;
  }
  std::shared_ptr<CWatchedProgram> program;
  if (process >= 0) program = std::make_shared<CWatchedProgram>(process);
  return _AddOpenFile(record.nOpenFlags, record.strId, record.nFileVer, record.strFullPath, localPath, sha1,
                      std::move(program), claim);
}

bool CFileSyncMgr::_AddOpenFile(int32_t flags, const std::string& fileId, int64_t fileVer,
                                const std::string& fullPath, const std::string& localPath, const std::string& sha1,
                                std::shared_ptr<CWatchedProgram> process, const std::string& claim) {
  {
    std::lock_guard<std::mutex> guard(m_tableLock);
    if (!m_table.count(fileId)) {
      OpenFileEntry& entry = m_table[fileId];
      entry.flags = flags;
      entry.fileVer = fileVer;
      entry.fileId = fileId;
      entry.fullPath = fullPath;
      entry.localPath = localPath;
      entry.sha1AtOpen = sha1;
      entry.process = std::move(process);
      entry.serial = m_nextSerial++;
      entry.claim = claim;
      return true;
    }
  }
  OSTREL_LOG(kLogError, "%s", "*ASSERT*: 0");
  return false;  // the program is given up here, outside the lock
}

void CFileSyncMgr::_UpdateOpenFile(const std::string& fileId, int64_t fileVer, const std::string& sha1) {
  std::lock_guard<std::mutex> guard(m_tableLock);
  auto it = m_table.find(fileId);
  if (it == m_table.end()) return;
  it->second.fileVer = fileVer;
  it->second.sha1AtOpen = sha1;
}

void CFileSyncMgr::_ShowTaskError(const TaskDataBase& record) {
  const HRESULT result = record.taskState.hrResult;
  if (result == S_OK) OSTREL_LOG(kLogError, "%s", "*ASSERT*: pTaskData->taskState.hrResult != S_OK");
  const std::string& name = record.TasksName();
  if ((name == "UpdateFile" || name == "UpdateNewFile") && IsPathInFolder(record.strSecondPath, m_pathCache))
    OSTREL_LOG(kLogWarn, "CFileSyncMgr: the edit of %s was not sent (hr = %x); it stays in the cache folder",
               record.strSecondPath.c_str(), static_cast<unsigned>(result));
  RefPtr<IShellAdapter> shell = _Shell();
  if (!shell) return;
  const TaskErrorNotice notice = TaskErrorNoticeFor(result, record.nDirection, record.strFullPath);
  if (notice.clearSnapshot) {
    const HRESULT hr = m_spLocalStorage->ClearLastSnapshot();
    if (FAILED(hr)) OSTREL_LOG(kLogWarn, "ERROR_CHECK_COM hr = %x: hr", static_cast<unsigned>(hr));
  }
  if (notice.showMessage) shell->ShowMessage(notice.text, kPromptCaption);
  shell->ShowNotify(notice.text, kPromptCaption, 1, 30000);
}
