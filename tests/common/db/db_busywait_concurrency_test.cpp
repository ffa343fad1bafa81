// A write that finds another process committing waits for it without holding the
// data-base lock: while one thread reads a listing row by row and the sqlite3 shell
// (another process) waits to commit until that listing's read lock goes, a write on
// another thread waits, the listing reads on meanwhile and ends, the shell's commit
// lands and the write then succeeds, long before the busy bound. A write whose data base
// is closed while it waits fails and writes nothing.
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "common/db/db.h"
#include "common/db/kvdb.h"
#include "dbtestutil.h"
#include "platform/event.h"
#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

using std::chrono::milliseconds;

constexpr int kRows = 5;        // rows of the listing: 1..kRows
constexpr int kPeerRow = 100;   // the row the shell inserts and commits
// A guard against a hung run, not a wait for time to pass: with the write waiting under
// the data-base lock the listing can never read on.
constexpr milliseconds kGuard(10000);

class CDBBusyWaitTest : public OstrelTest {
 protected:
  // Opens <name>.db with a listing table of kRows rows and a config table; busy waits
  // run on the test's clock.
  void Open(const std::string& name, CDB* db, CKVDB* kv) {
    m_path = PathIn(name + ".db");
    BusyPolicy policy;
    policy.clock = &m_clock;
    db->setBusyPolicy(policy);
    ASSERT_EQ(db->Init(m_path), S_OK);
    ASSERT_EQ(db->CreateTable("listing", "n INT"), S_OK);
    for (int n = 1; n <= kRows; ++n) ASSERT_EQ(db->InsertRow("listing", "n", "?", {n}), S_OK);
    ASSERT_EQ(kv->Init(db, "config"), S_OK);
    m_clock.SetHook([this](int n, milliseconds) {
      if (n == m_pausesBefore + 1 && m_onFirstPause) m_onFirstPause();
    });
  }
  // Runs write on thread B; onFirstPause runs on B at its first busy pause from now.
  std::thread StartWriter(std::function<void()> onFirstPause, std::function<void()> write) {
    m_pausesBefore = m_clock.Sleeps();
    m_onFirstPause = std::move(onFirstPause);
    return std::thread(std::move(write));
  }

  // The listing, opened with its first row read and reported.
  void OpenListing(CDB& db, CDBQueryHelper* rows, std::string* seen) {
    ASSERT_EQ(db.execQuery("SELECT n FROM listing ORDER BY n", *rows), S_OK);
    ReadRow(rows, seen);
  }
  // Reads the current row into *seen ("1 2 ...") and steps on; false at the end.
  static bool ReadRow(CDBQueryHelper* rows, std::string* seen) {
    bool end = true;
    if (rows->eof(&end) != S_OK || end) return false;
    int n = -1;
    EXPECT_EQ(rows->getIntField(0, &n, -1), S_OK);
    *seen += std::to_string(n) + " ";
    EXPECT_EQ(rows->nextRow(), S_OK);
    return true;
  }

  std::string m_path;
  HookClock m_clock;
  // Set before thread B starts, read on B.
  int m_pausesBefore = 0;
  std::function<void()> m_onFirstPause;
};

std::string Listed() {
  std::string all;
  for (int n = 1; n <= kRows; ++n) all += std::to_string(n) + " ";
  return all;
}

