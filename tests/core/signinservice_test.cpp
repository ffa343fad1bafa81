// Sign-in against the test's own local service, with the real local storage, remote
// storage and task manager (the file system and the event centre are fakes): what a
// sign-in leaves on disk and in the registry, a second process signing in with the
// stored token, rejected tokens, user ids the service must not be trusted with,
// "not my computer", and that a session leaves no thread or descriptor behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/db/dbhelper.h"
#include "common/registry.h"
#include "core/localstorage/localstorage.h"
#include "core/remotestorage/remotestorage.h"
#include "core/synccenter.h"
#include "core/synccenterfakes.h"
#include "core/taskmgr/taskmgr.h"
#include "support/enginefakes.h"
#include "support/serviceclient.h"
#include "support/logcapture.h"
#include "support/processes.h"

namespace {

namespace fs = std::filesystem;

const char kTokenValue[] = "{5f3cde84-0629-43e4-8ec2-98524cf82edf}";

std::vector<std::string> ProcEntries(const char* folder) {
  std::vector<std::string> entries;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    std::error_code linkError;
    const fs::path target = fs::read_symlink(entry.path(), linkError);
    entries.push_back(entry.path().filename().string() + (linkError ? "" : " -> " + target.string()));
  }
  return entries;
}

class SignInServiceTest : public LocalServiceTest {
 protected:
  void SetUp() override {
    LocalServiceTest::SetUp();
    AimClientAtService(Service(), Root());
    remotestoragecontrol::ResetGlobalVersionFlag();
    AddAccount("alice", "pw-alice", "alice01");
    AddAccount("bob", "pw-bob", "bob02");
    m_config = PathIn("cfg");
  }
  void TearDown() override {
    if (m_center) {
      m_center->Stop();
      m_center->UnInit();
      m_center.reset();
    }
    CloseUserDB();
    remotestoragecontrol::ResetGlobalVersionFlag();
    LocalServiceTest::TearDown();
  }

  void AddAccount(const std::string& user, const std::string& password, const std::string& userId) {
    Service().Control("POST", "/test/fs/account",
                      R"({"user":")" + user + R"(","password":")" + password + R"(","userId":")" + userId + R"("})");
  }
  // The real local storage, remote storage and task manager; fake file system and
  // event centre.
  CoreComponentFactory Components() {
    CoreComponentFactory factory = m_fakes.Factory();
    factory.createLocalStorage = [](ILocalStorage** pp) { return CreateLocalStorage(pp); };
    factory.createRemoteStorage = [](IRemoteStorage** pp) { return CreateRemoteStorage(pp); };
    factory.createTaskMgr = [](ITaskMgr** pp) { return CreateTaskMgr(pp); };
    return factory;
  }
  RefPtr<ISyncCenter> NewCenter() {
    RefPtr<ISyncCenter> center;
    EXPECT_EQ(S_OK, CreateSyncCenter(center.Receive(), Components()));
    EXPECT_EQ(S_OK, center->Init(m_config, m_shell.get()));
    return center;
  }
  void ShutDown() {
    ASSERT_EQ(S_OK, m_center->Stop());
    ASSERT_EQ(S_OK, m_center->UnInit());
    m_center.reset();
  }
  static std::string RootValue(const std::string& name) {
    std::string value;
    GetRegValue(&value, "", name, "");
    return value;
  }
  static std::string UserValue(const std::string& userId, const std::string& name) {
    std::string value;
    GetRegValue(&value, userId, name, "");
    return value;
  }

  std::string m_config;
  FakeComponents m_fakes;
  RefPtr<FakeShellAdapter> m_shell{new FakeShellAdapter};
  RefPtr<ISyncCenter> m_center;
};

TEST_F(SignInServiceTest, SignInBuildsTheUsersFolderDataBaseAndRegistryValues) {
  m_center = NewCenter();
  ASSERT_EQ(S_OK, m_center->Login("alice", "pw-alice", kLoginModeMyComputer));
  const std::string folder = m_config + "/alice01";
  std::string tables;
  ASSERT_EQ(0, RunCommand("sqlite3 " + ShellQuote(folder + "/tevok.db") + " .tables", &tables));
  for (const char* table : {"config", "files", "shareinfiles"}) EXPECT_NE(std::string::npos, tables.find(table));
  EXPECT_TRUE(fs::is_directory(folder + "/Cache"));
  EXPECT_EQ("alice01", RootValue("UserId"));
  EXPECT_EQ("alice@localsvc.test", UserValue("alice01", "UserName"));
  EXPECT_EQ("alice", UserValue("alice01", "NickName"));
  EXPECT_EQ(32u, UserValue("alice01", kTokenValue).size());
  EXPECT_EQ(folder + "/Cache", UserValue("alice01", "SyncRoot"));
  EXPECT_EQ(1u, Service().Requests("/xsvr/login/").size());
}

