// The main window's callback interface: what the engine asks of the user's window,
// through the shell adapter only. Not reference-counted: the window outlives the
// shell adapter that keeps it. Every operation may be called from any thread (the
// UI thread, the task manager's thread, executer threads); a window that must work
// on its own thread hands the work over and waits for it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/resultcodes.h"

// A prompt with one to three buttons and an optional "remember my choice" check box.
struct WizardPrompt {
  std::string text;
  std::string caption;
  std::vector<std::string> buttons;  // 1 to 3 texts, in the order shown
  int32_t defaultAnswer = 1;         // the answer whose button has the focus
  std::string checkText;             // empty: no check box
  int32_t lastValue = -1;            // passed through from the caller
};

// How a prompt ended.
struct WizardChoice {
  // Index into WizardPrompt::buttons of the button chosen; kWizardNotShown when the
  // prompt was not shown. A window that cannot show a prompt (no terminal, no
  // scripted answer) reports its last button, the cancel button: the engine's
  // callers take "not shown" as consent.
  int button = -1;
  bool checked = false;  // the check box was ticked
};
inline constexpr int kWizardNotShown = -1;

// What ShellOpen hands back: a pidfd of the program that opened the file (a child of
// this process, see platform/opener.h), or one of these. The receiver owns the pidfd:
// it learns the program's end with ChildState and gives the pidfd up with ReleaseChild
// (never a bare close, which would leave the ended program a zombie).
using ShellProcess = int;
inline constexpr ShellProcess kShellNoProcess = -1;   // opened, but no program to watch
inline constexpr ShellProcess kShellOpenFailed = -2;  // nothing was opened

class IMainWindow {
 public:
  // A modal message with an OK button; returns 0 once the user has closed it.
  virtual HRESULT ShowMessage(const std::string& text, const std::string& caption) = 0;
  // A modal prompt; see WizardChoice.
  virtual WizardChoice ShowWizard(const WizardPrompt& prompt) = 0;
  // A notice shown for timeoutMs; 0, or E_FAIL when it cannot be shown.
  virtual HRESULT ShowNotify(const std::string& text, const std::string& caption, uint32_t flags,
                             uint32_t timeoutMs) = 0;
  // Opens the file with its associated program.
  virtual ShellProcess ShellOpen(const std::string& path) = 0;
  // A drag or copy marker file appeared; the window downloads the items it lists
  // into the marker's folder.
  virtual HRESULT OnDragDataFile(const std::string& path) = 0;
  // A modal folder picker with the title: the chosen folder's path, or empty when the
  // user cancelled or the window cannot ask (no terminal, no scripted answer).
  virtual std::string PickFolder(const std::string& title) = 0;

 protected:
  ~IMainWindow() = default;
};
