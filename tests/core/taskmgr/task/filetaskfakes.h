// The windows and the file-system facade as a file task reaches them through the sync
// centre: a shell adapter whose prompts answer a scripted value and are recorded, and a
// file system that records the deletes and uploads handed on to it. Both thread-safe.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "core/interfaces/ifilesystem.h"
#include "support/promptingshelladapter.h"

#define FILETASK_FAKE(hr, Method, ...) \
  HRESULT Method(__VA_ARGS__) override { return hr; }

// Delete and UploadFile record a line each ("Delete(isDir, id, space)", "UploadFile(id,
// parent, version, fullPath, source, async)") and answer S_OK, or the failure set for
// them; every other call answers E_NOTIMPL.
class RecordingFileSystem final : public CUnknownImpl<IFileSystem> {
 public:
  void FailDelete(HRESULT hr) { m_deleteResult = hr; }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_calls;
  }
  HRESULT Delete(bool isDir, const std::string& fileId, ItemSpace space) override {
    Record("Delete(" + std::to_string(isDir) + ", " + fileId + ", " + std::to_string(static_cast<int>(space)) + ")");
    return m_deleteResult;
  }
  HRESULT UploadFile(const std::string& fileId, const std::string& parentId, int64_t fileVer,
                     const std::string& fullPath, const std::string& srcFilePath, bool async) override {
    Record("UploadFile(" + fileId + ", " + parentId + ", " + std::to_string(fileVer) + ", " + fullPath + ", " +
           srcFilePath + ", " + std::to_string(async) + ")");
    return S_OK;
  }
  FILETASK_FAKE(E_NOTIMPL, Init, ISyncCenter*, ILocalStorage*, IRemoteStorage*, ITaskMgr*)
  FILETASK_FAKE(E_NOTIMPL, UnInit)
  FILETASK_FAKE(E_NOTIMPL, GetMaxVer, std::string*)
  FILETASK_FAKE(E_NOTIMPL, GetSpaceInfo, int64_t*, int64_t*, bool)
  FILETASK_FAKE(E_NOTIMPL, NewFolder, const std::string&, const std::string&, std::string*)
  FILETASK_FAKE(E_NOTIMPL, Rename, bool, const std::string&, const std::string&)
  FILETASK_FAKE(E_NOTIMPL, Move, bool, const std::string&, const std::string&)
  FILETASK_FAKE(E_NOTIMPL, OpenFile, const std::string&, const std::string&, const std::string&, ItemSpace)
  FILETASK_FAKE(E_NOTIMPL, DownloadFile, const std::string&, const std::string&, const std::string&,
                const std::string&, bool, ItemSpace)
  FILETASK_FAKE(E_NOTIMPL, DownloadFolder, const std::string&, const std::string&, const std::string&,
                const std::string&, int32_t)
  FILETASK_FAKE(E_NOTIMPL, UploadFolder, const std::string&, const std::string&, const std::string&,
                const std::string&)
  FILETASK_FAKE(E_NOTIMPL, GetThumbnail, const std::string&, const std::string&, int32_t, int32_t)
  FILETASK_FAKE(E_NOTIMPL, FullTextSearch, const std::string&, int32_t, std::vector<CFileItemRecord>*)
  FILETASK_FAKE(E_NOTIMPL, SetFolderViewMode, const std::string&, int32_t, int32_t, ItemSpace)
  int32_t GetFolderViewMode(const std::string&, int32_t, ItemSpace) override { return 0; }
  bool FolderNeedUpdate(const std::string&, ItemSpace) override { return true; }
  FILETASK_FAKE(E_NOTIMPL, DirMyFile, const std::string&, const std::string&, std::vector<CFileItemRecord>*, bool)
  FILETASK_FAKE(E_NOTIMPL, DirShareToOther, const std::string&, const std::string&, std::vector<CFileItemRecord>*,
                bool)
  FILETASK_FAKE(E_NOTIMPL, DirShareToMe, const std::string&, const std::string&, std::vector<CFileItemRecord>*, bool)
  FILETASK_FAKE(E_NOTIMPL, Reserved24)
  FILETASK_FAKE(E_NOTIMPL, GetItemShareRight, const std::string&, std::vector<ShareEntry>*, ItemSpace)
  FILETASK_FAKE(E_NOTIMPL, GetRecycle, const std::string&, int32_t, std::vector<CFileItemRecord>*)
  FILETASK_FAKE(E_NOTIMPL, CleanRecycle, const std::string&)
  FILETASK_FAKE(E_NOTIMPL, Recover, const std::string&, const std::string&)
  FILETASK_FAKE(E_NOTIMPL, CancelTask, const std::string&)
  FILETASK_FAKE(E_NOTIMPL, GetTaskList, std::vector<TaskListEntry>*, std::vector<TaskListEntry>*)
  FILETASK_FAKE(E_NOTIMPL, RemoveFinishedTask, const std::string&)
  FILETASK_FAKE(E_NOTIMPL, Reserved32)
  FILETASK_FAKE(E_NOTIMPL, RetryTask, const std::string&)
  FILETASK_FAKE(E_NOTIMPL, GetOpenFileList, std::vector<TaskListEntry>*)
  FILETASK_FAKE(E_NOTIMPL, RemoveOpenFile, const std::string&)
  FILETASK_FAKE(E_NOTIMPL, GetOpenFileInfo, const std::string&, std::string*, std::string*, int64_t*)
  FILETASK_FAKE(E_NOTIMPL, ReopenFile, const std::string&)

 private:
  void Record(std::string call) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_calls.push_back(std::move(call));
  }
  std::atomic<HRESULT> m_deleteResult{S_OK};
  std::mutex m_mutex;
  std::vector<std::string> m_calls;
};

#undef FILETASK_FAKE
