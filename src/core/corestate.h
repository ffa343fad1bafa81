// CCoreState: the sync centre's state record holder. It keeps the current record,
// an override record and a queue of records, and hands them out in this order: the
// oldest queued record (each is delivered once), else the override record while one
// is set, else the current record.
//
// Any thread may call any operation; each one is atomic with respect to the others
// (one lock, held only while records are copied). Records are copied in and out
// whole, with every text cut to kNuvraTextMax UTF-16 units, so nobody holds a pointer
// into the holder.
#pragma once

#include <deque>
#include <mutex>

#include "core/interfaces/nuvrastate.h"

class RecordTree;

class CCoreState {
 public:
  // The current record has kind kNuvraStateCreated; no override, an empty queue.
  CCoreState();
  CCoreState(const CCoreState&) = delete;
  CCoreState& operator=(const CCoreState&) = delete;

  // Without queue the record replaces the current record; with queue a copy is
  // appended to the queue, which has no bound.
  void PostState(const NuvraState& state, bool queue);
  // The oldest queued record (removed from the queue), else the override record when
  // its kind is not 0, else the current record.
  NuvraState GetState();
  // Sets the override record; a record of kind 0 means no override.
  void SetOverrideState(const NuvraState& state);
  // Zeroes the whole override record.
  void ClearOverrideState();

 private:
  std::mutex m_lock;
  NuvraState m_current;
  NuvraState m_override;
  std::deque<NuvraState> m_queue;
};

// The record an event of this kind posts: a zeroed record with the kind. A conflict
// (kNuvraStateConflict) also takes from info the values "OrgFullPath" and
// "CurFullPath" (each asserted non-empty and at most 260 UTF-16 units; a longer one
// is cut to kNuvraTextMax units) and "ConflictType" ("VersionConflict" gives
// kConflictVersion, "NameConflict" kConflictName, compared exactly; anything else is
// asserted and gives 0). A conflict without info is asserted and carries no paths.
NuvraState BuildEventState(uint32_t kind, const RecordTree* info);
