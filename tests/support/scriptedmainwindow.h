// A main window for tests: records every call and answers prompts and folder pickers
// from queues.
// Thread-safe: engine threads may call it while a test inspects it.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "shell/imainwindow.h"

class ScriptedMainWindow final : public IMainWindow {
 public:
  struct Call {
    std::string op;  // "ShowMessage", "ShowWizard", "ShowNotify", "ShellOpen", "OnDragDataFile", "PickFolder"
    std::string text;     // message, prompt or notice text; the path for ShellOpen and OnDragDataFile;
                          // the title for PickFolder
    std::string caption;
    WizardPrompt prompt;  // ShowWizard only
    uint32_t flags = 0, timeoutMs = 0;  // ShowNotify only
  };

  // Queues the answer of the next prompt. Without a queued answer a prompt ends
  // with its last (cancel) button, as a window that cannot ask does.
  void QueueWizardChoice(int button, bool checked = false) { Locked([&] { m_choices.push_back({button, checked}); }); }
  // Queues the answer of the next folder picker: a folder, or empty for cancel. Without
  // a queued answer a picker is cancelled.
  void QueuePickedFolder(const std::string& folder) { Locked([&] { m_folders.push_back(folder); }); }
  // Results of the other operations.
  void SetMessageResult(HRESULT hr) { Locked([&] { m_messageResult = hr; }); }
  void SetNotifyResult(HRESULT hr) { Locked([&] { m_notifyResult = hr; }); }
  void SetShellOpenResult(ShellProcess p) { Locked([&] { m_shellOpenResult = p; }); }
  // Runs inside ShowWizard while the prompt is open, before it is answered.
  void SetOnWizard(std::function<void(const WizardPrompt&)> hook) { Locked([&] { m_onWizard = std::move(hook); }); }

  std::vector<Call> Calls();
  int CountOf(const std::string& op);

  HRESULT ShowMessage(const std::string& text, const std::string& caption) override;
  WizardChoice ShowWizard(const WizardPrompt& prompt) override;
  HRESULT ShowNotify(const std::string& text, const std::string& caption, uint32_t flags,
                     uint32_t timeoutMs) override;
  ShellProcess ShellOpen(const std::string& path) override;
  HRESULT OnDragDataFile(const std::string& path) override;
  std::string PickFolder(const std::string& title) override;

 private:
  template <typename F>
  auto Locked(F f) -> decltype(f()) {
    std::lock_guard<std::mutex> guard(m_mutex);
    return f();
  }
  // Records the call and returns what was set for it.
  template <typename T>
  T Record(Call call, const T& result) {
    return Locked([&] {
      m_calls.push_back(std::move(call));
      return result;
    });
  }

  std::mutex m_mutex;
  std::vector<Call> m_calls;
  std::deque<WizardChoice> m_choices;
  std::deque<std::string> m_folders;
  HRESULT m_messageResult = S_OK;
  HRESULT m_notifyResult = S_OK;
  ShellProcess m_shellOpenResult = kShellNoProcess;
  std::function<void(const WizardPrompt&)> m_onWizard;
};
