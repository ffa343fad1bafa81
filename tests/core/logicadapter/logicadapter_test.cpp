// The logic adapter over a real sync centre with fake components and the real shell
// adapter on a scripted main window: each file operation reaches the signed-in user's
// file system with its arguments and gives back its result; without a file system
// (before sign-in, after log-out or shut-down) each fails cleanly; the wiring, the
// prompts and the per-user numbers.
#include "core/logicadapter/logicadapter.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "common/db/dbhelper.h"
#include "common/registry.h"
#include "core/synccenter.h"
#include "core/synccenterfakes.h"
#include "shell/shelladapter.h"
#include "support/logcapture.h"
#include "support/scriptedmainwindow.h"
#include "support/testenv.h"

namespace {

class LogicAdapterTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    m_adapter = std::make_unique<CLogicAdapter>(Creators());
  }
  void TearDown() override {
    m_adapter.reset();
    CloseUserDB();
    OstrelTest::TearDown();
  }
  LogicAdapterCreators Creators() {
    return LogicAdapterCreators{[](IShellAdapter** pp) { return CreateShellAdapter(pp); },
                                [this](ISyncCenter** pp) { return CreateSyncCenter(pp, m_fakes.Factory()); }};
  }
  void InitAndSignIn() {
    ASSERT_EQ(S_OK, m_adapter->Init(PathIn("cfg"), &m_window));
    ASSERT_EQ(S_OK, m_adapter->Login("ann@example.test", "pw", kLoginModeMyComputer));
    m_fakes.journal()->Clear();
  }
  std::vector<std::string> FileSystemCalls() { return m_fakes.journal()->With("FileSystem."); }

  FakeComponents m_fakes;
  ScriptedMainWindow m_window;
  std::unique_ptr<CLogicAdapter> m_adapter;
};

// One file operation: how the adapter is called, what it gives back (as text), and
// the call the file system must see.
struct Forward {
  const char* name;
  std::function<std::string(CLogicAdapter&)> call;
  std::string reached;  // "" when the file system is not reached
  std::string answer;   // with a file system
  std::string without;  // without one
};

std::string Hr(HRESULT hr) { return std::to_string(hr); }
const std::string kAnswer = Hr(kFakeAnswer);
const std::string kFail = Hr(E_FAIL);

