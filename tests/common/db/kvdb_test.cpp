// The key-value table and the per-user data base: what is written is what the sqlite3
// shell finds in "tevok.db", one row per key, numbers read back as the settings
// always read them.
#include <climits>
#include <string>

#include "common/db/dbhelper.h"
#include "dbtestutil.h"
#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

class CKVDBTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    ASSERT_EQ(m_db.Init(Root()), S_OK);
    m_path = Root() + "/tevok.db";
  }
  void TearDown() override {
    m_db.UnInit();
    OstrelTest::TearDown();
  }
  CKVDB& Config() { return m_db.Config(); }

  CDBHelper m_db;
  std::string m_path;
};

TEST_F(CKVDBTest, TheShellReadsWhatWasWrittenAndTheTableReadsTheShell) {
  ASSERT_EQ(Config().SetInt64Item("LocalStorage", "CacheVersion", 1099511627776), S_OK);
  ASSERT_EQ(Config().SetIntItem("LocalStorage", "RootCacheVersion", -42), S_OK);
  ASSERT_EQ(Config().SetItem("LocalStorage", "Note", "it's"), S_OK);
  EXPECT_EQ(CliQuery(m_path, "SELECT sql FROM sqlite_master WHERE name = 'config'"),
            "CREATE TABLE config (section TEXT, field TEXT, value TEXT)\n");
  EXPECT_EQ(CliQuery(m_path, "SELECT section, field, value, typeof(value) FROM config ORDER BY rowid"),
            "LocalStorage|CacheVersion|1099511627776|text\n"
            "LocalStorage|RootCacheVersion|-42|text\n"
            "LocalStorage|Note|it's|text\n");
  CliQuery(m_path, "INSERT INTO config VALUES ('S', 'F', '123'), ('S', 'Q', 'a''b')");
  int n = 0;
  std::string s;
  EXPECT_EQ(Config().GetIntItem("S", "F", &n, -1), S_OK);
  EXPECT_EQ(Config().GetItem("S", "Q", &s, ""), S_OK);
  EXPECT_EQ(std::to_string(n) + s, "123a'b");
}

TEST_F(CKVDBTest, SetItemKeepsOneRowPerKey) {
  ASSERT_EQ(Config().SetItem("S", "F", "first"), S_OK);
  ASSERT_EQ(Config().SetItem("S", "F", "second 'quoted'"), S_OK);
  EXPECT_EQ(CliQuery(m_path, "SELECT count(*) FROM config WHERE section = 'S' AND field = 'F'"), "1\n");
  std::string v;
  EXPECT_EQ(Config().GetItem("S", "F", &v, "dflt"), S_OK);
  EXPECT_EQ(v, "second 'quoted'");
  // Section and field are exact keys, not patterns.
  EXPECT_EQ(Config().GetItem("S' OR '1'='1", "F", &v, "none"), S_OK);
  EXPECT_EQ(v, "none");
}

TEST_F(CKVDBTest, NumbersReadAsTheSettingsAlwaysRead) {
  struct Case {
    const char* stored;  // null: no row
    int int32;
    int64_t int64;
  };
  const Case cases[] = {
      {nullptr, -1, -1},    {"", -1, -1},       {"abc", 0, 0},         {"12abc", 12, 12},
      {"  -7", -7, -7},     {"2147483648", INT_MAX, 2147483648LL},     {"-2147483649", INT_MIN, -2147483649LL},
      {"99999999999999999999", INT_MAX, LLONG_MAX}, {"-99999999999999999999", INT_MIN, LLONG_MIN},
  };
  for (const Case& c : cases) {
    std::string field = c.stored ? std::string("f") + c.stored : "never written";
    if (c.stored) {
      ASSERT_EQ(Config().SetItem("N", field, c.stored), S_OK);
    }
    int v32 = 99;
    int64_t v64 = 99;
    EXPECT_EQ(Config().GetIntItem("N", field, &v32, -1), S_OK);
    EXPECT_EQ(Config().GetInt64Item("N", field, &v64, -1), S_OK);
    EXPECT_EQ(v32, c.int32) << field;
    EXPECT_EQ(v64, c.int64) << field;
  }
}

// A failed read leaves the value; UnInit unbinds the table and Init binds it again.
TEST_F(CKVDBTest, FailedReadLeavesTheValueAndInitBindsAgain) {
  ASSERT_EQ(Config().SetItem("S", "F", "v"), S_OK);
  m_db.CDB::UnInit();  // the table stays bound to a closed data base
  int v = 5;
  int64_t v64 = 6;
  std::string s = "kept";
  EXPECT_EQ(Config().GetIntItem("S", "F", &v, 0), E_CV_DB_ERROR);
  EXPECT_EQ(Config().GetInt64Item("S", "F", &v64, 0), E_CV_DB_ERROR);
  EXPECT_EQ(Config().GetItem("S", "F", &s, ""), E_CV_DB_ERROR);
  EXPECT_EQ(Config().SetItem("S", "F", "x"), E_CV_DB_ERROR);
  EXPECT_EQ(v, 5);
  EXPECT_EQ(v64, 6);
  EXPECT_EQ(s, "kept");

  EXPECT_EQ(m_db.UnInit(), S_OK);
  EXPECT_EQ(Config().GetDB(), nullptr);
  LogCapture log;
  EXPECT_EQ(Config().SetItem("S", "F", "w"), E_FAIL);
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOLEX"));

  ASSERT_EQ(m_db.Init(Root() + "/"), S_OK);  // a trailing "/" names the same file
  EXPECT_EQ(m_db.GetDBPath(), m_path);
  EXPECT_EQ(Config().GetItem("S", "F", &s, ""), S_OK);
  EXPECT_EQ(s, "v");
}

TEST_F(CKVDBTest, SessionsOpenAndEnd) {
  m_db.UnInit();
  EXPECT_EQ(OpenUserDB(PathIn("user")), E_FAIL);  // the folder is not there
  EXPECT_EQ(GetUserDB(), nullptr);
  ASSERT_EQ(OpenUserDB(Root()), S_OK);
  ASSERT_EQ(GetConfigTable()->SetItem("S", "F", "user"), S_OK);
  CloseUserDB();
  EXPECT_EQ(GetConfigTable(), nullptr);
  EXPECT_EQ(CliQuery(m_path, "SELECT value FROM config"), "user\n");
  ASSERT_EQ(m_db.Init(Root()), S_OK);
}

}  // namespace
