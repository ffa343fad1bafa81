// CFileSyncMgr: the part of the file-system facade that moves single files between the
// service and the local cache folder and watches the files the user opened for
// editing. It turns opens, downloads and uploads into task records for the task
// manager, receives every file task's end (shows the task-end messages, opens a
// downloaded file with its program), follows that program, or the file's lock, until
// the user is done, and then uploads the file when its content changed; an unchanged
// cached copy is made read-only again. It also hands the drag and copy markers that the
// folder watcher finds to the shell adapter (CFileSyncNotify).
//
// Life: made by make_shared (the task manager's completion callbacks and the watch
// thread find it through a weak reference); Init, then any operation from any thread;
// UnInit stops the watch (the table is kept until destruction; a second UnInit does
// nothing). A completion that arrives after UnInit is still handled, but opens no
// program.
//
// Locks: the table lock guards the opened-file table and is held only to read or
// change it: never while a task is added, a file is hashed, a program is asked about,
// a lock is probed or the user is asked. The watch passes are serialised by a lock of
// their own, which nothing else takes. Completion callbacks run on the task manager's
// thread with none of these locks held.
//
// Edits that could not be sent (a failed upload, a file that could not be hashed, a
// watch stopped at sign-out) stay in the cache folder, writable; the next open of the
// file finds the difference and asks the user what to do with it. The log says so
// each time.
//
// Claims: a cache copy is claimed (CEditClaims) from the start of its open until its
// editing is over and, when it changed, until its upload has ended; a plain download
// into the cache folder claims its destination while it runs. A copy another process
// of the user claims is neither opened nor downloaded into: nothing is changed, the
// user is told, and E_CV_LOCAL_IN_EDIT is returned. An open of a copy whose last edit
// this process is still sending waits for that upload's end first (never on the task
// manager's thread, which ends it). The claims still held go at UnInit.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/unknown.h"
#include "core/filesystem/cachefiles.h"
#include "core/filesystem/downloadmarker.h"
#include "core/filesystem/editclaims.h"
#include "core/filesystem/filesyncnotify.h"
#include "core/filesystem/filesyncoptions.h"
#include "core/filesystem/watchedprogram.h"
#include "core/interfaces/fileitemrecord.h"
#include "core/interfaces/ilocalstorage.h"
#include "core/interfaces/iremotestorage.h"
#include "core/interfaces/isynccenter.h"
#include "core/interfaces/itaskmgr.h"
#include "core/interfaces/taskdata.h"
#include "platform/event.h"
#include "platform/workerthread.h"
#include "shell/ishelladapter.h"

// How often a file transfer run on the caller's thread is tried.
inline constexpr int32_t kFileTransferTries = 5;

// One file opened for editing.
struct OpenFileEntry {
  int32_t flags = 0;  // kOpenFlagForEdit, kOpenFlagOpenedCached
  int64_t fileVer = 0;
  std::string fileId;
  std::string fullPath;   // cloud path
  std::string localPath;  // the file in the cache folder
  std::string sha1AtOpen;
  // The program it was opened with; null when the entry follows the file's lock.
  std::shared_ptr<CWatchedProgram> process;
  uint32_t passes = 0;  // watch passes so far
  // When the file was first seen free of other programs since it was last seen held.
  std::optional<Clock::Ticks> unlockedSince;
  uint64_t serial = 0;  // tells an entry from a later one of the same file
  // The copy's claim that the entry holds (ResolveLocalPath of localPath); "" for none.
  std::string claim;
};

class CFileSyncMgr : public std::enable_shared_from_this<CFileSyncMgr> {
 public:
  explicit CFileSyncMgr(FileSyncOptions options = {});
  // Stops the watch as UnInit does; gives up the programs of the entries left.
  ~CFileSyncMgr();
  CFileSyncMgr(const CFileSyncMgr&) = delete;
  CFileSyncMgr& operator=(const CFileSyncMgr&) = delete;

  // Keeps the four (the storages and the task manager referenced; the sync centre
  // borrowed: it stops the task manager before it lets go of the file system), takes
  // the local storage's sync folder as the cache folder, starts the watch for markers
  // (see FileNotifyOptions::dispatcher) and the watch thread; the watch's failure is
  // returned.
  // E_POINTER when one is null ("*ASSERT*: pSyncCenter && pLocalStorage &&
  // pRemoteStorage && pTaskMgr"); E_FAIL when Init or UnInit ran before ("*ASSERT*:
  // !m_hWorkThread"), the cache folder is not a folder
  // ("ERROR_CHECK_BOOLEX:m_pathCache.FileExists()") or no thread can be made
  // ("ERROR_CHECK_BOOLEX:m_hWorkThread").
  HRESULT Init(ISyncCenter* syncCenter, ILocalStorage* localStorage, IRemoteStorage* remoteStorage,
               ITaskMgr* taskMgr);
  // Stops the watch: signals the thread and waits up to stopWait for it (a thread that
  // does not end in time is left to end by itself, with "CFileSyncMgr::UnInit: 线程退出超时，
  // TimeOut = %d"). Files still open keep what they hold in the cache folder. S_OK, or
  // the folder watcher's failure to stop (the rest is stopped all the same).
  HRESULT UnInit();