std::vector<Forward> Forwards() {
  std::string s;
  int64_t n64 = 0;
  std::vector<CFileItemRecord> items;
  std::vector<ShareEntry> shares;
  std::vector<TaskListEntry> tasks, done;
  return {
      {"GetMaxVer", [=](CLogicAdapter& a) mutable { return Hr(a.GetMaxVer(&s)); }, "FileSystem.GetMaxVer(out)",
       kAnswer, kFail},
      {"GetSpaceInfo", [=](CLogicAdapter& a) mutable { return Hr(a.GetSpaceInfo(&n64, &n64, true)); },
       "FileSystem.GetSpaceInfo(out,out,1)", kAnswer, kFail},
      {"NewFolder", [=](CLogicAdapter& a) mutable { return Hr(a.NewFolder("P", "\\a", &s)); },
       "FileSystem.NewFolder(P,\\a,out)", kAnswer, kFail},
      {"Rename drops the full path", [](CLogicAdapter& a) { return Hr(a.Rename(true, "F", "\\old", "new")); },
       "FileSystem.Rename(1,F,new)", kAnswer, kFail},
      {"Move", [](CLogicAdapter& a) { return Hr(a.Move(false, "F", "P2")); }, "FileSystem.Move(0,F,P2)", kAnswer,
       kFail},
      {"Delete drops the full path", [](CLogicAdapter& a) { return Hr(a.Delete(false, "F", "\\a", ItemSpace::MyFile)); },
       "FileSystem.Delete(0,F,space1)", kAnswer, kFail},
      {"OpenFile", [](CLogicAdapter& a) { return Hr(a.OpenFile("F", "P", "\\a", ItemSpace::ShareToMe)); },
       "FileSystem.OpenFile(F,P,\\a,space2)", kAnswer, kFail},
      {"DownloadFile",
       [](CLogicAdapter& a) { return Hr(a.DownloadFile("F", "P", "\\a", "/d/a", true, ItemSpace::MyFile)); },
       "FileSystem.DownloadFile(F,P,\\a,/d/a,1,space1)", kAnswer, kFail},
      {"UploadFile", [](CLogicAdapter& a) { return Hr(a.UploadFile("F", "P", 7, "\\a", "/s/a", false)); },
       "FileSystem.UploadFile(F,P,7,\\a,/s/a,0)", kAnswer, kFail},
      {"DownloadFolder", [](CLogicAdapter& a) { return Hr(a.DownloadFolder("F", "P", "\\a", "/d", 3)); },
       "FileSystem.DownloadFolder(F,P,\\a,/d,3)", kAnswer, kFail},
      {"UploadFolder", [](CLogicAdapter& a) { return Hr(a.UploadFolder("P", "v", "\\a", "/s")); },
       "FileSystem.UploadFolder(P,v,\\a,/s)", kAnswer, kFail},
      {"GetThumbnail", [](CLogicAdapter& a) { return Hr(a.GetThumbnail("F", "/c", 90, 120)); },
       "FileSystem.GetThumbnail(F,/c,90,120)", kAnswer, kFail},
      {"FullTextSearch", [=](CLogicAdapter& a) mutable { return Hr(a.FullTextSearch("needle", 2, &items)); },
       "FileSystem.FullTextSearch(needle,2,out)", kAnswer, kFail},
      {"SetFolderViewMode", [](CLogicAdapter& a) { return Hr(a.SetFolderViewMode("D", 4, 1, ItemSpace::ShareToOther)); },
       "FileSystem.SetFolderViewMode(D,4,1,space3)", kAnswer, kFail},
      {"GetFolderViewMode", [](CLogicAdapter& a) { return std::to_string(a.GetFolderViewMode("D", 1, ItemSpace::MyFile)); },
       "FileSystem.GetFolderViewMode(D,1,space1)", std::to_string(kFakeViewMode), "0"},
      {"FolderNeedUpdate", [](CLogicAdapter& a) { return std::to_string(a.FolderNeedUpdate("D", ItemSpace::MyFile)); },
       "FileSystem.FolderNeedUpdate(D,space1)", "0", "1"},
      {"DirMyFile", [=](CLogicAdapter& a) mutable { return Hr(a.DirMyFile("", "\\", &items, true)); },
       "FileSystem.DirMyFile(,\\,out,1)", kAnswer, kFail},
      {"DirShareToOther", [=](CLogicAdapter& a) mutable { return Hr(a.DirShareToOther("D", "\\d", &items, false)); },
       "FileSystem.DirShareToOther(D,\\d,out,0)", kAnswer, kFail},
      {"DirShareToMe", [=](CLogicAdapter& a) mutable { return Hr(a.DirShareToMe("D", "\\d", &items, false)); },
       "FileSystem.DirShareToMe(D,\\d,out,0)", kAnswer, kFail},
      {"slot 24", [](CLogicAdapter& a) { return Hr(a.Reserved24()); }, "FileSystem.Reserved24()", kAnswer, kFail},
      {"GetItemShareRight",
       [=](CLogicAdapter& a) mutable { return Hr(a.GetItemShareRight("F", &shares, ItemSpace::ShareToMe)); },
       "FileSystem.GetItemShareRight(F,out,space2)", kAnswer, kFail},
      {"GetRecycle", [=](CLogicAdapter& a) mutable { return Hr(a.GetRecycle("0", 100, &items)); },
       "FileSystem.GetRecycle(0,100,out)", kAnswer, kFail},
      {"CleanRecycle", [](CLogicAdapter& a) { return Hr(a.CleanRecycle("F")); }, "FileSystem.CleanRecycle(F)",
       kAnswer, kFail},
      {"Recover", [](CLogicAdapter& a) { return Hr(a.Recover("F", "P")); }, "FileSystem.Recover(F,P)", kAnswer,
       kFail},
      {"CancelTask", [](CLogicAdapter& a) { return Hr(a.CancelTask("T1")); }, "FileSystem.CancelTask(T1)", kAnswer,
       kFail},
      {"GetTaskList", [=](CLogicAdapter& a) mutable { return Hr(a.GetTaskList(&tasks, &done)); },
       "FileSystem.GetTaskList(out,out)", kAnswer, kFail},
      {"RemoveFinishedTask", [](CLogicAdapter& a) { return Hr(a.RemoveFinishedTask("")); },
       "FileSystem.RemoveFinishedTask()", kAnswer, kFail},
      {"RetryTask", [](CLogicAdapter& a) { return Hr(a.RetryTask("T1")); }, "FileSystem.RetryTask(T1)", kAnswer,
       kFail},
      {"GetOpenFileList", [=](CLogicAdapter& a) mutable { return Hr(a.GetOpenFileList(&tasks)); },
       "FileSystem.GetOpenFileList(out)", kAnswer, kFail},
      {"RemoveOpenFile", [](CLogicAdapter& a) { return Hr(a.RemoveOpenFile("F")); }, "FileSystem.RemoveOpenFile(F)",
       kAnswer, kFail},
      {"ReopenFile", [](CLogicAdapter& a) { return Hr(a.ReopenFile("F")); }, "FileSystem.ReopenFile(F)", kAnswer,
       kFail},
  };
}

