// The SQLite wrapper on real SQLite files, in what the data-base layer asks of it:
// exception texts, the wrapper's own checks, typed getters, ownership of cursors, one
// statement per execDML, and the file's mode, with the sqlite3 shell as the reader.
// Busy data bases: while the shell holds BEGIN EXCLUSIVE on the file, a statement waits
// within its time bound and then fails with SQLITE_BUSY, or succeeds once the lock
// goes; busy lines are sparse and carry their own operation's text, never one of an
// operation that has ended.
#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "common/db/cppsqlite3db.h"
#include "dbtestutil.h"
#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

class CppSQLite3Test : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    m_path = PathIn("w.db");
    m_db.open(m_path);
    m_db.execDML("CREATE TABLE t (i INTEGER, big INTEGER, s TEXT)");
  }

  std::string m_path;
  CppSQLite3DB m_db;
};

TEST(CppSQLite3ExceptionTest, TextNamesTheCode) {
  const struct {
    int code;
    const char* message;
    const char* text;
  } cases[] = {
      {26, "x", "UNKNOWN_ERROR[26]: x"},  // a gap in the codes
      {-1, "x", "UNKNOWN_ERROR[-1]: x"},
      {1, nullptr, "SQLITE_ERROR[1]: "},
  };
  for (const auto& c : cases) EXPECT_STREQ(CppSQLite3Exception(c.code, c.message).errorMessage(), c.text);
}

