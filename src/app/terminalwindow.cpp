#include "app/terminalwindow.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/itemoutput.h"
#include "common/log.h"
#include "platform/opener.h"

namespace {

// The answer code of a button (the engine's numbering), to find the default button.
int ButtonOfAnswer(size_t buttonCount, int32_t answer) {
  if (buttonCount == 3) return answer == 2 ? 0 : answer == 1 ? 1 : 2;
  if (buttonCount == 2) return answer == 1 ? 0 : 1;
  return 0;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

}  // namespace

std::vector<std::string> SplitProgramWords(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (c == ' ' || c == '\t') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

std::vector<std::string> ChooseOpener(const std::vector<std::string>& configured) {
  if (!configured.empty()) return configured;
  for (const char* name : {"VISUAL", "EDITOR"}) {
    const char* value = std::getenv(name);
    if (value) {
      std::vector<std::string> words = SplitProgramWords(value);
      if (!words.empty()) return words;
    }
  }
  return {"xdg-open"};
}

int ButtonForTypedAnswer(const std::string& typed, size_t buttonCount, bool hasCheckBox, int32_t defaultAnswer) {
  std::string text = Trim(typed);
  if (text.empty()) return ButtonOfAnswer(buttonCount, defaultAnswer);
  if (text.size() > 2) return -1;
  for (char c : text)
    if (c < '0' || c > '9') return -1;
  const size_t number = static_cast<size_t>(std::atoi(text.c_str()));
  if (number >= 1 && number <= buttonCount) return static_cast<int>(number - 1);
  if (hasCheckBox && number == buttonCount + 1) return -2;
  return -1;
}

CTerminalWindow::CTerminalWindow(CTerminalInput* input, int messageFd, TerminalWindowSettings settings)
    : m_input(input), m_messageFd(messageFd), m_settings(std::move(settings)) {}

void CTerminalWindow::Say(const std::string& line) {
  std::lock_guard<std::mutex> guard(m_writeLock);
  WriteAllToFd(m_messageFd, line + "\n");
}

HRESULT CTerminalWindow::ShowMessage(const std::string& text, const std::string& caption) {
  Say("[" + PrintableText(caption) + "] " + PrintableText(text));
  return S_OK;
}

HRESULT CTerminalWindow::ShowNotify(const std::string& text, const std::string& caption, uint32_t, uint32_t) {
  Say("[" + PrintableText(caption) + "] " + PrintableText(text));
  return S_OK;
}

WizardChoice CTerminalWindow::ShowWizard(const WizardPrompt& prompt) {
  WizardChoice choice;
  const size_t count = prompt.buttons.size();
  if (count == 0) return choice;
  const bool hasCheck = !prompt.checkText.empty();
  std::string head = "[" + PrintableText(prompt.caption) + "] " + PrintableText(prompt.text);
  std::string list;
  for (size_t i = 0; i < count; ++i) list += "\n  " + std::to_string(i + 1) + ") " + PrintableText(prompt.buttons[i]);
  if (m_settings.answer > 0 || !m_input || !m_input->IsTerminal()) {
    const size_t button = m_settings.answer > 0 ? std::min<size_t>(static_cast<size_t>(m_settings.answer), count) - 1
                                                : count - 1;
    Say(head + list + "\n  -> " + PrintableText(prompt.buttons[button]) +
        (m_settings.answer > 0 ? " (--answer)" : " (no terminal to ask)"));
    choice.button = static_cast<int>(button);
    return choice;
  }
  const int defaultButton = ButtonOfAnswer(count, prompt.defaultAnswer);
  if (m_input->Interrupted()) {
    Say(head + list + "\n  -> " + PrintableText(prompt.buttons[count - 1]) + " (Ctrl-C)");
    choice.button = static_cast<int>(count - 1);
    return choice;
  }
  for (;;) {
    std::string question = head + list;
    if (hasCheck)
      question += "\n  " + std::to_string(count + 1) + ") [" + (choice.checked ? "x" : " ") + "] " +
                  PrintableText(prompt.checkText);
    question += "\nChoose 1-" + std::to_string(count) +
                (hasCheck ? " (" + std::to_string(count + 1) + " ticks the box)" : std::string()) + " [" +
                std::to_string(defaultButton + 1) + "]: ";
    std::string typed;
    const InputLine got = m_input->Ask(question, &typed);
    if (got == InputLine::kEnd) {
      Say("  -> " + PrintableText(prompt.buttons[count - 1]) +
          (m_input->Interrupted() ? " (Ctrl-C)" : " (end of input)"));
      choice.button = static_cast<int>(count - 1);
      return choice;
    }
    if (got == InputLine::kTooLong) continue;  // picks nothing, as any other wrong answer
    const int button = ButtonForTypedAnswer(typed, count, hasCheck, prompt.defaultAnswer);
    if (button == -2) {
      choice.checked = !choice.checked;
      continue;
    }
    if (button >= 0) {
      choice.button = button;
      return choice;
    }
  }
}

ShellProcess CTerminalWindow::ShellOpen(const std::string& path) {
  OpenObserver observer;
  {
    std::lock_guard<std::mutex> guard(m_observerLock);
    observer = m_openObserver;
  }
  const std::vector<std::string> program = ChooseOpener(m_settings.opener);
  Say("Opening " + PrintableText(path) + " with " + PrintableText(program[0]));
  if (observer.starting) observer.starting(path);
  int error = 0;
  const int pidfd = StartOpener(program, path, &error);
  if (pidfd < 0) {
    Say("ostrel: cannot start " + PrintableText(program[0]) + ": " + std::strerror(error));
    OSTREL_LOG(kLogWarn, "CTerminalWindow::ShellOpen: %s could not be started (errno %d)", program[0].c_str(), error);
  }
  if (observer.ended) observer.ended(path, pidfd >= 0);
  return pidfd >= 0 ? pidfd : kShellOpenFailed;
}

void CTerminalWindow::SetOpenObserver(OpenObserver observer) {
  std::lock_guard<std::mutex> guard(m_observerLock);
  m_openObserver = std::move(observer);
}

HRESULT CTerminalWindow::OnDragDataFile(const std::string& path) {
  Say("Drag or copy marker: " + PrintableText(path));
  return S_OK;
}

std::string CTerminalWindow::PickFolder(const std::string& title) {
  if (!m_input || !m_input->IsTerminal() || m_settings.answer > 0) {
    Say("[" + PrintableText(title) + "] no folder chosen (no terminal to ask)");
    return std::string();
  }
  std::string typed;
  const InputLine got = m_input->Ask("[" + PrintableText(title) + "] folder (empty: cancel): ", &typed);
  if (got == InputLine::kTooLong)
    Say("[" + PrintableText(title) + "] no folder chosen (the answer is longer than " +
        std::to_string(kMaxAnswerBytes) + " bytes)");
  if (got != InputLine::kLine) return std::string();
  return Trim(typed);
}
