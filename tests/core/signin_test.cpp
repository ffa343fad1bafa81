// Sign-in with fake components and a scripted service: the user's folder, data base
// and registry values, the order in which the components are built and torn down,
// what a failure at each step leaves (nothing), refused user ids, log-out, and what
// "not my computer" deletes (only the user's folder).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/db/dbhelper.h"
#include "platform/registrystore.h"
#include "core/synccentertest.h"
#include "support/filefault.h"
#include "support/logcapture.h"

namespace {

namespace fs = std::filesystem;

const char kPassword[] = "S3cr3t-pw!";

class SignInTest : public SyncCenterTest {
 protected:
  HRESULT LoginAnn(int32_t mode = kLoginModeMyComputer) {
    return m_center->Login("ann@example.test", kPassword, mode);
  }
  // The component events, without the sign-in requests.
  std::vector<std::string> Steps() {
    std::vector<std::string> steps;
    for (const std::string& e : m_fakes.journal()->Entries())
      if (e.rfind("Request.", 0) != 0) steps.push_back(e);
    return steps;
  }
  std::vector<std::string> ConfigEntries() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_config)) names.push_back(entry.path().filename().string());
    return names;
  }
  // The user is signed out and nothing of the session is left.
  void ExpectNothingLeft() {
    std::string name;
    EXPECT_EQ(S_FALSE, m_center->GetUserInfo(&name, nullptr, nullptr, nullptr));
    EXPECT_EQ(0, m_fakes.Alive());
    EXPECT_EQ(nullptr, GetUserDB());
    void* object = nullptr;
    EXPECT_EQ(E_FAIL, m_center->GetInterface(ITaskMgr::kIID, &object));
  }
};

TEST_F(SignInTest, LoginBuildsTheUsersFolderDataBaseAndRegistryValues) {
  ASSERT_EQ(S_OK, LoginAnn());
  EXPECT_TRUE(IsDir(UserFolder()));
  EXPECT_TRUE(FileExists(UserFolder() + "/tevok.db"));
  EXPECT_TRUE(IsDir(UserFolder() + "/Cache"));
  std::string tables;
  ASSERT_EQ(0, RunCommand("sqlite3 " + ShellQuote(UserFolder() + "/tevok.db") + " .tables", &tables));
  EXPECT_NE(std::string::npos, tables.find("config"));

  EXPECT_EQ("u1001", RootValue("UserId"));
  EXPECT_EQ(kLoginModeMyComputer, GetRegDWORD("", "LoginMode", 0));
  EXPECT_EQ("ann@example.test", UserValue("u1001", "UserName"));
  EXPECT_EQ("ann", UserValue("u1001", "NickName"));
  EXPECT_EQ("tok-1", UserValue("u1001", "{5f3cde84-0629-43e4-8ec2-98524cf82edf}"));
  EXPECT_EQ(UserFolder() + "/Cache", UserValue("u1001", "SyncRoot"));

  std::string name, token, id, nick, sync;
  ASSERT_EQ(S_OK, m_center->GetUserInfo(&name, &token, &id, &nick));
  EXPECT_EQ("ann@example.test", name);
  EXPECT_EQ("tok-1", token);
  EXPECT_EQ("u1001", id);
  EXPECT_EQ("ann", nick);
  ASSERT_EQ(S_OK, m_center->GetLocalSyncPath(&sync));
  EXPECT_EQ(UserFolder() + "/Cache", sync);
  EXPECT_EQ((std::vector<std::string>{"Request.Login(ann@example.test)"}), m_fakes.Requests());
  EXPECT_EQ((std::vector<std::string>{kPassword}), m_fakes.Passwords());
}

