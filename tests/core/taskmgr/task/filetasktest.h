// The fixture of the file-task tests: the test's own local service with an account,
// the real remote and local storages on one fault-injecting file system (the sync
// folder root/sync, the user's data base in root/user), a sync centre that hands out a
// prompting shell adapter and a recording file system, and the file tasks made with
// them. After every test the temp folder holds nothing but resume folders of
// unfinished block downloads.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "common/db/dbhelper.h"
#include "common/filehelper.h"
#include "common/sha1.h"
#include "core/interfaces/createtaskdata.h"
#include "core/localstorage/localstorage.h"
#include "core/taskmgr/task/createfiletask.h"
#include "core/taskmgr/task/filetaskfakes.h"
#include "support/enginefakes.h"
#include "support/filefault.h"
#include "support/fsseed.h"
#include "support/serviceclient.h"
#include "support/tempfolder.h"
#include "support/textlike.h"

inline constexpr size_t kMiB = size_t(1) << 20;

inline std::string Sha1Of(const std::string& s) { return Sha1Hex(s.data(), s.size()); }

class FileTaskTest : public ServiceClientTest {
 protected:
  void SetUp() override {
    ServiceClientTest::SetUp();
    ASSERT_EQ(S_OK, CreateRemoteStorage(m_rs.Receive(), &m_env));
    const std::string user = Root() + "/user";
    ASSERT_EQ(S_OK, EnsureDirectory(Root() + "/src"));
    ASSERT_NO_FATAL_FAILURE(OpenUserDbIn(user));
    ASSERT_EQ(S_OK, CreateLocalStorage(m_store.Receive(), &m_env));
    ASSERT_EQ(S_OK, m_store->Init(user, Root() + "/sync"));
    const nlohmann::json account = FsAccount(Service(), "ann");
    m_token = account["token"].get<std::string>();
    m_userId = account["userId"].get<std::string>();
    m_center->SignIn("ann", m_token);
    m_center->Register(m_shell.get());
    m_center->Register(m_fs.get());
  }
  void TearDown() override {
    m_env.Clear();
    if (m_store) {
      EXPECT_TRUE(Leftovers().empty()) << ::testing::PrintToString(Leftovers());
    }
    m_store = nullptr;
    CloseUserDB();
    ServiceClientTest::TearDown();
  }

  // Switches the service's global version ("2" one encoded file, "3" blocks) and makes
  // the client ask again.
  void UseVersion(const std::string& version) {
    FsControl(Service(), "/test/fs/global-version", {{"version", version}});
    remotestoragecontrol::ResetGlobalVersionFlag();
  }

  FileTaskOptions Options() {
    FileTaskOptions options;
    options.syncCenter = m_center.get();
    options.env = &m_env;
    return options;
  }
  // The task of the record, initialised as an executer initialises it.
  std::unique_ptr<ITask> MakeTask(TaskDataBase* record, TransportProgressCallback progress = nullptr,
                                  void* context = nullptr) {
    std::unique_ptr<ITask> task(CreateFileTask(record, Options()));
    EXPECT_TRUE(task);
    if (task) {
      EXPECT_EQ(S_OK, task->Init(m_store.get(), m_rs.get(), progress, 0, 0, context));
    }
    return task;
  }
  // Makes, runs once and destroys the record's task.
  HRESULT Run(TaskDataBase* record) {
    std::unique_ptr<ITask> task = MakeTask(record);
    return task ? task->Execute() : E_UNEXPECTED;
  }

  // Records as the facade makes them, with the session's token.
  TaskDataPtr<TaskData_NewFile> NewFileRecord(const std::string& name, const std::string& source,
                                              const std::string& parentId = "") {
    TaskDataPtr<TaskData_NewFile> r(CreateTaskData_UpdateNewFile(parentId, "\\" + name, source));
    r->strToken = m_token;
    return r;
  }
  TaskDataPtr<TaskData_UpdateFile> UpdateRecord(const std::string& fileId, const std::string& name,
                                                const std::string& fileVer, const std::string& source) {
    TaskDataPtr<TaskData_UpdateFile> r(CreateTaskData_UpdateFile(fileId, "\\" + name, fileVer, source));
    r->strToken = m_token;
    return r;
  }
  TaskDataPtr<TaskData_DownloadFile> DownloadRecord(const std::string& fileId, const std::string& name,
                                                    const std::string& target) {
    TaskDataPtr<TaskData_DownloadFile> r(CreateTaskData_DownloadFile(fileId, "\\" + name, target));
    r->strToken = m_token;
    return r;
  }

  // A source file root/src/name holding bytes.
  std::string Source(const std::string& name, const std::string& bytes) {
    const std::string path = Root() + "/src/" + name;
    WriteFileBytes(path, bytes);
    return path;
  }
  // Where downloads go: a path in the sync folder (its folder is made by the move).
  std::string Target(const std::string& name) { return Root() + "/sync/dl/" + name; }
  // A file of the account's root as another device would have uploaded it.
  std::string Seed(const std::string& name, const std::string& content, const std::string& format = "whole") {
    return FsSeedFile(Service(), m_userId, name, content, format)["fileId"].get<std::string>();
  }
  // A download ticket as the service writes it for the version's protocol, with the
  // first from replaced by to (to inject as a reply body).
  std::string Ticket(const std::string& fileId, const std::string& version, const std::string& from,
                     const std::string& to) {
    std::string text = HttpExchange(Service().Port(), "POST", "/xsvr/requestDownload/",
                                    "<?xml version=\"1.0\"?><nuvra><token>" + m_token + "</token><fileId>" + fileId +
                                        "</fileId></nuvra>",
                                    {"v: " + version})
                           .body;
    const size_t at = text.find(from);
    EXPECT_NE(std::string::npos, at) << text;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
  }

  // What a task must never leave behind in the temp folder.
  std::vector<std::string> Leftovers() { return TempLeftovers(m_store.get()); }

  FaultFileEnv m_env;
  RefPtr<ILocalStorage> m_store;
  RefPtr<FakeSyncCenter> m_center{new FakeSyncCenter};
  RefPtr<PromptingShellAdapter> m_shell{new PromptingShellAdapter};
  RefPtr<RecordingFileSystem> m_fs{new RecordingFileSystem};
  std::string m_token;
  std::string m_userId;
};

// The fixture on the service version of the test's parameter: "2" (one encoded file)
// or "3" (blocks).
class FileTaskVersionTest : public FileTaskTest, public ::testing::WithParamInterface<std::string> {
 protected:
  std::vector<std::string> ServiceArgs() override { return {"--global-version", GetParam()}; }
  bool Blocks() const { return GetParam() == "3"; }
};

inline std::string VersionName(const ::testing::TestParamInfo<std::string>& info) { return "Version" + info.param; }
