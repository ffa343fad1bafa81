// The data-base layer on real SQLite files: templates whose rows the sqlite3 shell reads
// back, result codes and log lines of failures, the retry, transactions that never stay
// half-done, bound values, and the connection's life.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/db/db.h"
#include "dbtestutil.h"
#include "support/logcapture.h"
#include "support/testenv.h"
#include "support/textcodec.h"

namespace {

using std::chrono::milliseconds;

class CDBTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    m_path = PathIn("layer.db");
    BusyPolicy policy;
    policy.maxWait = milliseconds(100);
    policy.clock = &m_clock;
    m_db.setBusyPolicy(policy);
    ASSERT_EQ(m_db.Init(m_path), S_OK);
    ASSERT_EQ(m_db.CreateTable("t", "id INTEGER PRIMARY KEY, name TEXT, n INT"), S_OK);
  }
  int64_t Count(const std::string& table = "t") {
    return std::stoll(CliQuery(m_path, "SELECT count(*) FROM " + table));
  }
  // Sleeps other than busy pauses: the retry pause is the only one of 1000 ms.
  int RetryPauses() { return m_retryPauses; }
  void CountRetryPauses() {
    m_clock.SetHook([this](int, milliseconds d) {
      if (d == milliseconds(1000)) ++m_retryPauses;
    });
  }

  std::string m_path;
  HookClock m_clock;
  CDB m_db;
  int m_retryPauses = 0;
};

TEST_F(CDBTest, TemplatesWriteWhatTheShellReads) {
  EXPECT_EQ(m_db.InsertRow("t", "name, n", "'a', 1"), S_OK);
  EXPECT_EQ(m_db.InsertRow("t", "name, n", "?, ?", {"b", 2}), S_OK);
  EXPECT_EQ(m_db.InsertRow("t", "name, n", "?, ?", {"c", 3}), S_OK);
  EXPECT_EQ(m_db.UpdateRows("t", "n = n * 10", "name = ?", {"b"}), S_OK);
  EXPECT_EQ(m_db.DeleteRows("t", "name = 'c'"), S_OK);
  EXPECT_EQ(CliQuery(m_path, "SELECT name, n FROM t ORDER BY id"), "a|1\nb|20\n");

  CDBQueryHelper rows;
  ASSERT_EQ(m_db.SelectWhere("t", rows, "n > ?", "ORDER BY id DESC", {0}), S_OK);
  std::string names;
  for (bool end = false; rows.eof(&end) == S_OK && !end; rows.nextRow()) {
    std::string name;
    int n = 0;
    unsigned un = 0;
    int64_t n64 = 0;
    EXPECT_TRUE(rows.getStringField("name", &name, "") == S_OK && rows.getIntField("n", &n, 0) == S_OK &&
                rows.getUIntField(2, &un, 0) == S_OK && rows.getInt64Field("n", &n64, 0) == S_OK);
    names += name + ":" + std::to_string(n) + "," + std::to_string(un) + "," + std::to_string(n64) + " ";
  }
  EXPECT_EQ(names, "b:20,20,20 a:1,1,1 ");

  EXPECT_EQ(m_db.DeleteRows("t"), S_OK);
  EXPECT_EQ(Count(), 0);
}

TEST_F(CDBTest, FailureIsLoggedAndRetriedOnce) {
  CountRetryPauses();
  LogCapture log;
  EXPECT_EQ(m_db.ExecDMLRetry("INSERT INTO nothere VALUES (1)"), E_CV_DB_ERROR);
  EXPECT_EQ(RetryPauses(), 1);
  EXPECT_EQ(log.Count("*ASSERT*: !L\"CDB::execDML throw Exception!\""), 2);
  EXPECT_EQ(log.Count("Src:CDB::execDML -- SQLITE_ERROR[1]: no such table: nothere -- SQL:INSERT INTO nothere "
                      "VALUES (1)"),
            2);
  EXPECT_FALSE(log.Contains("Retry Succeeded"));

  // A plain execDML does not retry.
  EXPECT_EQ(m_db.execDML("INSERT INTO nothere VALUES (1)"), E_CV_DB_ERROR);
  EXPECT_EQ(RetryPauses(), 1);
}

TEST_F(CDBTest, BusyStatementSucceedsOnTheRetry) {
  SqliteCli holder(m_path);
  holder.Run("BEGIN EXCLUSIVE; INSERT INTO t (name) VALUES ('other');");
  // The other process commits during our one-second retry pause.
  m_clock.SetHook([&](int, milliseconds d) {
    if (d == milliseconds(1000)) holder.Run("COMMIT;");
  });
  LogCapture log;
  EXPECT_EQ(m_db.ExecDMLRetry("INSERT INTO t (name) VALUES ('ours')"), S_OK);
  EXPECT_TRUE(log.Contains("Src:CDB::execDML -- SQLITE_BUSY[5]: database is locked -- SQL:INSERT INTO t"));
  EXPECT_TRUE(log.Contains("Sql Execute Failed And Retry Succeeded!"));
  m_clock.SetHook(nullptr);
  EXPECT_EQ(CliQuery(m_path, "SELECT name FROM t ORDER BY id"), "other\nours\n");
}

