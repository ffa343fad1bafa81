// Reply items: what each listing takes over from one item of the service's reply, how
// numbers are read, and which items may be stored.
#include "core/filesystem/replyitem.h"

#include <gtest/gtest.h>

#include "support/testenv.h"

namespace {

// One reply item with every field, shared with two people.
RecordTree FullItem() {
  RecordTree item("item");
  const std::pair<const char*, const char*> fields[] = {
      {"type", "Folder"},       {"name", "Plans"},        {"fileId", "F1"},       {"parentId", "P0"},
      {"sha1", "abc"},          {"modTime", "m-time"},    {"modifier", "bob"},    {"opVer", "41"},
      {"createdTime", "c-time"}, {"shared", "2"},         {"fileVer", "3"},       {"size", "5000000000"},
      {"digest", "a hit"}};
  for (const auto& [k, v] : fields) item.AddValue(k, v);
  RecordTree& ann = item.AddChild("sharer");
  ann.AddValue("nickName", "Ann");
  ann.AddValue("email", "ann@x");
  ann.AddValue("userId", "u-ann");
  ann.AddValue("right", "read,write");
  RecordTree& cy = item.AddChild("SHARER");
  cy.AddValue("nickName", "Cy");
  cy.AddValue("email", "cy@x");
  cy.AddValue("userId", "u-cy");
  cy.AddValue("right", "read");
  item.AddChild("modifier");  // an empty element inside an item reads as a child; never a sharer
  return item;
}

TEST(ReplyItemTest, EachListingTakesOverItsMembers) {
  const std::vector<ShareEntry> both{{"Ann", "u-ann", "ann@x", 3}, {"Cy", "u-cy", "cy@x", 1}};
  const struct {
    const char* listing;
    ReplyItemRule rule;
    uint32_t isDir;
    const char* parentId;
    int32_t shared;
    bool entries;
    const char* digest;
  } rows[] = {
      {"a folder's children", kFolderItemRule, kItemFolder, "P0", 1, false, ""},
      {"shared out or shared with me", kSharedItemRule, kItemFolder, "P0", 1, true, ""},
      {"the recycle bin", kRecycleItemRule, kItemFile, "", 2, false, ""},
      {"search hits", kSearchItemRule, kItemFolder, "P0", 2, false, "a hit"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.listing);
    CFileItemRecord expected;
    expected.bIsDir = row.isDir;
    expected.strSha1 = "abc";
    expected.size = 5000000000;
    expected.opVer = 41;
    expected.fileVer = 3;
    expected.strName = "Plans";
    expected.strParentId = row.parentId;
    expected.strSvrId = "F1";
    expected.strLocalCTime = "c-time";
    expected.strLocalMTime = "m-time";
    expected.strModifier = "bob";
    expected.bShared = row.shared;
    if (row.entries) expected.shareEntries = both;
    expected.strDigest = row.digest;
    EXPECT_EQ(ConvertReplyItem(FullItem(), row.rule), expected);
  }
}

TEST(ReplyItemTest, NumbersAndTypes) {
  const struct {
    const char* type;
    const char* number;  // as size, opVer, fileVer and shared
    uint32_t isDir;
    int64_t size, version;
    int32_t sharedNumber;
  } rows[] = {
      {"folder", "7", kItemFolder, 7, 7, 7},
      {"FOLDER", "0", kItemFolder, 0, 0, 0},
      {"file", "2147483648", kItemFile, 2147483648, 2147483648, 0},  // past 32 bits; shared is 32-bit
      {"deleted", "9007199254740992", kItemFile, 9007199254740992, 9007199254740992, 0},
      {"folders", "9007199254740993", kItemFile, 9007199254740993, 0, 0},  // past 2^53: no version
      {"", "9223372036854775807", kItemFile, 9223372036854775807, 0, 0},
      {"file", "9223372036854775808", kItemFile, 0, 0, 0},
      {"file", "-1", kItemFile, 0, 0, 0},
      {"file", "+1", kItemFile, 0, 0, 0},
      {"file", " 1", kItemFile, 0, 0, 0},
      {"file", "1 ", kItemFile, 0, 0, 0},
      {"file", "0x1", kItemFile, 0, 0, 0},
      {"file", "", kItemFile, 0, 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.type) + " " + row.number);
    RecordTree item("item");
    item.AddValue("type", row.type);
    for (const char* key : {"size", "opVer", "fileVer", "shared"}) item.AddValue(key, row.number);
    CFileItemRecord r = ConvertReplyItem(item, kSearchItemRule);
    EXPECT_EQ(r.bIsDir, row.isDir);
    EXPECT_EQ(r.size, row.size);
    EXPECT_EQ(r.opVer, row.version);
    EXPECT_EQ(r.fileVer, row.version);
    EXPECT_EQ(r.bShared, row.sharedNumber);
    EXPECT_EQ(ConvertReplyItem(item, kFolderItemRule).bShared, row.sharedNumber != 0 ? 1 : 0);
  }
}

TEST(ReplyItemTest, RightsFromTheRightText) {
  const struct { const char* right; uint32_t rights; } rows[] = {
      {"read", kShareRightRead}, {"write", kShareRightWrite}, {"read,write", 3}, {"readwrite", 3},
      {"", 0}, {"READ", 0}, {"none", 0}};
  for (const auto& row : rows) {
    RecordTree item("item");
    item.AddChild("sharer").AddValue("right", row.right);
    CFileItemRecord r;
    ReadShareEntries(item, &r);
    ASSERT_EQ(r.shareEntries.size(), 1u);
    EXPECT_EQ(r.shareEntries[0].rights, row.rights) << row.right;
  }
}

TEST(ReplyItemTest, WhatMayBeStored) {
  const struct { const char* id; const char* name; const char* parent; const char* listed; bool storable; } rows[] = {
      {"f1", "a.txt", "P", "P", true},
      {"f1", "a.txt", "", "", true},
      {"f1", "..a", "P", "P", true},
      {"", "a.txt", "P", "P", false},
      {"f\x01", "a.txt", "P", "P", false},
      {"f1", "", "P", "P", false},
      {"f1", ".", "P", "P", false},
      {"f1", "..", "P", "P", false},
      {"f1", "a/b", "P", "P", false},
      {"f1", "../x", "P", "P", false},
      {"f1", "a.txt", "F1", "P", false},  // its own parent (ids compare without case)
      {"p", "a.txt", "Q", "P", false},    // the folder listed
  };
  for (const auto& row : rows) {
    CFileItemRecord item;
    item.strSvrId = row.id;
    item.strName = row.name;
    item.strParentId = row.parent;
    std::string why;
    EXPECT_EQ(IsStorableItem(item, row.listed, &why), row.storable) << row.id << " " << row.name;
    EXPECT_EQ(why.empty(), row.storable);
  }
  CFileItemRecord nul;
  nul.strSvrId = "f1";
  nul.strName = std::string("a\0b", 3);
  std::string why;
  EXPECT_FALSE(IsStorableItem(nul, "", &why));
}

}  // namespace
