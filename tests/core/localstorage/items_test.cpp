// Items in and out of the store: round trips of every member, hostile ids, names and
// search texts, keys, share lists, search merging, version updates, the data checks
// of stored rows and the handling of an unknown item space.
#include "storetestutil.h"
#include "support/logcapture.h"

namespace {

class LocalStorageItemsTest : public LocalStorageFixture {};

TEST_F(LocalStorageItemsTest, EveryMemberRoundTrips) {
  ASSERT_EQ(m_store->SetCurCacheVesion(3000000000), S_OK);
  CFileItemRecord file = File("F1", "D1", "report, final.pdf");
  file.size = 5000000000;       // above 4 GiB
  file.fileVer = 4000000000;    // above 2^31
  file.opVer = 99;              // not kept: reads back as 0
  file.strLocalPath = "/cache/report.pdf";
  file.strModifier = "nobody";  // not kept
  file.bShared = 1;
  file.shareEntries = {{"Ann, the first", "u1", "ann@x.org", kShareRightRead},
                       {"Bob|Builder", "u2", "bob@x.org", kShareRightRead | kShareRightWrite}};
  ASSERT_EQ(m_store->AddOrUpdateFileItem(file, ItemSpace::MyFile), S_OK);

  CFileItemRecord read;
  ASSERT_EQ(m_store->GetItemInfo("F1", &read, ItemSpace::MyFile), S_OK);
  EXPECT_EQ(read, Stored(file));
  // The stored bytes, as the shell reads them.
  EXPECT_EQ(Cli("SELECT isdir, size, fileversion, svrparentid, localpath, localname, bshared, itemversion, "
                "cacheversion IS NULL, version IS NULL, viewmode IS NULL FROM files"),
            "0|5000000000|4000000000|D1|/cache/report.pdf|report, final.pdf|1|3000000000|1|1|1\n");
  // Separators inside the texts are escaped, so that the entries read back exactly.
  EXPECT_EQ(Cli("SELECT sharers FROM files"), "|u1,1,ann@x.org,Ann%2C the first|u2,3,bob@x.org,Bob%7CBuilder\n");

  std::vector<CFileItemRecord> listed;
  ASSERT_EQ(m_store->GetLastSyncSnapshot("D1", &listed, ItemSpace::MyFile), S_OK);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0], Stored(file));

  // An update rewrites the row in place.
  file.strName = "renamed.pdf";
  file.shareEntries.clear();
  ASSERT_EQ(m_store->AddOrUpdateFileItem(file, ItemSpace::MyFile), S_OK);
  EXPECT_EQ(Cli("SELECT count(*), localname, sharers FROM files"), "1|renamed.pdf|\n");
}

TEST_F(LocalStorageItemsTest, HostileTextsRoundTripAndHarmNothing) {
  const std::string texts[] = {"'", "'; DROP TABLE files; --", "%", "_", "O'Brien", "\\", "a\"b", "50%_off"};
  for (const std::string& t : texts) {
    CFileItemRecord folder = Folder("dir" + t, t, "folder " + t);
    CFileItemRecord file = File(t, "dir" + t, t);
    file.strSha1 = t;
    file.strLocalCTime = t;
    file.strLocalMTime = t;
    file.strLocalPath = t;
    file.shareEntries = {{t, "u" + t, t, kShareRightRead}};
    ASSERT_EQ(m_store->AddOrUpdateFileItem(folder, ItemSpace::MyFile), S_OK) << t;
    ASSERT_EQ(m_store->AddOrUpdateFileItem(file, ItemSpace::MyFile), S_OK) << t;
    ASSERT_EQ(m_store->AddOrUpdateFileItem(file, ItemSpace::ShareToMe), S_OK) << t;

    CFileItemRecord read;
    ASSERT_EQ(m_store->GetItemInfo(t, &read, ItemSpace::MyFile), S_OK) << t;
    EXPECT_EQ(read, Stored(file)) << t;
    std::vector<CFileItemRecord> listed;
    ASSERT_EQ(m_store->GetLastSyncSnapshot("dir" + t, &listed, ItemSpace::MyFile), S_OK) << t;
    ASSERT_EQ(listed.size(), 1u) << t;
    EXPECT_EQ(listed[0].strSvrId, t);
    std::vector<ShareEntry> rights;
    ASSERT_EQ(m_store->GetItemShareRight(t, &rights, ItemSpace::ShareToMe), S_OK) << t;
    EXPECT_EQ(rights, file.shareEntries);
    ASSERT_EQ(m_store->UpdateFolderCacheVesion("dir" + t, ItemSpace::MyFile, 3000000000), S_OK) << t;
    EXPECT_FALSE(m_store->FolderNeedUpdate("dir" + t, ItemSpace::MyFile)) << t;
    ASSERT_EQ(m_store->SetFolderViewMode("dir" + t, 3, 0, ItemSpace::MyFile), S_OK) << t;
    EXPECT_EQ(m_store->GetFolderViewMode("dir" + t, 0, ItemSpace::MyFile), 3) << t;
    ASSERT_EQ(m_store->UpdateFileVersion(t, 11, 12, "ab"), S_OK) << t;
  }
  const size_t n = std::size(texts);
  EXPECT_EQ(Cli("SELECT count(*) FROM files"), std::to_string(2 * n) + "\n");
  EXPECT_EQ(Cli("SELECT count(*) FROM shareinfiles"), std::to_string(n) + "\n");
  EXPECT_EQ(Cli("SELECT localname FROM files WHERE svrid = '''; DROP TABLE files; --'"),
            "'; DROP TABLE files; --\n");

  for (const std::string& t : texts) {
    ASSERT_EQ(m_store->DeleteFileItem(t, ItemSpace::MyFile), S_OK) << t;
    ASSERT_EQ(m_store->DeleteFoldItem("dir" + t, ItemSpace::MyFile), S_OK) << t;
  }
  EXPECT_EQ(Cli("SELECT count(*) FROM files"), "0\n");
  EXPECT_EQ(Cli("SELECT count(*) FROM shareinfiles"), std::to_string(n) + "\n");
}

