// The fixture of the download power-loss tests: an account on the test's own local
// service, the user's data base outside the sync folder (SQLite keeps to its own file
// access), and the download and delivery the download task makes, run as one start of
// the client on a file system that may lose power. The power-loss env's tree is the
// sync folder, its temp folder ".tmp" with the kept blocks included.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <optional>
#include <string>

#include "common/db/dbhelper.h"
#include "common/filehelper.h"
#include "core/encrypt/encodefile.h"
#include "core/interfaces/createtaskdata.h"
#include "core/localstorage/localstorage.h"
#include "support/fsseed.h"
#include "support/powerloss.h"
#include "support/serviceclient.h"

class DownloadPowerLossTest : public ServiceClientTest {
 protected:
  enum class Protocol { kBlocks, kWhole };

  void SetUp() override {
    ServiceClientTest::SetUp();
    const std::string user = Root() + "/user";
    ASSERT_NO_FATAL_FAILURE(OpenUserDbIn(user));
    nlohmann::json account = FsAccount(Service(), "ann");
    m_token = account["token"].get<std::string>();
    m_userId = account["userId"].get<std::string>();
  }
  void TearDown() override {
    CloseUserDB();
    ServiceClientTest::TearDown();
  }

  std::string SyncFolder() { return Root() + "/sync"; }

  // An empty sync folder.
  void EmptySyncFolder() {
    RemoveTree(SyncFolder());
    ASSERT_EQ(0, ::mkdir(SyncFolder().c_str(), 0700));
  }

  // The content at path, nullopt when there is no file.
  static std::optional<std::string> Content(const std::string& path) {
    if (!FileExists(path)) return std::nullopt;
    return ReadFileBytes(path);
  }

  struct Attempt {
    HRESULT hr = E_FAIL;
    long ops = 0;  // calls counted from the start of the download on
  };

  // One start of the client that downloads fileId and delivers it to target (a path in
  // the sync folder) as the download task does, everything on env; with stop, that env
  // stops cut calls after the download began (the start itself is not counted). The
  // client's components go before the call returns, as they would with the machine.
  Attempt DownloadAndDeliver(FileEnv* env, Protocol protocol, const std::string& fileId, const std::string& target,
                             PowerLossFileEnv* stop = nullptr, long cut = -1) {
    Attempt out;
    RefPtr<ILocalStorage> store;
    RefPtr<IRemoteStorage> rs;
    EXPECT_EQ(S_OK, CreateLocalStorage(store.Receive(), env));
    EXPECT_EQ(S_OK, store->Init(Root() + "/user", SyncFolder()));
    EXPECT_EQ(S_OK, CreateRemoteStorage(rs.Receive(), env));
    const long before = stop ? stop->Ops() : 0;
    if (stop) stop->CutAfter(cut);
    const std::string temp = store->GetTempFilePath();
    if (protocol == Protocol::kBlocks) {
      TaskData_DownloadFile_UFA ufa;
      ufa.strToken = m_token;
      ufa.strFileId = fileId;
      ufa.pathDownload = temp;
      out.hr = rs->DownloadFile_UFA(ufa, store.get(), nullptr, nullptr, false);
    } else {
      TaskDataPtr<TaskData_DownloadFile> rec(CreateTaskData_DownloadFile(fileId, "\\doc.txt", ""));
      rec->strToken = m_token;
      rec->strTempPath = store->GetTempFilePath();
      RecordTree reply;
      out.hr = rs->DownloadFile(*rec, nullptr, nullptr, &reply);
      if (out.hr == S_OK) out.hr = DecodeFile(rec->strTempPath, temp, reply.GetValue("fileKey"), kDecodeDefaultCap, env);
      ForceDeleteFile(rec->strTempPath, env);
    }
    if (out.hr == S_OK) out.hr = store->MoveTempFileToSyncSpace(temp, target, "doc.txt");
    if (out.hr != S_OK) ForceDeleteFile(temp, env);
    if (stop) out.ops = stop->Ops() - before;
    store = nullptr;
    rs = nullptr;
    return out;
  }

  std::string m_token;
  std::string m_userId;
};
