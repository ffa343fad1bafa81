// CFileSystem: the operations on single items (new folder, rename, move, delete,
// recycle bin, thumbnails). Rename, move and the recycle bin leave the local storage to
// the next listing of the folders concerned.
#include "common/checks.h"
#include "common/tracestack.h"
#include "core/filesystem/filesystem.h"
#include "core/interfaces/createtaskdata.h"
#include "shell/ishelladapter.h"

namespace {

// The question Move asks when the target folder holds the name already.
struct MoveExistsPrompt {
  const char* key;
  const char* text;
  const char* buttons;
};
constexpr MoveExistsPrompt kMoveFolderExists{"Wizard_MoveFolderExist", "该文件夹已经存在，是否进行文件合并?", "确定|取消"};
constexpr MoveExistsPrompt kMoveFileExists{"Wizard_MoveFileExist", "该文件已经存在，请选择以下操作方式。",
                                           "替换|更新|取消"};

void LogTargetExistsCheck(HRESULT hr) {
  if (hr != S_OK && hr != E_CV_TARGET_EXISTS)
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:hr == S_OK || hr == E_CV_TARGET_EXISTS");
}

}  // namespace

HRESULT CFileSystem::NewFolder(const std::string& parentId, const std::string& fullPath, std::string* fileId) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CFileSystem::NewFolder()", &hr, "szParentId = %s, szFullPath = %s", parentId.c_str(),
                     fullPath.c_str());
  RecordTree reply;
  hr = RunTask(CreateTaskData_CreateDirectory(Token(), parentId, fullPath), &reply, FileSystemTries::kOperation);
  LogTargetExistsCheck(hr);
  if (hr != S_OK && hr != E_CV_TARGET_EXISTS) return hr;
  // On E_CV_TARGET_EXISTS the service names the folder that holds the name.
  if (fileId) *fileId = reply.GetValue("fileId");
  return hr;
}

HRESULT CFileSystem::Rename(bool isDir, const std::string& fileId, const std::string& newName) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE("CFileSystem::Rename()", &hr);
  RecordTree reply;
  hr = RunTask(CreateTaskData_Rename(Token(), isDir, fileId, std::string(), newName), &reply,
               FileSystemTries::kOperation);
  return hr;
}

HRESULT CFileSystem::Move(bool isDir, const std::string& fileId, const std::string& newParentId) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE("CFileSystem::Move()", &hr);
  RecordTree reply;
  hr = RunTask(CreateTaskData_Move(Token(), isDir, fileId, std::string(), newParentId, std::string()), &reply,
               FileSystemTries::kOperation);
  LogTargetExistsCheck(hr);
  if (hr != E_CV_TARGET_EXISTS) return hr;

  // The user is told; whatever the answer, nothing more happens here.
  void* object = nullptr;
  if (!m_pSyncCenter || FAILED(m_pSyncCenter->GetInterface(IID_IShellAdapter, &object)) || !object) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: pShellAdapter");
    return hr;
  }
  RefPtr<IShellAdapter> shell = RefPtr<IShellAdapter>::Adopt(static_cast<IShellAdapter*>(object));
  const MoveExistsPrompt& prompt = isDir ? kMoveFolderExists : kMoveFileExists;
  const int32_t answer = shell->ShowWizard(prompt.key, prompt.text, kPromptCaption, prompt.buttons, 1,
                                           kPromptRemember, -1);
  OSTREL_LOG(kLogTrace, "CFileSystem::Move(): the user answered %d", answer);
  return hr;
}

HRESULT CFileSystem::Delete(bool isDir, const std::string& fileId, ItemSpace space) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE("CFileSystem::Delete()", &hr);
  hr = RunTask(CreateTaskData_Delete(Token(), isDir, fileId, std::string()), nullptr, FileSystemTries::kOperation);
  if (FAILED(hr)) return hr;
  // The stored folder walk ends at the store's depth limit; what it leaves is swept by
  // the next listing of the parent.
  HRESULT hrStore = isDir ? m_spLocalStorage->DeleteFoldItem(fileId, space)
                          : m_spLocalStorage->DeleteFileItem(fileId, space);
  if (FAILED(hrStore)) OSTREL_LOG(kLogError, "%s", "*ASSERT*: (((HRESULT)(hr)) >= 0)");
  return hr;
}

HRESULT CFileSystem::GetThumbnail(const std::string& id, const std::string& cachePath, int32_t height,
                                  int32_t width) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CFileSystem::GetThumbnail()", &hr, "fileid = %s, height = %ld, width = %ld", id.c_str(),
                     static_cast<long>(height), static_cast<long>(width));
  if (!m_spTaskMgr) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: m_pTaskMgr");
    return hr;
  }
  // The package goes to a new path of the store's own temp folder; the remote storage
  // removes it after unpacking.
  const std::string packagePath = m_spLocalStorage->GetTempFilePath();
  ERROR_CHECK_BOOLEX(!packagePath.empty());
  RecordTree reply;
  hr = RunTask(CreateTaskData_GetThumbnail(Token(), id, packagePath, cachePath, height, width), &reply,
               FileSystemTries::kOperation);
  return hr;
}

HRESULT CFileSystem::CleanRecycle(const std::string& fileId) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CFileSystem::CleanRecycle()", &hr, "fileId = %s", fileId.c_str());
  RecordTree reply;
  hr = RunTask(CreateTaskData_CleanRecycle(Token(), fileId), &reply, FileSystemTries::kOperation);
  return hr;
}

HRESULT CFileSystem::Recover(const std::string& fileId, const std::string& parentId) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CFileSystem::Recover()", &hr, "fileId = %s, parentId = %s", fileId.c_str(), parentId.c_str());
  RecordTree reply;
  hr = RunTask(CreateTaskData_Recover(Token(), fileId, parentId), &reply, FileSystemTries::kOperation);
  return hr;
}