TEST_F(LocalStorageItemsTest, SearchMatchesLiterallyAndMergesBothTables) {
  const char* names[] = {"100%", "1000", "a_b", "axb", "O'Brien", "o'brien.txt", "plain"};
  int k = 0;
  for (const char* name : names) {
    std::string id = "id" + std::to_string(9 - k++);
    ASSERT_EQ(m_store->AddOrUpdateFileItem(File(id, "", name), ItemSpace::MyFile), S_OK);
  }
  const struct { std::string text; std::vector<std::string> names; } cases[] = {  // names in id order
      {"%", {"100%"}},
      {"_", {"a_b"}},
      {"'", {"o'brien.txt", "O'Brien"}},
      {"O'B", {"o'brien.txt", "O'Brien"}},  // ASCII letters without case
      {"00", {"1000", "100%"}},
      {"", {"plain", "o'brien.txt", "O'Brien", "axb", "a_b", "1000", "100%"}},
      {"nothing", {}},
  };
  for (const auto& c : cases) {
    std::vector<CFileItemRecord> hits;
    ASSERT_EQ(m_store->LocalFullTextSearch(c.text, &hits), S_OK) << c.text;
    std::vector<std::string> got;
    for (const CFileItemRecord& h : hits) got.push_back(h.strName);
    EXPECT_EQ(got, c.names) << c.text;
  }

  // An id in both tables is listed once, from files; the union is in id order.
  CFileItemRecord shared = File("id7", "x@y", "shared copy of a_b");
  ASSERT_EQ(m_store->AddOrUpdateFileItem(shared, ItemSpace::ShareToMe), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(File("id0", "x@y", "only shared a_b"), ItemSpace::ShareToMe), S_OK);
  std::vector<CFileItemRecord> hits;
  ASSERT_EQ(m_store->LocalFullTextSearch("a_b", &hits), S_OK);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].strSvrId, "id0");
  EXPECT_EQ(hits[1].strSvrId, "id7");
  EXPECT_EQ(hits[1].strName, "a_b");
  // Search results carry neither path text nor share list.
  EXPECT_TRUE(hits[1].strLocalPath.empty());
}

