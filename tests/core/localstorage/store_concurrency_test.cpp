// The store shared by threads as the engine shares it: listings written back while
// the event dispatch moves the versions forward, and readers meanwhile.
#include <atomic>
#include <set>
#include <thread>

#include "storetestutil.h"

namespace {

class LocalStorageConcurrencyTest : public LocalStorageFixture {};

TEST_F(LocalStorageConcurrencyTest, VersionBumpsLoseNoRowOfAListing) {
  constexpr int kListings = 30;
  constexpr int kItems = 20;
  std::atomic<bool> done{false};
  std::atomic<int> listingsStarted{0};
  std::atomic<int> readerFailures{0};

  // The event dispatch: the service's version moves on and on.
  std::thread bumper([&] {
    int64_t v = 1;
    while (!done.load()) {
      if (listingsStarted.load() == 0) {
        std::this_thread::yield();
        continue;
      }
      EXPECT_TRUE(SUCCEEDED(m_store->SetCurCacheVesion(++v)));
    }
  });
  // The windows: cached listings and freshness tests meanwhile.
  std::thread reader([&] {
    while (!done.load()) {
      std::vector<CFileItemRecord> items;
      if (FAILED(m_store->GetLastSyncSnapshot("P", &items, ItemSpace::MyFile))) ++readerFailures;
      m_store->FolderNeedUpdate("P", ItemSpace::MyFile);
    }
  });

  for (int listing = 0; listing < kListings; ++listing) {
    // Each listing shows a different half of the items, so the sweep has work to do.
    std::set<std::string> listed;
    ASSERT_EQ(m_store->BeginTransaction(), S_OK);
    listingsStarted.fetch_add(1);
    for (int k = 0; k < kItems; ++k) {
      if ((k + listing) % 2) continue;
      std::string id = "item" + std::to_string(k);
      listed.insert(id);
      CFileItemRecord item = k % 4 == 0 ? Folder(id, "P", id) : File(id, "P", id);
      ASSERT_EQ(m_store->AddOrUpdateFileItem(item, ItemSpace::MyFile), S_OK);
      std::this_thread::yield();
    }
    ASSERT_EQ(m_store->ClearOldFileItem("P", ItemSpace::MyFile), S_OK);
    ASSERT_EQ(m_store->CommitTransaction(), S_OK);
    ASSERT_EQ(m_store->UpdateFolderCacheVesion("P", ItemSpace::MyFile), S_OK);

    std::vector<CFileItemRecord> stored;
    ASSERT_EQ(m_store->GetLastSyncSnapshot("P", &stored, ItemSpace::MyFile), S_OK);
    std::set<std::string> ids;
    for (const CFileItemRecord& item : stored) ids.insert(item.strSvrId);
    for (const std::string& id : listed) EXPECT_EQ(ids.count(id), 1u) << "listing " << listing << " lost " << id;
  }
  done = true;
  bumper.join();
  reader.join();
  EXPECT_EQ(readerFailures.load(), 0);
  EXPECT_GT(m_store->GetCurCacheVesion(0), 1);
}

TEST_F(LocalStorageConcurrencyTest, TransactionsOfTwoThreadsDoNotInterleave) {
  // Listings of two threads written at once, each with a version write inside: every
  // transaction commits whole, none runs inside the other's.
  ASSERT_EQ(m_store->SetCurCacheVesion(1), S_OK);
  std::atomic<int> round{0};
  auto writer = [&](const std::string& tag) {
    for (int r = 0; r < 20; ++r) {
      ASSERT_EQ(m_store->BeginTransaction(), S_OK);
      for (int k = 0; k < 10; ++k)
        ASSERT_EQ(m_store->AddOrUpdateFileItem(File(tag + std::to_string(k), "P", tag), ItemSpace::MyFile), S_OK);
      ASSERT_EQ(m_store->SetCurCacheVesion(m_store->GetCurCacheVesion(0) + 1), S_OK);
      ASSERT_EQ(m_store->CommitTransaction(), S_OK);
      round.fetch_add(1);
    }
  };
  std::thread a(writer, "a"), b(writer, "b");
  a.join();
  b.join();
  EXPECT_EQ(round.load(), 40);
  EXPECT_EQ(Cli("SELECT count(*) FROM files"), "20\n");
  EXPECT_EQ(Cli("PRAGMA integrity_check"), "ok\n");
}

}  // namespace
