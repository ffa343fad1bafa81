// CNetworkState: the process-wide tracker that turns the transports' reports (network
// usable or not) into override states of the sync centre, and asks a state page
// whether the service is in maintenance. It is created disabled and nothing in the
// system enables it; tests enable it with a sync centre and the page's URL.
//
// Reports come from every thread that runs a transfer. Decisions are made under the
// tracker's lock; the page fetch and the calls into the sync centre happen outside
// it, in the order the decisions were made (the latest decision wins).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "common/unknown.h"
#include "core/interfaces/isynccenter.h"

class CNetworkState {
 public:
  static CNetworkState& GetInstance();

  // One report. A change of the flag clears the override (usable) or sets a
  // kNuvraStateNetworkLost one (not usable). While in maintenance every usable report
  // reads the state page again; otherwise every fourth unusable report does. Returns
  // at once while the tracker is disabled.
  void UpdateNetworkState(bool usable);

  // Enables the tracker: overrides go to syncCenter (a reference is held) and the state
  // page is read from stateUrl (plain http, ".../api_server/"). The state starts over.
  void Enable(ISyncCenter* syncCenter, const std::string& stateUrl);
  // Disables the tracker and releases the sync centre; a page fetch in flight is ignored.
  void Disable();

 private:
  CNetworkState() = default;
  // Reads the state page (at most 10 s) and applies the answer.
  void CheckServiceState(uint64_t epoch, const std::string& url);
  // Sets the override that the sync centre should hold now. Requires the lock.
  void WantOverride(std::optional<NuvraState> record);
  // Brings the sync centre up to the latest wanted override, outside the lock.
  void Deliver();

  std::atomic<bool> m_enabled{false};
  std::mutex m_mutex;
  RefPtr<ISyncCenter> m_syncCenter;
  std::string m_stateUrl;
  uint64_t m_epoch = 0;       // changes with every Enable and Disable
  bool m_lastState = false;   // the last flag reported; not usable at start
  bool m_maintenance = false;
  int32_t m_unusableCount = 0;
  bool m_checking = false;    // a page fetch is running
  std::optional<NuvraState> m_wanted;  // nullopt: no override
  uint64_t m_wantedSeq = 0;
  uint64_t m_appliedSeq = 0;
  bool m_delivering = false;
};
