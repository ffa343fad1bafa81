// The shell adapter: forwards the engine's requests to the main window, remembers
// prompt answers in the registry, and carries out the forced upgrade.
//
// Remembered answers: a prompt with a non-empty key, when the current user's value
// Wizard_OpenFlag is not 0 (a missing value counts as on), returns the 32-bit value
// stored under the key without showing anything; otherwise the answer is stored
// there when the user ticked the check box, whatever the answer. The current user
// is the global UserId (the root key while nobody is signed in). Prompts and folder
// pickers are shown one at a time, under the adapter's prompt lock, which nothing else
// takes.
#pragma once

#include <functional>
#include <mutex>
#include <atomic>

#include "shell/ishelladapter.h"

class CShellAdapter final : public CUnknownImpl<IShellAdapter> {
 public:
  CShellAdapter() = default;

  HRESULT SetMainWindow(IMainWindow* pMainWindow) override;
  HRESULT UnInit() override;
  HRESULT ShowMessage(const std::string& text, const std::string& caption) override;
  int32_t ShowWizard(const std::string& key, const std::string& text, const std::string& caption,
                     const std::string& buttons, int32_t defaultAnswer, const std::string& checkText,
                     int32_t lastValue) override;
  HRESULT ShowNotify(const std::string& text, const std::string& caption, uint32_t flags,
                     uint32_t timeoutMs) override;
  ShellProcess ShellOpen(const std::string& path) override;
  HRESULT OnDragDataFile(const std::string& path) override;
  HRESULT ForceUpgrade() override;
  std::string PickFolder(const std::string& title) override;

 private:
  ~CShellAdapter() override = default;
  // The main window, or null after logging "*ASSERT*: m_pMainWindow".
  IMainWindow* Window();

  std::atomic<IMainWindow*> m_pMainWindow{nullptr};
  std::mutex m_promptLock;
};

// The answer for a chosen button of a prompt with buttonCount buttons: one button 1;
// two 1 and -1; three 2, 1 and -1; kWizardNotShown -2; anything else -1.
int32_t WizardAnswerForButton(size_t buttonCount, int button);

// Creates the shell adapter with one reference in *ppObj. 0, or E_FAIL.
HRESULT CreateShellAdapter(IShellAdapter** ppObj);

// Test seams of the forced upgrade.
namespace shellcontrol {
// Replaces how ForceUpgrade ends the process (default: std::_Exit with the code, so
// that no static destructor runs while worker threads live). An empty function
// restores the default.
void SetProcessExit(std::function<void(int exitCode)> exitProcess);
// Lets the next ForceUpgrade run again.
void ResetForceUpgrade();
}  // namespace shellcontrol
