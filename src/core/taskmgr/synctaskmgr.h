// CSyncTaskMgr: the synchronous half of the task manager. It runs one task record on
// the caller's thread: it looks the record's task name up, calls the matching
// IRemoteStorage request (or makes, runs and destroys the file task for it), and
// repeats the call while it fails with a network result and tries are left.
//
// Threads: Init is called once, before any ExecuteTask, and is the only writer of the
// fields. ExecuteTask takes no lock and may run on several threads at once, each with
// its own record and reply.
#pragma once

#include <cstdint>
#include <string>

#include "common/resultcodes.h"
#include "core/interfaces/itask.h"

class ILocalStorage;
class IRemoteStorage;
class ISyncCenter;
class RecordTree;
class TaskDataBase;

class CSyncTaskMgr {
 public:
  // factory makes the file tasks ("DownloadFile", "UpdateFile", "UpdateNewFile");
  // without one such records fail with E_FAIL.
  explicit CSyncTaskMgr(TaskFactory factory = {});
  CSyncTaskMgr(const CSyncTaskMgr&) = delete;
  CSyncTaskMgr& operator=(const CSyncTaskMgr&) = delete;

  // Keeps the three (borrowed: they must outlive every ExecuteTask) and reads the
  // session token from the sync centre. S_OK; E_POINTER when one is null (nothing
  // kept); E_FAIL when the token cannot be read ("ERROR_CHECK_BOOLEX:hr == S_OK"),
  // with the pointers kept and no token.
  HRESULT Init(ISyncCenter* pSyncCenter, ILocalStorage* pLocalStorage, IRemoteStorage* pRemoteStorage);

  // Runs the record up to tries times: again, at once, only while the result is a
  // network result (E_CV_NETWORK_ERROR..3, E_CV_SHA1_MISMATCH); returns the last
  // result. reply (may be null) is cleared before each try and then holds the
  // service's reply. A record other than "Login" without a token gets the session
  // token. methodVersionNotMatch starts the forced upgrade through the shell adapter.
  // tries < 1: S_OK, nothing sent. A null record: E_POINTER; an unknown task name, or
  // a record whose kind does not fit its name: E_FAIL, nothing sent; E_FAIL before
  // Init. The record's taskState is not touched.
  HRESULT ExecuteTask(TaskDataBase* pTaskData, RecordTree* reply, int32_t tries);

 private:
  // One try: the request or file task named by the record; its result.
  HRESULT Dispatch(TaskDataBase& record, RecordTree* reply);
  HRESULT RunFileTask(TaskDataBase& record);
  void StartForcedUpgrade();

  const TaskFactory m_taskFactory;
  ISyncCenter* m_pSyncCenter = nullptr;
  ILocalStorage* m_pLocalStorage = nullptr;
  IRemoteStorage* m_pRemoteStorage = nullptr;
  std::string m_strToken;
};