TEST_F(LogicAdapterTest, FileOperationsReachTheFileSystemWithTheirArgumentsAndGiveItsResult) {
  InitAndSignIn();
  for (const Forward& f : Forwards()) {
    SCOPED_TRACE(f.name);
    m_fakes.journal()->Clear();
    EXPECT_EQ(f.answer, f.call(*m_adapter));
    EXPECT_EQ(std::vector<std::string>{f.reached}, FileSystemCalls());
  }
}

TEST_F(LogicAdapterTest, WithoutAFileSystemEveryFileOperationFailsAndReachesNothing) {
  struct Phase {
    const char* name;
    std::function<void()> enter;
  };
  const Phase phases[] = {
      {"before Init", [] {}},
      {"before sign-in", [&] { ASSERT_EQ(S_OK, m_adapter->Init(PathIn("cfg"), &m_window)); }},
      {"after UnBind", [&] {
         ASSERT_EQ(S_OK, m_adapter->Login("ann@example.test", "pw", kLoginModeMyComputer));
         ASSERT_EQ(S_OK, m_adapter->UnBind());
       }},
      {"after UnInit", [&] {
         ASSERT_EQ(S_OK, m_adapter->Login("ann@example.test", "pw", kLoginModeMyComputer));
         ASSERT_EQ(S_OK, m_adapter->UnInit());
       }},
  };
  for (const Phase& phase : phases) {
    SCOPED_TRACE(phase.name);
    phase.enter();
    EXPECT_EQ(0, m_fakes.Alive());  // the adapter kept no file system alive
    m_fakes.journal()->Clear();
    for (const Forward& f : Forwards()) {
      SCOPED_TRACE(f.name);
      LogCapture log;
      EXPECT_EQ(f.without, f.call(*m_adapter));
      EXPECT_TRUE(log.Contains("*ASSERT*: m_pFileSystem"));
    }
    EXPECT_TRUE(FileSystemCalls().empty());
  }
}

TEST_F(LogicAdapterTest, ArgumentChecksAreLoggedAndTheCallGoesOn) {
  InitAndSignIn();
  LogCapture log;
  EXPECT_EQ(kFakeAnswer, m_adapter->Rename(false, "", "\\a", ""));
  EXPECT_EQ(kFakeAnswer, m_adapter->GetThumbnail("", "/c", 1, 1));
  EXPECT_TRUE(log.Contains("*ASSERT*: !IsStrEmpty(szFileId) && !IsStrEmpty(szNewName)"));
  EXPECT_TRUE(log.Contains("*ASSERT*: szId && !IsStrEmpty(szId)"));
  EXPECT_EQ(2u, FileSystemCalls().size());
}

