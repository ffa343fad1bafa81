// The main window on a terminal: messages and notices as lines on the message output
// (standard error), prompts whose buttons are answered by number, the folder picker as
// a question for a path, and the opener that starts the user's program on a file.
//
// A prompt is asked only when the input is a terminal; otherwise it ends with its last
// button (cancel), or with the button that the settings name for every prompt
// (scripts), and the line says which. Every operation may be called from any thread;
// lines are written whole.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/terminalinput.h"
#include "shell/imainwindow.h"

struct TerminalWindowSettings {
  // 1-based button that answers every prompt without asking; 0: ask.
  int answer = 0;
  // The program that opens files (words); empty: $VISUAL, else $EDITOR, else xdg-open.
  std::vector<std::string> opener;
};

// The program that opens files: settings.opener when set, else the words of $VISUAL,
// else of $EDITOR (each only when not blank), else {"xdg-open"}.
std::vector<std::string> ChooseOpener(const std::vector<std::string>& configured);
// Splits a program setting at blanks.
std::vector<std::string> SplitProgramWords(const std::string& text);

// The button a typed answer picks (0-based), or -1 when the text picks none; an empty
// answer picks the default. buttonCount is 1 to 3; the check box, when there is one,
// is number buttonCount + 1 and answers -2 (a toggle).
int ButtonForTypedAnswer(const std::string& typed, size_t buttonCount, bool hasCheckBox, int32_t defaultAnswer);

class CTerminalWindow final : public IMainWindow {
 public:
  // input and the window outlive each other's use; messageFd is borrowed.
  CTerminalWindow(CTerminalInput* input, int messageFd, TerminalWindowSettings settings);

  HRESULT ShowMessage(const std::string& text, const std::string& caption) override;
  WizardChoice ShowWizard(const WizardPrompt& prompt) override;
  HRESULT ShowNotify(const std::string& text, const std::string& caption, uint32_t flags,
                     uint32_t timeoutMs) override;
  ShellProcess ShellOpen(const std::string& path) override;
  HRESULT OnDragDataFile(const std::string& path) override;
  std::string PickFolder(const std::string& title) override;

  // What is told of every ShellOpen, on the thread that asked to open. Either may be
  // empty.
  struct OpenObserver {
    // Before the program starts: the file is as the engine handed it over.
    std::function<void(const std::string& path)> starting;
    // At the end, with whether a program started.
    std::function<void(const std::string& path, bool started)> ended;
  };

  // Writes one line (a newline is added).
  void Say(const std::string& line);
  // Sets the observer of the opens to come ({} for none).
  void SetOpenObserver(OpenObserver observer);

 private:
  CTerminalInput* const m_input;
  const int m_messageFd;
  const TerminalWindowSettings m_settings;
  std::mutex m_writeLock;
  std::mutex m_observerLock;
  OpenObserver m_openObserver;
};
