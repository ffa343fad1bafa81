#include "core/taskmgr/taskexecuter.h"

#include "common/checks.h"
#include "common/log.h"
#include "common/tracestack.h"
#include "shell/ishelladapter.h"

CTaskExecuter::CTaskExecuter(ISyncCenter* syncCenter, ILocalStorage* localStorage, IRemoteStorage* remoteStorage,
                             int tries)
    : m_syncCenter(syncCenter), m_localStorage(localStorage), m_remoteStorage(remoteStorage), m_tries(tries) {}

// The manager joins or gives up on the thread before letting go of the executer; the
// last owner is then either the manager or the thread itself, and m_thread's
// destructor waits for nothing.
CTaskExecuter::~CTaskExecuter() = default;

void CTaskExecuter::StartTask(SharedTaskData record, const std::string& token, const TaskFactory& factory) {
  if (m_task) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !m_pCurrentTask");
  m_record = std::move(record);
  m_reserved10 = m_record->nReserved10;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_record->taskState.eTaskStateType = TS_Running;
  }
  if (token.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(bstrToken)");
  m_record->strToken = token;
  m_task.reset(factory ? factory(m_record.get()) : nullptr);
  if (!m_task) {
    OSTREL_LOG(kLogError, "CTaskExecuter::StartTask() no task for TasksName() = %s", m_record->TasksName().c_str());
    SetFinished(E_FAIL);
    return;
  }
  m_task->Init(m_localStorage.get(), m_remoteStorage.get(), &CTaskExecuter::OnProgress, 0, 0, this);
  std::shared_ptr<CTaskExecuter> self = shared_from_this();
  m_running = true;
  if (!m_thread.Start([self] {
        self->Run();
        self->m_running = false;
      })) {
    m_running = false;
    OSTREL_LOG(kLogError, "%s", "ERROR_CHECK_BOOLEX:m_hWorkThread");
    SetFinished(E_FAIL);
  }
}

void CTaskExecuter::Run() {
  HRESULT hr = E_CV_CURL_CANCEL;  // cancelled before the first try
  TRACE_SCOPE("CTaskCluster::_WorkThread()", &hr);
  // No further try once cancelled: the user asked for the task to end.
  while (m_tries > 0 && !m_cancelled) {
    --m_tries;
    hr = m_task->Execute();
    if (hr == E_CV_TARGET_EXISTS || hr == E_CV_FOLDER_NON_EMPTY)
      OSTREL_LOG(kLogError, "%s", "*ASSERT*: hr != E_CV_TARGET_EXISTS && hr != E_CV_FOLDER_NON_EMPTY && 1");
    if (!IsRetryable(hr)) break;
  }
  // A task cancelled between tries ends as cancelled, not with the failure before it.
  if (m_cancelled && FAILED(hr)) hr = E_CV_CURL_CANCEL;
  SetFinished(hr);
}

void CTaskExecuter::SetFinished(HRESULT hr) {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_record->taskState.eTaskStateType = TS_Finish;
    m_record->taskState.hrResult = hr;
    // From here on the state is read from this copy: once the manager has reaped the
    // run, a retry may hand the record to another executer.
    m_endState = m_record->taskState;
    m_ended = true;
  }
  if (hr == E_CV_SRV_METHOD_VERSION_NOT_MATCH && m_syncCenter) {
    RefPtr<IShellAdapter> shell;
    if (SUCCEEDED(m_syncCenter->GetInterface(IID_IShellAdapter, reinterpret_cast<void**>(shell.Receive()))) && shell)
      shell->ForceUpgrade();
  }
}

void CTaskExecuter::StopTask(std::chrono::milliseconds wait) {
  m_cancelled = true;
  if (m_task) m_task->Cancel(0);
  const bool running = m_thread.Started();  // else there is no run to see end
  if (!m_thread.Join(wait)) {
    OSTREL_LOG(kLogError, "*ASSERT*: CTaskExecuter::_Stop: 线程退出超时，TimeOut = %lld",
               static_cast<long long>(wait == kWaitForever ? -1 : wait.count()));
    return;
  }
  if (running && GetTaskState().hrResult != E_CV_CURL_CANCEL)
    OSTREL_LOG(kLogError, "%s",
               "*ASSERT*: it->second.pTaskExecuter->GetTaskState().hrResult == E_CV_CURL_CANCEL");
}

bool CTaskExecuter::Ended() const { return GetTaskState().eTaskStateType == TS_Finish && !m_running; }

void CTaskExecuter::Join() { m_thread.Join(); }

TaskState CTaskExecuter::GetTaskState() const {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_ended) return m_endState;
  return m_record ? m_record->taskState : TaskState{};
}

TaskListEntry CTaskExecuter::Entry(const std::string& id) const {
  std::lock_guard<std::mutex> lock(m_lock);
  const TaskDataBase& r = *m_record;
  return {id, r.strFullPath, r.nDirection, r.taskState.eTaskStateType, r.taskState.hrResult,
          r.taskState.nDoneSize, r.taskState.nTotalSize, r.nOpenFlags};
}

HRESULT CTaskExecuter::OnProgress(void* context, double dlTotal, double dlNow, double ulTotal, double ulNow,
                                  double) {
  auto* self = static_cast<CTaskExecuter*>(context);
  if (!self) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: pThis");
    return S_OK;
  }
  // An upload reports in the second pair; a download in the first, whatever the
  // other pair holds (a block download's request body is counted as sent).
  std::lock_guard<std::mutex> lock(self->m_lock);
  const bool upload = self->m_record->nDirection != 0;
  self->m_record->taskState.nTotalSize = static_cast<int64_t>(upload ? ulTotal : dlTotal);
  self->m_record->taskState.nDoneSize = static_cast<int64_t>(upload ? ulNow : dlNow);
  return S_OK;
}

bool CTaskExecuter::IsRetryable(HRESULT hr) {
  if (SUCCEEDED(hr)) return false;
  switch (static_cast<uint32_t>(hr)) {
    case 0x80041014:  // cancelled
    case 0x8004101B:  // fileVerConflict
    case 0x8004101D:  // parentNotExist
    case 0x80041019:  // targetNotExist
    case 0x80041020:  // emptyFile
    case 0x8004101A:  // overSpace
    case 0x8004100A:  // serverDenyReadOnly
    case 0x80046002:  // the local file is locked
      return false;
    default:
      return true;
  }
}