TEST_F(SignInServiceTest, ASecondProcessSignsInAgainWithTheStoredToken) {
  // Forked before any thread of ours exists; it begins once this process is done.
  ChildProcesses child(1, [this](int) {
    RefPtr<ISyncCenter> center = NewCenter();
    if (center->TryLogin(0) != S_OK) return 1;
    std::string userId;
    if (center->GetUserInfo(nullptr, nullptr, &userId, nullptr) != S_OK || userId != "alice01") return 2;
    if (center->Stop() != S_OK || center->UnInit() != S_OK) return 3;
    return 0;
  });
  m_center = NewCenter();
  ASSERT_EQ(S_OK, m_center->Login("alice", "pw-alice", kLoginModeMyComputer));
  const std::string firstToken = UserValue("alice01", kTokenValue);
  ShutDown();

  child.Go();
  EXPECT_EQ(std::vector<int>{0}, child.Wait());
  const std::vector<RecordedRequest> forks = Service().Requests("/xsvr/forkToken/");
  ASSERT_EQ(1u, forks.size());
  EXPECT_NE(std::string::npos, forks[0].body.find("<token>" + firstToken + "</token>"));
  const std::string secondToken = UserValue("alice01", kTokenValue);
  EXPECT_EQ(32u, secondToken.size());
  EXPECT_NE(firstToken, secondToken);
  EXPECT_EQ("alice01", RootValue("UserId"));
}

TEST_F(SignInServiceTest, ARejectedStoredTokenForgetsTheUser) {
  struct Case {
    const char* name;
    HRESULT expected;
  };
  const Case cases[] = {{"expired at the service", E_CV_SRV_CLIENT_TOKEN_EXPIRED},
                        {"refused by a fault", E_CV_SRV_CLIENT_NO_LOGIN}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m_center = NewCenter();
    ASSERT_EQ(S_OK, m_center->Login("alice", "pw-alice", kLoginModeMyComputer));
    const std::string token = UserValue("alice01", kTokenValue);
    ShutDown();
    if (c.expected == E_CV_SRV_CLIENT_TOKEN_EXPIRED)
      Service().Control("POST", "/test/fs/token", R"({"token":")" + token + R"(","expired":true})");
    else
      Service().Inject(R"({"path":"/xsvr/forkToken/","word":"clientNoLogin"})");

    m_center = NewCenter();
    EXPECT_EQ(c.expected, m_center->TryLogin(0));
    NuvraState state;
    m_center->GetState(&state);
    EXPECT_EQ(kNuvraStateNotSignedIn, state.kind);
    EXPECT_EQ("", RootValue("UserId"));
    EXPECT_EQ("", UserValue("alice01", kTokenValue));
    EXPECT_EQ(nullptr, GetUserDB());
    EXPECT_EQ(0, m_fakes.Alive());
    ShutDown();
  }
}

TEST_F(SignInServiceTest, SigningOutAndInAsAnotherUserLeavesNoThreadOrDescriptorBehind) {
  m_center = NewCenter();
  // One session first: what the process sets up once (the transfer library, the log's
  // lock file) is not a session's to give back.
  ASSERT_EQ(S_OK, m_center->Login("alice", "pw-alice", kLoginModeMyComputer));
  ASSERT_EQ(S_OK, m_center->UnBind());
  const std::vector<std::string> threadsBefore = ProcEntries("/proc/self/task");
  const std::vector<std::string> fdsBefore = ProcEntries("/proc/self/fd");

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(S_OK, m_center->Login("alice", "pw-alice", kLoginModeMyComputer));
    EXPECT_GT(ProcEntries("/proc/self/task").size(), threadsBefore.size());  // the task manager runs
    ASSERT_EQ(S_OK, m_center->UnBind());
    ASSERT_EQ(S_OK, m_center->Login("bob", "pw-bob", kLoginModeMyComputer));
    std::string userId;
    ASSERT_EQ(S_OK, m_center->GetUserInfo(nullptr, nullptr, &userId, nullptr));
    EXPECT_EQ("bob02", userId);
    ASSERT_EQ(S_OK, m_center->UnBind());
  }
  EXPECT_EQ(threadsBefore.size(), ProcEntries("/proc/self/task").size());
  EXPECT_EQ(fdsBefore, ProcEntries("/proc/self/fd"));
}

