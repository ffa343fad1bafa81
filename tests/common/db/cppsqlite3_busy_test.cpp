// Busy data bases: while a sqlite3 shell holds BEGIN EXCLUSIVE on the file, a
// statement waits within its time bound and then fails with SQLITE_BUSY, or succeeds
// once the lock goes; busy lines are sparse; an operation's busy lines carry its own
// text, never one of an operation that has ended.
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "common/db/cppsqlite3db.h"
#include "dbtestutil.h"
#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

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
