// CFileSystem: the transfers of whole files and folder trees. They ask the user where a
// transfer would replace or merge something, check sizes and names, walk folder trees
// (one task per file) and hand each file to the file sync manager.
#include "core/filesystem/transfers.h"

#include <dirent.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/checks.h"
#include "common/filehelper.h"
#include "common/folderbeneath.h"
#include "common/pathcheck.h"
#include "common/strhelper.h"
#include "common/utf8.h"
#include "core/filesystem/cachefiles.h"
#include "core/filesystem/filesystem.h"
#include "core/interfaces/createtaskdata.h"

namespace {

// Set once the oversize message was shown; never cleared (but by the test seam).
std::atomic<bool> g_oversizeNoticeShown{false};

// The answers the callers take as consent: OK, and a prompt not shown.
bool Consents(int32_t answer) { return answer == 1 || answer == -2; }

// The cloud path of an item named name in the folder at cloudFolder.
std::string JoinCloudPath(const std::string& cloudFolder, const std::string& name) {
  if (!cloudFolder.empty() && cloudFolder.back() == '\\') return cloudFolder + name;
  return cloudFolder + "\\" + name;
}

void LogFailedEntry(HRESULT hr) {
  if (FAILED(hr)) OSTREL_LOG(kLogError, "%s", "*ASSERT*: (((HRESULT)(hr)) >= 0)");
}

}  // namespace

bool IsUploadableName(std::string_view name) {
  if (name.empty() || !IsValidUtf8(name)) return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F || c == '\\') return false;
  return true;
}

namespace filesystemcontrol {
void ResetOversizeNotice() { g_oversizeNoticeShown = false; }
}  // namespace filesystemcontrol

RefPtr<IShellAdapter> CFileSystem::ShellAdapter() {
  void* object = nullptr;
  if (!m_pSyncCenter || FAILED(m_pSyncCenter->GetInterface(IID_IShellAdapter, &object)) || !object) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: pShellAdapter");
    return RefPtr<IShellAdapter>();
  }
  return RefPtr<IShellAdapter>::Adopt(static_cast<IShellAdapter*>(object));
}

int32_t CFileSystem::Ask(const char* key, const std::string& text, const char* buttons) {
  RefPtr<IShellAdapter> shell = ShellAdapter();
  // A question that cannot be asked is answered as cancelled.
  return shell ? shell->ShowWizard(key, text, kPromptCaption, buttons, 1, kPromptRemember, -1) : -1;
}

void CFileSystem::RefuseName(const std::string& localPath) {
  const std::string name = ToValidUtf8(GetFileNameFromPath(localPath));
  OSTREL_LOG(kLogWarn, "CFileSystem: %s is not uploaded: its name holds \"\\\" or a character the service cannot take",
             ToValidUtf8(localPath).c_str());
  if (RefPtr<IShellAdapter> shell = ShellAdapter())
    shell->ShowNotify("“" + name + "”的名字中含有“\\”或无法上传的字符，不能上传。", kPromptCaption, 1, 30000);
}

HRESULT CFileSystem::OpenFile(const std::string& fileId, const std::string& parentId, const std::string& fullPath,
                              ItemSpace space) {
  if (!m_spLocalStorage) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: m_pLocalStorage");
    return S_OK;
  }
  // The file goes to the cache folder's sub-folder named by its parent's id (the root's
  // files to the cache folder itself).
  if (!parentId.empty() && !IsSafePathComponent(parentId)) {
    OSTREL_LOG(kLogWarn, "CFileSystem::OpenFile(): skipped %s: its parent id \"%s\" cannot be a local folder",
               fullPath.c_str(), parentId.c_str());
    return S_OK;
  }
  const std::string folder = m_spLocalStorage->GetFullPath(parentId);
  std::string localPath;
  if (folder.empty() || !JoinLocalName(folder, TaskPathLastElement(fullPath), &localPath)) return S_OK;
  // Whatever happens is told to the user by the file sync manager. A copy that another
  // program of the user edits is not opened: the caller must not wait for an opener.
  const HRESULT hr = m_spFileSyncMgr->OpenFile(fileId, fullPath, localPath, space);
  return hr == E_CV_LOCAL_IN_EDIT ? hr : S_OK;
}

HRESULT CFileSystem::DownloadFile(const std::string& fileId, const std::string&, const std::string& fullPath,
                                  const std::string& destFilePath, bool async, ItemSpace space) {
  return DownloadFileTo(fileId, fullPath, destFilePath, destFilePath, std::string(), async, space);
}

HRESULT CFileSystem::DownloadFileTo(const std::string& fileId, const std::string& fullPath,
                                    const std::string& destFilePath, const std::string& probePath,
                                    const std::string& destRoot, bool async, ItemSpace space) {
  struct stat st {};
  if (m_env->Lstat(probePath, &st)) {
    const int32_t answer = Ask("Wizard_DownLoadFileExist",
                               "\"" + GetFileNameFromPath(destFilePath) + "\" 已经存在，是否进行文件替换?", "替换|取消");
    if (!Consents(answer)) return S_OK;
  }
  return m_spFileSyncMgr->DownloadFile(fileId, fullPath, destFilePath, async, space, destRoot);
}

