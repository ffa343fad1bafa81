// The file system's test rig: the user's data base in the test's folder with a real
// local storage on it, a FakeSyncCenter that hands out the components and a prompting
// shell adapter, and file systems made on a remote storage of the test's choice with a
// real task manager (CreateTaskMgr).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "common/db/dbhelper.h"
#include "common/db/dbtestutil.h"
#include "core/filesystem/filesystem.h"
#include "core/localstorage/localstorage.h"
#include "core/taskmgr/taskmgr.h"
#include "support/enginefakes.h"
#include "support/promptingshelladapter.h"

// Mixed into a fixture (OstrelTest or LocalServiceTest): OpenStore in SetUp, CloseStore
// in TearDown.
template <class Base>
class FileSystemRig : public Base {
 protected:
  void OpenStore() {
    m_userDir = this->PathIn("user");
    ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(m_userDir)), 0);
    ASSERT_EQ(OpenUserDB(m_userDir), S_OK);
    GetUserDB()->SetRetryPause(std::chrono::milliseconds(0));
    ASSERT_EQ(CreateLocalStorage(m_store.Receive()), S_OK);
    ASSERT_EQ(m_store->Init(m_userDir, this->PathIn("sync")), S_OK);
    m_center->Register(m_store.get());
    m_center->Register(m_shell.get());
  }
  void CloseStore() {
    if (m_fs) m_fs->UnInit();
    m_fs = nullptr;
    m_taskMgr = nullptr;
    m_remote = nullptr;
    m_center = nullptr;
    m_store = nullptr;
    CloseUserDB();
  }

  // A new file system on remote with a new task manager, signed in with token; the
  // result of its Init.
  HRESULT MakeFileSystem(IRemoteStorage* remote, const std::string& token = "session-token") {
    m_center->SignIn("ann", token);
    m_remote = RefPtr<IRemoteStorage>(remote);
    EXPECT_EQ(CreateTaskMgr(m_taskMgr.Receive()), S_OK);
    EXPECT_EQ(m_taskMgr->Init(m_center.get(), m_store.get(), remote), S_OK);
    if (m_fs) m_fs->UnInit();
    EXPECT_EQ(CreateFileSystem(m_fs.Receive()), S_OK);
    return m_fs->Init(m_center.get(), m_store.get(), remote, m_taskMgr.get());
  }

  std::string DbPath() const { return m_userDir + "/tevok.db"; }
  // One query through the sqlite3 shell on the data-base file.
  std::string Cli(const std::string& sql) const { return CliQuery(DbPath(), sql); }

  // The names of the items, each followed by ";".
  static std::string Names(const std::vector<CFileItemRecord>& items) {
    std::string text;
    for (const CFileItemRecord& item : items) text += item.strName + ";";
    return text;
  }

  std::string m_userDir;
  RefPtr<FakeSyncCenter> m_center{new FakeSyncCenter};
  RefPtr<PromptingShellAdapter> m_shell{new PromptingShellAdapter};
  RefPtr<ILocalStorage> m_store;
  RefPtr<IRemoteStorage> m_remote;
  RefPtr<ITaskMgr> m_taskMgr;
  RefPtr<IFileSystem> m_fs;
};
