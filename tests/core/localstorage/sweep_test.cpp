// Writing a listing back: the sweep of vanished rows, deletes of folder trees (with
// loops and deep nesting in the stored rows), and transactions that stamp a listing
// once and keep nothing of a listing whose write failed.
#include <thread>

#include "storetestutil.h"
#include "support/logcapture.h"

namespace {

class LocalStorageSweepTest : public LocalStorageFixture {
 protected:
  // The tree under P at version 1:
  //   P/f1, P/f2, P/d1/{g1, e1/{h1}}, P/d2/{g2}, and Q/q1 beside it.
  void WriteTree() {
    ASSERT_EQ(m_store->SetCurCacheVesion(1), S_OK);
    const CFileItemRecord items[] = {
        File("f1", "P", "f1"),   File("f2", "P", "f2"),   Folder("d1", "P", "d1"), File("g1", "d1", "g1"),
        Folder("e1", "d1", "e1"), File("h1", "e1", "h1"), Folder("d2", "P", "d2"), File("g2", "d2", "g2"),
        File("q1", "Q", "q1"),
    };
    for (const CFileItemRecord& item : items) ASSERT_EQ(m_store->AddOrUpdateFileItem(item, ItemSpace::MyFile), S_OK);
  }
  // The ids left in files, in NOCASE order.
  std::string Remaining() {
    std::string ids = Ids();
    std::string out;
    for (char c : ids) out += c == '\n' ? ' ' : c;
    return out;
  }
};

TEST_F(LocalStorageSweepTest, SweepRules) {
  // listedAgain: the children of P in the new listing.
  const struct { std::vector<std::string> listedAgain; bool versionMoved; const char* remaining; } cases[] = {
      {{"f1", "f2", "d1", "d2"}, true, "d1 d2 e1 f1 f2 g1 g2 h1 P-null q1 "},
      {{"f2", "d2"}, true, "d2 f2 g2 P-null q1 "},  // vanished file, vanished folder tree
      {{}, true, "P-null q1 "},
      {{"f1"}, false, "d1 d2 e1 f1 f2 g1 g2 h1 P-null q1 "},  // same version: nothing is older
  };
  for (const auto& c : cases) {
    const std::string where = "case " + std::to_string(&c - cases);
    Cli("DELETE FROM files; DELETE FROM config");
    WriteTree();
    // A row without a stamp (an older client's) is never swept.
    Cli("INSERT INTO files (isdir, svrid, svrparentid, sha1, localname) VALUES (0, 'P-null', 'P', 'x', 'n')");
    if (c.versionMoved) {
      ASSERT_EQ(m_store->SetCurCacheVesion(2), S_OK);
    }
    ASSERT_EQ(m_store->BeginTransaction(), S_OK);
    for (const std::string& id : c.listedAgain) {
      CFileItemRecord item = id[0] == 'd' ? Folder(id, "P", id) : File(id, "P", id);
      ASSERT_EQ(m_store->AddOrUpdateFileItem(item, ItemSpace::MyFile), S_OK);
    }
    ASSERT_EQ(m_store->ClearOldFileItem("P", ItemSpace::MyFile), S_OK);
    ASSERT_EQ(m_store->CommitTransaction(), S_OK);
    EXPECT_EQ(Remaining(), c.remaining) << where;
  }
}

// After the service's versions went back, the stored rows carry a stamp below any
// version: the next listing of a folder removes what it no longer holds, also when the
// service's version is now lower than the one the rows were written at.
TEST_F(LocalStorageSweepTest, AListingAfterTheVersionsWentBackSweepsWhatVanished) {
  WriteTree();
  ASSERT_EQ(m_store->SetCurCacheVesion(40), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(File("f1", "P", "f1"), ItemSpace::MyFile), S_OK);  // stamped 40
  ASSERT_EQ(m_store->AdoptServiceVersions(0, 0), S_OK);
  EXPECT_EQ(Remaining(), "d1 d2 e1 f1 f2 g1 g2 h1 q1 ") << "the rows stay";
  ASSERT_EQ(m_store->BeginTransaction(), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(File("f2", "P", "f2"), ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(Folder("d2", "P", "d2"), ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_store->ClearOldFileItem("P", ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_store->UpdateFolderCacheVesion("P", ItemSpace::MyFile, 0), S_OK);
  ASSERT_EQ(m_store->CommitTransaction(), S_OK);
  // g2 is below d2, which this listing does not look into: it stays until d2 is listed.
  EXPECT_EQ(Remaining(), "d2 f2 g2 q1 ");
  EXPECT_EQ(Cli("SELECT svrid, itemversion FROM files WHERE svrparentid = 'P' ORDER BY svrid"), "d2|0\nf2|0\n");
}

TEST_F(LocalStorageSweepTest, DeleteFolderTrees) {
  WriteTree();
  ASSERT_EQ(m_store->DeleteFoldItem("d1", ItemSpace::MyFile), S_OK);
  EXPECT_EQ(Remaining(), "d2 f1 f2 g2 q1 ");
  ASSERT_EQ(m_store->DeleteFileItem("f1", ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_store->DeleteFileItem("d2", ItemSpace::MyFile), S_OK);  // a folder is no file
  EXPECT_EQ(Remaining(), "d2 f2 g2 q1 ");
  ASSERT_EQ(m_store->DeleteFoldItem("missing", ItemSpace::MyFile), S_OK);

  // Rows that loop: a folder inside itself, two folders inside each other.
  ASSERT_EQ(m_store->AddOrUpdateFileItem(Folder("self", "self", "s"), ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(File("in-self", "self", "x"), ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(Folder("ping", "PONG", "p"), ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(Folder("pong", "ping", "q"), ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_store->DeleteFoldItem("self", ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_store->DeleteFoldItem("ping", ItemSpace::MyFile), S_OK);
  EXPECT_EQ(Remaining(), "d2 f2 g2 q1 ");
}

TEST_F(LocalStorageSweepTest, DeepNesting) {
  // A chain of folders as deep as the walk follows is deleted whole; one level more is
  // refused before anything below the limit is touched.
  auto chain = [&](const std::string& prefix, int depth) {
    ASSERT_EQ(m_store->BeginTransaction(), S_OK);
    for (int i = 0; i < depth; ++i) {
      std::string parent = i ? prefix + std::to_string(i - 1) : "root";
      ASSERT_EQ(m_store->AddOrUpdateFileItem(Folder(prefix + std::to_string(i), parent, "n"), ItemSpace::MyFile),
                S_OK);
    }
    ASSERT_EQ(m_store->AddOrUpdateFileItem(File(prefix + "leaf", prefix + std::to_string(depth - 1), "leaf"),
                                           ItemSpace::MyFile),
              S_OK);
    ASSERT_EQ(m_store->CommitTransaction(), S_OK);
  };
  chain("a", CLocalStorage::kMaxFolderDepth);
  ASSERT_EQ(m_store->DeleteFoldItem("a0", ItemSpace::MyFile), S_OK);
  EXPECT_EQ(Cli("SELECT count(*) FROM files"), "0\n");

  chain("b", CLocalStorage::kMaxFolderDepth + 1);
  LogCapture log;
  EXPECT_EQ(m_store->DeleteFoldItem("b0", ItemSpace::MyFile), E_FAIL);
  EXPECT_GT(log.Failures(), 0);
  EXPECT_EQ(Cli("SELECT count(*) FROM files WHERE isdir = 1"), std::to_string(CLocalStorage::kMaxFolderDepth + 1) + "\n");
}

TEST_F(LocalStorageSweepTest, OneStampPerListing) {
  WriteTree();
  ASSERT_EQ(m_store->SetCurCacheVesion(5), S_OK);
  ASSERT_EQ(m_store->BeginTransaction(), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(File("f1", "P", "f1"), ItemSpace::MyFile), S_OK);
  // The service's version moves while the listing is written: its rows keep the stamp
  // the listing began with and the sweep uses that same stamp.
  ASSERT_EQ(m_store->SetCurCacheVesion(6), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(File("f2", "P", "f2"), ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_store->ClearOldFileItem("P", ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_store->CommitTransaction(), S_OK);
  EXPECT_EQ(Cli("SELECT svrid, itemversion FROM files WHERE svrparentid = 'P' ORDER BY svrid"), "f1|5\nf2|5\n");
  EXPECT_EQ(m_store->GetCurCacheVesion(0), 6);
  // Outside a transaction each write takes the current version.
  ASSERT_EQ(m_store->AddOrUpdateFileItem(File("f3", "P", "f3"), ItemSpace::MyFile), S_OK);
  EXPECT_EQ(Cli("SELECT itemversion FROM files WHERE svrid = 'f3'"), "6\n");
}

// A listing's transaction stamps its rows with the version it was asked at, capped by
// the store's: listed at 5 while the store reached 6 (a change pushed meanwhile), f1
// carries 5, so a listing at 6 that no longer holds it sweeps it.
TEST_F(LocalStorageSweepTest, AListingsRowsCarryTheVersionItWasAskedAt) {
  const struct {
    ItemSpace space;
    int64_t listedAt;
    const char* stamp;
  } rows[] = {{ItemSpace::MyFile, 5, "5"}, {ItemSpace::MyFile, 9, "6"}, {ItemSpace::ShareToMe, 2, "2"},
              {ItemSpace::ShareToMe, 9, "3"}};
  for (const auto& row : rows) {
    const std::string where = "row " + std::to_string(&row - rows);
    Cli("DELETE FROM files; DELETE FROM shareinfiles; DELETE FROM config");
    ASSERT_EQ(m_store->SetCurCacheVesion(6), S_OK);
    ASSERT_EQ(m_store->SetCurShareCacheVesion(3), S_OK);
    const char* table = row.space == ItemSpace::ShareToMe ? "shareinfiles" : "files";
    ASSERT_EQ(m_store->BeginListingTransaction(row.space, row.listedAt), S_OK);
    ASSERT_EQ(m_store->AddOrUpdateFileItem(File("f1", "P", "f1"), row.space), S_OK);
    ASSERT_EQ(m_store->AddOrUpdateFileItem(File("f2", "P", "f2"), row.space), S_OK);
    ASSERT_EQ(m_store->CommitTransaction(), S_OK);
    EXPECT_EQ(Cli(std::string("SELECT DISTINCT itemversion FROM ") + table), std::string(row.stamp) + "\n") << where;
    ASSERT_EQ(m_store->BeginListingTransaction(row.space, 9), S_OK);
    ASSERT_EQ(m_store->AddOrUpdateFileItem(File("f2", "P", "f2"), row.space), S_OK);
    ASSERT_EQ(m_store->ClearOldFileItem("P", row.space), S_OK);
    ASSERT_EQ(m_store->CommitTransaction(), S_OK);
    const bool swept = std::string(row.stamp) != (row.space == ItemSpace::ShareToMe ? "3" : "6");
    EXPECT_EQ(Cli(std::string("SELECT svrid FROM ") + table + " ORDER BY svrid"), swept ? "f2\n" : "f1\nf2\n")
        << where;
  }
}

TEST_F(LocalStorageSweepTest, AFailedWriteKeepsNothingOfTheListing) {
  WriteTree();
  // A trigger stands for a write that fails half-way (a full disk, say).
  Cli("CREATE TRIGGER fail_bad BEFORE INSERT ON files WHEN NEW.svrid = 'bad' "
      "BEGIN SELECT RAISE(ABORT, 'injected failure'); END");
  const std::string before = Cli("SELECT * FROM files ORDER BY svrid");
  ASSERT_EQ(m_store->SetCurCacheVesion(2), S_OK);
  ASSERT_EQ(m_store->BeginTransaction(), S_OK);
  EXPECT_EQ(m_store->AddOrUpdateFileItem(File("f1", "P", "changed"), ItemSpace::MyFile), S_OK);
  EXPECT_EQ(m_store->AddOrUpdateFileItem(File("bad", "P", "bad"), ItemSpace::MyFile), E_CV_DB_ERROR);
  // Everything after the failure is refused, the sweep too.
  EXPECT_EQ(m_store->AddOrUpdateFileItem(File("new", "P", "new"), ItemSpace::MyFile), E_CV_DB_ERROR);
  EXPECT_EQ(m_store->ClearOldFileItem("P", ItemSpace::MyFile), E_CV_DB_ERROR);
  EXPECT_EQ(m_store->UpdateFolderCacheVesion("P", ItemSpace::MyFile, 2), E_CV_DB_ERROR);
  EXPECT_EQ(m_store->CommitTransaction(), E_CV_DB_ERROR);
  EXPECT_EQ(Cli("SELECT * FROM files ORDER BY svrid"), before);

  // The next listing starts afresh.
  ASSERT_EQ(m_store->BeginTransaction(), S_OK);
  EXPECT_EQ(m_store->AddOrUpdateFileItem(File("new", "P", "new"), ItemSpace::MyFile), S_OK);
  EXPECT_EQ(m_store->CommitTransaction(), S_OK);
  EXPECT_EQ(Cli("SELECT count(*) FROM files WHERE svrid = 'new'"), "1\n");
}

TEST_F(LocalStorageSweepTest, AListingThatCannotBeginOrCommitKeepsNothing) {
  WriteTree();
  const std::string before = Cli("SELECT * FROM files ORDER BY svrid");
  // Busy waits end at once on a fake clock.
  HookClock clock;
  const BusyPolicy saved = GetUserDB()->busyPolicy();
  BusyPolicy quick = saved;
  quick.maxWait = std::chrono::milliseconds(10);
  quick.clock = &clock;
  GetUserDB()->setBusyPolicy(quick);
  struct Restore {
    BusyPolicy policy;
    ~Restore() { GetUserDB()->setBusyPolicy(policy); }
  } restore{saved};

  // Another process holds the data base when the listing begins (its BEGIN fails), or
  // reads it while the listing commits (its COMMIT fails): nothing of it is kept.
  for (const char* peerHolds : {"BEGIN EXCLUSIVE;", "BEGIN; SELECT count(*) FROM files;"}) {
    SCOPED_TRACE(peerHolds);
    SqliteCli peer(DbPath());
    const bool beforeBegin = std::string(peerHolds).find("EXCLUSIVE") != std::string::npos;
    if (beforeBegin) peer.Run(peerHolds);
    ASSERT_EQ(m_store->BeginTransaction(), S_OK);
    if (!beforeBegin) peer.Run(peerHolds);
    EXPECT_EQ(m_store->AddOrUpdateFileItem(File("new", "P", "new"), ItemSpace::MyFile),
              beforeBegin ? E_CV_DB_ERROR : S_OK);
    EXPECT_EQ(m_store->ClearOldFileItem("P", ItemSpace::MyFile), beforeBegin ? E_CV_DB_ERROR : S_OK);
    EXPECT_EQ(m_store->CommitTransaction(), E_CV_DB_ERROR);
    peer.Run("COMMIT;");
    EXPECT_EQ(Cli("SELECT * FROM files ORDER BY svrid"), before);
  }
}

TEST_F(LocalStorageSweepTest, TransactionsNestAndBelongToTheirThread) {
  LogCapture log;
  EXPECT_EQ(m_store->CommitTransaction(), E_FAIL);
  EXPECT_TRUE(log.Contains("*ASSERT*: ")) << log.All();

  ASSERT_EQ(m_store->BeginTransaction(), S_OK);
  ASSERT_EQ(m_store->BeginTransaction(), S_OK);
  ASSERT_EQ(m_store->AddOrUpdateFileItem(File("n", "P", "n"), ItemSpace::MyFile), S_OK);
  HRESULT other = S_OK;
  std::thread([&] { other = m_store->CommitTransaction(); }).join();
  EXPECT_EQ(other, E_FAIL);
  ASSERT_EQ(m_store->CommitTransaction(), S_OK);
  // Still inside the outer transaction: the shell cannot see the row yet.
  EXPECT_EQ(Cli("SELECT count(*) FROM files"), "0\n");
  ASSERT_EQ(m_store->CommitTransaction(), S_OK);
  EXPECT_EQ(Cli("SELECT count(*) FROM files"), "1\n");
}

}  // namespace