HRESULT CFileSystem::UploadFile(const std::string& fileId, const std::string& parentId, int64_t fileVer,
                                const std::string& fullPath, const std::string& srcFilePath, bool async) {
  if (!IsUploadableName(GetFileNameFromPath(srcFilePath))) {
    RefuseName(srcFilePath);
    return E_INVALIDARG;
  }
  int64_t size = 0;
  if (FAILED(GetFileSizeByPath(srcFilePath, &size, m_env))) size = 0;
  if (size > kMaxUploadSize) {
    if (g_oversizeNoticeShown.exchange(true)) return E_FAIL;
    if (RefPtr<IShellAdapter> shell = ShellAdapter())
      shell->ShowMessage("您要上传的文件“" + TaskPathLastElement(fullPath) + "”大于300M，不允许上传哦~", kPromptCaption);
    return E_FAIL;
  }
  return m_spFileSyncMgr->UploadFile(fileId, parentId, fileVer, fullPath, srcFilePath, async);
}

HRESULT CFileSystem::UploadFolder(const std::string& parentId, const std::string& value, const std::string& fullPath,
                                  const std::string& srcFilePath) {
  if (!IsUploadableName(GetFileNameFromPath(srcFilePath))) {
    RefuseName(srcFilePath);
    return E_INVALIDARG;
  }
  return UploadFolderWalk(parentId, value, fullPath, srcFilePath, 0);
}

HRESULT CFileSystem::UploadFolderWalk(const std::string& parentId, const std::string& value,
                                      const std::string& fullPath, const std::string& srcFolder, int depth) {
  std::string folderId;
  HRESULT hr = NewFolder(parentId, fullPath, &folderId);
  if (hr == E_CV_TARGET_EXISTS) {
    const int32_t answer = Ask("Wizard_UpLoadFolderExist", "文件夹已经存在，是否进行文件合并?", "确定|取消");
    if (answer == -1) return hr;
  } else if (hr != S_OK) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:hr == S_OK || hr == E_CV_TARGET_EXISTS");
    return hr;
  }
  if (folderId.empty()) {
    // Without the folder's id the files would land in the root.
    OSTREL_LOG(kLogWarn, "CFileSystem::UploadFolder(): the service named no folder for %s", fullPath.c_str());
    return E_FAIL;
  }

  std::vector<FolderEntry> entries;
  if (!m_env->ListFolder(srcFolder, false, &entries))
    OSTREL_LOG(kLogWarn, "CFileSystem::UploadFolder(): %s cannot be listed (errno %d); %zu entries read",
               srcFolder.c_str(), errno, entries.size());
  for (const FolderEntry& entry : entries) {
    std::string localPath;
    if (!JoinLocalName(srcFolder, entry.name, &localPath)) continue;
    unsigned char type = entry.type;
    if (type == DT_UNKNOWN) {
      struct stat st {};
      if (m_env->Lstat(localPath, &st)) type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    if (type != DT_DIR && type != DT_REG) {
      // Links are never followed out of the folder; fifos and devices hold no file.
      OSTREL_LOG(kLogInfo, "CFileSystem::UploadFolder(): skipped %s: neither a folder nor a regular file",
                 ToValidUtf8(localPath).c_str());
      continue;
    }
    if (!IsUploadableName(entry.name)) {
      RefuseName(localPath);
      hr = E_INVALIDARG;
      LogFailedEntry(hr);
      continue;
    }
    const std::string cloudPath = JoinCloudPath(fullPath, entry.name);
    if (type == DT_DIR && depth + 1 >= kMaxFolderWalkDepth) {
      OSTREL_LOG(kLogWarn, "CFileSystem::UploadFolder(): skipped %s: deeper than %d folders", localPath.c_str(),
                 kMaxFolderWalkDepth);
      hr = E_FAIL;
    } else if (type == DT_DIR) {
      hr = UploadFolderWalk(folderId, value, cloudPath, localPath, depth + 1);
    } else {
      hr = UploadFile(std::string(), folderId, 0, cloudPath, localPath, true);
    }
    LogFailedEntry(hr);
  }
  return hr;
}

struct CFileSystem::DownloadWalk {
  std::string root;  // the folder the user chose; each file's record carries it
  int32_t value = 0;
  ItemSpace space = ItemSpace::MyFile;  // the view the folder was found in, whose store its listings go to
  std::vector<std::string> ancestors;   // the ids of the folders being downloaded around the one at hand
};

void CFileSystem::RefuseNotFolder(const std::string& localPath) {
  const std::string path = ToValidUtf8(localPath);
  OSTREL_LOG(kLogWarn, "CFileSystem::DownloadFolder(): %s is a link or not a folder; nothing is downloaded into it",
             path.c_str());
  if (RefPtr<IShellAdapter> shell = ShellAdapter())
    shell->ShowNotify("不能下载到链接或非文件夹中：“" + path + "”", kPromptCaption, 1, 30000);
}

