// The SQLite wrapper on real SQLite files: exception texts, the wrapper's own checks,
// typed getters, statements, ownership of result objects, the file's mode and the
// binary codec, with the sqlite3 command-line shell as the independent reader.
#include <sys/stat.h>

#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "common/db/cppsqlite3binary.h"
#include "common/db/cppsqlite3db.h"
#include "dbtestutil.h"
#include "support/testenv.h"

namespace {

class CppSQLite3Test : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    m_path = PathIn("w.db");
    m_db.open(m_path);
  }

  std::string m_path;
  CppSQLite3DB m_db;
};

static_assert(!std::is_copy_constructible_v<CppSQLite3Query> && !std::is_copy_assignable_v<CppSQLite3Query>);
static_assert(!std::is_copy_constructible_v<CppSQLite3Table> && !std::is_copy_assignable_v<CppSQLite3Table>);
static_assert(!std::is_copy_constructible_v<CppSQLite3Statement> &&
              !std::is_copy_assignable_v<CppSQLite3Statement>);
static_assert(std::is_nothrow_move_constructible_v<CppSQLite3Query>);

TEST(CppSQLite3ExceptionTest, TextNamesTheCode) {
  struct Case {
    int code;
    const char* message;
    const char* text;
  };
  const Case cases[] = {
      {26, "x", "UNKNOWN_ERROR[26]: x"},  // a gap in the codes
      {-1, "x", "UNKNOWN_ERROR[-1]: x"},
      {1, nullptr, "SQLITE_ERROR[1]: "},
  };
  for (const Case& c : cases) {
    CppSQLite3Exception e(c.code, c.message);
    EXPECT_EQ(e.errorCode(), c.code);
    EXPECT_STREQ(e.errorMessage(), c.text);
  }
  // A message from SQLite's allocator is taken over and freed (the leak check sees it).
  CppSQLite3Exception owned(1, sqlite3_mprintf("near %s", "x"), true);
  CppSQLite3Exception copy = owned;
  EXPECT_STREQ(copy.errorMessage(), "SQLITE_ERROR[1]: near x");
}

// The wrapper's own checks (those the data-base layer's log lines show are its test).
TEST_F(CppSQLite3Test, WrapperChecksThrowTheirTexts) {
  m_db.execDML("CREATE TABLE t (a INTEGER, b TEXT)");
  m_db.execDML("INSERT INTO t VALUES (1, 'one')");
  struct Case {
    const char* name;
    std::function<void()> fn;
    int code;
    const char* text;
  };
  const std::vector<Case> cases = {
      {"scalar without row", [&] { m_db.execScalar("SELECT a FROM t WHERE a = 99"); }, 1000,
       "CPPSQLITE_ERROR[1000]: Invalid scalar query"},
      {"bad index", [&] { m_db.execQuery("SELECT * FROM t").getIntField(2); }, 1000,
       "CPPSQLITE_ERROR[1000]: Invalid field index requested"},
      {"negative index", [&] { m_db.execQuery("SELECT * FROM t").getStringField(-1); }, 1000,
       "CPPSQLITE_ERROR[1000]: Invalid field index requested"},
      {"table row", [&] { m_db.getTable("SELECT * FROM t").setRow(1); }, 1000,
       "CPPSQLITE_ERROR[1000]: Invalid row index requested"},
      {"empty table", [&] { CppSQLite3Table().numRows(); }, 1000, "CPPSQLITE_ERROR[1000]: Null Results pointer"},
      {"bind range", [&] { m_db.compileStatement("INSERT INTO t VALUES (?, ?)").bind(3, 1); }, 25,
       "SQLITE_RANGE[25]: Error binding int param"},
      {"two statements", [&] { m_db.execDML("CREATE TABLE u (x); DROP TABLE t"); }, 1000,
       "CPPSQLITE_ERROR[1000]: Only one statement may be executed at a time"},
  };
  for (const Case& c : cases) {
    auto [code, text] = Thrown(c.fn);
    EXPECT_EQ(code, c.code) << c.name;
    EXPECT_EQ(text, c.text) << c.name;
  }
  // The refused two-statement text ran nothing.
  EXPECT_FALSE(m_db.tableExists("u"));
  EXPECT_TRUE(m_db.tableExists("t"));
}

