#include "core/eventcenter/heartbeat.h"

#include <algorithm>
#include <atomic>

#include "common/checks.h"
#include "common/recordtree.h"
#include "common/strhelper.h"
#include "common/tracestack.h"
#include "core/interfaces/ieventcenter.h"
#include "core/interfaces/iremotestorage.h"
#include "platform/clock.h"

namespace {

// Failures in a row are counted up to here; the back-off has long reached its cap.
constexpr int kMaxCountedFailures = 1000;

}  // namespace

struct CHeartbeat::Work {
  explicit Work(const HeartbeatPolicy& p) : policy(p) {}

  // Written by Init while no thread runs; read by the thread.
  HeartbeatPolicy policy;
  RefPtr<IRemoteStorage> remoteStorage;
  RefPtr<IEventDispatch> eventDispatch;
  TaskData_PushNotify pushRecord;
  // Set once by StopWork (or the destructor); read by the thread and the progress callback.
  CStopFlag stop;

  void Run();
  // One poll. S_OK with both versions read; the remote storage's failure, or E_FAIL for
  // a reply whose versions are not valid.
  HRESULT PushNotify(int64_t* opVer, int64_t* shareVer, std::string* deviceId);
  // Pauses for d; false when a stop was asked before or during the pause.
  bool Pause(std::chrono::milliseconds d);
  // Cancels the poll's transfer once a stop is asked; context is the stop flag.
  static HRESULT Progress(void* context, double, double, double, double, double) {
    return static_cast<const CStopFlag*>(context)->IsStopped() ? E_FAIL : S_OK;
  }
};

bool CHeartbeat::Work::Pause(std::chrono::milliseconds d) {
  if (stop.IsStopped()) return false;
  if (d.count() <= 0) return true;
  if (!policy.clock) return stop.WaitFor(d);
  policy.clock->SleepFor(d);
  return !stop.IsStopped();
}

HRESULT CHeartbeat::Work::PushNotify(int64_t* opVer, int64_t* shareVer, std::string* deviceId) {
  RecordTree reply;
  HRESULT hr = remoteStorage->PushNotify(pushRecord, &Work::Progress, &stop, &reply);
  if (FAILED(hr)) {
    CHECK_COM(hr);
    return hr;
  }
  const std::string strOpVer = reply.GetValue("opVer");
  const std::string strShareVer = reply.GetValue("shareVer");
  *deviceId = reply.GetValue("deviceId");
  if (deviceId->empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(strDeviceIdRemote)");
  ERROR_CHECK_BOOLEX(ParseServiceVersion(strOpVer, opVer));
  ERROR_CHECK_BOOLEX(ParseServiceVersion(strShareVer, shareVer));
  return S_OK;
}

void CHeartbeat::Work::Run() {
  HRESULT result = S_OK;
  TRACE_SCOPE("CHeartbeat::_WorkThread()", &result);
  if (!Pause(policy.firstPollDelay)) return;
  int failures = 0;
  while (!stop.IsStopped()) {
    int64_t opVer = 0;
    int64_t shareVer = 0;
    std::string deviceId;
    HRESULT hr = PushNotify(&opVer, &shareVer, &deviceId);
    std::chrono::milliseconds pause = policy.pollPause;
    if (SUCCEEDED(hr)) {
      failures = 0;
      if (stop.IsStopped()) break;  // no write once a stop is asked
      eventDispatch->XSpaceChange(opVer, shareVer, 0);
    } else {
      CHECK_COM(hr);
      failures = std::min(failures + 1, kMaxCountedFailures);
      pause = BackoffDelay(policy.backoff, failures);
    }
    if (!Pause(pause)) break;
  }
}

CHeartbeat::CHeartbeat(const HeartbeatPolicy& policy) : m_work(std::make_shared<Work>(policy)) {}

CHeartbeat::~CHeartbeat() {
  m_work->stop.Stop();
  m_thread.Join(kWaitForever);
}

HRESULT CHeartbeat::Init(const std::string& token, const std::string& userId, IRemoteStorage* remoteStorage,
                         IEventDispatch* eventDispatch) {
  if (token.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(szToken)");
  if (userId.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(szUserId)");
  if (!remoteStorage || !eventDispatch) OSTREL_LOG(kLogError, "%s", "*ASSERT*: pRemoteStorage && pEventDispatch");
  HRESULT hr = E_FAIL;
  TRACE_SCOPE("CHeartbeat::Init()", &hr);
  if (token.empty() || userId.empty()) return hr = E_INVALIDARG;
  if (!remoteStorage || !eventDispatch) return hr = E_POINTER;
  if (m_thread.Started()) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:!m_hWorkThread");
    return hr = E_FAIL;
  }
  m_tokenRecord.strToken = token;
  m_work->pushRecord.strUserId = userId;
  m_work->remoteStorage = RefPtr<IRemoteStorage>(remoteStorage);
  m_work->eventDispatch = RefPtr<IEventDispatch>(eventDispatch);
  return hr = S_OK;
}

HRESULT CHeartbeat::StartWork() {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE("CHeartbeat::StartWork()", &hr);
  if (m_thread.Started()) return hr = S_OK;
  if (!m_work->remoteStorage || !m_work->eventDispatch) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:m_pRemoteStorage && m_pEventDispatch");
    return hr = E_FAIL;
  }
  if (m_work->stop.IsStopped()) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:!m_bShouldStop");
    return hr = E_FAIL;
  }
  std::shared_ptr<Work> work = m_work;
  if (!m_thread.Start([work] { work->Run(); })) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:m_hWorkThread");
    return hr = E_FAIL;
  }
  return hr = S_OK;
}

HRESULT CHeartbeat::StopWork() {
  HRESULT hr = S_OK;
  TRACE_SCOPE("CHeartbeat::StopWork()", &hr);
  m_work->stop.Stop();
  m_thread.Join(kWaitForever);
  return hr;
}

HRESULT CHeartbeat::UnInit() {
  if (!m_work->stop.IsStopped()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: m_bShouldStop");
  if (m_thread.Started()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !m_hWorkThread");
  return S_OK;
}
