// When a cached listing may be served: the version counters, the marks of the roots
// and folders, clearing the store, and the rule that versions never go backwards.
#include <optional>

#include "storetestutil.h"
#include "support/logcapture.h"

namespace {

class LocalStorageFreshnessTest : public LocalStorageFixture {
 protected:
  void SetField(const char* field, std::optional<int64_t> value) {
    if (value) {
      ASSERT_EQ(GetConfigTable()->SetInt64Item(CLocalStorage::kSection, field, *value), S_OK);
    }
  }
  std::string Field(const char* field) {
    return Cli(std::string("SELECT value FROM config WHERE section = 'LocalStorage' AND field = '") + field + "'");
  }
};

TEST_F(LocalStorageFreshnessTest, RootRules) {
  using V = std::optional<int64_t>;
  const V none;
  const struct { V cache, share, rootCache, rootShare, rootShareOut; bool myFile, shareToMe, shareToOther; } cases[] = {
      // Nothing stored: roots were never listed, so they are stale.
      {none, none, none, none, none, true, true, true},
      {0, 0, none, none, none, true, true, true},
      {0, 0, 0, 0, 0, false, false, false},
      {5, 3, 5, 3, 3, false, false, false},
      {6, 3, 5, 3, 3, true, false, true},   // own items changed: the shared-out root too
      {5, 4, 5, 3, 3, false, true, true},   // shares changed
      {5, 4, 5, 3, 4, false, true, false},  // shared-out root listed at the new share version
      {5, 4, 5, 4, 3, false, false, true},
      {5, 3, 5, 3, none, false, false, true},
      {5, 3, 6, 4, 4, false, false, false},  // marks above the versions
      {3000000000, 1, 2999999999, 1, 1, true, false, true},  // 64-bit counters
      {3000000000, 1, 3000000000, 1, 1, false, false, false},
      {5, 3, -1, -1, -1, true, true, true},  // cleared marks
  };
  for (const auto& c : cases) {
    Cli("DELETE FROM config");
    SetField(CLocalStorage::kCacheVersion, c.cache);
    SetField(CLocalStorage::kShareCacheVersion, c.share);
    SetField(CLocalStorage::kRootCacheVersion, c.rootCache);
    SetField(CLocalStorage::kRootShareCacheVersion, c.rootShare);
    SetField(CLocalStorage::kRootShareOutCacheVersion, c.rootShareOut);
    const std::string where = "case " + std::to_string(&c - cases);
    EXPECT_EQ(m_store->FolderNeedUpdate("", ItemSpace::MyFile), c.myFile) << where;
    EXPECT_EQ(m_store->FolderNeedUpdate("", ItemSpace::ShareToMe), c.shareToMe) << where;
    EXPECT_EQ(m_store->FolderNeedUpdate("", ItemSpace::ShareToOther), c.shareToOther) << where;
  }
}

TEST_F(LocalStorageFreshnessTest, FolderRules) {
  const struct { bool row, isDir; std::optional<int64_t> mark; int64_t current; bool need; } cases[] = {
      // mark none: NULL cacheversion
      {false, true, std::nullopt, 0, true},  // never listed
      {true, true, std::nullopt, 0, true},   // listed as a child, never opened
      {true, true, 0, 0, false},
      {true, true, 4, 5, true},
      {true, true, 5, 5, false},
      {true, true, 6, 5, false},
      {true, false, 5, 5, true},  // a file of that id is no folder
      {true, true, 4000000000, 4000000001, true},
      {true, true, 4000000001, 4000000001, false},
  };
  for (const auto& c : cases) {
    Cli("DELETE FROM files; DELETE FROM config");
    const std::string where = "case " + std::to_string(&c - cases);
    if (c.row) {
      ASSERT_EQ(m_store->AddOrUpdateFileItem(c.isDir ? Folder("D", "", "d") : File("D", "", "d"), ItemSpace::MyFile),
                S_OK);
      if (c.mark) Cli("UPDATE files SET cacheversion = " + std::to_string(*c.mark));
    }
    SetField(CLocalStorage::kCacheVersion, c.current);
    EXPECT_EQ(m_store->FolderNeedUpdate("D", ItemSpace::MyFile), c.need) << where;
    EXPECT_EQ(m_store->FolderNeedUpdate("d", ItemSpace::MyFile), c.need) << where << " (ids ignore case)";
  }
}

// A folder is marked at the version its listing was asked at, never above what the
// store has reached of its space (each root into its own field). Clearing the last
// snapshot empties the store, and the roots go stale although the versions stay.
TEST_F(LocalStorageFreshnessTest, MarksAreTheListingsVersionCappedByTheSpacesAndClearingMakesTheRootsStale) {
  ASSERT_EQ(m_store->AddOrUpdateFileItem(Folder("D", "", "d"), ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(Folder("S", "x@y", "s"), ItemSpace::ShareToMe), S_OK);
  ASSERT_EQ(m_store->SetCurCacheVesion(7), S_OK);
  ASSERT_EQ(m_store->SetCurShareCacheVesion(3), S_OK);
  const std::string dMark = "SELECT cacheversion FROM files WHERE svrid = 'D'";
  const std::string sMark = "SELECT cacheversion FROM shareinfiles WHERE svrid = 'S'";
  const std::string rootMark = "SELECT value FROM config WHERE field = 'RootCacheVersion'";
  const std::string shareRootMark = "SELECT value FROM config WHERE field = 'RootShareCacheVersion'";
  const std::string outRootMark = "SELECT value FROM config WHERE field = 'RootShareOutCacheVersion'";
  const struct {
    const char* id;
    ItemSpace space;
    int64_t listedAt;
    const std::string& markSql;
    const char* mark;
    bool stale;
  } rows[] = {
      {"D", ItemSpace::MyFile, 5, dMark, "5\n", true},  // the version moved on after the listing was asked
      {"D", ItemSpace::MyFile, 7, dMark, "7\n", false},
      {"D", ItemSpace::MyFile, 9, dMark, "7\n", false},  // never above the store's version
      {"S", ItemSpace::ShareToMe, 2, sMark, "2\n", true},
      {"S", ItemSpace::ShareToMe, 8, sMark, "3\n", false},  // its space's version, not the own one
      {"", ItemSpace::MyFile, 6, rootMark, "6\n", true},
      {"", ItemSpace::MyFile, 70, rootMark, "7\n", false},
      {"", ItemSpace::ShareToMe, 4, shareRootMark, "3\n", false},
      {"", ItemSpace::ShareToOther, 1, outRootMark, "1\n", true},
      {"", ItemSpace::ShareToOther, 3, outRootMark, "3\n", false},
  };
  for (const auto& row : rows) {
    const std::string where = std::string("row ") + std::to_string(&row - rows);
    ASSERT_EQ(m_store->UpdateFolderCacheVesion(row.id, row.space, row.listedAt), S_OK) << where;
    EXPECT_EQ(Cli(row.markSql), row.mark) << where;
    EXPECT_EQ(m_store->FolderNeedUpdate(row.id, row.space), row.stale) << where;
  }
  EXPECT_EQ(m_store->UpdateFolderCacheVesion("nothere", ItemSpace::MyFile, 7), S_OK);
  EXPECT_TRUE(m_store->FolderNeedUpdate("nothere", ItemSpace::MyFile)) << "marking creates no row";
  EXPECT_EQ(Ids(), "D\n");

  const ItemSpace spaces[] = {ItemSpace::MyFile, ItemSpace::ShareToMe, ItemSpace::ShareToOther};
  for (ItemSpace space : spaces) EXPECT_FALSE(m_store->FolderNeedUpdate("", space));
  ASSERT_EQ(m_store->ClearLastSnapshot(), S_OK);
  EXPECT_EQ(Cli("SELECT (SELECT count(*) FROM files) + (SELECT count(*) FROM shareinfiles)"), "0\n");
  EXPECT_EQ(m_store->GetCurCacheVesion(0), 7);
  EXPECT_EQ(m_store->GetCurShareCacheVesion(0), 3);
  for (ItemSpace space : spaces) EXPECT_TRUE(m_store->FolderNeedUpdate("", space));
}

TEST_F(LocalStorageFreshnessTest, VersionsNeverGoBack) {
  EXPECT_EQ(m_store->GetCurCacheVesion(-5), -5);
  EXPECT_EQ(m_store->GetCurShareCacheVesion(-6), -6);
  ASSERT_EQ(m_store->SetCurCacheVesion(10), S_OK);
  ASSERT_EQ(m_store->SetCurShareCacheVesion(3000000000), S_OK);
  LogCapture log;
  EXPECT_EQ(m_store->SetCurCacheVesion(7), S_FALSE);
  EXPECT_EQ(m_store->SetCurShareCacheVesion(2), S_FALSE);
  EXPECT_EQ(log.Failures(), 2) << log.All();
  EXPECT_EQ(m_store->GetCurCacheVesion(0), 10);
  EXPECT_EQ(m_store->GetCurShareCacheVesion(0), 3000000000);
  EXPECT_EQ(m_store->SetCurCacheVesion(10), S_OK);
  EXPECT_EQ(m_store->SetCurCacheVesion(12), S_OK);
  EXPECT_EQ(Field(CLocalStorage::kCacheVersion), "12\n");
  EXPECT_EQ(Field(CLocalStorage::kShareCacheVersion), "3000000000\n");
}

// The versions the service has now: taken as they are. Behind the stored ones, every
// stored listing goes stale at once, roots and folders, and the rows stay with a stamp
// below any version (so the next listing's sweep can remove what vanished).
TEST_F(LocalStorageFreshnessTest, AdoptedVersionsBehindTheStoredOnesMakeEveryListingStale) {
  const struct {
    const char* what;
    int64_t opVer, shareVer;
    bool reset;
  } rows[] = {
      {"both ahead", 12, 6, false},
      {"both equal", 10, 5, false},
      {"operation version behind", 9, 6, true},
      {"share version behind", 11, 4, true},
      {"both behind, a service restored from a backup", 3, 1, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Cli("DELETE FROM files; DELETE FROM shareinfiles; DELETE FROM config");
    // Listed at 10 (own) and 5 (shared): the root of each view, one folder and its file.
    ASSERT_EQ(m_store->SetCurCacheVesion(10), S_OK);
    ASSERT_EQ(m_store->SetCurShareCacheVesion(5), S_OK);
    ASSERT_EQ(m_store->AddOrUpdateFileItem(Folder("D", "", "d"), ItemSpace::MyFile), S_OK);
    ASSERT_EQ(m_store->AddOrUpdateFileItem(File("f", "D", "f"), ItemSpace::MyFile), S_OK);
    ASSERT_EQ(m_store->AddOrUpdateFileItem(Folder("S", "x@y", "s"), ItemSpace::ShareToMe), S_OK);
    ASSERT_EQ(m_store->SetFolderViewMode("D", 4, 0, ItemSpace::MyFile), S_OK);
    ASSERT_EQ(m_store->UpdateFolderCacheVesion("D", ItemSpace::MyFile, 10), S_OK);
    ASSERT_EQ(m_store->UpdateFolderCacheVesion("S", ItemSpace::ShareToMe, 5), S_OK);
    for (ItemSpace space : {ItemSpace::MyFile, ItemSpace::ShareToMe, ItemSpace::ShareToOther})
      ASSERT_EQ(m_store->UpdateFolderCacheVesion("", space, 10), S_OK);

    LogCapture log;
    EXPECT_EQ(m_store->AdoptServiceVersions(row.opVer, row.shareVer), S_OK);
    EXPECT_EQ(Field(CLocalStorage::kCacheVersion), std::to_string(row.opVer) + "\n");
    EXPECT_EQ(Field(CLocalStorage::kShareCacheVersion), std::to_string(row.shareVer) + "\n");
    EXPECT_EQ(log.Count("went back"), row.reset ? 1 : 0) << log.All();
    const std::string marks = "SELECT svrid, cacheversion, itemversion FROM files UNION ALL "
                              "SELECT svrid, cacheversion, itemversion FROM shareinfiles ORDER BY 1";
    const std::string rootMarks = "SELECT group_concat(value, ' ') FROM (SELECT value FROM config WHERE field "
                                  "LIKE 'Root%' ORDER BY field)";
    if (row.reset) {
      EXPECT_EQ(Cli(marks), "D||-1\nf||-1\nS||-1\n");
      EXPECT_EQ(Cli(rootMarks), "-1 -1 -1\n");
    } else {
      EXPECT_EQ(Cli(marks), "D|10|10\nf||10\nS|5|5\n");
      EXPECT_EQ(Cli(rootMarks), "10 5 5\n");
    }
    const bool opMoved = row.opVer != 10, shareMoved = row.shareVer != 5;
    EXPECT_EQ(m_store->FolderNeedUpdate("", ItemSpace::MyFile), opMoved);
    EXPECT_EQ(m_store->FolderNeedUpdate("D", ItemSpace::MyFile), opMoved);
    EXPECT_EQ(m_store->FolderNeedUpdate("", ItemSpace::ShareToMe), shareMoved);
    EXPECT_EQ(m_store->FolderNeedUpdate("S", ItemSpace::ShareToMe), shareMoved);
    EXPECT_EQ(m_store->FolderNeedUpdate("", ItemSpace::ShareToOther), opMoved || shareMoved);
    // The rows stay: a view mode, and what a listing from the store would show.
    EXPECT_EQ(m_store->GetFolderViewMode("D", 0, ItemSpace::MyFile), 4);
    std::vector<CFileItemRecord> inD;
    ASSERT_EQ(m_store->GetLastSyncSnapshot("D", &inD, ItemSpace::MyFile), S_OK);
    EXPECT_EQ(inD.size(), 1u);
  }
}

TEST_F(LocalStorageFreshnessTest, AdoptingIntoAnEmptyStoreOrFailingHalfWayResetsNothing) {
  // Nothing stored yet: any version is the first, nothing went back.
  LogCapture log;
  ASSERT_EQ(m_store->AdoptServiceVersions(0, 0), S_OK);
  EXPECT_EQ(Field(CLocalStorage::kCacheVersion), "0\n");
  EXPECT_EQ(log.Count("went back"), 0) << log.All();

  // A write of the reset that fails (a trigger stands for a full disk) keeps the
  // versions, the marks and the stamps as they were.
  ASSERT_EQ(m_store->AdoptServiceVersions(10, 5), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(Folder("D", "", "d"), ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_store->UpdateFolderCacheVesion("D", ItemSpace::MyFile, 10), S_OK);
  ASSERT_EQ(m_store->UpdateFolderCacheVesion("", ItemSpace::MyFile, 10), S_OK);
  Cli("CREATE TRIGGER fail_reset BEFORE UPDATE ON files BEGIN SELECT RAISE(ABORT, 'injected failure'); END");
  const std::string before = Cli("SELECT * FROM config ORDER BY field; SELECT * FROM files");
  EXPECT_EQ(m_store->AdoptServiceVersions(2, 5), E_CV_DB_ERROR);
  EXPECT_EQ(Cli("SELECT * FROM config ORDER BY field; SELECT * FROM files"), before);
  EXPECT_FALSE(m_store->FolderNeedUpdate("D", ItemSpace::MyFile));
  // Once the write goes through, the reset is whole.
  Cli("DROP TRIGGER fail_reset");
  EXPECT_EQ(m_store->AdoptServiceVersions(2, 5), S_OK);
  EXPECT_TRUE(m_store->FolderNeedUpdate("D", ItemSpace::MyFile));
  EXPECT_TRUE(m_store->FolderNeedUpdate("", ItemSpace::MyFile));
}

}  // namespace