TEST_F(LocalStorageItemsTest, KeysAreIdAndFolderFlag) {
  ASSERT_EQ(m_store->AddOrUpdateFileItem(Folder("X", "", "a folder"), ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(File("X", "", "a file"), ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(File("x", "", "the file again"), ItemSpace::MyFile), S_OK);  // ids ignore case
  EXPECT_EQ(Cli("SELECT isdir, localname FROM files ORDER BY isdir"), "0|the file again\n1|a folder\n");

  // A sharer's pseudo-folder is stored as a folder: found again, marked and swept.
  CFileItemRecord sharer = Folder("ann@x.org", "", "Ann(ann@x.org)");
  sharer.bIsDir = kItemSharerFolder;
  ASSERT_EQ(m_store->AddOrUpdateFileItem(sharer, ItemSpace::ShareToMe), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(sharer, ItemSpace::ShareToMe), S_OK);
  EXPECT_EQ(Cli("SELECT isdir, count(*) FROM shareinfiles"), "1|1\n");
  ASSERT_EQ(m_store->SetCurShareCacheVesion(4), S_OK);
  EXPECT_TRUE(m_store->FolderNeedUpdate("ann@x.org", ItemSpace::ShareToMe));
  ASSERT_EQ(m_store->UpdateFolderCacheVesion("ann@x.org", ItemSpace::ShareToMe, 4), S_OK);
  EXPECT_FALSE(m_store->FolderNeedUpdate("ann@x.org", ItemSpace::ShareToMe));
}

TEST_F(LocalStorageItemsTest, ShareRightComesFromTheNearestListedAncestor) {
  CFileItemRecord top = Folder("T", "", "top");
  top.shareEntries = {{"Ann", "u1", "ann@x.org", kShareRightRead | kShareRightWrite}};
  ASSERT_EQ(m_store->AddOrUpdateFileItem(top, ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(Folder("M", "T", "middle"), ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(File("F", "M", "leaf.txt"), ItemSpace::MyFile), S_OK);
  CFileItemRecord own = File("G", "M", "own.txt");
  own.shareEntries = {{"Bob", "u2", "bob@x.org", kShareRightRead}};
  ASSERT_EQ(m_store->AddOrUpdateFileItem(own, ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(File("L", "", "loose.txt"), ItemSpace::MyFile), S_OK);

  std::vector<ShareEntry> entries;
  ASSERT_EQ(m_store->GetItemShareRight("F", &entries, ItemSpace::MyFile), S_OK);
  EXPECT_EQ(entries, top.shareEntries);
  entries.clear();
  ASSERT_EQ(m_store->GetItemShareRight("G", &entries, ItemSpace::MyFile), S_OK);
  EXPECT_EQ(entries, own.shareEntries);
  EXPECT_EQ(m_store->GetItemShareRight("L", &entries, ItemSpace::MyFile), E_FAIL);
  EXPECT_EQ(m_store->GetItemShareRight("unknown", &entries, ItemSpace::MyFile), E_FAIL);

  // Stored folders that loop (a server can send them) end the climb.
  ASSERT_EQ(m_store->AddOrUpdateFileItem(Folder("A", "B", "a"), ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(Folder("B", "a", "b"), ItemSpace::MyFile), S_OK);  // "a" is A
  ASSERT_EQ(m_store->AddOrUpdateFileItem(Folder("S", "S", "self"), ItemSpace::MyFile), S_OK);
  LogCapture log;
  EXPECT_EQ(m_store->GetItemShareRight("A", &entries, ItemSpace::MyFile), E_FAIL);
  EXPECT_EQ(m_store->GetItemShareRight("S", &entries, ItemSpace::MyFile), E_FAIL);
  EXPECT_GE(log.Failures(), 2) << log.All();
}

TEST_F(LocalStorageItemsTest, UpdateFileVersionFindsTheTable) {
  ASSERT_EQ(m_store->AddOrUpdateFileItem(File("both", "", "in files"), ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(File("both", "x@y", "in shareinfiles"), ItemSpace::ShareToMe), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(File("mine", "", "only files"), ItemSpace::MyFile), S_OK);
  EXPECT_EQ(m_store->UpdateFileVersion("both", 6000000000, 5000000000, "bb"), S_OK);
  EXPECT_EQ(m_store->UpdateFileVersion("mine", 1, 2, "cc"), S_OK);
  EXPECT_EQ(m_store->UpdateFileVersion("nowhere", 1, 2, "dd"), S_FALSE);
  EXPECT_EQ(Cli("SELECT svrid, size, fileversion, sha1 FROM shareinfiles"), "both|6000000000|5000000000|bb\n");
  EXPECT_EQ(Cli("SELECT svrid, size, fileversion, sha1 FROM files ORDER BY svrid"),
            "both|7|2|da39a3ee5e6b4b0d3255bfef95601890afd80709\nmine|1|2|cc\n");
}

TEST_F(LocalStorageItemsTest, StoredRowsThatFailTheirChecks) {
  ASSERT_EQ(m_store->AddOrUpdateFileItem(File("ok", "P", "fine.txt"), ItemSpace::MyFile), S_OK);
  // A row with an empty svrid is only met by a listing.
  for (const char* damage : {"sha1 = NULL", "local_ctime = NULL", "local_mtime = NULL", "svrid = ''"}) {
    ASSERT_EQ(m_store->AddOrUpdateFileItem(File("bad", "P", "bad.txt"), ItemSpace::MyFile), S_OK);
    Cli(std::string("UPDATE files SET ") + damage + " WHERE svrid = 'bad'");
    LogCapture log;
    if (std::string(damage).ends_with("NULL")) {
      CFileItemRecord item;
      EXPECT_EQ(m_store->GetItemInfo("bad", &item, ItemSpace::MyFile), E_FAIL) << damage;
      EXPECT_GT(log.Failures(), 0) << damage;
      log.Clear();
    }
    std::vector<CFileItemRecord> listed{Folder("earlier", "", "kept")};
    if (std::string(damage).starts_with("sha1")) {
      // A file without SHA-1 (the service lists a file made empty so) is listed all the same.
      EXPECT_EQ(m_store->GetLastSyncSnapshot("P", &listed, ItemSpace::MyFile), S_OK);
      ASSERT_EQ(listed.size(), 3u);
      EXPECT_EQ((listed[1].strSvrId == "bad" ? listed[1] : listed[2]).strSha1, "");
    } else {
      EXPECT_EQ(m_store->GetLastSyncSnapshot("P", &listed, ItemSpace::MyFile), E_FAIL) << damage;
      EXPECT_GT(log.Failures(), 0) << damage;
      EXPECT_EQ(listed.size(), 1u) << "a failed listing appends nothing";
    }
    Cli("DELETE FROM files WHERE svrid IN ('bad', '')");
  }
}

TEST_F(LocalStorageItemsTest, SpacesPickTheirRows) {
  CFileItemRecord out = File("O", "", "shared out.txt");
  out.bShared = 1;
  ASSERT_EQ(m_store->AddOrUpdateFileItem(out, ItemSpace::ShareToOther), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(File("P", "", "private.txt"), ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(File("S", "", "shared to me.txt"), ItemSpace::ShareToMe), S_OK);
  auto names = [&](ItemSpace space) {
    std::vector<CFileItemRecord> items;
    EXPECT_EQ(m_store->GetLastSyncSnapshot("", &items, space), S_OK);
    std::string text;
    for (const CFileItemRecord& i : items) text += i.strName + ";";
    return text;
  };
  EXPECT_EQ(names(ItemSpace::MyFile), "shared out.txt;private.txt;");
  EXPECT_EQ(names(ItemSpace::ShareToOther), "shared out.txt;");
  EXPECT_EQ(names(ItemSpace::ShareToMe), "shared to me.txt;");

  // An unknown space: writes run no SQL and say S_FALSE, reads fall back to files.
  const ItemSpace unknown = static_cast<ItemSpace>(9);
  LogCapture log;
  const std::string before = Ids() + Ids("shareinfiles");
  EXPECT_EQ(m_store->AddOrUpdateFileItem(File("U", "", "u.txt"), unknown), S_FALSE);
  EXPECT_EQ(m_store->DeleteFoldItem("P", unknown), S_FALSE);
  EXPECT_EQ(m_store->ClearOldFileItem("", unknown), S_FALSE);
  EXPECT_EQ(Ids() + Ids("shareinfiles"), before);
  EXPECT_EQ(names(unknown), "shared out.txt;private.txt;");
  EXPECT_GE(log.Count("*ASSERT*: 0"), 4);
}

TEST_F(LocalStorageItemsTest, ViewModes) {
  // A folder's own mode is in its row (see the hostile texts); without a row nothing is
  // stored.
  EXPECT_EQ(m_store->SetFolderViewMode("none", 2, 0, ItemSpace::MyFile), S_OK);
  EXPECT_EQ(m_store->GetFolderViewMode("none", 0, ItemSpace::MyFile), 0);
  // Root views by key, in the config section.
  EXPECT_EQ(m_store->SetFolderViewMode("", 5, 1001, ItemSpace::MyFile), S_OK);
  EXPECT_EQ(m_store->SetFolderViewMode("", 6, 1002, ItemSpace::ShareToMe), S_OK);
  EXPECT_EQ(m_store->GetFolderViewMode("", 1001, ItemSpace::MyFile), 5);
  EXPECT_EQ(m_store->GetFolderViewMode("", 1002, ItemSpace::ShareToMe), 6);
  EXPECT_EQ(m_store->GetFolderViewMode("", 1003, ItemSpace::MyFile), 0);
  EXPECT_EQ(Cli("SELECT field, value FROM config WHERE section = 'LocalStorage' ORDER BY field"),
            "1001|5\n1002|6\n");
}

}  // namespace
