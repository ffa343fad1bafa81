#include "support/scriptedmainwindow.h"

void ScriptedMainWindow::QueueWizardChoice(int button, bool checked) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_choices.push_back(WizardChoice{button, checked});
}

void ScriptedMainWindow::SetMessageResult(HRESULT hr) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_messageResult = hr;
}

void ScriptedMainWindow::SetNotifyResult(HRESULT hr) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_notifyResult = hr;
}

void ScriptedMainWindow::SetShellOpenResult(ShellProcess p) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_shellOpenResult = p;
}

void ScriptedMainWindow::SetOnMessage(std::function<void(const std::string&)> hook) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_onMessage = std::move(hook);
}

void ScriptedMainWindow::SetOnWizard(std::function<void(const WizardPrompt&)> hook) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_onWizard = std::move(hook);
}

std::vector<ScriptedMainWindow::Call> ScriptedMainWindow::Calls() {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_calls;
}

int ScriptedMainWindow::CountOf(const std::string& op) {
  std::lock_guard<std::mutex> guard(m_mutex);
  int n = 0;
  for (const Call& c : m_calls) n += c.op == op;
  return n;
}

void ScriptedMainWindow::Record(Call call) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_calls.push_back(std::move(call));
}

HRESULT ScriptedMainWindow::ShowMessage(const std::string& text, const std::string& caption) {
  Call c;
  c.op = "ShowMessage";
  c.text = text;
  c.caption = caption;
  Record(c);
  std::function<void(const std::string&)> hook;
  HRESULT hr;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    hook = m_onMessage;
    hr = m_messageResult;
  }
  if (hook) hook(text);
  return hr;
}

WizardChoice ScriptedMainWindow::ShowWizard(const WizardPrompt& prompt) {
  Call c;
  c.op = "ShowWizard";
  c.text = prompt.text;
  c.caption = prompt.caption;
  c.prompt = prompt;
  Record(c);
  std::function<void(const WizardPrompt&)> hook;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    hook = m_onWizard;
  }
  if (hook) hook(prompt);
  std::lock_guard<std::mutex> guard(m_mutex);
  if (m_choices.empty()) {
    int last = prompt.buttons.empty() ? 0 : static_cast<int>(prompt.buttons.size()) - 1;
    return WizardChoice{last, false};
  }
  WizardChoice choice = m_choices.front();
  m_choices.pop_front();
  return choice;
}

HRESULT ScriptedMainWindow::ShowNotify(const std::string& text, const std::string& caption, uint32_t flags,
                                       uint32_t timeoutMs) {
  Call c;
  c.op = "ShowNotify";
  c.text = text;
  c.caption = caption;
  c.flags = flags;
  c.timeoutMs = timeoutMs;
  Record(c);
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_notifyResult;
}

ShellProcess ScriptedMainWindow::ShellOpen(const std::string& path) {
  Call c;
  c.op = "ShellOpen";
  c.text = path;
  Record(c);
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_shellOpenResult;
}

HRESULT ScriptedMainWindow::OnDragDataFile(const std::string& path) {
  Call c;
  c.op = "OnDragDataFile";
  c.text = path;
  Record(c);
  return S_OK;
}