// The service's reply replaced by one that names a hostile user id.
TEST_F(SignInServiceTest, UnsafeUserIdsInTheServicesReplyAreRefusedAndNothingIsCreated) {
  m_center = NewCenter();
  for (const std::string& userId : {std::string(".."), std::string("/x"), std::string("a/b"), std::string(200, 'u'),
                                   std::string("")}) {
    SCOPED_TRACE("user id \"" + userId + "\"");
    Service().Inject(R"({"path":"/xsvr/login/","body":"<?xml version='1.0' encoding='utf-8' ?>)"
                     R"(<nuvra result='ok'><userId>)" + userId + R"(</userId><token>T0123</token>)"
                     R"(<email>e@x</email><nickName>n</nickName></nuvra>"})");
    EXPECT_EQ(E_FAIL, m_center->Login("alice", "pw-alice", kLoginModeNotMyComputer));
    EXPECT_TRUE(fs::is_empty(m_config));
    EXPECT_EQ("", RootValue("UserId"));
    EXPECT_EQ(nullptr, GetUserDB());
    EXPECT_EQ(0, m_fakes.Alive());
  }
}

TEST_F(SignInServiceTest, NotMyComputerRemovesTheUsersFolderAndNothingOutsideIt) {
  m_center = NewCenter();
  WriteFileBytes(m_config + "/beside-user-folder.txt", "keep");
  fs::create_directories(PathIn("outside"));
  WriteFileBytes(PathIn("outside/behind-link.txt"), "keep");
  ASSERT_EQ(S_OK, m_center->Login("alice", "pw-alice", kLoginModeNotMyComputer));
  const std::string folder = m_config + "/alice01";
  WriteFileBytes(folder + "/Cache/doc.txt", "cached");
  fs::create_directory_symlink(PathIn("outside"), folder + "/Cache/link");
  ShutDown();

  EXPECT_FALSE(fs::exists(fs::symlink_status(folder)));
  EXPECT_EQ("keep", ReadFileBytes(m_config + "/beside-user-folder.txt"));
  EXPECT_EQ("keep", ReadFileBytes(PathIn("outside/behind-link.txt")));
  EXPECT_EQ("", RootValue("UserId"));
  EXPECT_EQ("", UserValue("alice01", kTokenValue));
}

TEST_F(SignInServiceTest, NotMyComputerKeepsACustomSyncFolderOutsideTheUsersFolder) {
  const std::string sync = PathIn("home/Ostrel Sync");
  ASSERT_EQ(S_OK, SetRegString("alice01", "SyncRoot", sync));
  WriteFileBytes(PathIn("home/beside-sync.txt"), "keep");
  m_center = NewCenter();
  ASSERT_EQ(S_OK, m_center->Login("alice", "pw-alice", kLoginModeNotMyComputer));
  WriteFileBytes(sync + "/doc.txt", "mine");
  ASSERT_EQ(S_OK, m_center->UnBind());

  EXPECT_FALSE(fs::exists(m_config + "/alice01"));
  EXPECT_EQ("mine", ReadFileBytes(sync + "/doc.txt"));
  EXPECT_EQ("keep", ReadFileBytes(PathIn("home/beside-sync.txt")));
}

TEST_F(SignInServiceTest, ThePasswordNeverReachesTheLogAtAnyLevel) {
  LogCapture log;
  m_center = NewCenter();
  EXPECT_EQ(E_CV_SRV_ACCOUNT_NOT_MATCH, m_center->Login("alice", "Wrong-Sentinel-pw", kLoginModeMyComputer));
  ASSERT_EQ(S_OK, m_center->Login("alice", "pw-alice", kLoginModeMyComputer));
  const std::string token = UserValue("alice01", kTokenValue);
  ASSERT_EQ(S_OK, m_center->UnBind());
  const std::string all = log.All();
  EXPECT_EQ(std::string::npos, all.find("Wrong-Sentinel-pw"));
  EXPECT_EQ(std::string::npos, all.find("pw-alice"));
  EXPECT_EQ(std::string::npos, all.find(token));
  EXPECT_NE(std::string::npos, all.find("szPassword = -password-"));
}

}  // namespace