TEST_F(CDBTest, BadColumnIsDbErrorWithItsLine) {
  ASSERT_EQ(m_db.InsertRow("t", "name, n", "'a', 1"), S_OK);
  CDBQueryHelper rows;
  ASSERT_EQ(m_db.SelectWhere("t", rows, "1"), S_OK);
  LogCapture log;
  int n = 5;
  EXPECT_EQ(rows.getIntField("nope", &n, 0), E_CV_DB_ERROR);
  EXPECT_EQ(n, 5);
  EXPECT_TRUE(log.Contains("*ASSERT*: !L\"CDBQueryHelper::getIntField throw Exception!\""));
  EXPECT_TRUE(log.Contains("Src:CDBQueryHelper::getIntField -- CPPSQLITE_ERROR[1000]: Invalid field name requested "
                           "-- SQL:"));
  CDBQueryHelper empty;
  bool end = false;
  EXPECT_EQ(empty.eof(&end), E_CV_DB_ERROR);
  EXPECT_TRUE(log.Contains("Src:CDBQueryHelper::eof() -- CPPSQLITE_ERROR[1000]: Null Virtual Machine pointer"));
  EXPECT_EQ(m_db.SelectWhere("t", rows, "nocolumn = 1"), E_CV_DB_ERROR);
  EXPECT_TRUE(log.Contains("Src:CDB::execQuery -- SQLITE_ERROR[1]: no such column: nocolumn -- SQL:SELECT * FROM t "
                           "WHERE nocolumn = 1 "));
}

// A failed statement, a full data base too, rolls the transaction back: its later writes
// are refused, never run on their own, and its commit fails, so the caller learns of the
// loss. The next transaction starts afresh.
TEST_F(CDBTest, FailedStatementRollsTheTransactionBack) {
  ASSERT_EQ(m_db.InsertRow("t", "name", "'committed'"), S_OK);
  ASSERT_EQ(m_db.BeginTransaction(), S_OK);
  ASSERT_EQ(m_db.InsertRow("t", "name", "'lost'"), S_OK);
  LogCapture log;
  EXPECT_EQ(m_db.InsertRow("nothere", "x", "1"), E_CV_DB_ERROR);
  EXPECT_TRUE(log.Contains("Rolled Back")) << log.All();
  EXPECT_EQ(m_db.InsertRow("t", "name", "'after the failure'"), E_CV_DB_ERROR);
  EXPECT_EQ(m_db.CommitTransaction(), E_CV_DB_ERROR);

  ASSERT_EQ(m_db.execDML("PRAGMA max_page_count = 20"), S_OK);
  ASSERT_EQ(m_db.BeginTransaction(), S_OK);
  HRESULT hr = S_OK;
  for (int i = 0; i < 100 && hr == S_OK; ++i) hr = m_db.InsertRow("t", "name", "hex(zeroblob(2000))");
  EXPECT_EQ(hr, E_CV_DB_FULL);
  EXPECT_EQ(m_db.CommitTransaction(), E_CV_DB_FULL);
  ASSERT_EQ(m_db.BeginTransaction(), S_OK);
  ASSERT_EQ(m_db.InsertRow("t", "name", "'next'"), S_OK);
  ASSERT_EQ(m_db.CommitTransaction(), S_OK);
  EXPECT_EQ(CliQuery(m_path, "SELECT name FROM t ORDER BY id"), "committed\nnext\n");
  EXPECT_EQ(CliQuery(m_path, "PRAGMA integrity_check"), "ok\n");
}

TEST_F(CDBTest, FailedCommitRollsTheTransactionBack) {
  ASSERT_EQ(m_db.execDML("PRAGMA foreign_keys = ON"), S_OK);
  ASSERT_EQ(m_db.CreateTable("child", "p INTEGER REFERENCES t(id) DEFERRABLE INITIALLY DEFERRED"), S_OK);
  CountRetryPauses();
  ASSERT_EQ(m_db.BeginTransaction(), S_OK);
  ASSERT_EQ(m_db.InsertRow("t", "name", "'in tx'"), S_OK);
  ASSERT_EQ(m_db.InsertRow("child", "p", "12345"), S_OK);  // checked at commit
  LogCapture log;
  EXPECT_EQ(m_db.CommitTransaction(), E_CV_DB_ERROR);
  EXPECT_EQ(RetryPauses(), 1);
  EXPECT_TRUE(log.Contains("FOREIGN KEY constraint failed"));
  EXPECT_TRUE(log.Contains("Rolled Back")) << log.All();

  EXPECT_EQ(m_db.BeginTransaction(), S_OK);
  EXPECT_EQ(m_db.InsertRow("t", "name", "'after'"), S_OK);
  EXPECT_EQ(m_db.CommitTransaction(), S_OK);
  EXPECT_EQ(CliQuery(m_path, "SELECT name FROM t"), "after\n");
  EXPECT_EQ(Count("child"), 0);
}

