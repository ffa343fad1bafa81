// CHeartbeat: the event centre's thread, which keeps one long poll of the push root open
// at a time (IRemoteStorage::PushNotify with the user id) and hands each answer's
// operation and share versions to the event dispatch (XSpaceChange). Failed polls are
// retried after the policy's back-off; answered ones after its poll pause.
//
// An answer is used only when its "opVer" and "shareVer" are both plain decimals of at
// most 2^53 (ParseServiceVersion): anything else is no version of the service, and
// stored listings would be marked against it. A reply without them counts as a failed
// poll and writes nothing.
//
// Life: Init, StartWork, StopWork, UnInit, all from one thread (the event centre's
// owner). A heartbeat runs once: after StopWork it does not start again.
//
// Threads and ownership: the thread holds its own references on the remote storage and
// the event dispatch until it ends, so it never touches a released object. StopWork
// sets the stop flag, which ends a pause at once and makes the poll's progress callback
// cancel the transfer, and waits for the thread without bound. The token given to Init
// is kept, never sent and never logged.
#pragma once

#include <memory>
#include <string>

#include "common/resultcodes.h"
#include "core/eventcenter/heartbeatpolicy.h"
#include "core/interfaces/taskdata.h"
#include "platform/workerthread.h"

class IEventDispatch;
class IRemoteStorage;

class CHeartbeat {
 public:
  explicit CHeartbeat(const HeartbeatPolicy& policy = HeartbeatPolicy());
  // Stops a thread still running as StopWork does (a heartbeat given up without Stop).
  ~CHeartbeat();
  CHeartbeat(const CHeartbeat&) = delete;
  CHeartbeat& operator=(const CHeartbeat&) = delete;

  // Keeps the token and the user id, and references on both objects. Empty texts and
  // null objects write their assertion lines and are refused (E_INVALIDARG,
  // E_POINTER); E_FAIL while the thread runs. S_OK otherwise.
  HRESULT Init(const std::string& token, const std::string& userId, IRemoteStorage* remoteStorage,
               IEventDispatch* eventDispatch);
  // Starts the thread. S_OK, also when it runs already; E_FAIL before a successful Init,
  // after StopWork, or when no thread can be made ("ERROR_CHECK_BOOLEX:m_hWorkThread").
  HRESULT StartWork();
  // Asks the thread to stop and waits for it without bound: a pending poll is cancelled
  // at the transport's next progress call, a pause ends at once, and no answer is
  // dispatched once the stop is asked. S_OK, also when no thread ran.
  HRESULT StopWork();
  // Asserts that StopWork ran and the thread is gone. S_OK.
  HRESULT UnInit();

 private:
  struct Work;  // what the thread uses, shared with it
  std::shared_ptr<Work> m_work;
  TaskData_GetRemoteOptVer m_tokenRecord;  // holds the session token; never sent
  CWorkerThread m_thread;
};