TEST_F(SignInTest, ComponentsAreBuiltInOrderEachOnThoseBeforeIt) {
  ASSERT_EQ(S_OK, LoginAnn());
  EXPECT_EQ((std::vector<std::string>{
                // The request's own remote storage, gone before the session's is made.
                "RemoteStorage.Create", "RemoteStorage.Released",
                "LocalStorage.Create", "LocalStorage.Init", "RemoteStorage.Create", "RemoteStorage.Init",
                "TaskMgr.Create", "TaskMgr.Init", "FileSystem.Create", "FileSystem.Init", "EventCenter.Create",
                "EventCenter.Init", "TaskMgr.Start", "EventCenter.Start"}),
            Steps());
}

TEST_F(SignInTest, ShutDownStopsThenTearsDownInOrderAndKeepsTheUser) {
  ASSERT_EQ(S_OK, LoginAnn());
  m_fakes.journal()->Clear();
  EXPECT_EQ(S_OK, m_center->Stop());
  EXPECT_EQ(S_OK, m_center->UnInit());
  EXPECT_EQ((std::vector<std::string>{"FileSystem.UnInit", "EventCenter.Stop", "TaskMgr.Stop",
                                      "FileSystem.UnInit", "FileSystem.Released", "EventCenter.UnInit", "EventCenter.Released",
                                      "TaskMgr.UnInit", "TaskMgr.Released", "LocalStorage.UnInit",
                                      "LocalStorage.Released", "RemoteStorage.UnInit", "RemoteStorage.Released"}),
            Steps());
  EXPECT_EQ(nullptr, GetUserDB());
  EXPECT_EQ("u1001", RootValue("UserId"));
  EXPECT_EQ("tok-1", UserValue("u1001", "{5f3cde84-0629-43e4-8ec2-98524cf82edf}"));
  EXPECT_TRUE(IsDir(UserFolder()));
}

TEST_F(SignInTest, UnInitWithoutStopStopsTheComponentsBeforeTakingThemApart) {
  ASSERT_EQ(S_OK, LoginAnn());
  m_fakes.journal()->Clear();
  EXPECT_EQ(S_OK, m_center->UnInit());
  const std::vector<std::string> steps = Steps();
  ASSERT_GE(steps.size(), 4u);
  EXPECT_EQ("FileSystem.UnInit", steps[0]);  // the watch of opened files first
  EXPECT_EQ("EventCenter.Stop", steps[1]);
  EXPECT_EQ("TaskMgr.Stop", steps[2]);
  EXPECT_EQ("FileSystem.UnInit", steps[3]);
}

TEST_F(SignInTest, ThePasswordAndTheTokenNeverReachTheLog) {
  LogCapture log;
  FakeSignIn signIn;
  signIn.token = "T0ken-Sentinel";
  m_fakes.SetSignIn(signIn);
  ASSERT_EQ(S_OK, LoginAnn());
  ASSERT_EQ(S_OK, m_center->UnBind());
  ASSERT_EQ(S_OK, m_center->Login("ann@example.test", kPassword, kLoginModeMyComputer));
  EXPECT_TRUE(log.Contains("UserName = ann@example.test, szPassword = -password-"));
  EXPECT_EQ(std::string::npos, log.All().find(kPassword));
  EXPECT_EQ(std::string::npos, log.All().find("T0ken-Sentinel"));
}

// A failure at each step of building the components: the sign-in fails with it, and
// nothing of the session stays (no component, no data base, nobody signed in).
TEST_F(SignInTest, AFailureAtAnyStepOfTheEnvironmentLeavesNothingAndTheNextSignInWorks) {
  const char* steps[] = {"LocalStorage.Create", "LocalStorage.Init", "RemoteStorage.Init", "TaskMgr.Create",
                         "TaskMgr.Init", "FileSystem.Create", "FileSystem.Init", "EventCenter.Create",
                         "EventCenter.Init"};
  for (const char* step : steps) {
    SCOPED_TRACE(step);
    m_fakes.journal()->Clear();
    m_fakes.FailAt(step, E_ABORT);
    LogCapture log;
    EXPECT_EQ(E_ABORT, LoginAnn());
    EXPECT_TRUE(log.Contains("_InitUserEnv Failed!"));
    EXPECT_EQ(kNuvraStateNotSignedIn, StateKind());
    ExpectNothingLeft();
    EXPECT_EQ(0, m_fakes.journal()->Count("TaskMgr.Start"));
    m_fakes.FailAt("");
    ASSERT_EQ(S_OK, LoginAnn());
    EXPECT_EQ(1, m_fakes.journal()->Count("TaskMgr.Start"));
    ASSERT_EQ(S_OK, m_center->UnBind());
  }
}