TEST_F(CppSQLite3Test, GettersReadValuesAndNullDefaults) {
  m_db.execDML("CREATE TABLE t (i INTEGER, big INTEGER, f REAL, s TEXT, b BLOB)");
  CppSQLite3Statement ins = m_db.compileStatement("INSERT INTO t VALUES (?, ?, ?, ?, ?)");
  ins.bind(1, 42);
  ins.bind(2, int64_t{5000000000});
  ins.bind(3, 2.5);
  ins.bind(4, std::string("caf\xc3\xa9\0x", 7));
  const unsigned char blob[] = {0, 1, 39, 255};
  ins.bind(5, blob, 4);
  EXPECT_EQ(ins.execDML(), 1);
  for (int p = 1; p <= 5; ++p) ins.bindNull(p);
  EXPECT_EQ(ins.execDML(), 1);  // reset by the first run, bindings replaced

  CppSQLite3Query q = m_db.execQuery("SELECT * FROM t ORDER BY rowid");
  ASSERT_FALSE(q.eof());
  EXPECT_EQ(q.numFields(), 5);
  EXPECT_EQ(q.getIntField("i", 7), 42);
  EXPECT_EQ(q.getInt64Field("big"), 5000000000);
  EXPECT_DOUBLE_EQ(q.getFloatField("f"), 2.5);
  EXPECT_EQ(q.getStringField("s"), std::string("caf\xc3\xa9\0x", 7));
  EXPECT_EQ(q.getBlobField("b"), std::string("\0\x01\x27\xff", 4));
  EXPECT_EQ(q.fieldIndex("b"), 4);
  EXPECT_FALSE(q.fieldIsNull("i"));
  q.nextRow();
  ASSERT_FALSE(q.eof());
  EXPECT_TRUE(q.fieldIsNull(0));
  EXPECT_EQ(q.fieldValue(0), nullptr);
  EXPECT_EQ(q.getIntField("i", 7), 7);
  EXPECT_EQ(q.getInt64Field("big", -3), -3);
  EXPECT_DOUBLE_EQ(q.getFloatField("f", 9.5), 9.5);
  EXPECT_EQ(q.getStringField("s", "dflt"), "dflt");
  q.nextRow();
  EXPECT_TRUE(q.eof());
  q.finalize();
  EXPECT_THROW(q.eof(), CppSQLite3Exception);

  EXPECT_EQ(m_db.execScalar("SELECT count(*) FROM t"), 2);
}

TEST_F(CppSQLite3Test, MovesLeaveTheSourceEmpty) {
  m_db.execDML("CREATE TABLE t (a)");
  m_db.execDML("INSERT INTO t VALUES (1)");
  CppSQLite3Query a = m_db.execQuery("SELECT a FROM t");
  CppSQLite3Query b = std::move(a);
  EXPECT_THROW(a.eof(), CppSQLite3Exception);  // NOLINT: a moved-from query is empty
  EXPECT_EQ(b.getIntField(0), 1);
  b = m_db.execQuery("SELECT a + 1 FROM t");  // the old statement is finalized first
  EXPECT_EQ(b.getIntField(0), 2);

  CppSQLite3Statement s = m_db.compileStatement("SELECT 1");
  CppSQLite3Statement s2 = std::move(s);
  EXPECT_THROW(s.bind(1, 1), CppSQLite3Exception);  // NOLINT
  EXPECT_EQ(s2.execQuery().getIntField(0), 1);
}

TEST_F(CppSQLite3Test, ResultsOutliveTheClosedConnection) {
  m_db.execDML("CREATE TABLE t (a)");
  for (int i = 0; i < 3; ++i) m_db.execDML("INSERT INTO t VALUES (?)", {i});
  CppSQLite3Query q = m_db.execQuery("SELECT a FROM t ORDER BY a");
  CppSQLite3Statement s = m_db.compileStatement("SELECT count(*) FROM t");
  m_db.close();
  EXPECT_THROW(m_db.execDML("SELECT 1"), CppSQLite3Exception);
  int n = 0;
  for (; !q.eof(); q.nextRow()) ++n;
  EXPECT_EQ(n, 3);
  EXPECT_EQ(s.execQuery().getIntField(0), 3);
  // Finalizing the last statement frees the connection (checked by the sanitizers).
}

TEST_F(CppSQLite3Test, TableExistsBindsTheName) {
  std::string longName(100, 'n');
  longName += "'q";
  m_db.execDML("CREATE TABLE \"" + longName + "\" (a)");
  EXPECT_TRUE(m_db.tableExists(longName));
  EXPECT_FALSE(m_db.tableExists("x' OR '1'='1"));
  EXPECT_FALSE(m_db.tableExists(std::string(100, 'n')));
}

TEST_F(CppSQLite3Test, ExecDMLRunsOneStatementAndPassesOverRows) {
  EXPECT_EQ(m_db.execDML("  -- nothing\n"), 0);
  m_db.execDML("PRAGMA max_page_count = 1000");  // returns a row
  m_db.execDML("CREATE TABLE t (a);  -- trailing comment");
  EXPECT_EQ(m_db.execDML("INSERT INTO t VALUES (?)", {nullptr}), 1);
  EXPECT_EQ(m_db.execDML("INSERT INTO t SELECT a FROM t"), 1);
  EXPECT_EQ(m_db.execDML("DELETE FROM t"), 2);
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

// Binary data stored in a TEXT column: the text holds no zero byte and no quote, an
// empty input is "x", and garbage does not decode.
TEST(CppSQLite3BinaryTest, RoundTripsAndRefusesGarbage) {
  std::vector<std::string> inputs = {std::string(), std::string(10, '\0'), std::string(10, '\'')};
  std::string all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
  inputs.push_back(all);
  for (size_t n : {1u, 39u, 4096u}) inputs.push_back(RandomBytes(n, static_cast<uint32_t>(n)));
  for (const std::string& data : inputs) {
    std::string enc = CppSQLite3EncodeBinary(data);
    EXPECT_EQ(enc.find('\0'), std::string::npos);
    EXPECT_EQ(enc.find('\''), std::string::npos);
    EXPECT_EQ(CppSQLite3DecodeBinary(enc), data) << data.size();
  }
  EXPECT_EQ(CppSQLite3EncodeBinary(""), "x");
  for (const std::string& bad : {std::string(), std::string("\x05\x01\x09", 3), std::string("\x00\x41", 2)})
    EXPECT_EQ(Thrown([&] { CppSQLite3DecodeBinary(bad); }).second, "CPPSQLITE_ERROR[1000]: Cannot decode binary");
}

}  // namespace