TEST_F(CppSQLite3Test, WrapperChecksThrowTheirTexts) {
  m_db.execDML("INSERT INTO t VALUES (1, 2, 'one')");
  const struct {
    std::function<void()> fn;
    const char* text;
  } cases[] = {
      {[&] { m_db.execQuery("SELECT * FROM t").getIntField(3); }, "Invalid field index requested"},
      {[&] { m_db.execQuery("SELECT * FROM t").getStringField(-1); }, "Invalid field index requested"},
      {[&] { m_db.execDML("CREATE TABLE u (x); DROP TABLE t"); }, "Only one statement may be executed at a time"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Thrown(c.fn), std::make_pair(1000, "CPPSQLITE_ERROR[1000]: " + std::string(c.text)));
  // The refused two-statement text ran nothing.
  EXPECT_FALSE(m_db.tableExists("u"));
  EXPECT_TRUE(m_db.tableExists("t"));
}

TEST_F(CppSQLite3Test, GettersReadValuesAndNullDefaults) {
  const std::string text("caf\xc3\xa9\0x", 7);
  m_db.execDML("INSERT INTO t VALUES (?, ?, ?)", {42, int64_t{5000000000}, text});
  m_db.execDML("INSERT INTO t VALUES (?, ?, ?)", {nullptr, nullptr, nullptr});
  CppSQLite3Query q = m_db.execQuery("SELECT * FROM t ORDER BY rowid");
  ASSERT_FALSE(q.eof());
  EXPECT_EQ(q.getIntField("i", 7), 42);
  EXPECT_EQ(q.getInt64Field("big"), 5000000000);
  EXPECT_EQ(q.getStringField(2), text);
  q.nextRow();
  ASSERT_FALSE(q.eof());
  EXPECT_EQ(q.getIntField(0, 7), 7);
  EXPECT_EQ(q.getInt64Field("big", -3), -3);
  EXPECT_EQ(q.getStringField("s", "dflt"), "dflt");
  q.nextRow();
  EXPECT_TRUE(q.eof());
}

// Reading a query after its data base closed is the CDB layer's test; here the leak
// checker sees that an assigned cursor finalizes the statement it held.
TEST_F(CppSQLite3Test, AssignedCursorFinalizesItsOldStatement) {
  m_db.execDML("INSERT INTO t (i) VALUES (0)");
  CppSQLite3Query b = m_db.execQuery("SELECT s FROM t");
  b = m_db.execQuery("SELECT i + 1 FROM t");
  EXPECT_EQ(b.getIntField(0), 1);
}

TEST_F(CppSQLite3Test, TableExistsBindsTheName) {
  std::string longName = std::string(100, 'n') + "'q";
  m_db.execDML("CREATE TABLE \"" + longName + "\" (a)");
  EXPECT_TRUE(m_db.tableExists(longName));
  EXPECT_FALSE(m_db.tableExists("x' OR '1'='1"));
  EXPECT_FALSE(m_db.tableExists(std::string(100, 'n')));
}

TEST_F(CppSQLite3Test, ExecDMLRunsOneStatementAndPassesOverRows) {
  EXPECT_EQ(m_db.execDML("  -- nothing\n"), 0);
  m_db.execDML("PRAGMA max_page_count = 1000");  // returns a row
  m_db.execDML("CREATE TABLE u (a);  -- trailing comment");
  EXPECT_EQ(m_db.execDML("INSERT INTO u VALUES (?)", {nullptr}), 1);
  EXPECT_EQ(m_db.execDML("INSERT INTO u SELECT a FROM u"), 1);
  EXPECT_EQ(m_db.execDML("DELETE FROM u"), 2);
}

TEST_F(CppSQLite3Test, KeptStatementsRunLikeNewOnes) {
  const std::string insert = "INSERT INTO t VALUES (?, ?, ?)";
  const std::string select = "SELECT s FROM t WHERE i = ? ORDER BY big";
  for (int64_t i = 0; i < 3; ++i) m_db.execDML(insert, {i, i * 10, "v" + std::to_string(i)});
  // A failed run gives its statement back in a state the next run can use.
  m_db.execDML("CREATE UNIQUE INDEX t_big ON t(big)");
  EXPECT_THROW(m_db.execDML(insert, {int64_t{9}, int64_t{10}, "dup"}), CppSQLite3Exception);
  m_db.execDML(insert, {int64_t{1}, int64_t{11}, "v1b"});

  // Two open cursors of one text each read their own rows.
  CppSQLite3Query a = m_db.execQuery(select, {int64_t{1}});
  CppSQLite3Query b = m_db.execQuery(select, {int64_t{2}});
  EXPECT_EQ(a.getStringField(0), "v1");
  EXPECT_EQ(b.getStringField(0), "v2");
  a.nextRow();
  EXPECT_EQ(a.getStringField(0), "v1b");
  b.nextRow();
  EXPECT_TRUE(b.eof());
  a = CppSQLite3Query();
  b = CppSQLite3Query();
  // A cursor given back mid-way holds no read lock: another connection writes at once.
  {
    CppSQLite3Query open = m_db.execQuery(select, {int64_t{1}});
    ASSERT_FALSE(open.eof());
  }
  EXPECT_EQ(CliQuery(m_path, "INSERT INTO t VALUES (7, 70, 'cli'); SELECT count(*) FROM t;"), "5\n");

  // A changed schema and many more texts than are kept.
  m_db.execDML("ALTER TABLE t ADD COLUMN extra TEXT DEFAULT 'x'");
  EXPECT_EQ(m_db.execQuery(select, {int64_t{7}}).getStringField(0), "cli");
  for (int k = 0; k < 40; ++k)
    EXPECT_EQ(m_db.execQuery("SELECT count(*) + " + std::to_string(k) + " FROM t").getIntField(0), 5 + k);
  // A cursor that outlives its connection still reads, and lets it go.
  CppSQLite3Query late = m_db.execQuery(select, {int64_t{0}});
  m_db.close();
  EXPECT_EQ(late.getStringField(0), "v0");
  late = CppSQLite3Query();
  m_db.open(m_path);
  EXPECT_EQ(m_db.execQuery(select, {int64_t{2}}).getStringField(0), "v2");
}

TEST_F(CppSQLite3Test, NewFileIsPrivateAndReadableByTheShell) {
  mode_t old = umask(022);
  CppSQLite3DB db;
  std::string path = PathIn("private.db");
  db.open(path);
  db.execDML("CREATE TABLE t (v TEXT)");
  db.execDML("BEGIN");
  db.execDML("INSERT INTO t VALUES (?)", {std::string("it's")});
  struct stat st {};
  ASSERT_EQ(stat((path + "-journal").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  db.execDML("COMMIT");
  umask(old);
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(CliQuery(path, "SELECT v FROM t"), "it's\n");
}

using std::chrono::milliseconds;

class CppSQLite3BusyTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    m_path = PathIn("busy.db");
    m_db.open(m_path);
    m_db.execDML("CREATE TABLE t (a)");
    BusyPolicy policy;
    policy.maxWait = milliseconds(1000);
    policy.logEvery = 10;
    policy.clock = &m_clock;
    m_db.setBusyPolicy(policy);
  }

  std::string m_path;
  HookClock m_clock;
  CppSQLite3DB m_db;
};

TEST_F(CppSQLite3BusyTest, WriteFailsWithBusyWithinTheBound) {
  SqliteCli holder(m_path);
  holder.Run("BEGIN EXCLUSIVE;");
  LogCapture log;

  auto [code, text] = Thrown([&] { m_db.execDML("INSERT INTO t VALUES (1)"); });
  EXPECT_EQ(code, SQLITE_BUSY);
  EXPECT_EQ(text.rfind("SQLITE_BUSY[5]: ", 0), 0u) << text;
  // Pauses 1, 2, 4, 8 ms, then 10 ms, the last one cut to the bound: exactly the bound.
  EXPECT_EQ(m_clock.Slept(), milliseconds(1000));
  EXPECT_EQ(m_clock.Sleeps(), 4 + 98 + 1);
  // Handler lines on the first, every 10th and the last try; one line of the re-run
  // loop, which finds the bound already reached.
  EXPECT_EQ(log.Count("DataBase BUSY! DB:BusyHandler() OPT:CppSQLite3DB::execDML()...sqlite3_exec() "
                      "SQLString:INSERT INTO t VALUES (1) LoopCount:"),
            11 + 1);
  EXPECT_TRUE(log.Contains("OPT:CppSQLite3DB::execDML()...sqlite3_exec() SQLString:INSERT INTO t VALUES (1) "
                           "LoopCount:0"));
  EXPECT_TRUE(log.Contains("LoopCount:103"));
  EXPECT_EQ(log.Count("DataBase BUSY! CppSQLite3DB::execDML()...sqlite3_exec() SQLString:INSERT INTO t VALUES (1) "
                      "LoopCount: 0"),
            1);

  // The next call waits its own bound again, counting from 0.
  log.Clear();
  EXPECT_EQ(Thrown([&] { m_db.execQuery("SELECT count(*) FROM t"); }).first, SQLITE_BUSY);
  EXPECT_EQ(m_clock.Slept(), milliseconds(2000));
  EXPECT_TRUE(log.Contains("OPT:CppSQLite3DB::execQuery()...sqlite3_step() SQLString:SELECT count(*) FROM t "
                           "LoopCount:0"));

  holder.Run("COMMIT;");
  EXPECT_EQ(m_db.execDML("INSERT INTO t VALUES (2)"), 1);
}

TEST_F(CppSQLite3BusyTest, WriteSucceedsOnceTheLockIsReleased) {
  SqliteCli holder(m_path);
  holder.Run("BEGIN EXCLUSIVE; INSERT INTO t VALUES (1);");
  // The holder commits during the fifth pause of our wait.
  m_clock.SetHook([&](int n, milliseconds) {
    if (n == 5) holder.Run("COMMIT;");
  });
  EXPECT_EQ(m_db.execDML("INSERT INTO t VALUES (2)"), 1);
  EXPECT_GE(m_clock.Sleeps(), 5);
  EXPECT_LT(m_clock.Slept(), milliseconds(1000));
  m_clock.SetHook(nullptr);
  EXPECT_EQ(CliQuery(m_path, "SELECT a FROM t ORDER BY a"), "1\n2\n");
}

// A busy line names the operation in progress, never one that has ended: a long
// statement on the heap, freed once execDML returns, would be read by a handler that
// kept a pointer to it (the sanitizers catch that). A new connection waits in the
// compile already, as it must read the schema.
TEST_F(CppSQLite3BusyTest, EveryOperationLogsItsOwnText) {
  std::string longSql = "INSERT INTO t VALUES ('" + std::string(2000, 'v') + "')";
  EXPECT_EQ(m_db.execDML(longSql), 1);
  longSql.assign(longSql.size(), 'X');
  longSql.clear();
  longSql.shrink_to_fit();
  CppSQLite3DB fresh;
  fresh.open(m_path);
  fresh.setBusyPolicy(m_db.busyPolicy());

  SqliteCli holder(m_path);
  holder.Run("BEGIN EXCLUSIVE;");
  const struct {
    std::function<void()> fn;
    const char* text;
  } cases[] = {
      {[&] { m_db.execDML("DELETE FROM t"); }, "OPT:CppSQLite3DB::execDML()...sqlite3_exec() SQLString:DELETE FROM t "},
      {[&] { fresh.execQuery("SELECT a FROM t"); },
       "OPT:CppSQLite3DB::execQuery()...sqlite3_step() SQLString:SELECT a FROM t LoopCount:0"},
  };
  for (const auto& c : cases) {
    LogCapture log;
    EXPECT_EQ(Thrown(c.fn).first, SQLITE_BUSY) << c.text;
    EXPECT_TRUE(log.Contains(c.text)) << log.All();
    EXPECT_FALSE(log.Contains("vvvv") || log.Contains("XXXX"));
  }
  holder.Run("ROLLBACK;");
  EXPECT_EQ(fresh.execQuery("SELECT count(*) FROM t").getIntField(0), 1);
}

// A write that SQLite finds busy at once (a query of the connection holds the read lock
// and the shell, holding the write lock, waits for it to commit) holds no read lock of
// its own while it waits: once the query ends, the shell commits and the write's next
// try goes through.
TEST_F(CppSQLite3BusyTest, WriteWaitingToBeginKeepsNoReadLock) {
  m_db.execDML("INSERT INTO t VALUES (1), (2)");
  CppSQLite3Query q = m_db.execQuery("SELECT a FROM t");
  SqliteCli peer(m_path);
  EXPECT_EQ(peer.Run(".timeout 60000\nBEGIN IMMEDIATE; INSERT INTO t VALUES ('peer');"), "");
  peer.Send("COMMIT;");
  std::string peerCommit = "not awaited";
  m_clock.SetHook([&](int n, milliseconds) {
    if (n != 1) return;
    q.finalize();
    peerCommit = peer.Await();
  });
  EXPECT_EQ(m_db.execDML("INSERT INTO t VALUES ('ours')"), 1);
  m_clock.SetHook(nullptr);
  EXPECT_EQ(peerCommit, "");
  EXPECT_EQ(m_clock.Sleeps(), 1);
  EXPECT_EQ(CliQuery(m_path, "SELECT a FROM t WHERE typeof(a) = 'text' ORDER BY rowid"), "peer\nours\n");
}

TEST_F(CppSQLite3BusyTest, ThreadsOnOneConnectionEachLogTheirOwnOperation) {
  SqliteCli holder(m_path);
  holder.Run("BEGIN EXCLUSIVE;");
  LogCapture log;
  std::thread a([&] { EXPECT_EQ(Thrown([&] { m_db.execDML("INSERT INTO t VALUES ('thread a')"); }).first, 5); });
  std::thread b([&] { EXPECT_EQ(Thrown([&] { m_db.execQuery("SELECT 'thread b' FROM t"); }).first, 5); });
  a.join();
  b.join();
  for (const std::string& line : log.Lines()) {
    if (line.find("DataBase BUSY!") == std::string::npos) continue;
    bool isA = line.find("thread a") != std::string::npos;
    bool isB = line.find("thread b") != std::string::npos;
    EXPECT_TRUE(isA != isB) << line;
    EXPECT_NE(line.find(isA ? "execDML()" : "execQuery()"), std::string::npos) << line;
  }
}

}  // namespace
