// ISyncCenter: the root object of the sync engine. It keeps the configuration folder,
// the shell adapter, the signed-in user and the engine's components, which find each
// other through GetInterface, and the core state record.
#pragma once

#include <cstdint>
#include <string>

#include "common/unknown.h"
#include "core/interfaces/nuvrastate.h"

class IShellAdapter;
class RecordTree;

class ISyncCenter : public IUnknown {
 public:
  // Our own identifier: the interface is looked up by no one else.
  static constexpr IID kIID = GuidFromString("{3C1E5A52-8F0D-4B7A-9E61-2D4F7B9C0A13}");

  virtual HRESULT Init(const std::string& configFolder, IShellAdapter* shellAdapter) = 0;
  virtual HRESULT UnInit() = 0;
  // Per-user values under the signed-in user's key.
  virtual HRESULT GetUserValue(std::string* value, const std::string& name, const std::string& defaultValue) = 0;
  virtual HRESULT SetUserValue(const std::string& name, const std::string& value) = 0;
  virtual HRESULT Login(const std::string& userName, const std::string& password, int32_t loginMode) = 0;
  // Logs out and forgets the user.
  virtual HRESULT UnBind() = 0;
  virtual HRESULT TryLogin(int32_t unused) = 0;
  // The oldest queued record, else the override record when one is set, else the
  // current record.
  virtual HRESULT GetState(NuvraState* state) = 0;
  // Overwrites the current record, or with queue appends a copy to the queue.
  virtual HRESULT PostState(const NuvraState* state, bool queue) = 0;
  // Builds a record of the kind (kind 7 reads its paths and conflict type from info)
  // and posts it.
  virtual HRESULT PostEvent(uint32_t kind, RecordTree* info, bool queue) = 0;
  // Copies the record into the override record; ClearOverrideState empties it. Both
  // only take the centre's state lock and never call out.
  virtual HRESULT SetOverrideState(const NuvraState* state) = 0;
  virtual HRESULT ClearOverrideState() = 0;
  virtual HRESULT Start() = 0;
  virtual HRESULT Stop() = 0;
  virtual HRESULT GetLocalSyncPath(std::string* path) = 0;
  // S_FALSE and nothing written while nobody is signed in. Each out may be null.
  virtual HRESULT GetUserInfo(std::string* userName, std::string* token, std::string* userId,
                              std::string* nickName) = 0;
  // A new reference to the component with that identifier, or E_FAIL.
  virtual HRESULT GetInterface(GUID iid, void** object) = 0;
  virtual HRESULT CheckProxyServer() = 0;

 protected:
  ~ISyncCenter() = default;
};
