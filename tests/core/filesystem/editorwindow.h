// A main window for tests of opening files: prompts, pickers, messages and notices are
// answered and recorded by a ScriptedMainWindow; ShellOpen starts the test editor
// (tests/tools) with the steps set, through StartOpener, as the desktop's opener would,
// or answers a set result. Each call is counted, with a wait for a count, and each
// started editor can be waited for until it has ended (through a second pidfd, so
// that the owner of the first one still sees and reaps the end). Thread-safe.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/opener.h"
#include "support/editorprogram.h"
#include "support/scriptedmainwindow.h"

class EditorWindow final : public IMainWindow {
 public:
  ~EditorWindow() {
    for (auto& [index, fd] : m_watch) close(fd);
  }

  // ShellOpen starts the editor with these steps (the file is its last argument); an
  // empty list makes ShellOpen answer the result set with SetShellOpenResult.
  void SetEditorSteps(std::vector<std::string> steps) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_steps = std::move(steps);
  }
  // Runs inside ShellOpen before the program starts (or the result is answered).
  void SetOnShellOpen(std::function<void(const std::string& path)> hook) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_onOpen = std::move(hook);
  }
  ScriptedMainWindow& Script() { return m_script; }

  // The texts of the calls of op, in order.
  std::vector<std::string> Texts(const std::string& op) {
    std::vector<std::string> texts;
    for (const auto& call : m_script.Calls())
      if (call.op == op) texts.push_back(call.text);
    return texts;
  }
  int Count(const std::string& op, const std::string& text) {
    int n = 0;
    for (const std::string& t : Texts(op)) n += t == text;
    return n;
  }
  // Waits (up to the guard) until op has been called count times in all.
  bool WaitForCalls(const std::string& op, int count) {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_changed.wait_for(guard, std::chrono::milliseconds(kEditorGuardMs),
                              [&] { return m_script.CountOf(op) >= count; });
  }
  // Editors started so far.
  int Started() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_started;
  }
  // Waits (up to the guard) until the index-th editor started (from 0) has ended.
  bool WaitExited(int index) {
    int fd = -1;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      auto it = m_watch.find(index);
      if (it == m_watch.end()) return false;
      fd = it->second;
      m_watch.erase(it);
    }
    pollfd p{fd, POLLIN, 0};
    const bool ended = poll(&p, 1, kEditorGuardMs) == 1;
    close(fd);  // a second reference: the owner's pidfd still reaps the child
    return ended;
  }

  HRESULT ShowMessage(const std::string& text, const std::string& caption) override {
    return Notified(m_script.ShowMessage(text, caption));
  }
  WizardChoice ShowWizard(const WizardPrompt& prompt) override { return Notified(m_script.ShowWizard(prompt)); }
  HRESULT ShowNotify(const std::string& text, const std::string& caption, uint32_t flags,
                     uint32_t timeoutMs) override {
    return Notified(m_script.ShowNotify(text, caption, flags, timeoutMs));
  }
  ShellProcess ShellOpen(const std::string& path) override {
    std::vector<std::string> program;
    std::function<void(const std::string&)> hook;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      program = m_steps;
      hook = m_onOpen;
    }
    if (hook) hook(path);
    const ShellProcess scripted = m_script.ShellOpen(path);
    if (program.empty()) return Notified(scripted);
    program.insert(program.begin(), OSTREL_TEST_EDITOR_PATH);
    int error = 0;
    const int pidfd = StartOpener(program, path, &error);
    EXPECT_GE(pidfd, 0) << "the editor did not start: errno " << error;
    if (pidfd < 0) return Notified(kShellOpenFailed);
    std::lock_guard<std::mutex> guard(m_lock);
    m_watch[m_started++] = fcntl(pidfd, F_DUPFD_CLOEXEC, 0);
    m_changed.notify_all();
    return pidfd;
  }
  HRESULT OnDragDataFile(const std::string& path) override { return Notified(m_script.OnDragDataFile(path)); }
  std::string PickFolder(const std::string& title) override { return Notified(m_script.PickFolder(title)); }

 private:
  template <class T>
  T Notified(T result) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_changed.notify_all();
    return result;
  }

  ScriptedMainWindow m_script;
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<std::string> m_steps;
  std::function<void(const std::string&)> m_onOpen;
  std::map<int, int> m_watch;  // editor index -> a second pidfd
  int m_started = 0;
};
