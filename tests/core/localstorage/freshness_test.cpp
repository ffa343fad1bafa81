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

// Marks are written from the version of the folder's space, each root's into its own
// field (what the marks then mean is the rules above). Clearing the last snapshot empties
// the store, and the roots go stale although the versions stay.
TEST_F(LocalStorageFreshnessTest, MarksTakeTheVersionOfTheirSpaceAndClearingMakesTheRootsStale) {
  ASSERT_EQ(m_store->AddOrUpdateFileItem(Folder("D", "", "d"), ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(Folder("S", "x@y", "s"), ItemSpace::ShareToMe), S_OK);
  ASSERT_EQ(m_store->SetCurCacheVesion(7), S_OK);
  ASSERT_EQ(m_store->SetCurShareCacheVesion(3), S_OK);
  const std::pair<const char*, ItemSpace> marked[] = {{"D", ItemSpace::MyFile}, {"S", ItemSpace::ShareToMe},
                                                      {"nothere", ItemSpace::MyFile}, {"", ItemSpace::MyFile},
                                                      {"", ItemSpace::ShareToMe}, {"", ItemSpace::ShareToOther}};
  for (const auto& [id, space] : marked) {
    if (space == ItemSpace::ShareToOther) {
      EXPECT_TRUE(m_store->FolderNeedUpdate("", space)) << "the other roots' marks left this one alone";
    }
    ASSERT_EQ(m_store->UpdateFolderCacheVesion(id, space), S_OK);
  }
  EXPECT_EQ(Cli("SELECT cacheversion FROM files WHERE svrid = 'D'"), "7\n");
  EXPECT_EQ(Cli("SELECT cacheversion FROM shareinfiles WHERE svrid = 'S'"), "3\n");
  EXPECT_EQ(Field(CLocalStorage::kRootCacheVersion), "7\n");
  EXPECT_EQ(Field(CLocalStorage::kRootShareCacheVersion), "3\n");
  EXPECT_EQ(Field(CLocalStorage::kRootShareOutCacheVersion), "3\n");
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

}  // namespace
