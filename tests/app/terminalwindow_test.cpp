// The main window on a terminal, seen from a script: without a terminal every prompt
// ends with its cancel button unless the settings answer it, and every message, notice
// and marker is one line on the message output.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "app/terminalinput.h"
#include "app/terminalwindow.h"

namespace {

class TerminalWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, pipe2(m_in, O_CLOEXEC));
    ASSERT_EQ(0, pipe2(m_out, O_CLOEXEC | O_NONBLOCK));
  }
  void TearDown() override {
    for (int fd : {m_in[0], m_in[1], m_out[0], m_out[1]}) close(fd);
  }
  std::string Written() {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(m_out[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    return text;
  }
  int m_in[2] = {-1, -1};
  int m_out[2] = {-1, -1};
};

TEST_F(TerminalWindowTest, PromptsWithoutATerminalEndWithCancelOrTheGivenAnswer) {
  CTerminalInput input(m_in[0], m_out[1]);
  ASSERT_FALSE(input.IsTerminal());
  struct Row {
    int answer;
    std::vector<std::string> buttons;
    int button;
    const char* shown;
  } rows[] = {
      {0, {"替换", "取消"}, 1, "-> 取消 (no terminal to ask)"},
      {0, {"替换", "更新", "取消"}, 2, "-> 取消 (no terminal to ask)"},
      {1, {"替换", "取消"}, 0, "-> 替换 (--answer)"},
      {3, {"替换", "取消"}, 1, "-> 取消 (--answer)"},  // past the last button: the last
      {2, {"确定"}, 0, "-> 确定 (--answer)"},
  };
  for (const auto& row : rows) {
    CTerminalWindow window(&input, m_out[1], {row.answer, {}});
    WizardPrompt prompt;
    prompt.text = "text";
    prompt.caption = "cap";
    prompt.buttons = row.buttons;
    prompt.checkText = "记住我的选择";
    WizardChoice choice = window.ShowWizard(prompt);
    EXPECT_EQ(row.button, choice.button) << row.shown;
    EXPECT_FALSE(choice.checked);
    const std::string written = Written();
    EXPECT_NE(std::string::npos, written.find("[cap] text\n  1) " + row.buttons[0])) << written;
    EXPECT_NE(std::string::npos, written.find(row.shown)) << written;
  }
}

TEST_F(TerminalWindowTest, MessagesNoticesAndMarkersAreOneLineEach) {
  CTerminalInput input(m_in[0], m_out[1]);
  CTerminalWindow window(&input, m_out[1], {});
  EXPECT_EQ(S_OK, window.ShowMessage("two\nlines", "cap"));
  EXPECT_EQ(S_OK, window.ShowNotify("done", "cap", 1, 30000));
  EXPECT_EQ(S_OK, window.OnDragDataFile("/home/u/x_ostrel_dragdata_1"));
  EXPECT_EQ("", window.PickFolder("另存为"));
  EXPECT_EQ(
      "[cap] two?lines\n[cap] done\nDrag or copy marker: /home/u/x_ostrel_dragdata_1\n[另存为] no folder chosen (no "
      "terminal to ask)\n",
      Written());
}

TEST_F(TerminalWindowTest, AnOpenerThatCannotStartReportsFailure) {
  CTerminalInput input(m_in[0], m_out[1]);
  CTerminalWindow window(&input, m_out[1], {0, {"/nonexistent/opener"}});
  std::string seenPath, startingPath;
  bool seenStarted = true;
  window.SetOpenObserver({[&](const std::string& path) { startingPath = path; },
                          [&](const std::string& path, bool started) {
                            seenPath = path;
                            seenStarted = started;
                          }});
  EXPECT_EQ(kShellOpenFailed, window.ShellOpen("/tmp/f.txt"));
  EXPECT_EQ("/tmp/f.txt", startingPath);
  EXPECT_EQ("/tmp/f.txt", seenPath);
  EXPECT_FALSE(seenStarted);
  EXPECT_NE(std::string::npos, Written().find("ostrel: cannot start /nonexistent/opener"));
}

}  // namespace
