// A shell adapter whose prompts (ShowWizard) answer a scripted value and are kept; its
// other calls succeed and do nothing, and ShellOpen fails. Thread-safe.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "shell/ishelladapter.h"

class PromptingShellAdapter final : public CUnknownImpl<IShellAdapter> {
 public:
  struct Prompt {
    std::string key, text, caption, buttons;
    int32_t defaultAnswer;
    std::string checkText;
    int32_t lastValue;
  };
  // What every prompt answers from now on (-1 until set).
  void Answer(int32_t answer) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_answer = answer;
  }
  std::vector<Prompt> Prompts() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_prompts;
  }
  int32_t ShowWizard(const std::string& key, const std::string& text, const std::string& caption,
                     const std::string& buttons, int32_t defaultAnswer, const std::string& checkText,
                     int32_t lastValue) override {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_prompts.push_back({key, text, caption, buttons, defaultAnswer, checkText, lastValue});
    return m_answer;
  }
  HRESULT SetMainWindow(IMainWindow*) override { return S_OK; }
  HRESULT UnInit() override { return S_OK; }
  HRESULT ShowMessage(const std::string&, const std::string&) override { return S_OK; }
  HRESULT ShowNotify(const std::string&, const std::string&, uint32_t, uint32_t) override { return S_OK; }
  ShellProcess ShellOpen(const std::string&) override { return kShellOpenFailed; }
  HRESULT OnDragDataFile(const std::string&) override { return S_OK; }
  HRESULT ForceUpgrade() override { return S_OK; }
  std::string PickFolder(const std::string&) override { return std::string(); }

 private:
  std::mutex m_mutex;
  int32_t m_answer = -1;
  std::vector<Prompt> m_prompts;
};
