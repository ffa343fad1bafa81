// The item tables as the sqlite3 shell sees them: the indexes of a new data base, older
// data bases upgraded with their rows kept, and what Init does with the sync folder.
#include <sys/stat.h>

#include "platform/posixfile.h"
#include "storetestutil.h"
#include "support/logcapture.h"

namespace {

class LocalStorageSchemaTest : public LocalStorageFixture {
 protected:
  bool InitInSetUp() const override { return false; }
};

// The column text of tables made before the share list, view mode and shared flag.
const char kOlderColumns[] =
    "id\t\t\tINTEGER\t\t\tPRIMARY KEY\t,isdir\t\t\tTINYINT\t\t\t\t\t\t,size\t\t\tINT\t\t\t\t\t\t\t,version\t\tINT"
    "\t\t\t\t\t\t\t,fileversion\tINT\t\t\t\t\t\t\t,sha1\t\t\tVARCHAR(42)\t\t\t\t\t,svrparentid\tVARCHAR(260) "
    "COLLATE NOCASE\t,svrid\t\t\tVARCHAR(260) COLLATE NOCASE\t,svr_mtime\t\tDATETIME\t\t\t\t\t,svr_ctime\t\tDATETIME"
    "\t\t\t\t\t,localpath\t\tVARCHAR(260) COLLATE NOCASE\t,localname\t\tVARCHAR(260) COLLATE NOCASE\t,local_mtime\t"
    "DATETIME\t\t\t\t\t,local_ctime\tDATETIME\t\t\t\t\t,cacheversion\tINT\t\t\t\t\t\t\t,itemversion\tINT";

TEST_F(LocalStorageSchemaTest, NewDataBaseHasTheIndexes) {
  ASSERT_EQ(m_store->Init(m_userDir, m_syncDir), S_OK);
  EXPECT_EQ(Cli("SELECT name, sql FROM sqlite_master WHERE type = 'index' ORDER BY name"),
            "files_index|CREATE INDEX files_index ON files(svrid, svrparentid)\n"
            "files_parent_index|CREATE INDEX files_parent_index ON files(svrparentid)\n"
            "shareinfiles_index|CREATE INDEX shareinfiles_index ON shareinfiles(svrid, svrparentid)\n"
            "shareinfiles_parent_index|CREATE INDEX shareinfiles_parent_index ON shareinfiles(svrparentid)\n");
  // Listings by parent use an index.
  EXPECT_NE(Cli("EXPLAIN QUERY PLAN SELECT * FROM files WHERE svrparentid = 'x'").find("files_parent_index"),
            std::string::npos);

  // A second Init changes nothing in the schema.
  const std::string before = Cli("SELECT sql FROM sqlite_master ORDER BY name");
  ASSERT_EQ(m_store->Init(m_userDir, m_syncDir), S_OK);
  EXPECT_EQ(Cli("SELECT sql FROM sqlite_master ORDER BY name"), before);
}

TEST_F(LocalStorageSchemaTest, ANewDataBaseGetsAllItsTablesOrNone) {
  // A name the new tables' index needs is taken: the set-up fails whole.
  Cli("CREATE INDEX files_index ON config(section);");
  EXPECT_NE(m_store->Init(m_userDir, m_syncDir), S_OK);
  EXPECT_EQ(Cli("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"), "config\n");
  Cli("DROP INDEX files_index;");
  ASSERT_EQ(m_store->Init(m_userDir, m_syncDir), S_OK) << "the next Init starts over";
  EXPECT_EQ(Cli("SELECT count(*) FROM sqlite_master WHERE type = 'index' AND tbl_name != 'config'"), "4\n");
}

TEST_F(LocalStorageSchemaTest, OlderDataBaseIsUpgradedAndKeepsItsRows) {
  // Made by the sqlite3 shell as an older client left it: neither table has viewmode
  // or bshared, files has no sharers; shareinfiles has one (tested below without).
  const std::string older = kOlderColumns;
  Cli("CREATE TABLE files (" + older + "); CREATE INDEX files_index ON files(svrid, svrparentid);"
      "CREATE TABLE shareinfiles (" + older + ", sharers TEXT);"
      "INSERT INTO files (isdir, size, fileversion, sha1, svrparentid, svrid, localname, local_ctime, local_mtime, "
      "cacheversion, itemversion) VALUES (1, 0, 0, '', '', 'D1', 'docs', '', '', 4, 4);"
      "INSERT INTO files (isdir, size, fileversion, sha1, svrparentid, svrid, localname, local_ctime, local_mtime, "
      "itemversion) VALUES (0, 5000000000, 3, 'aa', 'D1', 'F1', 'big.iso', 'c', 'm', 4);"
      "INSERT INTO shareinfiles (isdir, size, fileversion, sha1, svrparentid, svrid, localname, local_ctime, "
      "local_mtime, itemversion, sharers) VALUES (0, 1, 1, 'bb', 'x@y', 'S1', 'shared.txt', 'c', 'm', 2, "
      "'u1,3,x@y,Xavier');");

  ASSERT_EQ(m_store->Init(m_userDir, m_syncDir), S_OK);
  EXPECT_EQ(Cli("SELECT name, type, dflt_value FROM pragma_table_info('files') WHERE cid >= 16"),
            "sharers|TEXT|''\nviewmode|INT|0\nbshared|TINYINT|0\n");
  EXPECT_EQ(Cli("SELECT name FROM pragma_table_info('shareinfiles') WHERE cid >= 16"), "sharers\nviewmode\nbshared\n");
  EXPECT_EQ(Cli("PRAGMA integrity_check"), "ok\n");
  EXPECT_EQ(Cli("SELECT svrid, sharers, viewmode, bshared FROM files ORDER BY svrid"), "D1||0|0\nF1||0|0\n");

  std::vector<CFileItemRecord> items;
  ASSERT_EQ(m_store->GetLastSyncSnapshot("D1", &items, ItemSpace::MyFile), S_OK);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].strName, "big.iso");
  EXPECT_EQ(items[0].size, 5000000000);
  EXPECT_EQ(items[0].fileVer, 3);
  EXPECT_TRUE(items[0].shareEntries.empty());

  CFileItemRecord shared;
  ASSERT_EQ(m_store->GetItemInfo("S1", &shared, ItemSpace::ShareToMe), S_OK);
  ASSERT_EQ(shared.shareEntries.size(), 1u);
  EXPECT_EQ(shared.shareEntries[0].nickName, "Xavier");
  EXPECT_EQ(shared.shareEntries[0].rights, kShareRightRead | kShareRightWrite);

  // The folder's mark from before the upgrade still counts.
  ASSERT_EQ(m_store->SetCurCacheVesion(4), S_OK);
  EXPECT_FALSE(m_store->FolderNeedUpdate("D1", ItemSpace::MyFile));
}