// The session's remote storage is the second one made: its creation failing is the
// third step (the first one, for the request, fails the request instead).
TEST_F(SignInTest, TheSessionsRemoteStorageFailingToBeMadeLeavesNothing) {
  int made = 0;
  m_fakes.journal()->SetObserver([&](const std::string& e) {
    if (e == "RemoteStorage.Create" && ++made == 2) m_fakes.FailAt("RemoteStorage.Create", E_ABORT);
  });
  EXPECT_EQ(E_ABORT, LoginAnn());
  m_fakes.journal()->SetObserver(nullptr);
  ExpectNothingLeft();
  EXPECT_EQ(1, m_fakes.journal()->Count("LocalStorage.UnInit"));
}

TEST_F(SignInTest, NotMyComputerDeletesTheUserFolderWhenBuildingTheEnvironmentFails) {
  m_fakes.FailAt("EventCenter.Init");
  EXPECT_EQ(E_FAIL, LoginAnn(kLoginModeNotMyComputer));
  ExpectNothingLeft();
  EXPECT_FALSE(fs::exists(UserFolder()));
  EXPECT_EQ("", RootValue("UserId"));
}

TEST_F(SignInTest, AFailedRequestPostsNotSignedInAndCreatesNothing) {
  FakeSignIn refused;
  refused.result = E_CV_SRV_ACCOUNT_NOT_MATCH;
  m_fakes.SetSignIn(refused);
  EXPECT_EQ(E_CV_SRV_ACCOUNT_NOT_MATCH, LoginAnn());
  EXPECT_EQ(kNuvraStateNotSignedIn, StateKind());
  EXPECT_TRUE(ConfigEntries().empty());
  EXPECT_EQ("", RootValue("UserId"));
  ExpectNothingLeft();
}

TEST_F(SignInTest, LoginChecksItsArgumentsAndTheConfigurationFolderBeforeAnyRequest) {
  EXPECT_EQ(E_FAIL, m_center->Login("", "pw", 1));
  EXPECT_EQ(E_FAIL, m_center->Login("ann", "", 1));
  RemoveTree(m_config);
  LogCapture log;
  EXPECT_EQ(E_FAIL, m_center->Login("ann", "pw", 1));
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOLEX:m_pathConfigRoot.FileExists()"));
  EXPECT_TRUE(m_fakes.Requests().empty());
  EXPECT_EQ(kNuvraStateCreated, StateKind());
}

// User ids the service might send that must never name a folder or a registry key.
TEST_F(SignInTest, UnsafeUserIdsFromTheServiceAreRefusedAndNothingIsCreated) {
  const std::string hostile[] = {"",     ".",      "..",        "/x",    "a/b", "a\\b",         "../../etc",
                                 "a b",  "a\nb",   "caf\xC3\xA9", "x:y", std::string(129, 'u'), std::string(200, 'u')};
  for (const std::string& userId : hostile) {
    SCOPED_TRACE("user id \"" + userId + "\"");
    FakeSignIn signIn;
    signIn.userId = userId;
    m_fakes.SetSignIn(signIn);
    LogCapture log;
    EXPECT_EQ(E_FAIL, LoginAnn(kLoginModeNotMyComputer));
    EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOLEX:IsSafeUserId(strUserId)"));
    EXPECT_TRUE(ConfigEntries().empty());
    EXPECT_EQ("", RootValue("UserId"));
    EXPECT_EQ("", UserValue(userId, "{5f3cde84-0629-43e4-8ec2-98524cf82edf}"));
    EXPECT_TRUE(Steps() == std::vector<std::string>({"RemoteStorage.Create", "RemoteStorage.Released"}));
    ExpectNothingLeft();
    m_fakes.journal()->Clear();
  }
}

