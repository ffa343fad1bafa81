#include "shell/shelladapter.h"

#include <cstdlib>
#include <new>
#include <vector>

#include "common/checks.h"
#include "common/log.h"
#include "common/registry.h"
#include "common/strhelper.h"
#include "common/utf8.h"

namespace {

constexpr char kCaption[] = "Sepra便携版";
constexpr char kUpgradeNotice[] = "您的版本太旧，Sepra将立即升级。";
constexpr char kWizardOpenFlag[] = "Wizard_OpenFlag";
constexpr int kForceUpgradeExitCode = -3;
constexpr size_t kMaxButtons = 3;
constexpr size_t kNotifyTextChars = 128;
constexpr size_t kNotifyTitleChars = 64;

std::atomic<bool> g_forceUpgradeStarted{false};
std::mutex g_exitMutex;
std::function<void(int)> g_exitProcess;

void ExitProcess(int code) {
  std::function<void(int)> fn;
  {
    std::lock_guard<std::mutex> guard(g_exitMutex);
    fn = g_exitProcess;
  }
  if (fn) {
    fn(code);
    return;
  }
  // Every log line is already on disk (the writer closes the file per line).
  std::_Exit(code);
}

}  // namespace

namespace shellcontrol {
void SetProcessExit(std::function<void(int)> exitProcess) {
  std::lock_guard<std::mutex> guard(g_exitMutex);
  g_exitProcess = std::move(exitProcess);
}
void ResetForceUpgrade() { g_forceUpgradeStarted.store(false); }
}  // namespace shellcontrol

int32_t WizardAnswerForButton(size_t buttonCount, int button) {
  if (button == kWizardNotShown) return -2;
  size_t shown = buttonCount == 0 ? 1 : buttonCount;
  if (button < 0 || static_cast<size_t>(button) >= shown) return -1;
  switch (shown) {
    case 1: return 1;
    case 2: return button == 0 ? 1 : -1;
    default: {
      static constexpr int32_t kThree[] = {2, 1, -1};
      return kThree[button];
    }
  }
}

IMainWindow* CShellAdapter::Window() {
  IMainWindow* w = m_pMainWindow.load(std::memory_order_acquire);
  if (!w) OSTREL_LOG(kLogError, "%s", "*ASSERT*: m_pMainWindow");
  return w;
}

HRESULT CShellAdapter::SetMainWindow(IMainWindow* pMainWindow) {
  ASSERT(pMainWindow);
  m_pMainWindow.store(pMainWindow, std::memory_order_release);
  return S_OK;
}

HRESULT CShellAdapter::UnInit() { return S_OK; }

HRESULT CShellAdapter::ShowMessage(const std::string& text, const std::string& caption) {
  IMainWindow* w = Window();
  if (!w) return E_FAIL;
  return w->ShowMessage(text, caption);
}

int32_t CShellAdapter::ShowWizard(const std::string& key, const std::string& text, const std::string& caption,
                                  const std::string& buttons, int32_t defaultAnswer, const std::string& checkText,
                                  int32_t lastValue) {
  IMainWindow* w = Window();
  if (!w) return -1;
  WizardPrompt prompt;
  prompt.text = text;
  prompt.caption = caption;
  SplitString(buttons, '|', &prompt.buttons);
  if (prompt.buttons.size() > kMaxButtons) {
    OSTREL_LOG(kLogWarn, "ShowWizard %s: %zu buttons given, the first %zu are shown", key.c_str(),
               prompt.buttons.size(), kMaxButtons);
    prompt.buttons.resize(kMaxButtons);
  }
  prompt.defaultAnswer = defaultAnswer;
  prompt.lastValue = lastValue;

  std::string userId;
  GetRegValue(&userId, "", kRegUserId, "");
  bool memory = !key.empty() && GetRegDWORD(userId, kWizardOpenFlag, 1) != 0;
  // A remembered answer needs no prompt, so it never waits for another key's open
  // prompt; it is looked up again under the lock, in case that prompt just stored it.
  uint32_t remembered = 0;
  if (memory && FindRegDWORD(userId, key, &remembered)) {
    OSTREL_LOG(kLogTrace, "ShowWizard %s: remembered answer %d", key.c_str(), static_cast<int32_t>(remembered));
    return static_cast<int32_t>(remembered);
  }
  std::lock_guard<std::mutex> promptGuard(m_promptLock);
  if (memory && FindRegDWORD(userId, key, &remembered)) {
    OSTREL_LOG(kLogTrace, "ShowWizard %s: remembered answer %d", key.c_str(), static_cast<int32_t>(remembered));
    return static_cast<int32_t>(remembered);
  }
  // Without memory a ticked box would do nothing, so none is offered.
  prompt.checkText = memory ? checkText : std::string();

  WizardChoice choice = w->ShowWizard(prompt);
  int32_t answer = WizardAnswerForButton(prompt.buttons.size(), choice.button);
  if (memory && choice.checked && choice.button != kWizardNotShown) {
    HRESULT hr = SetRegDWORD(userId, key, static_cast<uint32_t>(answer));
    CHECK_COM(hr);
  }
  return answer;
}

HRESULT CShellAdapter::ShowNotify(const std::string& text, const std::string& caption, uint32_t flags,
                                  uint32_t timeoutMs) {
  IMainWindow* w = Window();
  if (!w) return E_FAIL;
  return w->ShowNotify(Utf8CutChars(text, kNotifyTextChars), Utf8CutChars(caption, kNotifyTitleChars), flags,
                       timeoutMs);
}

ShellProcess CShellAdapter::ShellOpen(const std::string& path) {
  IMainWindow* w = Window();
  if (!w) return kShellOpenFailed;
  return w->ShellOpen(path);
}

HRESULT CShellAdapter::OnDragDataFile(const std::string& path) {
  IMainWindow* w = Window();
  if (!w) return E_FAIL;
  return w->OnDragDataFile(path);
}

HRESULT CShellAdapter::ForceUpgrade() {
  IMainWindow* w = Window();
  if (!w) return E_FAIL;
  bool expected = false;
  if (!g_forceUpgradeStarted.compare_exchange_strong(expected, true)) return S_FALSE;
  w->ShowMessage(kUpgradeNotice, kCaption);
  OSTREL_LOG(kLogError, "%s", "ForceUpgrade: this version is too old and no update can be installed; the program ends");
  ExitProcess(kForceUpgradeExitCode);
  return S_OK;
}

std::string CShellAdapter::PickFolder(const std::string& title) {
  IMainWindow* w = Window();
  if (!w) return std::string();
  std::lock_guard<std::mutex> promptGuard(m_promptLock);
  return w->PickFolder(title);
}

HRESULT CreateShellAdapter(IShellAdapter** ppObj) {
  ASSERT(ppObj);
  if (!ppObj) return E_FAIL;
  CShellAdapter* pShellAdapter = new (std::nothrow) CShellAdapter();
  ERROR_CHECK_BOOLEX(pShellAdapter);
  pShellAdapter->AddRef();
  *ppObj = pShellAdapter;
  return S_OK;
}
