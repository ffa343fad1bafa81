#include "core/taskmgr/synctaskmgr.h"

#include <memory>
#include <string_view>
#include <utility>

#include "common/checks.h"
#include "common/log.h"
#include "common/recordtree.h"
#include "core/interfaces/iremotestorage.h"
#include "core/interfaces/isynccenter.h"
#include "core/interfaces/taskdata.h"
#include "shell/ishelladapter.h"

namespace {

// The record as the kind its task name calls for, or null (with a line) when it is
// of another kind: a request never reads a record as what it is not.
template <class T>
const T* RecordAs(const TaskDataBase& record) {
  const T* typed = dynamic_cast<const T*>(&record);
  if (!typed)
    OSTREL_LOG(kLogWarn, "task %s has a record of another kind", record.TasksName().c_str());
  return typed;
}

using Request = HRESULT (*)(IRemoteStorage& remote, const TaskDataBase& record, RecordTree* reply);

// A request slot with a reply record: record, no progress callback, no context, reply.
template <class T, HRESULT (IRemoteStorage::*Slot)(const T&, TransportProgressCallback, void*, RecordTree*)>
HRESULT Send(IRemoteStorage& remote, const TaskDataBase& record, RecordTree* reply) {
  const T* typed = RecordAs<T>(record);
  return typed ? (remote.*Slot)(*typed, nullptr, nullptr, reply) : E_FAIL;
}

// "DeleteFile" and "DeleteDirectory": the first of the two delete slots, which takes
// no reply record.
HRESULT SendDelete(IRemoteStorage& remote, const TaskDataBase& record, RecordTree*) {
  const TaskData_Delete* typed = RecordAs<TaskData_Delete>(record);
  return typed ? remote.Delete(*typed, nullptr, nullptr) : E_FAIL;
}

struct Route {
  std::string_view name;
  Request request;  // null: a file task
};

// Task names, compared exactly, in the order they are tried.
constexpr Route kRoutes[] = {
    {"Dir", &Send<TaskData_Dir, &IRemoteStorage::Dir>},
    {"GetSpace", &Send<TaskData_GetSpace, &IRemoteStorage::GetSpace>},
    {"GetFileInfo", &Send<TaskData_GetItemInfo, &IRemoteStorage::GetItemInfo>},
    {"CreateDirectory", &Send<TaskData_DirectoryAdd, &IRemoteStorage::NewFolder>},
    {"RenameDirectory", &Send<TaskData_Rename, &IRemoteStorage::Rename>},
    {"EditFile", &Send<TaskData_Rename, &IRemoteStorage::Rename>},
    {"MoveDirectory", &Send<TaskData_Move, &IRemoteStorage::Move>},
    {"MoveFile", &Send<TaskData_Move, &IRemoteStorage::Move>},
    {"DeleteDirectory", &SendDelete},
    {"DeleteFile", &SendDelete},
    {"GetRecycle", &Send<TaskData_GetRecycle, &IRemoteStorage::GetRecycle>},
    {"CleanRecycle", &Send<TaskData_CleanRecycle, &IRemoteStorage::CleanRecycle>},
    {"Recover", &Send<TaskData_Recover, &IRemoteStorage::Recover>},
    {"GetAllShareFile", &Send<TaskData_GetAllShareFile, &IRemoteStorage::GetAllShareFile>},
    {"Login", &Send<TaskData_Login, &IRemoteStorage::Login>},
    {"ReLogin", &Send<TaskData_ReLogin, &IRemoteStorage::ReLogin>},
    {"GetRemoteOptVer", &Send<TaskData_GetRemoteOptVer, &IRemoteStorage::GetMaxVers>},
    {"GetThumbnail", &Send<TaskData_GetThumbnail, &IRemoteStorage::GetThumbnail>},
    {"FullTextSearch", &Send<TaskData_FullTextSearch, &IRemoteStorage::FullTextSearch>},
    {"GetMaxVer", &Send<TaskData_GetRemoteOptVer, &IRemoteStorage::GetMaxVers>},
    {"DownloadFile", nullptr},
    {"UpdateFile", nullptr},
    {"UpdateNewFile", nullptr},
};

}  // namespace

CSyncTaskMgr::CSyncTaskMgr(TaskFactory factory) : m_taskFactory(std::move(factory)) {}

HRESULT CSyncTaskMgr::Init(ISyncCenter* pSyncCenter, ILocalStorage* pLocalStorage, IRemoteStorage* pRemoteStorage) {
  ASSERT(pSyncCenter && pLocalStorage && pRemoteStorage);
  if (!(pSyncCenter && pLocalStorage && pRemoteStorage)) return E_POINTER;
  m_pSyncCenter = pSyncCenter;
  m_pLocalStorage = pLocalStorage;
  m_pRemoteStorage = pRemoteStorage;
  m_strToken.clear();

  std::string token;
  HRESULT hr = m_pSyncCenter->GetUserInfo(nullptr, &token, nullptr, nullptr);
  ERROR_CHECK_BOOLEX(hr == S_OK);
  m_strToken = std::move(token);
  return S_OK;
}

HRESULT CSyncTaskMgr::ExecuteTask(TaskDataBase* pTaskData, RecordTree* reply, int32_t tries) {
  ASSERT(pTaskData);
  if (!pTaskData) return E_POINTER;
  if (tries < 1) return S_OK;
  ERROR_CHECK_BOOLEX(m_pRemoteStorage);

  HRESULT hr = S_OK;
  do {
    --tries;
    if (reply) reply->Clear();
    hr = Dispatch(*pTaskData, reply);
  } while (tries > 0 && IsNetworkResult(hr));
  return hr;
}

HRESULT CSyncTaskMgr::Dispatch(TaskDataBase& record, RecordTree* reply) {
  const std::string& name = record.TasksName();
  if (name != "Login" && record.strToken.empty()) record.strToken = m_strToken;

  const Route* route = nullptr;
  for (const Route& r : kRoutes) {
    if (r.name == name) {
      route = &r;
      break;
    }
  }
  if (!route) {
    ASSERT(0);
    OSTREL_LOG(kLogWarn, "no request for task \"%s\"", name.c_str());
    return E_FAIL;
  }

  HRESULT hr = route->request ? route->request(*m_pRemoteStorage, record, reply) : RunFileTask(record);
  if (hr == E_CV_SRV_METHOD_VERSION_NOT_MATCH) StartForcedUpgrade();
  return hr;
}

HRESULT CSyncTaskMgr::RunFileTask(TaskDataBase& record) {
  ERROR_CHECK_BOOLEX_MSG(m_taskFactory, "no task factory for task %s", record.TasksName().c_str());
  std::unique_ptr<ITask> task(m_taskFactory(&record));
  ERROR_CHECK_BOOLEX_MSG(task, "no file task for task %s", record.TasksName().c_str());
  ERROR_CHECK_COM(task->Init(m_pLocalStorage, m_pRemoteStorage, nullptr, 0, 0, this));
  return task->Execute();
}

void CSyncTaskMgr::StartForcedUpgrade() {
  void* object = nullptr;
  HRESULT hr = m_pSyncCenter->GetInterface(IID_IShellAdapter, &object);
  CHECK_COM(hr);
  if (FAILED(hr) || !object) return;
  RefPtr<IShellAdapter> shell = RefPtr<IShellAdapter>::Adopt(static_cast<IShellAdapter*>(object));
  shell->ForceUpgrade();
}
