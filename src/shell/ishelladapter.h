// The engine's way into the windows. Every operation forwards to the main window
// (IMainWindow) and may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "common/unknown.h"
#include "shell/imainwindow.h"

class IShellAdapter : public IUnknown {
 public:
  static constexpr IID kIID = GuidFromString("{6AC03FFE-A947-499F-97F4-BA11FCCDDD7F}");

  // Keeps the window (not referenced); returns 0.
  virtual HRESULT SetMainWindow(IMainWindow* pMainWindow) = 0;
  // Returns 0.
  virtual HRESULT UnInit() = 0;
  // A modal message; 0 once closed; E_FAIL without a main window.
  virtual HRESULT ShowMessage(const std::string& text, const std::string& caption) = 0;
  // A prompt whose answer can be remembered under the current user's value named by
  // key. Answers: one button 1; two buttons 1 and -1; three buttons 2, 1 and -1; -2
  // when the prompt was not shown and nothing was remembered; a remembered answer as
  // it was stored; -1 without a main window. buttons are the texts joined by "|".
  virtual int32_t ShowWizard(const std::string& key, const std::string& text, const std::string& caption,
                             const std::string& buttons, int32_t defaultAnswer, const std::string& checkText,
                             int32_t lastValue) = 0;
  // A tray notice; the text is cut to 128 characters, the caption to 64. 0, or
  // E_FAIL when it cannot be shown.
  virtual HRESULT ShowNotify(const std::string& text, const std::string& caption, uint32_t flags,
                             uint32_t timeoutMs) = 0;
  // Opens the file with its associated program; kShellOpenFailed without a window.
  virtual ShellProcess ShellOpen(const std::string& path) = 0;
  // Hands a drag or copy marker file to the windows; E_FAIL without a main window.
  virtual HRESULT OnDragDataFile(const std::string& path) = 0;
  // Tells the user that this version is too old and ends the process with exit code
  // -3, once per process; later calls return 1 and do nothing. E_FAIL without a main
  // window (the process goes on).
  virtual HRESULT ForceUpgrade() = 0;
  // A folder picker over the main window, shown while no prompt is (one question at a
  // time): the chosen folder, or empty for cancel, also without a main window.
  virtual std::string PickFolder(const std::string& title) = 0;

 protected:
  ~IShellAdapter() = default;
};

inline constexpr IID IID_IShellAdapter = IShellAdapter::kIID;
