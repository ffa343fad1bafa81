#include "core/filesystem/replyitem.h"

#include <cstdint>
#include <limits>

#include "common/log.h"
#include "common/pathcheck.h"
#include "common/strhelper.h"
#include "common/xmlhelper.h"

namespace {

// A number of the item, or 0 when the text is not one (logged unless it is empty:
// folders and fresh entries may leave numbers out).
int64_t ReadNumber(const RecordTree& item, const char* key, uint64_t max) {
  const std::string text = item.GetValue(key);
  int64_t value = 0;
  if (ParsePlainDecimal(text, max, &value)) return value;
  if (!text.empty())
    OSTREL_LOG(kLogWarn, "CFileSystem: item %s has %s \"%s\", read as 0", item.GetValue("fileId").c_str(), key,
               text.c_str());
  return 0;
}

bool HasText(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

}  // namespace

const RecordTree* FindReplyChild(const RecordTree& node, const std::string& key) {
  for (size_t i = 0; i < node.GetChildCount(); ++i)
    if (StrCompare(node.GetChild(i).GetName(), key, true) == 0) return &node.GetChild(i);
  return nullptr;
}

void ReadShareEntries(const RecordTree& item, CFileItemRecord* record) {
  for (size_t i = 0; i < item.GetChildCount(); ++i) {
    const RecordTree& sharer = item.GetChild(i);
    if (StrCompare(sharer.GetName(), "sharer", true) != 0) continue;
    ShareEntry entry;
    entry.nickName = sharer.GetValue("nickName");
    entry.email = sharer.GetValue("email");
    entry.userId = sharer.GetValue("userId");
    const std::string right = sharer.GetValue("right");
    if (HasText(right, "read")) entry.rights |= kShareRightRead;
    if (HasText(right, "write")) entry.rights |= kShareRightWrite;
    record->shareEntries.push_back(std::move(entry));
  }
}

CFileItemRecord ConvertReplyItem(const RecordTree& item, const ReplyItemRule& rule) {
  CFileItemRecord record;
  if (rule.folderFromType) record.bIsDir = StrCompare(item.GetValue("type"), "folder", true) == 0 ? kItemFolder : kItemFile;
  record.strName = item.GetValue("name");
  record.strSvrId = item.GetValue("fileId");
  if (rule.parentId) record.strParentId = item.GetValue("parentId");
  record.strSha1 = item.GetValue("sha1");
  record.strLocalMTime = item.GetValue("modTime");
  record.strModifier = item.GetValue("modifier");
  record.opVer = ReadNumber(item, "opVer", kMaxServiceVersion);
  record.strLocalCTime = item.GetValue("createdTime");
  const int64_t shared = ReadNumber(item, "shared", std::numeric_limits<int32_t>::max());
  switch (rule.shared) {
    case ReplyItemRule::Shared::kNonZero:
      record.bShared = shared != 0 ? 1 : 0;
      break;
    case ReplyItemRule::Shared::kNumber:
      record.bShared = static_cast<int32_t>(shared);
      break;
    case ReplyItemRule::Shared::kAlways:
      record.bShared = 1;
      break;
  }
  record.fileVer = ReadNumber(item, "fileVer", kMaxServiceVersion);
  record.size = ReadNumber(item, "size", std::numeric_limits<int64_t>::max());
  if (rule.shareEntries) ReadShareEntries(item, &record);
  if (rule.digest) record.strDigest = item.GetValue("digest");
  return record;
}

bool IsStorableItem(const CFileItemRecord& item, const std::string& listedFolderId, std::string* why) {
  if (item.strSvrId.empty() || !IsXmlSafeText(item.strSvrId)) {
    *why = "its fileId is empty or not text";
    return false;
  }
  if (!IsSafePathComponent(item.strName)) {
    *why = "its name is not one path element";
    return false;
  }
  if (StrCompare(item.strSvrId, item.strParentId, true) == 0) {
    *why = "it is its own parent";
    return false;
  }
  if (!listedFolderId.empty() && StrCompare(item.strSvrId, listedFolderId, true) == 0) {
    *why = "it is the folder listed";
    return false;
  }
  return true;
}