TEST_F(CDBTest, RollbackTransaction) {
  EXPECT_EQ(m_db.RollbackTransaction(), S_FALSE);
  ASSERT_EQ(m_db.BeginTransaction(), S_OK);
  ASSERT_EQ(m_db.InsertRow("t", "name", "'gone'"), S_OK);
  EXPECT_EQ(m_db.RollbackTransaction(), S_OK);
  EXPECT_EQ(m_db.RollbackTransaction(), S_FALSE);
  EXPECT_EQ(Count(), 0);
  // Transactions nest: only the outermost commit commits, and a rollback ends them all.
  ASSERT_EQ(m_db.BeginTransaction(), S_OK);
  ASSERT_EQ(m_db.InsertRow("t", "name", "'kept'"), S_OK);
  ASSERT_EQ(m_db.BeginTransaction(), S_OK);
  EXPECT_EQ(m_db.CommitTransaction(), S_OK);
  EXPECT_EQ(CliQuery(m_path, "SELECT count(*) FROM t"), "0\n");
  EXPECT_EQ(m_db.CommitTransaction(), S_OK);
  EXPECT_EQ(Count(), 1);
  ASSERT_EQ(m_db.BeginTransaction(), S_OK);
  ASSERT_EQ(m_db.BeginTransaction(), S_OK);
  ASSERT_EQ(m_db.InsertRow("t", "name", "'gone'"), S_OK);
  EXPECT_EQ(m_db.RollbackTransaction(), S_OK);
  EXPECT_EQ(m_db.CommitTransaction(), E_FAIL);  // none left
  EXPECT_EQ(Count(), 1);
}

TEST_F(CDBTest, BoundValuesAreStoredAsTheyAre) {
  const std::string hostile = "O'Brien'); DROP TABLE t; --\t\xe4\xb8\xad";
  ASSERT_EQ(m_db.InsertRow("t", "name", "?", {hostile}), S_OK);
  ASSERT_EQ(m_db.InsertRow("t", "name", "'" + EscapeSqlString(hostile) + "'"), S_OK);
  // Both rows hold exactly the text's bytes, as the shell reads them.
  const std::string hex = HexEncode(hostile);
  EXPECT_EQ(CliQuery(m_path, "SELECT lower(hex(name)), typeof(name) FROM t ORDER BY id"),
            hex + "|text\n" + hex + "|text\n");
}

// Open descriptors of this process on the file.
int OpenDescriptors(const std::string& file) {
  int n = 0;
  std::error_code ec;  // an entry may go while it is listed
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) n += read_symlink(e.path(), ec) == file;
  return n;
}

TEST_F(CDBTest, InitTwiceClosesTheFirstConnection) {
  ASSERT_EQ(m_db.InsertRow("t", "name", "'x'"), S_OK);
  char real[4096];
  ASSERT_NE(realpath(m_path.c_str(), real), nullptr);
  EXPECT_EQ(OpenDescriptors(real), 1);
  ASSERT_EQ(m_db.Init(PathIn("second.db")), S_OK);
  EXPECT_EQ(OpenDescriptors(real), 0);
  bool exists = true;
  EXPECT_EQ(m_db.tableExists("t", &exists), S_OK);
  EXPECT_FALSE(exists);
}

TEST_F(CDBTest, ClosedDataBaseFailsCleanly) {
  CDBQueryHelper rows;
  ASSERT_EQ(m_db.InsertRow("t", "name", "'x'"), S_OK);
  ASSERT_EQ(m_db.SelectWhere("t", rows, "1"), S_OK);
  EXPECT_EQ(m_db.UnInit(), S_OK);
  EXPECT_EQ(m_db.UnInit(), S_OK);
  LogCapture log;
  EXPECT_EQ(m_db.InsertRow("t", "name", "'y'"), E_CV_DB_ERROR);
  EXPECT_TRUE(log.Contains("Src:CDB::execDML -- CPPSQLITE_ERROR[1000]: Database not open"));
  bool exists = false;
  EXPECT_EQ(m_db.tableExists("t", &exists), E_CV_DB_ERROR);
  // A query taken before the close still reads its row.
  std::string name;
  EXPECT_EQ(rows.getStringField("name", &name, ""), S_OK);
  EXPECT_EQ(name, "x");

  LogCapture initLog;
  CDB other;
  EXPECT_EQ(other.Init(PathIn("no/such/folder/x.db")), E_FAIL);
  EXPECT_TRUE(initLog.Contains("*ASSERT*: !L\"CDB::Init throw Exception!\""));
  EXPECT_TRUE(initLog.Contains("Src:CDB::Init -- SQLITE_CANTOPEN[14]: unable to open database file -- SQL:"));
}

}  // namespace