  // The task manager's retry with this manager's completion callback.
  HRESULT RetryTask(const std::string& taskId);

  // Opens the file for editing: when it has an entry already, the message
  // "文件“%s”已处于打开状态，不能重复打开。" and S_OK; else a forced background download
  // of it to localPath (see DownloadFile), which the completion opens and watches. When
  // this process is still sending the last edit of that copy, waits for the upload's
  // end first (E_ABORT when UnInit ends the wait). E_CV_LOCAL_IN_EDIT when another
  // process claims the copy (see the claims above).
  HRESULT OpenFile(const std::string& fileId, const std::string& fullPath, const std::string& localPath,
                   ItemSpace space);
  // Downloads the file to destPath, in the background (async) or on this thread with
  // kFileTransferTries tries; a ".otl" marker lies beside destPath meanwhile. A copy at
  // destPath that equals the cached item, when the service still has that version, is
  // taken as it is. A copy that differs is an edit not sent: the user is asked
  // ("Wizard_OpenConflict") whether to save it elsewhere first (a folder picker), and
  // it goes to the trash before anything is downloaded. When it cannot go to the
  // trash, nothing is downloaded, the edit stays, the user is told and E_FAIL returned.
  // A destination in the cache folder that a program is editing (in this process or
  // another), or whose edit is being sent, is left alone: E_CV_LOCAL_IN_EDIT, and the
  // user is told. Else the task manager's result (AddTask's, or the transfer's).
  // destRoot: for a file of a folder download, the folder the user chose (see
  // TaskData_DownloadFile::strDestRoot), else "".
  HRESULT DownloadFile(const std::string& fileId, const std::string& fullPath, const std::string& destPath,
                       bool async, ItemSpace space, const std::string& destRoot = std::string());
  // Uploads srcPath: a new file into parentId when fileId is "", else a new version of
  // fileId over fileVer; in the background or on this thread (kFileTransferTries).
  HRESULT UploadFile(const std::string& fileId, const std::string& parentId, int64_t fileVer,
                     const std::string& fullPath, const std::string& srcPath, bool async);

  // One row per opened file, in fileId order (appended). S_OK.
  HRESULT GetOpenFileList(std::vector<TaskListEntry>* files);
  // Forgets the file's entry (every entry for ""): it is no longer watched and its
  // program is given up. S_OK.
  HRESULT RemoveOpenFile(const std::string& fileId);
  // The entry's local path, cloud path and version, each out when given. E_FAIL,
  // nothing written, when the file has no entry.
  HRESULT GetOpenFileInfo(const std::string& fileId, std::string* localPath, std::string* fullPath,
                          int64_t* fileVer);
  // Uploads the opened file's current content as a forced background "UpdateFile",
  // which holds the copy's claim until it ends. E_FAIL when it has no entry; the
  // claim's failure; else AddTask's result.
  HRESULT ReopenFile(const std::string& fileId);
  bool IsFileOpen(const std::string& fileId);

  // One pass of the watch thread over the opened files, in fileId order: ends the
  // editing of at most one file (uploaded when its content changed, else made
  // read-only) or drops one whose file is gone. Tests with watchPeriod kWaitForever
  // call it themselves; passes never overlap.
  void CheckEditedFiles();

  // The cache folder (set by Init).
  std::string CacheFolder() const { return m_pathCache; }

  // The completion callback handed to the task manager; context names the manager.
  static void _OnTaskFinish(TaskDataBase* record, void* context);
  // The folder watcher's callback (context: the manager), on the dispatcher's thread:
  // see CFileSyncNotify::OnFileNotify. Returns 0.
  static int _OnFileNotify(uint32_t action, const char* path, const char* newPath, void* context);

 private:
  // What the watch decided for one entry.
  struct Verdict {
    enum Kind { kGoesOn, kGone, kOver } kind = kGoesOn;
    bool dropProcess = false;  // the entry follows the file's lock from now on
    std::optional<Clock::Ticks> unlockedSince;
  };

  void _WorkThread();
  Verdict _JudgeEntry(const OpenFileEntry& entry);
  FileLockState _ProbeLock(const std::string& path);

