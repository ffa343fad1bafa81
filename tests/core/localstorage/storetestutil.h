// The local storage's test fixture: the user's data base (tevok.db with its config
// table) in the test's folder, a store created on it, and small record builders.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "common/db/dbhelper.h"
#include "common/db/dbtestutil.h"
#include "common/unknown.h"
#include "core/localstorage/localstorage.h"
#include "support/testenv.h"

class LocalStorageFixture : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    m_userDir = PathIn("user");
    ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(m_userDir)), 0);
    m_syncDir = PathIn("sync");
    ASSERT_EQ(OpenUserDB(m_userDir), S_OK);
    GetUserDB()->SetRetryPause(std::chrono::milliseconds(0));
    ASSERT_EQ(CreateLocalStorage(m_store.Receive()), S_OK);
    if (InitInSetUp()) {
      ASSERT_EQ(m_store->Init(m_userDir, m_syncDir), S_OK);
    }
  }
  void TearDown() override {
    m_store = nullptr;
    CloseUserDB();
    OstrelTest::TearDown();
  }
  // Fixtures that prepare the data base before Init say false.
  virtual bool InitInSetUp() const { return true; }

  std::string DbPath() const { return m_userDir + "/tevok.db"; }
  // One query through the sqlite3 shell on the data-base file.
  std::string Cli(const std::string& sql) const { return CliQuery(DbPath(), sql); }
  std::string Ids(const std::string& table = "files") const {
    return Cli("SELECT svrid FROM " + table + " ORDER BY svrid");
  }

  static CFileItemRecord File(const std::string& id, const std::string& parent, const std::string& name) {
    CFileItemRecord r;
    r.bIsDir = kItemFile;
    r.strSvrId = id;
    r.strParentId = parent;
    r.strName = name;
    r.strSha1 = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
    r.size = 7;
    r.fileVer = 2;
    r.strLocalCTime = "2024-03-05 10:00:00";
    r.strLocalMTime = "2024-03-05 11:00:00";
    return r;
  }
  static CFileItemRecord Folder(const std::string& id, const std::string& parent, const std::string& name) {
    CFileItemRecord r;
    r.bIsDir = kItemFolder;
    r.strSvrId = id;
    r.strParentId = parent;
    r.strName = name;
    return r;
  }
  // The members the store keeps, as a listing of it reads them back.
  static CFileItemRecord Stored(CFileItemRecord r) {
    r.opVer = 0;
    r.strModifier.clear();
    r.strDigest.clear();
    if (r.bIsDir) r.bIsDir = kItemFolder;
    return r;
  }

  std::string m_userDir;
  std::string m_syncDir;
  RefPtr<ILocalStorage> m_store;
};
