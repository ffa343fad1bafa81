// CLogicAdapter: the one facade through which the windows and the application shell
// reach the sync engine. It owns the shell adapter and the sync centre of the current
// pass of the restart loop, and forwards file operations to the signed-in user's file
// system (IFileSystem: its header gives each operation's contract).
//
// Life per pass: Init (before the main window exists), Login or TryLogin, file
// operations, then UnBind and UnInit (log out and sign in again) or UnInit alone. The
// next pass's Init makes a new shell adapter and sync centre. The adapter keeps a
// reference to the file system from each successful sign-in until UnBind or UnInit;
// a file operation while it has none (before the first sign-in, after UnBind or
// UnInit) fails with E_FAIL (listing tests answer "needs update", the view mode 0)
// after the assertion line, and reaches no component.
//
// Threads: Init, UnInit, the sign-in operations and UnBind come from the UI thread;
// the file operations and the prompts also from the please-wait worker, the tasks
// pane's thread, the file sync manager and executers. The adapter's lock only guards
// its three pointers, which every operation copies before it calls out, so no call
// runs under it.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/unknown.h"
#include "core/interfaces/fileitemrecord.h"
#include "core/interfaces/ifilesystem.h"
#include "core/interfaces/isynccenter.h"
#include "core/interfaces/itaskmgr.h"
#include "shell/imainwindow.h"
#include "shell/ishelladapter.h"

// How the adapter makes the two objects of a pass; each stores one reference.
struct LogicAdapterCreators {
  std::function<HRESULT(IShellAdapter**)> createShellAdapter;
  std::function<HRESULT(ISyncCenter**)> createSyncCenter;
};

class CLogicAdapter {
 public:
  explicit CLogicAdapter(LogicAdapterCreators creators);
  ~CLogicAdapter();
  CLogicAdapter(const CLogicAdapter&) = delete;
  CLogicAdapter& operator=(const CLogicAdapter&) = delete;

  // --- wiring and session ---
  // Makes the shell adapter (keeping pMainWindow, not referenced: the window must
  // outlive the pass) and the sync centre on szConfigPath. The first failure.
  HRESULT Init(const std::string& szConfigPath, IMainWindow* pMainWindow);
  // Stops the sync centre, lets go of the file system, uninitialises and releases the
  // shell adapter and the sync centre (each step runs whatever the one before gave);
  // the result of the sync centre's UnInit.
  HRESULT UnInit();
  // Signs in and fetches the file system; the first failure. A failed sign-in leaves
  // the file system as it was.
  HRESULT Login(const std::string& szUserName, const std::string& szPassword, int32_t loginMode);
  HRESULT TryLogin(int32_t unused);
  // Lets go of the file system, then logs out and forgets the user.
  HRESULT UnBind();
  bool IsLoggedIn();
  HRESULT GetUserInfo(std::string* userName, std::string* token, std::string* userId, std::string* nickName);
  // The sync folder; "" when there is none.
  std::string GetLocalSyncPath();
  std::string GetUserValue(const std::string& name, const std::string& defaultValue);
  HRESULT SetUserValue(const std::string& name, const std::string& value);
  // The per-user value read as a base-10 number (leading blanks, a sign, digits, then
  // anything; clamped to 32 bits); 0 when it is empty, missing or no number.
  int32_t GetUserValueInt(const std::string& name);
  // Stores the number as "%d".
  HRESULT SetUserValueInt(const std::string& name, int32_t value);
  HRESULT CheckProxyServer();

  // --- the windows, through the shell adapter ---
  HRESULT ShowMessage(const std::string& text, const std::string& caption);
  // The chosen answer (see IShellAdapter::ShowWizard); -1 without a shell adapter.
  int32_t ShowWizard(const std::string& key, const std::string& text, const std::string& caption,
                     const std::string& buttons, int32_t defaultAnswer, const std::string& checkText,
                     int32_t lastValue);
  // 1 without a shell adapter.
  HRESULT ShowNotify(const std::string& text, const std::string& caption, uint32_t flags, uint32_t timeoutMs);

  // Empties the local storage's item tables; E_FAIL when nobody is signed in.
  HRESULT ClearLastSnapshot();