TEST_F(CDBBusyWaitTest, WriteWaitsForACommittingProcessWhileAListingReadsOn) {
  const struct {
    const char* write;
    std::function<HRESULT(CDB&, CKVDB&)> run;
    const char* check;  // what the shell then finds of the write
    const char* found;
  } cases[] = {
      {"a setting (a transaction of its own)",
       [](CDB&, CKVDB& kv) { return kv.SetItem("S", "F", "set while listed"); },
       "SELECT value FROM config WHERE section = 'S' AND field = 'F'", "set while listed\n"},
      {"an insert outside any transaction", [](CDB& db, CKVDB&) { return db.InsertRow("listing", "n", "?", {200}); },
       "SELECT n FROM listing WHERE n = 200", "200\n"},
  };
  int file = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.write);
    CDB db;
    CKVDB kv;
    Open("listed" + std::to_string(file++), &db, &kv);

    // Thread A (this one) has read one row of its listing.
    CDBQueryHelper rows;
    std::string seen;
    OpenListing(db, &rows, &seen);
    // The shell takes the write lock and asks to commit: its commit waits for the
    // listing's read lock to go.
    SqliteCli peer(m_path);
    EXPECT_EQ(peer.Run(".timeout 60000\nBEGIN IMMEDIATE; INSERT INTO listing VALUES (" + std::to_string(kPeerRow) +
                       ");"),
              "");
    peer.Send("COMMIT;");

    // Thread B writes; at its first busy pause it lets the listing go on and waits for
    // the listing's end and the shell's commit before it tries again.
    CEvent writeWaits, listingEnded;
    bool listingEndedWhileWriteWaited = false;
    bool peerAwaited = false;
    std::string peerCommit;
    LogCapture log;
    const milliseconds sleptBefore = m_clock.Slept();
    const int sleepsBefore = m_clock.Sleeps();
    HRESULT written = E_FAIL;
    std::thread b = StartWriter(
        [&] {
          writeWaits.Set();
          listingEndedWhileWriteWaited = listingEnded.Wait(kGuard);
          if (!listingEndedWhileWriteWaited) return;
          peerCommit = peer.Await();
          peerAwaited = true;
        },
        [&] { written = c.run(db, kv); });

    ASSERT_TRUE(writeWaits.Wait(kGuard));
    while (ReadRow(&rows, &seen)) {
    }
    rows = CDBQueryHelper();  // the listing ends
    listingEnded.Set();
    b.join();
    m_onFirstPause = nullptr;
    if (!peerAwaited) peerCommit = peer.Await();

    EXPECT_EQ(written, S_OK);
    EXPECT_TRUE(listingEndedWhileWriteWaited);
    EXPECT_EQ(seen, Listed());
    EXPECT_EQ(peerCommit, "");
    EXPECT_EQ(CliQuery(m_path, "SELECT count(*) FROM listing WHERE n = " + std::to_string(kPeerRow)), "1\n");
    EXPECT_EQ(CliQuery(m_path, c.check), c.found);
    // One busy pause, logged as the busy wait of its statement; no failure, no retry.
    EXPECT_EQ(m_clock.Sleeps() - sleepsBefore, 1);
    EXPECT_LT(m_clock.Slept() - sleptBefore, milliseconds(10));
    EXPECT_EQ(log.Count("DataBase BUSY! CppSQLite3DB::execDML()...sqlite3_exec() SQLString:"), 1) << log.All();
    EXPECT_EQ(log.Failures(), 0) << log.All();
  }
}

// The data base is closed while a write waits with the data-base lock let go: the write
// fails as on a closed data base (its retry too) and its statement never runs.
TEST_F(CDBBusyWaitTest, WriteWaitingWhenTheDataBaseIsClosedFailsAndWritesNothing) {
  CDB db;
  CKVDB kv;
  Open("closed", &db, &kv);
  db.SetRetryPause(milliseconds(0));
  CDBQueryHelper rows;
  std::string seen;
  OpenListing(db, &rows, &seen);
  SqliteCli peer(m_path);
  EXPECT_EQ(peer.Run(".timeout 60000\nBEGIN IMMEDIATE; INSERT INTO listing VALUES (" + std::to_string(kPeerRow) +
                     ");"),
            "");
  peer.Send("COMMIT;");

  CEvent writeWaits, closed;
  bool closedWhileWriteWaited = false;
  LogCapture log;
  HRESULT written = S_OK;
  std::thread b = StartWriter(
      [&] {
        writeWaits.Set();
        closedWhileWriteWaited = closed.Wait(kGuard);
      },
      [&] { written = db.InsertRow("listing", "n", "?", {300}); });
  ASSERT_TRUE(writeWaits.Wait(kGuard));
  EXPECT_EQ(db.UnInit(), S_OK);
  rows = CDBQueryHelper();  // the listing ends: the closed connection goes with it
  EXPECT_EQ(peer.Await(), "");
  closed.Set();
  b.join();
  m_onFirstPause = nullptr;

  EXPECT_TRUE(closedWhileWriteWaited);
  EXPECT_EQ(written, E_CV_DB_ERROR);
  EXPECT_EQ(log.Count("Src:CDB::execDML -- CPPSQLITE_ERROR[1000]: Database not open -- SQL:INSERT INTO listing"), 2)
      << log.All();
  EXPECT_EQ(CliQuery(m_path, "SELECT group_concat(n, ' ') FROM listing"), "1 2 3 4 5 100\n");
}

}  // namespace
