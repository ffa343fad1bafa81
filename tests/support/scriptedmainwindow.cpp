#include "support/scriptedmainwindow.h"

std::vector<ScriptedMainWindow::Call> ScriptedMainWindow::Calls() {
  return Locked([&] { return m_calls; });
}

int ScriptedMainWindow::CountOf(const std::string& op) {
  return Locked([&] {
    int n = 0;
    for (const Call& c : m_calls) n += c.op == op;
    return n;
  });
}

HRESULT ScriptedMainWindow::ShowMessage(const std::string& text, const std::string& caption) {
  return Record({"ShowMessage", text, caption}, m_messageResult);
}

WizardChoice ScriptedMainWindow::ShowWizard(const WizardPrompt& prompt) {
  auto hook = Record({"ShowWizard", prompt.text, prompt.caption, prompt}, m_onWizard);
  if (hook) hook(prompt);
  return Locked([&] {
    WizardChoice choice{prompt.buttons.empty() ? 0 : static_cast<int>(prompt.buttons.size()) - 1, false};
    if (!m_choices.empty()) {
      choice = m_choices.front();
      m_choices.pop_front();
    }
    return choice;
  });
}

HRESULT ScriptedMainWindow::ShowNotify(const std::string& text, const std::string& caption, uint32_t flags,
                                       uint32_t timeoutMs) {
  return Record({"ShowNotify", text, caption, {}, flags, timeoutMs}, m_notifyResult);
}

ShellProcess ScriptedMainWindow::ShellOpen(const std::string& path) {
  return Record({"ShellOpen", path}, m_shellOpenResult);
}

HRESULT ScriptedMainWindow::OnDragDataFile(const std::string& path) { return Record({"OnDragDataFile", path}, S_OK); }

std::string ScriptedMainWindow::PickFolder(const std::string& title) {
  return Locked([&] {
    m_calls.push_back({"PickFolder", title});
    std::string folder;
    if (!m_folders.empty()) {
      folder = m_folders.front();
      m_folders.pop_front();
    }
    return folder;
  });
}