HRESULT CFileSystem::DownloadFolder(const std::string& fileId, const std::string&, const std::string& fullPath,
                                    const std::string& destFilePath, int32_t value) {
  // A folder others share with the user is known only in that view: its listings are
  // stored there, never among the own files.
  CFileItemRecord known;
  const bool shared = m_spLocalStorage &&
                      m_spLocalStorage->GetItemInfo(fileId, &known, ItemSpace::MyFile) != S_OK &&
                      m_spLocalStorage->GetItemInfo(fileId, &known, ItemSpace::ShareToMe) == S_OK;
  DownloadWalk walk;
  walk.value = value;
  walk.space = shared ? ItemSpace::ShareToMe : ItemSpace::MyFile;

  // The folder the download goes into is the user's choice: made with its parents, and
  // a link there is followed. Below it nothing is.
  std::string dest = destFilePath;
  while (dest.size() > 1 && dest.back() == '/') dest.pop_back();
  std::string name = GetFileNameFromPath(dest);
  if (!IsSafePathComponent(name)) {
    // "/", ".", "..": the folder named is itself the one chosen.
    walk.root = dest;
    name.clear();
  } else {
    if (dest.find('/') == std::string::npos) dest = "./" + dest;
    walk.root = FolderOfPath(dest);
  }
  EnsureDirectory(walk.root, kDownloadFolderMode, m_env);
  FolderHandle root(m_env);
  if (!root.Open(walk.root)) {
    const HRESULT hr = FolderEntryResult(errno);
    OSTREL_LOG(kLogWarn, "CFileSystem::DownloadFolder(): %s cannot be opened: %s", walk.root.c_str(),
               std::strerror(errno));
    return hr;
  }
  return DownloadFolderWalk(fileId, fullPath, root, name, dest, &walk);
}

HRESULT CFileSystem::DownloadFolderWalk(const std::string& fileId, const std::string& fullPath,
                                        const FolderHandle& parent, const std::string& name,
                                        const std::string& destFolder, DownloadWalk* walk) {
  std::vector<std::string>& ancestors = walk->ancestors;
  for (const std::string& id : ancestors) {
    if (id != fileId) continue;
    OSTREL_LOG(kLogWarn, "CFileSystem::DownloadFolder(): %s lies inside itself; not downloaded again", fullPath.c_str());
    return E_FAIL;
  }
  if (ancestors.size() >= static_cast<size_t>(kMaxFolderWalkDepth)) {
    OSTREL_LOG(kLogWarn, "CFileSystem::DownloadFolder(): skipped %s: deeper than %d folders", fullPath.c_str(),
               kMaxFolderWalkDepth);
    return E_FAIL;
  }
  // An existing folder is no failure; a link or anything else in its place is, and so
  // is a folder that cannot be made: nothing of it could land.
  FolderHandle own(m_env);
  if (!name.empty()) {
    const HRESULT entered = EnterSubFolder(parent, name, &own);
    if (entered == E_CV_LOCAL_NOT_FOLDER) {
      RefuseNotFolder(destFolder);
      return entered;
    }
    if (FAILED(entered)) {
      OSTREL_LOG(kLogWarn, "CFileSystem::DownloadFolder(): %s cannot be made or opened (hr = %x)", destFolder.c_str(),
                 static_cast<unsigned>(entered));
      return entered;
    }
  }
  const FolderHandle& folder = name.empty() ? parent : own;
  std::vector<CFileItemRecord> items;
  // A folder the service did not list is downloaded as stored, and the walk fails: what
  // the folder holds now may differ.
  const HRESULT listed = Dir(fileId, &items, walk->value != 0, walk->space);
  if (FAILED(listed))
    OSTREL_LOG(kLogWarn, "CFileSystem::DownloadFolder(): %s not listed by the service (hr = %x); %zu stored items",
               fullPath.c_str(), static_cast<unsigned>(listed), items.size());
  if (items.empty()) return FAILED(listed) ? listed : S_FALSE;

  ancestors.push_back(fileId);
  HRESULT hr = S_OK;
  for (const CFileItemRecord& item : items) {
    if (item.strName.empty() && item.strSvrId.empty()) {
      hr = S_FALSE;
      break;
    }
    std::string localPath;
    if (!JoinLocalName(destFolder, item.strName, &localPath)) continue;
    const std::string cloudPath = JoinCloudPath(fullPath, item.strName);
    hr = item.bIsDir ? DownloadFolderWalk(item.strSvrId, cloudPath, folder, item.strName, localPath, walk)
                     : DownloadFileTo(item.strSvrId, cloudPath, localPath, folder.EntryPath(item.strName),
                                      walk->root, walk->value != 0, walk->space);
    if (FAILED(hr)) {
      OSTREL_LOG(kLogWarn, "ERROR_CHECK_COM hr = %x: hr", static_cast<unsigned>(hr));
      break;
    }
  }
  ancestors.pop_back();
  return SUCCEEDED(hr) && FAILED(listed) ? listed : hr;
}
