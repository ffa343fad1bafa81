// The records every listing of the engine is made of: the listing kind, one item as
// the engine hands it to the windows, and one entry of an item's share list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The listing kind shared by the file-system facade and the local storage. Each kind
// has its own rows and version counter in the local storage:
//   MyFile        the user's own items                  (table files, CacheVersion)
//   ShareToMe     items that others share to the user   (table shareinfiles, ShareCacheVersion)
//   ShareToOther  own items the user shares out         (rows of files with bshared = 1)
// Other values can be formed by a cast; the components treat them as programming
// errors and say how.
enum class ItemSpace : int {
  MyFile = 1,
  ShareToMe = 2,
  ShareToOther = 3,
};

// Bits of ShareEntry::rights.
inline constexpr uint32_t kShareRightRead = 1;
inline constexpr uint32_t kShareRightWrite = 2;

// One person an item is shared with.
struct ShareEntry {
  std::string nickName;
  std::string userId;
  std::string email;
  uint32_t rights = 0;  // kShareRightRead | kShareRightWrite

  friend bool operator==(const ShareEntry&, const ShareEntry&) = default;
};

// Folder flags of CFileItemRecord::bIsDir.
inline constexpr uint32_t kItemFile = 0;
inline constexpr uint32_t kItemFolder = 1;
inline constexpr uint32_t kItemSharerFolder = 17;  // one sharer's pseudo-folder (shared-with-me root)

// One item of a listing. Default: every number 0, every text empty, no share entries;
// copies are deep.
struct CFileItemRecord {
  uint32_t bIsDir = kItemFile;  // kItemFile, kItemFolder or kItemSharerFolder
  std::string strSha1;          // 40 hex digits of the content; empty for folders
  int64_t size = 0;             // bytes
  int64_t opVer = 0;            // the item's operation version
  int64_t fileVer = 0;          // the content's version
  std::string strLocalPath;     // the item's file in the local cache, when known
  std::string strName;
  std::string strParentId;      // service id of the parent folder ("" for the root)
  std::string strSvrId;         // service id of the item (fileId): the sort and merge key
  std::string strLocalCTime;    // creation time text
  std::string strLocalMTime;    // modification time text
  std::string strModifier;      // who changed it last
  int32_t bShared = 0;          // sharing flag
  std::vector<ShareEntry> shareEntries;
  std::string strDigest;        // text excerpt of a service search hit

  friend bool operator==(const CFileItemRecord&, const CFileItemRecord&) = default;
};
