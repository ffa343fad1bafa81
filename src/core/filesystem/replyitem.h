// Reply items: how one item of a service listing (a child node of the reply, with named
// values and "sharer" children) becomes a CFileItemRecord, per kind of listing, and
// whether an item may be stored in the local storage.
#pragma once

#include <string>

#include "common/recordtree.h"
#include "core/interfaces/fileitemrecord.h"

// How a listing takes an item over. Every listing copies the name, fileId, sha1,
// modTime, modifier and createdTime texts and reads opVer, fileVer and size.
struct ReplyItemRule {
  // The folder flag from "type" ("folder", ASCII case ignored); else always a file.
  bool folderFromType = true;
  // The parentId text; else left empty.
  bool parentId = true;
  enum class Shared {
    kNonZero,  // 1 when the "shared" number is not 0, else 0
    kNumber,   // the "shared" number as it stands
    kAlways,   // always 1 (the item was listed as shared)
  } shared = Shared::kNonZero;
  // The "sharer" children as share entries.
  bool shareEntries = false;
  // The "digest" text of a search hit.
  bool digest = false;
};

// The rules of the listings: a folder's children; the items shared out or shared with
// the user (the shared-with-me view then sets parentId to the sharer's email); the
// recycle bin; the service's search hits.
inline constexpr ReplyItemRule kFolderItemRule{};
inline constexpr ReplyItemRule kSharedItemRule{true, true, ReplyItemRule::Shared::kAlways, true, false};
inline constexpr ReplyItemRule kRecycleItemRule{false, false, ReplyItemRule::Shared::kNumber, false, false};
inline constexpr ReplyItemRule kSearchItemRule{true, true, ReplyItemRule::Shared::kNumber, false, true};

// The record of one reply item under the rule. Sizes are 64-bit plain decimals and
// versions plain decimals of at most 2^53 (ParseServiceVersion); a number that is not
// one reads as 0 (with a log line when it was not empty). Never fails.
CFileItemRecord ConvertReplyItem(const RecordTree& item, const ReplyItemRule& rule);

// Appends a ShareEntry for every child of the item named "sharer" (ASCII case ignored):
// nickName, email and userId copied, and rights 1 when its "right" text holds "read",
// plus 2 when it holds "write".
void ReadShareEntries(const RecordTree& item, CFileItemRecord* record);

// The first child of the node whose name equals key (ASCII case ignored), or null.
const RecordTree* FindReplyChild(const RecordTree& node, const std::string& key);

// Whether a listed item may be stored in the local storage, from which later listings,
// transfers and folder walks take it: its fileId must be non-empty text that can travel
// as XML, its name one safe path element (not empty, ".", "..", no "/", no NUL), and it
// must be neither its own parent nor the folder being listed (ids compared as the store
// does: ASCII case ignored). listedFolderId "" is a root. False, with *why set, else.
bool IsStorableItem(const CFileItemRecord& item, const std::string& listedFolderId, std::string* why);