TEST_F(LogicAdapterTest, AFailedSignInLeavesTheFileSystemAsItWas) {
  InitAndSignIn();
  EXPECT_EQ(E_FAIL, m_adapter->Login("ann@example.test", "", kLoginModeMyComputer));
  EXPECT_EQ(kFakeAnswer, m_adapter->CleanRecycle("F"));
  EXPECT_EQ(std::vector<std::string>{"FileSystem.CleanRecycle(F)"}, FileSystemCalls());
}

TEST_F(LogicAdapterTest, TryLoginSignsTheStoredUserInAndFetchesTheFileSystem) {
  InitAndSignIn();
  ASSERT_EQ(S_OK, m_adapter->UnInit());
  ASSERT_EQ(S_OK, m_adapter->Init(PathIn("cfg"), &m_window));
  ASSERT_EQ(S_OK, m_adapter->TryLogin(0));
  EXPECT_EQ("Request.ReLogin(tok-1)", m_fakes.Requests().back());
  m_fakes.journal()->Clear();
  EXPECT_EQ(kFakeAnswer, m_adapter->Recover("F", ""));
  EXPECT_EQ(std::vector<std::string>{"FileSystem.Recover(F,)"}, FileSystemCalls());
}

TEST_F(LogicAdapterTest, SessionOperationsForwardToTheSyncCentre) {
  ASSERT_EQ(S_OK, m_adapter->Init(PathIn("cfg"), &m_window));
  EXPECT_FALSE(m_adapter->IsLoggedIn());
  ASSERT_EQ(S_OK, m_adapter->Login("ann@example.test", "pw", kLoginModeMyComputer));
  EXPECT_TRUE(m_adapter->IsLoggedIn());
  std::string id, nick;
  EXPECT_EQ(S_OK, m_adapter->GetUserInfo(nullptr, nullptr, &id, &nick));
  EXPECT_EQ("u1001", id);
  EXPECT_EQ("ann", nick);
  EXPECT_EQ(PathIn("cfg") + "/u1001/Cache", m_adapter->GetLocalSyncPath());
  EXPECT_EQ(S_OK, m_adapter->SetUserValue("Theme", "dark"));
  EXPECT_EQ("dark", m_adapter->GetUserValue("Theme", "light"));
  EXPECT_EQ("light", m_adapter->GetUserValue("Missing", "light"));
  EXPECT_EQ(S_OK, m_adapter->CheckProxyServer());
  EXPECT_EQ(S_OK, m_adapter->ClearLastSnapshot());
  EXPECT_EQ(1, m_fakes.journal()->Count("LocalStorage.ClearLastSnapshot"));
  ASSERT_EQ(S_OK, m_adapter->UnBind());
  EXPECT_FALSE(m_adapter->IsLoggedIn());
  EXPECT_EQ(E_FAIL, m_adapter->ClearLastSnapshot());
}

TEST_F(LogicAdapterTest, BeforeInitEveryOperationAssertsAndFailsCleanly) {
  LogCapture log;
  EXPECT_EQ(S_FALSE, m_adapter->ShowNotify("t", "c", 1, 30000));
  EXPECT_EQ(E_FAIL, m_adapter->ShowMessage("t", "c"));
  EXPECT_EQ(-1, m_adapter->ShowWizard("k", "t", "c", "a|b", 1, "x", -1));
  EXPECT_EQ(3, log.Count("*ASSERT*: m_spShellAdapter"));
  EXPECT_EQ(E_FAIL, m_adapter->Login("ann", "pw", 1));
  EXPECT_EQ(E_FAIL, m_adapter->TryLogin(0));
  EXPECT_EQ(E_FAIL, m_adapter->UnBind());
  EXPECT_FALSE(m_adapter->IsLoggedIn());
  EXPECT_EQ("", m_adapter->GetLocalSyncPath());
  EXPECT_EQ("d", m_adapter->GetUserValue("x", "d"));
  EXPECT_EQ(0, m_adapter->GetUserValueInt("x"));
  EXPECT_EQ(E_FAIL, m_adapter->CheckProxyServer());
  EXPECT_EQ(E_FAIL, m_adapter->ClearLastSnapshot());
  EXPECT_TRUE(log.Contains("*ASSERT*: m_spSyncCenter"));
  EXPECT_EQ(0, m_fakes.Alive());
}