  HRESULT _AddFileTask(const std::string& fileId, const std::string& parentId, int64_t fileVer,
                       const std::string& fullPath, const std::string& srcPath, bool force, bool async);
  HRESULT _DownloadFile(const std::string& fileId, const std::string& fullPath, const std::string& localPath,
                        bool force, bool open, bool async, ItemSpace space,
                        const std::string& destRoot = std::string());
  // The key of the copy at localPath among the claims.
  std::string _ClaimPath(const std::string& localPath) { return ResolveLocalPath(localPath, m_env); }
  // Takes a hold on the copy claim for an open, or for a plain download into the
  // cache folder (refused when this process holds the copy already): S_OK, or the
  // failure after the user was told (nothing held then).
  HRESULT _HoldCopy(const std::string& claim, const std::string& fullPath, bool open);
  // Whether a close or an upload of this process carries a hold on the copy claim:
  // its last edit is being sent. Under the table lock.
  bool _IsBeingSentLocked(const std::string& claim) const;
  // Counts one hold more, or one less, that a close or a task carries, in carried
  // (m_downloadHolds or m_uploadHolds); takes the table lock. The hold itself is the
  // caller's to take or drop.
  void _CarryHold(std::map<std::string, int>* carried, const std::string& claim);
  void _UncarryHold(std::map<std::string, int>* carried, const std::string& claim);
  // The hold the finished task carried, taken off its count: its claim, or "" when it
  // carried none.
  std::string _TakeCarriedHold(const TaskDataBase& record);
  // Whether the service still has the item at fileVer ("GetFileInfo", one try).
  bool _IsCurrentOnService(const std::string& fileId, int64_t fileVer);
  // The local edit at localPath (of the cached item named name) is kept safe: the user
  // may save a copy elsewhere, then it goes to the trash. S_OK once it is in the trash.
  HRESULT _PutLocalEditAside(const std::string& localPath, const std::string& name);

  void _OnTaskFinished(TaskDataBase& record);
  // claim: the hold on the copy that the task carried ("" for none). True when an
  // entry was made that keeps it; else the caller drops it.
  bool _OnTaskSucceeded(TaskDataBase& record, const std::string& claim);
  void _ShowTaskError(const TaskDataBase& record);
  bool _OpenDownloadedFile(const TaskDataBase& record, const std::string& claim);
  // Inserts an entry (with passes 0, keeping the hold claim) when the file has none;
  // false, "*ASSERT*: 0", when it has one (the program given is then given up).
  bool _AddOpenFile(int32_t flags, const std::string& fileId, int64_t fileVer, const std::string& fullPath,
                    const std::string& localPath, const std::string& sha1, std::shared_ptr<CWatchedProgram> process,
                    const std::string& claim);
  void _UpdateOpenFile(const std::string& fileId, int64_t fileVer, const std::string& sha1);
  void _ProtectCachedFile(const std::string& fileId, const std::string& localPath);
  void _OnEditedFileClosed(const OpenFileEntry& closed);

  // The shell adapter, or null ("*ASSERT*: spShellAdapter").
  RefPtr<IShellAdapter> _Shell();
  // A notice with the facade's caption, flags 1 and 30000 ms.
  void _Notify(const std::string& text);
  void* _Context() const { return reinterpret_cast<void*>(m_anchor); }

  const FileSyncOptions m_options;
  Clock* const m_clock;
  FileEnv* const m_env;

  // Set by Init, read-only afterwards.
  ISyncCenter* m_pSyncCenter = nullptr;
  RefPtr<ILocalStorage> m_spLocalStorage;
  RefPtr<IRemoteStorage> m_spRemoteStorage;
  RefPtr<ITaskMgr> m_spTaskMgr;
  std::string m_pathCache;
  std::string m_cacheClaimPath;  // m_pathCache as ResolveLocalPath names it
  uintptr_t m_anchor = 0;  // this manager's name for the completion callbacks

  std::mutex m_tableLock;  // m_table, m_nextSerial, m_downloadHolds and m_uploadHolds
  std::map<std::string, OpenFileEntry> m_table;
  uint64_t m_nextSerial = 1;
  // The holds on copies (by claim) that downloads in flight carry, and those that
  // closes and uploads in flight carry (a close's hold passes to its upload).
  std::map<std::string, int> m_downloadHolds;
  std::map<std::string, int> m_uploadHolds;
  CEditClaims m_claims;  // thread-safe by itself; never called under the table lock

  std::mutex m_passLock;  // one watch pass at a time
  CDownloadMarkers m_markers;

  // The folder watcher's receiver (drag and copy markers), started by Init and
  // stopped by UnInit before the watch thread.
  CFileSyncNotify m_notify;

  std::atomic<bool> m_initialised{false};
  std::atomic<bool> m_stopped{false};
  CEvent m_stopEvent;
  CWorkerThread m_thread;
};
