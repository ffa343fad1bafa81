// The sync centre as an object, with fake components: Init, the component look-up,
// Start and Stop, the user values before sign-in, the state slots and the proxy check.
#include "core/synccenter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/recordtree.h"
#include "core/synccentertest.h"
#include "support/filefault.h"
#include "support/logcapture.h"

namespace {

class SyncCenterObjectTest : public SyncCenterTest {
 protected:
  // The journal's life steps (component events without the sign-in requests).
  std::vector<std::string> Steps() {
    std::vector<std::string> steps;
    for (const std::string& e : m_fakes.journal()->Entries())
      if (e.rfind("Request.", 0) != 0) steps.push_back(e);
    return steps;
  }
  void SignIn() {
    ASSERT_EQ(S_OK, m_center->Login("ann@example.test", "pw", kLoginModeMyComputer));
    m_fakes.journal()->Clear();
  }
};

TEST_F(SyncCenterObjectTest, InitCreatesTheConfigurationFolder) {
  EXPECT_TRUE(IsDir(m_config));
}

TEST_F(SyncCenterObjectTest, InitFailsWhenTheConfigurationFolderCannotBeMade) {
  FaultFileEnv env;
  env.Fail(FileOp::kMkdir, "cfg2", EACCES);
  RefPtr<ISyncCenter> center = NewCenter(&env);
  LogCapture log;
  EXPECT_EQ(E_FAIL, center->Init(PathIn("cfg2"), m_shell.get()));
  EXPECT_TRUE(log.Contains("ERROR_CHECK_COM: hr = 80004005 MSG: szConfigPath no Exist, Nuvra want to CreateDir Failed!"));
}

TEST_F(SyncCenterObjectTest, BeforeSignInOnlyTheShellAdapterIsHandedOut) {
  const IID components[] = {IEventCenter::kIID, IFileSystem::kIID, ILocalStorage::kIID, IRemoteStorage::kIID,
                            ITaskMgr::kIID, ISyncCenter::kIID};
  void* untouched = reinterpret_cast<void*>(0x1);
  for (const IID& iid : components) {
    void* object = untouched;
    EXPECT_EQ(E_FAIL, m_center->GetInterface(iid, &object));
    EXPECT_EQ(untouched, object);
  }
  const uint32_t before = m_shell->AddRef() - 1;
  m_shell->Release();
  void* shell = nullptr;
  ASSERT_EQ(S_OK, m_center->GetInterface(IShellAdapter::kIID, &shell));
  EXPECT_EQ(static_cast<IShellAdapter*>(m_shell.get()), shell);
  EXPECT_EQ(before + 2, m_shell->AddRef());  // the reference handed out, and this one
  m_shell->Release();
  static_cast<IShellAdapter*>(shell)->Release();
}

TEST_F(SyncCenterObjectTest, AfterSignInEachIdentifierGivesItsOwnComponent) {
  SignIn();
  const IID components[] = {IEventCenter::kIID, IFileSystem::kIID, ILocalStorage::kIID, IRemoteStorage::kIID,
                            ITaskMgr::kIID};
  for (const IID& iid : components) {
    void* object = nullptr;
    ASSERT_EQ(S_OK, m_center->GetInterface(iid, &object));
    ASSERT_NE(nullptr, object);
    // The pointer is the interface asked for: the object answers it with the same.
    auto* unknown = static_cast<IUnknown*>(object);
    void* again = nullptr;
    ASSERT_EQ(S_OK, unknown->QueryInterface(iid, &again));
    EXPECT_EQ(object, again);
    unknown->Release();
    unknown->Release();
  }
}

TEST_F(SyncCenterObjectTest, BeforeSignInUserInfoIsNotGivenAndOutsStayUntouched) {
  std::string name = "n", token = "t", id = "i", nick = "k";
  EXPECT_EQ(S_FALSE, m_center->GetUserInfo(&name, &token, &id, &nick));
  EXPECT_EQ("n", name);
  EXPECT_EQ("t", token);
  EXPECT_EQ("i", id);
  EXPECT_EQ("k", nick);
}

TEST_F(SyncCenterObjectTest, BeforeSignInUserValuesAssertAndUseTheRootKey) {
  LogCapture log;
  EXPECT_EQ(S_OK, m_center->SetUserValue("Wizard_OpenFlag", "0"));
  EXPECT_EQ("0", RootValue("Wizard_OpenFlag"));
  std::string value;
  EXPECT_EQ(S_OK, m_center->GetUserValue(&value, "Missing", "dflt"));
  EXPECT_EQ("dflt", value);
  EXPECT_EQ(2, log.Count("*ASSERT*: !m_strUserId.IsEmpty()"));
}

TEST_F(SyncCenterObjectTest, StartBeforeSignInStartsNothing) {
  EXPECT_EQ(E_FAIL, m_center->Start());
  EXPECT_TRUE(Steps().empty());
}

TEST_F(SyncCenterObjectTest, StartTwiceStartsEachComponentOnce) {
  SignIn();  // starts both
  EXPECT_EQ(S_OK, m_center->Start());
  EXPECT_EQ(S_OK, m_center->Login("ann@example.test", "pw", kLoginModeMyComputer));
  EXPECT_TRUE(Steps().empty());
  EXPECT_TRUE(m_fakes.Requests().empty());
}

TEST_F(SyncCenterObjectTest, StopEndsTheFileWatchThenTheEventCentreAndWaitsWithoutBound) {
  SignIn();
  EXPECT_EQ(S_OK, m_center->Stop());
  EXPECT_EQ((std::vector<std::string>{"FileSystem.UnInit", "EventCenter.Stop", "TaskMgr.Stop"}), Steps());
  m_fakes.journal()->Clear();
  EXPECT_EQ(S_OK, m_center->Start());  // a stopped session starts again
  EXPECT_EQ((std::vector<std::string>{"TaskMgr.Start", "EventCenter.Start"}), Steps());
}

TEST_F(SyncCenterObjectTest, AFailedStartIsReportedAndTheNextStartResumesWhereItStopped) {
  SignIn();
  m_center->Stop();
  m_fakes.journal()->Clear();
  m_fakes.FailAt("EventCenter.Start", E_ABORT);
  LogCapture log;
  EXPECT_EQ(E_ABORT, m_center->Start());
  EXPECT_TRUE(log.Contains("MSG: Failed to start EventCenter!"));
  m_fakes.FailAt("");
  EXPECT_EQ(S_OK, m_center->Start());
  EXPECT_EQ((std::vector<std::string>{"TaskMgr.Start", "EventCenter.Start", "EventCenter.Start"}), Steps());
}

TEST_F(SyncCenterObjectTest, ATaskManagerThatFailsToStartKeepsTheEventCentreStopped) {
  SignIn();
  m_center->Stop();
  m_fakes.journal()->Clear();
  m_fakes.FailAt("TaskMgr.Start", E_ABORT);
  LogCapture log;
  EXPECT_EQ(E_ABORT, m_center->Start());
  EXPECT_TRUE(log.Contains("ERROR_CHECK_COM: hr = 80004004 MSG: Failed to start TaskMgr!"));
  EXPECT_EQ((std::vector<std::string>{"TaskMgr.Start"}), Steps());
}

TEST_F(SyncCenterObjectTest, ProxyCheckBeforeSignInLeavesNoRemoteStorageBehind) {
  EXPECT_EQ(S_OK, m_center->CheckProxyServer());
  EXPECT_EQ((std::vector<std::string>{"RemoteStorage.Create", "RemoteStorage.Init", "RemoteStorage.CheckProxyServer",
                                      "RemoteStorage.UnInit", "RemoteStorage.Released"}),
            Steps());
  EXPECT_EQ(0, m_fakes.Alive());
}

TEST_F(SyncCenterObjectTest, ProxyCheckAnswersSFalseWhenItsRemoteStorageCannotBeMade) {
  struct Case {
    const char* step;
    const char* logLine;
  };
  const Case cases[] = {
      {"RemoteStorage.Create", "ERROR_CHECK_COM hr = 80004005: hRt"},
      {"RemoteStorage.Init", "ERROR_CHECK_COM: hr = 80004005 MSG: Init RemoteStorage Failed!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.step);
    m_fakes.FailAt(c.step);
    LogCapture log;
    EXPECT_EQ(S_FALSE, m_center->CheckProxyServer());
    EXPECT_TRUE(log.Contains(c.logLine));
    EXPECT_EQ(0, m_fakes.Alive());
  }
}

TEST_F(SyncCenterObjectTest, ProxyCheckAfterSignInUsesTheSessionsRemoteStorageAndGivesItsResult) {
  SignIn();
  m_fakes.FailAt("RemoteStorage.CheckProxyServer", E_CV_NETWORK_ERROR2);
  EXPECT_EQ(E_CV_NETWORK_ERROR2, m_center->CheckProxyServer());
  EXPECT_EQ((std::vector<std::string>{"RemoteStorage.CheckProxyServer"}), Steps());
}

TEST_F(SyncCenterObjectTest, StateSlotsCopyRecordsInAndOut) {
  EXPECT_EQ(kNuvraStateCreated, StateKind());
  RecordTree info("conflict");
  info.AddValue("OrgFullPath", "/a");
  info.AddValue("CurFullPath", "/b");
  info.AddValue("ConflictType", "NameConflict");
  ASSERT_EQ(S_OK, m_center->PostEvent(kNuvraStateConflict, &info, true));
  NuvraState lost;
  lost.kind = kNuvraStateNetworkLost;
  ASSERT_EQ(S_OK, m_center->SetOverrideState(&lost));

  NuvraState got;
  ASSERT_EQ(S_OK, m_center->GetState(&got));
  EXPECT_EQ(kNuvraStateConflict, got.kind);
  EXPECT_EQ(kConflictName, got.subKind);
  EXPECT_EQ("/a", got.originPath);
  EXPECT_EQ("/b", got.currentPath);
  EXPECT_EQ(kNuvraStateNetworkLost, StateKind());
  ASSERT_EQ(S_OK, m_center->ClearOverrideState());
  EXPECT_EQ(kNuvraStateCreated, StateKind());
}

TEST_F(SyncCenterObjectTest, NullRecordsAreRefused) {
  LogCapture log;
  EXPECT_EQ(E_POINTER, m_center->GetState(nullptr));
  EXPECT_TRUE(log.Contains("*ASSERT*: pNuvraState"));
  EXPECT_EQ(E_POINTER, m_center->PostState(nullptr, false));
  EXPECT_EQ(E_POINTER, m_center->SetOverrideState(nullptr));
  EXPECT_EQ(E_POINTER, m_center->GetInterface(IShellAdapter::kIID, nullptr));
}

}  // namespace
