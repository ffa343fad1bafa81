// A file task that the service refuses because the client is too old
// (methodVersionNotMatch) ends the process: the user is told once that the program
// upgrades now, and the process exits with -3 (253), whether the task ran in the
// background or on the caller's thread, and however many tasks meet the refusal.
#include <gmock/gmock.h>

#include <cstdio>

#include "syncservicerig.h"

namespace {

// The main window of the process under test: every message box's text goes to the
// standard error as a line "ShowMessage: <text>", which the parent process reads.
class ReportingWindow final : public IMainWindow {
 public:
  explicit ReportingWindow(ScriptedMainWindow* rest) : m_rest(rest) {}
  HRESULT ShowMessage(const std::string& text, const std::string& caption) override {
    std::fprintf(stderr, "ShowMessage: %s\n", text.c_str());
    std::fflush(stderr);
    return m_rest->ShowMessage(text, caption);
  }
  WizardChoice ShowWizard(const WizardPrompt& prompt) override { return m_rest->ShowWizard(prompt); }
  HRESULT ShowNotify(const std::string& text, const std::string& caption, uint32_t flags,
                     uint32_t timeoutMs) override {
    return m_rest->ShowNotify(text, caption, flags, timeoutMs);
  }
  ShellProcess ShellOpen(const std::string& path) override { return m_rest->ShellOpen(path); }
  HRESULT OnDragDataFile(const std::string& path) override { return m_rest->OnDragDataFile(path); }
  std::string PickFolder(const std::string& title) override { return m_rest->PickFolder(title); }

 private:
  ScriptedMainWindow* m_rest;
};

// How often the text occurs in the output.
size_t Occurrences(const std::string& output, const std::string& text) {
  size_t n = 0;
  for (size_t at = output.find(text); at != std::string::npos; at = output.find(text, at + text.size())) ++n;
  return n;
}

using ForcedUpgradeServiceTest = SyncServiceRig;

TEST_F(ForcedUpgradeServiceTest, ARefusedOldClientTellsTheUserOnceAndEnds) {
  // The process under test is started anew (with its own service), not forked from a
  // process whose threads hold locks.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  enum Act { kBackground, kCallersThread, kTwoAtOnce, kBackgroundUpload };
  const struct {
    const char* what;
    Act act;
  } rows[] = {
      {"a download in the background", kBackground},
      {"a download on the caller's thread", kCallersThread},
      {"two downloads in the background at once", kTwoAtOnce},
      {"an upload in the background", kBackgroundUpload},
  };
  const std::string first = SeedFile("a.txt", "first"), second = SeedFile("b.txt", "second");
  const std::string source = PathIn("new.txt");
  WriteFileBytes(source, "a new version");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    for (const char* path : {"/xsvr/requestDownload/", "/xsvr/requestUpload/"})
      Service().Inject(nlohmann::json{{"path", path}, {"word", "methodVersionNotMatch"}, {"count", 100}}.dump());
    ReportingWindow window(&m_window);
    auto upgradeOnce = [](const std::string& output) {
      return Occurrences(output, "ShowMessage: 您的版本太旧，Sepra将立即升级。\n") == 1 &&
             Occurrences(output, "成功升级") == 0;
    };
    EXPECT_EXIT(
        {
          m_adapter->SetMainWindow(&window);
          switch (row.act) {
            case kBackground:
              m_mgr->DownloadFile(first, "\\a.txt", PathIn("a.txt"), true, ItemSpace::MyFile);
              break;
            case kCallersThread:
              m_mgr->DownloadFile(first, "\\a.txt", PathIn("a.txt"), false, ItemSpace::MyFile);
              break;
            case kTwoAtOnce:
              m_mgr->DownloadFile(first, "\\a.txt", PathIn("a.txt"), true, ItemSpace::MyFile);
              m_mgr->DownloadFile(second, "\\b.txt", PathIn("b.txt"), true, ItemSpace::MyFile);
              break;
            case kBackgroundUpload:
              m_mgr->UploadFile(first, "", 1, "\\a.txt", source, true);
              break;
          }
          // Only a process that did not end gets here.
          m_scripted->WaitCallbacks(row.act == kTwoAtOnce ? 2 : 1, std::chrono::seconds(60));
          std::fprintf(stderr, "the process goes on\n");
          std::_Exit(0);
        },
        ::testing::ExitedWithCode(253), ::testing::Truly(upgradeOnce));
    Service().Reset();
  }
}

}  // namespace