TEST_F(LogicAdapterTest, PromptsAndNoticesReachTheMainWindow) {
  ASSERT_EQ(S_OK, m_adapter->Init(PathIn("cfg"), &m_window));
  m_window.QueueWizardChoice(0);
  EXPECT_EQ(S_OK, m_adapter->ShowMessage("hello", "Sepra"));
  EXPECT_EQ(2, m_adapter->ShowWizard("", "which?", "Sepra", "a|b|c", 1, "", -1));
  EXPECT_EQ(S_OK, m_adapter->ShowNotify("done", "Sepra", 1, 30000));
  const std::vector<ScriptedMainWindow::Call> calls = m_window.Calls();
  ASSERT_EQ(3u, calls.size());
  EXPECT_EQ("ShowMessage", calls[0].op);
  EXPECT_EQ("hello", calls[0].text);
  EXPECT_EQ("ShowWizard", calls[1].op);
  EXPECT_EQ("ShowNotify", calls[2].op);
  EXPECT_EQ(30000u, calls[2].timeoutMs);
}

TEST_F(LogicAdapterTest, PerUserNumbersAreReadAsBaseTenAndStoredWithSign) {
  InitAndSignIn();
  struct Case {
    const char* stored;  // null: no value
    int32_t read;
  };
  const Case cases[] = {
      {"12abc", 12}, {"", 0}, {nullptr, 0}, {"-3", -3}, {"  7", 7}, {"x1", 0}, {"+5", 5},
      {"99999999999", INT32_MAX}, {"-99999999999", INT32_MIN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored ? c.stored : "(none)");
    const std::string name = std::string("N") + (c.stored ? c.stored : "none");
    if (c.stored) {
      ASSERT_EQ(S_OK, SetRegString("u1001", name, c.stored));
    }
    EXPECT_EQ(c.read, m_adapter->GetUserValueInt(name));
  }
  ASSERT_EQ(S_OK, m_adapter->SetUserValueInt("Count", -42));
  std::string stored;
  GetRegValue(&stored, "u1001", "Count", "");
  EXPECT_EQ("-42", stored);
}

TEST_F(LogicAdapterTest, InitReportsTheFirstFailureAndUnInitStopsBeforeTearingDown) {
  m_adapter = std::make_unique<CLogicAdapter>(LogicAdapterCreators{
      [](IShellAdapter** pp) { return CreateShellAdapter(pp); }, [](ISyncCenter**) { return E_OUTOFMEMORY; }});
  EXPECT_EQ(E_OUTOFMEMORY, m_adapter->Init(PathIn("cfg"), &m_window));
  m_adapter = std::make_unique<CLogicAdapter>(Creators());
  InitAndSignIn();
  EXPECT_EQ(S_OK, m_adapter->UnInit());
  const std::vector<std::string> steps = m_fakes.journal()->Entries();
  ASSERT_GE(steps.size(), 3u);
  EXPECT_EQ("FileSystem.UnInit", steps[0]);
  EXPECT_EQ("EventCenter.Stop", steps[1]);
  EXPECT_EQ("TaskMgr.Stop", steps[2]);
  EXPECT_EQ(0, m_fakes.Alive());
  EXPECT_EQ(E_FAIL, m_adapter->ShowMessage("t", "c"));  // the shell adapter is gone too

  // The next pass makes a new shell adapter and sync centre.
  ASSERT_EQ(S_OK, m_adapter->Init(PathIn("cfg"), &m_window));
  ASSERT_EQ(S_OK, m_adapter->TryLogin(0));
  EXPECT_TRUE(m_adapter->IsLoggedIn());
  EXPECT_EQ(S_OK, m_adapter->ShowMessage("again", "c"));
}

}  // namespace
