// IEventCenter: learns of changes made on the service by other clients. Its heartbeat
// thread keeps one long poll of the push root open at a time; each answer's operation
// and share versions become the local storage's cache versions (IEventDispatch), so
// that the next listing of a stale folder goes to the service. Nothing is pushed to
// the windows.
//
// Life: Init (after the other components of the session exist), Start, Stop, UnInit;
// the sync centre calls them in that order from one thread. An event centre runs
// once: the next sign-in makes a new one.
#pragma once

#include <cstdint>

#include "common/unknown.h"

class ISyncCenter;

class IEventCenter : public IUnknown {
 public:
  static constexpr IID kIID = GuidFromString("{6AC03FFE-A957-499F-97F4-BA11FCC0DD7D}");

  // Needs the signed-in user's token and id and the sync centre's remote storage, local
  // storage and task manager; a missing one fails Init with the failure returned.
  virtual HRESULT Init(ISyncCenter* syncCenter) = 0;
  // Expects Stop to have run (asserts otherwise). S_OK.
  virtual HRESULT UnInit() = 0;
  // Starts the heartbeat thread.
  virtual HRESULT Start() = 0;
  // Ends the poll under way (its transfer is cancelled) and waits for the thread without
  // bound; no version is written once Stop has been called. S_OK.
  virtual HRESULT Stop() = 0;

 protected:
  ~IEventCenter() = default;
};

inline constexpr IID IID_IEventCenter = IEventCenter::kIID;

// IEventDispatch: what the heartbeat does with an answer of the push root.
class IEventDispatch : public IUnknown {
 public:
  // Our own identifier: the interface is looked up by no one else.
  static constexpr IID kIID = GuidFromString("{5B0D6F3E-2C7A-4E19-8D4B-6A1F0E9C3B27}");

  // Takes the sync centre's local storage; fails when it or the task manager is missing.
  virtual HRESULT Init(IEventCenter* eventCenter, ISyncCenter* syncCenter) = 0;
  virtual HRESULT UnInit() = 0;
  // Takes the service's versions as the cache versions, also when they are behind the
  // stored ones (ILocalStorage::AdoptServiceVersions); the third value is not read.
  // Called on the heartbeat's thread.
  virtual HRESULT XSpaceChange(int64_t opVer, int64_t shareVer, int64_t unused) = 0;

 protected:
  ~IEventDispatch() = default;
};