TEST_F(SignInTest, UserIdsOfEverySafeCharacterAndTheLongestLengthAreAccepted) {
  for (const std::string& userId : {std::string("A-z_0.9@x"), std::string(128, 'u'), std::string("...")}) {
    SCOPED_TRACE(userId);
    FakeSignIn signIn;
    signIn.userId = userId;
    m_fakes.SetSignIn(signIn);
    ASSERT_EQ(S_OK, LoginAnn());
    EXPECT_TRUE(IsDir(UserFolder(userId) + "/Cache"));
    ASSERT_EQ(S_OK, m_center->UnBind());
  }
}

TEST_F(SignInTest, AFolderThatCannotBeMadeFailsTheSignInAndClosesTheDataBase) {
  struct Case {
    const char* name;
    std::string pathPart;
    const char* logLine;
  };
  const Case cases[] = {
      {"user folder", "/cfg/u1001", "m_pathUseConfigRoot no Exist, Nuvra want to CreateDir Failed!"},
      {"sync folder", "/Cache", "szCachePath no Exist, Nuvra want to CreateDir Failed!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FaultFileEnv env;
    env.Fail(FileOp::kMkdir, c.pathPart, EIO);
    RefPtr<ISyncCenter> center = NewCenter(&env);
    ASSERT_EQ(S_OK, center->Init(m_config, m_shell.get()));
    LogCapture log;
    EXPECT_EQ(E_FAIL, center->Login("ann@example.test", kPassword, kLoginModeMyComputer));
    EXPECT_TRUE(log.Contains(c.logLine));
    EXPECT_TRUE(log.Contains("_PrepareUserEnv Failed!"));
    EXPECT_EQ(nullptr, GetUserDB());
    EXPECT_FALSE(fs::exists(UserFolder() + "/Cache"));
    EXPECT_EQ(0, m_fakes.Alive());
    center->UnInit();
  }
}

TEST_F(SignInTest, ACustomSyncFolderIsKeptAndCreated) {
  const std::string custom = PathIn("My Sync");
  ASSERT_EQ(S_OK, SetRegString("u1001", "SyncRoot", custom));
  ASSERT_EQ(S_OK, LoginAnn());
  EXPECT_TRUE(IsDir(custom));
  EXPECT_FALSE(fs::exists(UserFolder() + "/Cache"));
  EXPECT_EQ(custom, UserValue("u1001", "SyncRoot"));
}

TEST_F(SignInTest, UnBindForgetsTheUserAndAnotherUserSignsInOnTheSameObject) {
  ASSERT_EQ(S_OK, LoginAnn());
  m_fakes.journal()->Clear();
  ASSERT_EQ(S_OK, m_center->UnBind());
  EXPECT_EQ("EventCenter.Stop", Steps().at(1));
  EXPECT_EQ(kNuvraStateNotSignedIn, StateKind());
  EXPECT_EQ("", RootValue("UserId"));
  EXPECT_EQ("", UserValue("u1001", "{5f3cde84-0629-43e4-8ec2-98524cf82edf}"));
  EXPECT_TRUE(IsDir(UserFolder() + "/Cache"));  // my computer: the files stay
  ExpectNothingLeft();

  FakeSignIn bob;
  bob.userId = "u2002";
  bob.email = "bob@example.test";
  bob.token = "tok-2";
  m_fakes.SetSignIn(bob);
  ASSERT_EQ(S_OK, m_center->Login("bob@example.test", "pw2", kLoginModeMyComputer));
  std::string id, token;
  ASSERT_EQ(S_OK, m_center->GetUserInfo(nullptr, &token, &id, nullptr));
  EXPECT_EQ("u2002", id);
  EXPECT_EQ("tok-2", token);
  EXPECT_NE(nullptr, GetUserDB());
  EXPECT_TRUE(IsDir(UserFolder("u2002") + "/Cache"));
}

TEST_F(SignInTest, ATearDownFailureStillReleasesEverythingAndSignsOut) {
  ASSERT_EQ(S_OK, LoginAnn());
  m_fakes.FailAt("EventCenter.UnInit", E_ABORT);
  LogCapture log;
  EXPECT_EQ(E_ABORT, m_center->UnBind());
  EXPECT_TRUE(log.Contains("SyncCenter::Logout Failed!"));
  ExpectNothingLeft();
  EXPECT_EQ("", RootValue("UserId"));
}

TEST_F(SignInTest, TryLoginWithoutAStoredUserFailsWithoutARequest) {
  EXPECT_EQ(E_FAIL, m_center->TryLogin(0));
  EXPECT_TRUE(m_fakes.Requests().empty());
  EXPECT_EQ(kNuvraStateCreated, StateKind());
}

// What another process does to the stored sign-in while this one's request runs: the
// forked token is saved only over the token read, a sibling's newer token stands, and
// a sign-out (or another user) leaves this process signed out with nothing written.
TEST_F(SignInTest, TryLoginSavesTheForkedTokenOnlyWhileTheStoredSignInIsTheOneItRead) {
  const std::string kToken = "{5f3cde84-0629-43e4-8ec2-98524cf82edf}";
  const struct {
    const char* what;
    std::function<void()> meanwhile;  // another process, while the request runs
    HRESULT result;
    const char* token;  // the user's stored token afterwards (and the session's, when signed in)
  } rows[] = {
      {"nothing changed: the forked token is saved", [] {}, S_OK, "tok-renewed"},
      {"a sibling saved its own forked token: it stays and is used",
       [&] { ASSERT_EQ(S_OK, SetRegString("u1001", kToken, "tok-sibling")); }, S_OK, "tok-sibling"},
      {"signed out (as log-out forgets the user): nothing is written",
       [&] {
         ASSERT_EQ(S_OK, SetRegString("u1001", kToken, ""));
         ASSERT_EQ(S_OK, SetRegString("", "UserName", ""));
         ASSERT_EQ(S_OK, SetRegString("", "NickName", ""));
         ASSERT_EQ(S_OK, SetRegString("", "userid", ""));
       },
       E_FAIL, ""},
      {"the token alone emptied: nothing is written",
       [&] { ASSERT_EQ(S_OK, SetRegString("u1001", kToken, "")); }, E_FAIL, ""},
      {"another user signed in: nothing is written",
       [&] {
         ASSERT_EQ(S_OK, SetRegString("u2002", kToken, "tok-bob"));
         ASSERT_EQ(S_OK, SetRegString("", "UserId", "u2002"));
       },
       E_FAIL, "tok-1"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    m_fakes.SetSignIn(FakeSignIn());
    ASSERT_EQ(S_OK, LoginAnn());
    ASSERT_EQ(S_OK, m_center->Stop());
    ASSERT_EQ(S_OK, m_center->UnInit());
    FakeSignIn renewed;
    renewed.token = "tok-renewed";
    m_fakes.SetSignIn(renewed);
    std::string storeMeanwhile;
    m_fakes.journal()->SetObserver([&](const std::string& e) {
      if (e.rfind("Request.ReLogin(", 0) != 0) return;
      row.meanwhile();
      storeMeanwhile = ReadFileBytes(CRegistryStore::DefaultPath());
    });
    RefPtr<ISyncCenter> next = NewCenter();
    ASSERT_EQ(S_OK, next->Init(m_config, m_shell.get()));
    LogCapture log;
    EXPECT_EQ(row.result, next->TryLogin(0));
    m_fakes.journal()->SetObserver(nullptr);
    EXPECT_EQ("Request.ReLogin(tok-1)", m_fakes.Requests().back());
    EXPECT_EQ(row.token, UserValue("u1001", kToken));
    std::string token;
    if (row.result == S_OK) {
      ASSERT_EQ(S_OK, next->GetUserInfo(nullptr, &token, nullptr, nullptr));
      EXPECT_EQ(row.token, token);
      EXPECT_NE(nullptr, GetUserDB());
    } else {
      EXPECT_TRUE(log.Contains("LoginToServer Failed!"));
      EXPECT_EQ(storeMeanwhile, ReadFileBytes(CRegistryStore::DefaultPath())) << "something was written";
      EXPECT_EQ(S_FALSE, next->GetUserInfo(&token, nullptr, nullptr, nullptr));
      EXPECT_EQ(nullptr, GetUserDB());
      NuvraState state;
      ASSERT_EQ(S_OK, next->GetState(&state));
      EXPECT_EQ(kNuvraStateNotSignedIn, state.kind);
      EXPECT_EQ(0, m_fakes.Alive());
    }
    next->Stop();
    next->UnInit();
  }
}

TEST_F(SignInTest, TryLoginNeedsTheSyncFolder) {
  ASSERT_EQ(S_OK, LoginAnn());
  m_center->Stop();
  m_center->UnInit();
  RemoveTree(UserFolder() + "/Cache");
  RefPtr<ISyncCenter> next = NewCenter();
  ASSERT_EQ(S_OK, next->Init(m_config, m_shell.get()));
  m_fakes.journal()->Clear();
  LogCapture log;
  EXPECT_EQ(E_FAIL, next->TryLogin(0));
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOLEX:m_pathConfigRoot.FileExists() && ::PathFileExistsW(_GetLocalSyncPath())"));
  EXPECT_TRUE(m_fakes.Requests().empty());
}

TEST_F(SignInTest, ARejectedStoredTokenForgetsTheUser) {
  for (HRESULT rejection : {E_CV_SRV_CLIENT_TOKEN_EXPIRED, E_CV_SRV_CLIENT_NO_LOGIN}) {
    SCOPED_TRACE(rejection);
    m_fakes.SetSignIn(FakeSignIn());
    ASSERT_EQ(S_OK, LoginAnn());
    m_center->Stop();
    m_center->UnInit();
    FakeSignIn refused;
    refused.result = rejection;
    m_fakes.SetSignIn(refused);
    RefPtr<ISyncCenter> next = NewCenter();
    ASSERT_EQ(S_OK, next->Init(m_config, m_shell.get()));
    EXPECT_EQ(rejection, next->TryLogin(0));
    NuvraState state;
    next->GetState(&state);
    EXPECT_EQ(kNuvraStateNotSignedIn, state.kind);
    EXPECT_EQ("", RootValue("UserId"));
    EXPECT_EQ("", UserValue("u1001", "{5f3cde84-0629-43e4-8ec2-98524cf82edf}"));
    EXPECT_EQ(E_FAIL, next->TryLogin(0));  // nobody is stored any more
    next->UnInit();
  }
}

// --- "not my computer" ---

class NotMyComputerTest : public SignInTest {
 protected:
  void SetUp() override {
    SignInTest::SetUp();
    // Files that must survive: beside the user's folder, and behind a link inside it.
    WriteFileBytes(m_config + "/beside-user-folder.txt", "keep");
    fs::create_directories(PathIn("outside"));
    WriteFileBytes(PathIn("outside/behind-link.txt"), "keep");
  }
  void PlantLinks() {
    fs::create_directory_symlink(PathIn("outside"), UserFolder() + "/link-to-outside");
    fs::create_directory_symlink(PathIn("outside"), UserFolder() + "/Cache/link-in-cache");
    WriteFileBytes(UserFolder() + "/Cache/cached.txt", "cached");
  }
  void ExpectSentinelsKept() {
    EXPECT_EQ("keep", ReadFileBytes(m_config + "/beside-user-folder.txt"));
    EXPECT_EQ("keep", ReadFileBytes(PathIn("outside/behind-link.txt")));
  }
};

TEST_F(NotMyComputerTest, ShutDownDeletesTheUsersFolderAndNothingElse) {
  ASSERT_EQ(S_OK, LoginAnn(kLoginModeNotMyComputer));
  PlantLinks();
  m_center->Stop();
  ASSERT_EQ(S_OK, m_center->UnInit());
  EXPECT_FALSE(fs::exists(fs::symlink_status(UserFolder())));
  ExpectSentinelsKept();
  EXPECT_EQ("", RootValue("UserId"));
}

TEST_F(NotMyComputerTest, ASyncFolderOutsideTheUsersFolderIsNeverDeleted) {
  const std::string custom = PathIn("home/Sync");
  ASSERT_EQ(S_OK, SetRegString("u1001", "SyncRoot", custom));
  WriteFileBytes(PathIn("home/beside-sync.txt"), "keep");
  ASSERT_EQ(S_OK, LoginAnn(kLoginModeNotMyComputer));
  WriteFileBytes(custom + "/mine.txt", "mine");
  m_center->Stop();
  ASSERT_EQ(S_OK, m_center->UnInit());
  EXPECT_FALSE(fs::exists(UserFolder()));
  EXPECT_EQ("mine", ReadFileBytes(custom + "/mine.txt"));
  EXPECT_EQ("keep", ReadFileBytes(PathIn("home/beside-sync.txt")));
  ExpectSentinelsKept();
}

TEST_F(NotMyComputerTest, LogOutTearsTheComponentsDownBeforeDeletingAnything) {
  ASSERT_EQ(S_OK, LoginAnn(kLoginModeNotMyComputer));
  PlantLinks();
  std::vector<std::string> seen;
  m_fakes.journal()->SetObserver([&](const std::string& event) {
    if (event.find(".UnInit") != std::string::npos)
      seen.push_back(event + (IsDir(UserFolder()) && GetUserDB() ? " with folder and data base" : " too late"));
  });
  ASSERT_EQ(S_OK, m_center->UnBind());
  m_fakes.journal()->SetObserver(nullptr);
  // Stop ends the watch of opened files first; the tear-down's UnInit repeats it.
  EXPECT_EQ((std::vector<std::string>{"FileSystem.UnInit with folder and data base",
                                      "FileSystem.UnInit with folder and data base",
                                      "EventCenter.UnInit with folder and data base",
                                      "TaskMgr.UnInit with folder and data base",
                                      "LocalStorage.UnInit with folder and data base",
                                      "RemoteStorage.UnInit with folder and data base"}),
            seen);
  EXPECT_FALSE(fs::exists(UserFolder()));
  ExpectSentinelsKept();
  ExpectNothingLeft();
  EXPECT_EQ("", UserValue("u1001", "{5f3cde84-0629-43e4-8ec2-98524cf82edf}"));
}

TEST_F(NotMyComputerTest, AStoredUserIdThatIsNoSafeNameDeletesNothing) {
  // A registry tampered with: the stored user names a folder outside.
  ASSERT_EQ(S_OK, SetRegDWORD("", "LoginMode", kLoginModeNotMyComputer));
  ASSERT_EQ(S_OK, SetRegString("", "UserId", ".."));
  ASSERT_EQ(S_OK, SetRegString("..", "UserName", "ann"));
  ASSERT_EQ(S_OK, SetRegString("..", "{5f3cde84-0629-43e4-8ec2-98524cf82edf}", "tok"));
  ASSERT_EQ(S_OK, SetRegString("..", "SyncRoot", PathIn("missing")));
  EXPECT_EQ(E_FAIL, m_center->TryLogin(0));  // the stored user is taken, the sync folder is missing
  LogCapture log;
  ASSERT_EQ(S_OK, m_center->UnInit());
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOL:!configRoot.empty() && IsSafeUserId(userId)"));
  ExpectSentinelsKept();
  EXPECT_TRUE(IsDir(m_config));
}

}  // namespace
