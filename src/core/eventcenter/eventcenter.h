// CEventCenter: the IEventCenter of the sync engine, an event dispatch and a heartbeat
// (see heartbeat.h for the poll, its pacing and its thread).
//
// Init needs a signed-in user (token and user id) and the sync centre's remote storage,
// local storage and task manager; each missing one fails Init with its look-up's
// result. Stop waits for the heartbeat's thread without bound; an event centre released
// without Stop stops its thread first.
#pragma once

#include "common/unknown.h"
#include "core/eventcenter/heartbeat.h"
#include "core/eventcenter/heartbeatpolicy.h"
#include "core/interfaces/ieventcenter.h"

class ISyncCenter;

class CEventCenter final : public CUnknownImpl<IEventCenter> {
 public:
  explicit CEventCenter(const HeartbeatPolicy& policy = HeartbeatPolicy()) : m_heartbeat(policy) {}

  // Makes and initialises the dispatch, then configures the heartbeat with the user's
  // token and id and the remote storage. A failure is returned and logged.
  HRESULT Init(ISyncCenter* syncCenter) override;
  // Uninitialises the dispatch; asserts that Stop ran. S_OK.
  HRESULT UnInit() override;
  // Starts the heartbeat's thread (asserts and returns a failure).
  HRESULT Start() override;
  // Stops the heartbeat and waits for its thread. S_OK.
  HRESULT Stop() override;

 private:
  ~CEventCenter() override = default;

  RefPtr<IEventDispatch> m_pEventDispatch;
  CHeartbeat m_heartbeat;  // destroyed first: its thread ends before the dispatch goes
};

// Makes an event centre with the default pacing and stores it in *ppObj with one
// reference for the caller. S_OK; E_FAIL with nothing stored when ppObj is null or the
// object cannot be made ("ERROR_CHECK_BOOLEX:pEventCenter").
HRESULT CreateEventCenter(IEventCenter** ppObj);
// The same with the heartbeat's pacing and clock taken from policy.
HRESULT CreateEventCenter(IEventCenter** ppObj, const HeartbeatPolicy& policy);