  // --- file operations, forwarded to the file system ---
  HRESULT GetMaxVer(std::string* opVer);
  HRESULT GetSpaceInfo(int64_t* used, int64_t* total, bool forceRefresh);
  HRESULT NewFolder(const std::string& szParentId, const std::string& szFullPath, std::string* fileId);
  // szFullPath is not forwarded.
  HRESULT Rename(bool isDir, const std::string& szFileId, const std::string& szFullPath, const std::string& szNewName);
  HRESULT Move(bool isDir, const std::string& szFileId, const std::string& szNewParentId);
  // szFullPath is not forwarded.
  HRESULT Delete(bool isDir, const std::string& szFileId, const std::string& szFullPath, ItemSpace space);
  HRESULT OpenFile(const std::string& szFileId, const std::string& szParentId, const std::string& szFullPath,
                   ItemSpace space);
  HRESULT DownloadFile(const std::string& szFileId, const std::string& szParentId, const std::string& szFullPath,
                       const std::string& szDestFilePath, bool async, ItemSpace space);
  HRESULT UploadFile(const std::string& szFileId, const std::string& szParentId, int64_t fileVer,
                     const std::string& szFullPath, const std::string& szSrcFilePath, bool async);
  HRESULT DownloadFolder(const std::string& szFileId, const std::string& szParentId, const std::string& szFullPath,
                         const std::string& szDestFilePath, int32_t value);
  HRESULT UploadFolder(const std::string& szParentId, const std::string& value, const std::string& szFullPath,
                       const std::string& szSrcFilePath);
  HRESULT GetThumbnail(const std::string& szId, const std::string& cachePath, int32_t height, int32_t width);
  HRESULT FullTextSearch(const std::string& szSearchText, int32_t searchType, std::vector<CFileItemRecord>* items);
  HRESULT SetFolderViewMode(const std::string& id, int32_t viewMode, int32_t rootKey, ItemSpace space);
  int32_t GetFolderViewMode(const std::string& id, int32_t rootKey, ItemSpace space);
  bool FolderNeedUpdate(const std::string& id, ItemSpace space);
  HRESULT DirMyFile(const std::string& szParentId, const std::string& fullPath, std::vector<CFileItemRecord>* items,
                    bool forceRefresh);
  HRESULT DirShareToOther(const std::string& parentId, const std::string& fullPath,
                          std::vector<CFileItemRecord>* items, bool forceRefresh);
  HRESULT DirShareToMe(const std::string& parentId, const std::string& fullPath, std::vector<CFileItemRecord>* items,
                       bool forceRefresh);
  // The file system's unused slot 24.
  HRESULT Reserved24();
  HRESULT GetItemShareRight(const std::string& id, std::vector<ShareEntry>* entries, ItemSpace space);
  HRESULT GetRecycle(const std::string& szOpVersion, int32_t size, std::vector<CFileItemRecord>* items);
  HRESULT CleanRecycle(const std::string& szFileId);
  HRESULT Recover(const std::string& szFileId, const std::string& parentId);
  HRESULT CancelTask(const std::string& taskId);
  HRESULT GetTaskList(std::vector<TaskListEntry>* running, std::vector<TaskListEntry>* finished);
  HRESULT RemoveFinishedTask(const std::string& taskId);
  HRESULT RetryTask(const std::string& taskId);
  HRESULT GetOpenFileList(std::vector<TaskListEntry>* files);
  HRESULT RemoveOpenFile(const std::string& fileId);
  HRESULT ReopenFile(const std::string& fileId);

 private:
  // Referenced copies of the members, null after the assertion line when unset.
  RefPtr<ISyncCenter> SyncCenter();
  RefPtr<IShellAdapter> ShellAdapter();
  RefPtr<IFileSystem> FileSystem();
  // Keeps the sync centre's file system.
  HRESULT _GetFileSystem();

  LogicAdapterCreators m_creators;
  std::mutex m_lock;  // guards the three pointers; never held across a call
  RefPtr<ISyncCenter> m_spSyncCenter;
  RefPtr<IShellAdapter> m_spShellAdapter;
  RefPtr<IFileSystem> m_pFileSystem;
};

// The process-wide adapter, made on first use with the real shell adapter and sync
// centre, and destroyed at process exit.
CLogicAdapter& GetLogicAdapter();