TEST_F(LocalStorageSchemaTest, OlderSharedTableWithoutSharersGetsThem) {
  const std::string older = kOlderColumns;
  Cli("CREATE TABLE shareinfiles (" + older + ");"
      "INSERT INTO shareinfiles (isdir, size, fileversion, sha1, svrparentid, svrid, localname, local_ctime, "
      "local_mtime, itemversion) VALUES (0, 1, 1, 'bb', 'x@y', 'S1', 'shared.txt', 'c', 'm', 2);");
  ASSERT_EQ(m_store->Init(m_userDir, m_syncDir), S_OK);
  EXPECT_EQ(Cli("SELECT name FROM pragma_table_info('shareinfiles') WHERE cid >= 16"), "viewmode\nbshared\nsharers\n");
  std::vector<CFileItemRecord> items;
  ASSERT_EQ(m_store->GetLastSyncSnapshot("x@y", &items, ItemSpace::ShareToMe), S_OK);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].strSvrId, "S1");
  CFileItemRecord again = File("S2", "x@y", "more.txt");
  again.shareEntries.push_back({"Xavier", "u1", "x@y", kShareRightRead});
  EXPECT_EQ(m_store->AddOrUpdateFileItem(again, ItemSpace::ShareToMe), S_OK);
  EXPECT_EQ(Cli("SELECT sharers FROM shareinfiles WHERE svrid = 'S2'"), "u1,1,x@y,Xavier\n");
}

TEST_F(LocalStorageSchemaTest, InitPreparesTheSyncFolder) {
  // Leftovers of an earlier session in the temp folder go (the temp folder's own tests
  // show links and claims of other processes); the user's files stay.
  ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(m_syncDir + "/.tmp/sub")), 0);
  WriteFileBytes(m_syncDir + "/.tmp/old.part", "x");
  WriteFileBytes(m_syncDir + "/.tmp/sub/older.part", "y");
  WriteFileBytes(m_syncDir + "/mine.txt", "user file");

  ASSERT_EQ(m_store->Init(m_userDir, m_syncDir + "/"), S_OK);
  EXPECT_EQ(m_store->GetTempFolder(), m_syncDir + "/.tmp/");
  EXPECT_EQ(m_store->GetFullPath(""), m_syncDir);
  std::string left;
  EXPECT_EQ(RunCommand("ls -A " + ShellQuote(m_syncDir + "/.tmp"), &left), 0);
  const std::string work = FolderOfPath(m_store->GetTempFilePath()).substr(m_syncDir.size() + 6);
  EXPECT_EQ(left, work + "\n" + work + ".lock\n") << "only the store's own work folder";
  struct stat st {};
  ASSERT_EQ(stat((m_syncDir + "/.tmp").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(ReadFileBytes(m_syncDir + "/mine.txt"), "user file");

  // A new sync folder is made with its parents.
  ASSERT_EQ(m_store->Init(m_userDir, PathIn("deep/er/sync")), S_OK);
  EXPECT_TRUE(FileExists(PathIn("deep/er/sync/.tmp")));
}

TEST_F(LocalStorageSchemaTest, InitFailures) {
  LogCapture log;
  EXPECT_EQ(m_store->Init(m_userDir, ""), E_FAIL);
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOLEX:!IsStrEmpty(szLocalSyncPath)"));
  // A file where the sync folder should be.
  WriteFileBytes(PathIn("taken"), "x");
  EXPECT_TRUE(FAILED(m_store->Init(m_userDir, PathIn("taken"))));

  // Tables that cannot be made: the data base is closed.
  GetUserDB()->UnInit();
  log.Clear();
  EXPECT_EQ(m_store->Init(m_userDir, m_syncDir), E_CV_DB_ERROR);
  EXPECT_TRUE(log.Contains("ERROR_CHECK_COM: hr = 80048004 MSG: CLocalStorage::_CreateDbTable() Failed!"));
}

}  // namespace
