// The shell adapter called from many engine threads at once: the forced upgrade runs
// once, and one prompt key is asked once when its answer is remembered.
#include <atomic>
#include <barrier>
#include <future>
#include <thread>
#include <vector>

#include "shell/shelladapter.h"
#include "support/scriptedmainwindow.h"
#include "support/testenv.h"

namespace {

class ShellAdapterConcurrencyTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    shellcontrol::ResetForceUpgrade();
    shellcontrol::SetProcessExit([this](int code) {
      m_exits.fetch_add(1);
      m_lastCode.store(code);
    });
    ASSERT_EQ(CreateShellAdapter(m_adapter.Receive()), S_OK);
    m_adapter->SetMainWindow(&m_window);
  }
  void TearDown() override {
    shellcontrol::SetProcessExit(nullptr);
    shellcontrol::ResetForceUpgrade();
    OstrelTest::TearDown();
  }

  ScriptedMainWindow m_window;
  RefPtr<IShellAdapter> m_adapter;
  std::atomic<int> m_exits{0};
  std::atomic<int> m_lastCode{0};
};

TEST_F(ShellAdapterConcurrencyTest, ForceUpgradeFromEightThreadsRunsOnce) {
  constexpr int kThreads = 8;
  std::barrier start(kThreads);
  std::vector<HRESULT> results(kThreads, E_FAIL);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      results[i] = m_adapter->ForceUpgrade();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(m_exits.load(), 1);
  EXPECT_EQ(m_lastCode.load(), -3);
  EXPECT_EQ(m_window.CountOf("ShowMessage"), 1);
  int ran = 0, skipped = 0;
  for (HRESULT hr : results) {
    ran += hr == S_OK;
    skipped += hr == 1;
  }
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(skipped, kThreads - 1);
}

TEST_F(ShellAdapterConcurrencyTest, OnePromptForAKeyAskedByManyThreads) {
  constexpr int kThreads = 6;
  m_window.QueueWizardChoice(0, true);  // the first prompt is answered and remembered
  std::barrier start(kThreads);
  std::vector<int32_t> answers(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      answers[i] = m_adapter->ShowWizard("Wizard_OpenOldVersion", "t", "c", "打开旧版本|取消", 1, "记住我的选择", -1);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(m_window.CountOf("ShowWizard"), 1);
  for (int32_t a : answers) EXPECT_EQ(a, 1);
}

TEST_F(ShellAdapterConcurrencyTest, ARememberedAnswerDoesNotWaitForAnotherKeysOpenPrompt) {
  m_window.QueueWizardChoice(0, true);
  ASSERT_EQ(m_adapter->ShowWizard("Wizard_Replace", "t", "c", "是|否", 1, "记住我的选择", -1), 1);
  // While a prompt of another key waits for the user, the remembered answer comes at
  // once. Before, it waited for that prompt: the hook's wait then ran out first.
  std::promise<int32_t> remembered;
  std::future<int32_t> answer = remembered.get_future();
  std::atomic<bool> answeredWhileOpen{false};
  std::thread asker;
  m_window.SetOnWizard([&](const WizardPrompt&) {
    asker = std::thread([&] {
      remembered.set_value(m_adapter->ShowWizard("Wizard_Replace", "t", "c", "是|否", 1, "记住我的选择", -1));
    });
    answeredWhileOpen = answer.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  });
  EXPECT_EQ(m_adapter->ShowWizard("Wizard_OpenOldVersion", "t", "c", "打开|取消", 1, "记住我的选择", -1), -1);
  asker.join();
  EXPECT_TRUE(answeredWhileOpen.load());
  EXPECT_EQ(answer.get(), 1);
  EXPECT_EQ(m_window.CountOf("ShowWizard"), 2);
}

}  // namespace
