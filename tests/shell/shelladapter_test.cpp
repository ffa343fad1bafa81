// The shell adapter: prompt answers and their memory in the registry, notice cuts,
// forwarding, the folder picker, a missing main window, and the once-only forced upgrade.
#include "shell/shelladapter.h"

#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "common/registry.h"
#include "common/utf8.h"
#include "support/logcapture.h"
#include "support/scriptedmainwindow.h"
#include "support/testenv.h"

namespace {

class ShellAdapterTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    shellcontrol::ResetForceUpgrade();
    shellcontrol::SetProcessExit([this](int code) { m_exitCodes.push_back(code); });
    ASSERT_EQ(CreateShellAdapter(m_adapter.Receive()), S_OK);
    m_adapter->SetMainWindow(&m_window);
  }
  void TearDown() override {
    shellcontrol::SetProcessExit(nullptr);
    shellcontrol::ResetForceUpgrade();
    OstrelTest::TearDown();
  }
  int32_t Ask(const std::string& key, const std::string& buttons) {
    return m_adapter->ShowWizard(key, "文件已经存在", "Sepra便携版", buttons, 1, "记住我的选择", -1);
  }

  ScriptedMainWindow m_window;
  RefPtr<IShellAdapter> m_adapter;
  std::vector<int> m_exitCodes;
};

// Unticked answers and unshown prompts (ticked or not) are never remembered, nor is a
// stored value of the wrong type taken for one: every row is asked.
TEST_F(ShellAdapterTest, AnswerTableForOneTwoAndThreeButtons) {
  ASSERT_EQ(SetRegString("", "Wizard_Table", "1"), S_OK);
  struct { const char* buttons; int button; bool ticked; int32_t answer; } rows[] = {
      {"确定", 0, false, 1},
      {"确定", kWizardNotShown, true, -2},
      {"替换|取消", 0, false, 1},
      {"替换|取消", 1, false, -1},
      {"替换|取消", kWizardNotShown, true, -2},
      {"替换|更新|取消", 0, false, 2},
      {"替换|更新|取消", 1, false, 1},
      {"替换|更新|取消", 2, false, -1},
      {"替换|更新|取消", kWizardNotShown, false, -2},
      {"替换|取消", 2, false, -1},  // a window answering out of range counts as cancel
      {"替换|取消", -7, false, -1},
  };
  for (const auto& r : rows) {
    m_window.QueueWizardChoice(r.button, r.ticked);
    EXPECT_EQ(Ask("Wizard_Table", r.buttons), r.answer) << r.buttons << " button " << r.button;
  }
  uint32_t v = 0;
  EXPECT_FALSE(FindRegDWORD("", "Wizard_Table", &v));
  auto calls = m_window.Calls();
  ASSERT_EQ(calls.size(), std::size(rows));
  // The prompt carries the caller's texts.
  const WizardPrompt& p = calls.back().prompt;
  EXPECT_EQ(p.text, "文件已经存在");
  EXPECT_EQ(p.caption, "Sepra便携版");
  EXPECT_EQ(p.buttons, (std::vector<std::string>{"替换", "取消"}));
  EXPECT_EQ(p.defaultAnswer, 1);
  EXPECT_EQ(p.checkText, "记住我的选择");
  EXPECT_EQ(p.lastValue, -1);
}

TEST_F(ShellAdapterTest, TickedAnswerIsRememberedPerUserUnlessOpenFlagIsZero) {
  ASSERT_EQ(SetRegString("", kRegUserId, "u1"), S_OK);
  m_window.QueueWizardChoice(1, true);  // cancel, ticked
  EXPECT_EQ(Ask("Wizard_DownLoadFileExist", "替换|取消"), -1);
  EXPECT_EQ(GetRegDWORD("u1", "Wizard_DownLoadFileExist", 12345), 0xFFFFFFFFu);

  // Remembered: answered without a prompt, also by a new adapter object.
  RefPtr<IShellAdapter> other;
  ASSERT_EQ(CreateShellAdapter(other.Receive()), S_OK);
  other->SetMainWindow(&m_window);
  EXPECT_EQ(other->ShowWizard("wizard_downloadfileexist", "t", "c", "替换|取消", 1, "记住我的选择", -1), -1);
  EXPECT_EQ(m_window.CountOf("ShowWizard"), 1);

  // Open flag 0 switches the memory off: the remembered answer is not used, no check box
  // is offered (it would do nothing) and a ticked answer is not stored.
  ASSERT_EQ(SetRegDWORD("u1", "Wizard_OpenFlag", 0), S_OK);
  m_window.QueueWizardChoice(0, true);
  EXPECT_EQ(Ask("Wizard_DownLoadFileExist", "替换|取消"), 1);
  EXPECT_EQ(m_window.Calls().back().prompt.checkText, "");
  EXPECT_EQ(GetRegDWORD("u1", "Wizard_DownLoadFileExist", 0), 0xFFFFFFFFu);
  // Any other value switches it on again.
  ASSERT_EQ(SetRegDWORD("u1", "wizard_openflag", 7), S_OK);
  EXPECT_EQ(Ask("Wizard_DownLoadFileExist", "替换|取消"), -1);
  EXPECT_EQ(m_window.CountOf("ShowWizard"), 2);

  // Another user has no memory of it.
  ASSERT_EQ(SetRegString("", "userid", "u2"), S_OK);
  m_window.QueueWizardChoice(0, false);
  EXPECT_EQ(Ask("Wizard_DownLoadFileExist", "替换|取消"), 1);
  EXPECT_EQ(m_window.CountOf("ShowWizard"), 3);
}

