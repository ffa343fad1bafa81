// NuvraState: the core state record the sync centre keeps and hands out. Records are
// copied whole in and out; nobody holds a pointer into the centre's copy.
#pragma once

#include <cstdint>
#include <string>

// Kinds of state.
inline constexpr uint32_t kNuvraStateCreated = 1;        // nobody has signed in yet
inline constexpr uint32_t kNuvraStateSigningIn = 2;
inline constexpr uint32_t kNuvraStateNotSignedIn = 3;
inline constexpr uint32_t kNuvraStateConflict = 7;       // originPath against currentPath
inline constexpr uint32_t kNuvraStateNetworkLost = 0x10000;
inline constexpr uint32_t kNuvraStateMaintenance = 0x20000;  // title, content, link

// Sub-kinds of kNuvraStateConflict.
inline constexpr uint32_t kConflictVersion = 1;  // "VersionConflict"
inline constexpr uint32_t kConflictName = 2;     // "NameConflict"

// Each text holds at most kNuvraTextMax UTF-16 units (cut on a character boundary).
inline constexpr size_t kNuvraTextMax = 259;

struct NuvraState {
  uint32_t kind = 0;  // 0 in an override record: no override
  uint32_t subKind = 0;
  std::string originPath;   // kind 7: "OrgFullPath"
  std::string currentPath;  // kind 7: "CurFullPath"
  std::string title;        // kind 0x20000: the state page's "Title"
  std::string content;      // kind 0x20000: "Content"
  std::string link;         // kind 0x20000: "URL"

  friend bool operator==(const NuvraState&, const NuvraState&) = default;
};
