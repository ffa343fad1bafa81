// CEventDispatch: the IEventDispatch of the event centre. It writes the versions the
// heartbeat learns into the local storage as the service's current versions.
//
// Init runs before the heartbeat starts; XSpaceChange then comes from the heartbeat's
// thread, UnInit from the owner's. The local storage is held by reference from Init
// until the object goes (UnInit keeps it), so a write made while the owner tears down
// never reaches a released store. The event centre and sync centre pointers are kept
// without references and are not called after Init.
#pragma once

#include <cstdint>
#include <mutex>

#include "common/unknown.h"
#include "core/interfaces/ieventcenter.h"
#include "core/interfaces/ilocalstorage.h"

class ISyncCenter;

class CEventDispatch final : public CUnknownImpl<IEventDispatch> {
 public:
  CEventDispatch() = default;

  // Keeps both pointers and takes the sync centre's local storage; checks that it has a
  // task manager. The look-up's failure (logged) is returned when either is missing;
  // E_FAIL for a null sync centre.
  HRESULT Init(IEventCenter* pEvnetCenter, ISyncCenter* syncCenter) override;
  // Writes its trace only. S_OK.
  HRESULT UnInit() override;
  // Hands both versions to the local storage's AdoptServiceVersions (versions behind
  // the stored ones make every stored listing stale); its result is not read. S_OK;
  // E_FAIL before a successful Init. Any thread.
  HRESULT XSpaceChange(int64_t opVer, int64_t shareVer, int64_t unused) override;

 private:
  ~CEventDispatch() override = default;

  std::mutex m_mutex;  // the three below; never held across a call out
  IEventCenter* m_pEventCenter = nullptr;
  ISyncCenter* m_pSyncCenter = nullptr;
  RefPtr<ILocalStorage> m_pLocalStorage;
};

// Makes an event dispatch and stores it in *ppObj with one reference for the caller.
// S_OK; E_FAIL with nothing stored when ppObj is null or the object cannot be made
// ("ERROR_CHECK_BOOLEX:pEventDispatch").
HRESULT CreateEventDispatch(IEventDispatch** ppObj);