TEST_F(ShellAdapterTest, NotifyIsCutOnCharacterBoundaries) {
  std::string text;
  for (int i = 0; i < 200; ++i) text += "文";
  std::string caption(63, 'a');
  caption += "\xF0\x9F\x98\x80";  // one character of two UTF-16 units: does not fit in 64
  EXPECT_EQ(m_adapter->ShowNotify(text, caption, 1, 30000), S_OK);
  auto calls = m_window.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].text.size(), 128u * 3);
  EXPECT_TRUE(IsValidUtf8(calls[0].text));
  EXPECT_EQ(calls[0].caption, std::string(63, 'a'));
  EXPECT_EQ(calls[0].flags, 1u);
  EXPECT_EQ(calls[0].timeoutMs, 30000u);

  m_window.SetNotifyResult(E_FAIL);
  EXPECT_EQ(m_adapter->ShowNotify("short", "c", 1, 30000), E_FAIL);
  EXPECT_EQ(m_window.Calls().back().text, "short");
}

TEST_F(ShellAdapterTest, ForwardsWhatTheWindowAnswers) {
  m_window.SetMessageResult(S_FALSE);
  EXPECT_EQ(m_adapter->ShowMessage("m", "c"), S_FALSE);
  m_window.SetShellOpenResult(42);
  EXPECT_EQ(m_adapter->ShellOpen("/tmp/a b;c.txt"), 42);
  EXPECT_EQ(m_adapter->OnDragDataFile("/x/_ostrel_dragdata_1"), S_OK);
  EXPECT_EQ(m_adapter->UnInit(), S_OK);
  auto calls = m_window.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1].op, "ShellOpen");
  EXPECT_EQ(calls[1].text, "/tmp/a b;c.txt");
  EXPECT_EQ(calls[2].op, "OnDragDataFile");
}

TEST_F(ShellAdapterTest, FolderPickerAnswersTheChosenFolderOrCancel) {
  m_window.QueuePickedFolder("/home/ann/存档 1");
  m_window.QueuePickedFolder("");  // the user cancelled
  EXPECT_EQ(m_adapter->PickFolder("另存为"), "/home/ann/存档 1");
  EXPECT_EQ(m_adapter->PickFolder("另存为"), "");
  EXPECT_EQ(m_adapter->PickFolder("另存为"), "") << "a window that cannot ask cancels";
  auto calls = m_window.Calls();
  ASSERT_EQ(calls.size(), 3u);
  for (const auto& c : calls) {
    EXPECT_EQ(c.op, "PickFolder");
    EXPECT_EQ(c.text, "另存为");
  }
}

TEST_F(ShellAdapterTest, WithoutMainWindowNothingCrashes) {
  RefPtr<IShellAdapter> bare;
  ASSERT_EQ(CreateShellAdapter(bare.Receive()), S_OK);
  ASSERT_EQ(SetRegDWORD("", "Wizard_Q", 1), S_OK);
  LogCapture cap;
  EXPECT_EQ(bare->ShowWizard("Wizard_Q", "t", "c", "替换|取消", 1, "记住我的选择", -1), -1);
  EXPECT_EQ(bare->ShowMessage("t", "c"), E_FAIL);
  EXPECT_EQ(bare->ShowNotify("t", "c", 1, 30000), E_FAIL);
  EXPECT_EQ(bare->ShellOpen("/tmp/x"), kShellOpenFailed);
  EXPECT_EQ(bare->OnDragDataFile("/tmp/x"), E_FAIL);
  EXPECT_EQ(bare->ForceUpgrade(), E_FAIL);
  EXPECT_EQ(bare->PickFolder("另存为"), "") << "no window: cancel";
  EXPECT_TRUE(m_exitCodes.empty()) << "no window, no forced exit";
  EXPECT_EQ(cap.Count("*ASSERT*: m_pMainWindow"), 7);

  EXPECT_EQ(bare->SetMainWindow(nullptr), S_OK);
  EXPECT_TRUE(cap.Contains("*ASSERT*: pMainWindow"));
  EXPECT_EQ(CreateShellAdapter(nullptr), E_FAIL);
  EXPECT_TRUE(cap.Contains("*ASSERT*: ppObj"));
}

TEST_F(ShellAdapterTest, ForceUpgradeTellsTheUserOnceAndEnds) {
  LogCapture cap;
  EXPECT_EQ(m_adapter->ForceUpgrade(), S_OK);  // returns only because the exit is injected
  EXPECT_EQ(m_exitCodes, (std::vector<int>{-3}));
  auto calls = m_window.Calls();
  ASSERT_EQ(calls.size(), 1u) << "no false success notice";
  EXPECT_EQ(calls[0].op, "ShowMessage");
  EXPECT_EQ(calls[0].text, "您的版本太旧，Sepra将立即升级。");
  EXPECT_EQ(calls[0].caption, "Sepra便携版");
  EXPECT_GT(cap.Failures(), 0) << "that no update can be installed is logged";

  // Once per process, whichever adapter object is asked.
  RefPtr<IShellAdapter> other;
  ASSERT_EQ(CreateShellAdapter(other.Receive()), S_OK);
  other->SetMainWindow(&m_window);
  EXPECT_EQ(other->ForceUpgrade(), 1);
  EXPECT_EQ(m_adapter->ForceUpgrade(), 1);
  EXPECT_EQ(m_exitCodes.size(), 1u);
  EXPECT_EQ(m_window.CountOf("ShowMessage"), 1);
}

TEST_F(ShellAdapterTest, ForceUpgradeEndsTheRealProcessWithExitCode253) {
  shellcontrol::SetProcessExit(nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    m_adapter->ForceUpgrade();
    _exit(0);  // not reached when the upgrade ends the process
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 253);
}

}  // namespace
