#include "app/interruptwatch.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "app/terminalinput.h"
#include "platform/event.h"

namespace {

sigset_t InterruptSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

void BlockInterruptSignal() {
  const sigset_t set = InterruptSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void EndProcessByInterrupt() {
  RestoreTerminalEcho();
  signal(SIGINT, SIG_DFL);
  const sigset_t set = InterruptSet();
  // Pending for this thread while blocked; delivered, at its default action, once
  // unblocked.
  raise(SIGINT);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  _exit(128 + SIGINT);
}

CInterruptWatch::CInterruptWatch(CTerminalInput* input, std::function<void()> endProcess)
    : m_input(input), m_endProcess(endProcess ? std::move(endProcess) : std::function<void()>(EndProcessByInterrupt)) {}

CInterruptWatch::~CInterruptWatch() {
  if (m_thread.joinable()) {
    m_stop.Signal();
    m_thread.join();
  }
  if (m_signalFd >= 0) close(m_signalFd);
}

bool CInterruptWatch::Start() {
  if (m_thread.joinable()) return false;
  const sigset_t set = InterruptSet();
  if (m_stop.Valid()) m_signalFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (m_signalFd >= 0) {
    try {
      m_thread = std::thread([this, fd = m_signalFd] { Run(fd); });
      return true;
    } catch (const std::system_error&) {
      close(m_signalFd);
      m_signalFd = -1;
    }
  }
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  return false;
}

void CInterruptWatch::Run(int signalFd) {
  for (;;) {
    const CWakeFd::WaitResult waited = m_stop.Wait(signalFd, kWaitForever);
    if (waited.woken || (waited.error && waited.error != EINTR)) return;
    if (!waited.readable) continue;
    signalfd_siginfo info;
    const ssize_t n = read(signalFd, &info, sizeof info);
    if (n == static_cast<ssize_t>(sizeof info)) OnInterrupt();
  }
}

void CInterruptWatch::SetIdleAction(IdleAction action) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_idle = action;
}

bool CInterruptWatch::BeginCommand() {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (m_ending) return false;
  ++m_scopes;
  return true;
}

bool CInterruptWatch::EndCommand() {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (m_scopes == 0) return false;
  const bool interrupted = m_interrupted;
  if (--m_scopes == 0 && m_interrupted) {
    m_interrupted = false;
    m_interruptWake.Clear();
    if (m_input) m_input->SetInterrupted(m_ending);
  }
  return interrupted;
}

bool CInterruptWatch::Interrupted() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_interrupted;
}

bool CInterruptWatch::Ending() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_ending;
}

bool CInterruptWatch::Pause(std::chrono::milliseconds timeout) const {
  if (!m_interruptWake.Valid()) {
    if (!Interrupted()) std::this_thread::sleep_for(timeout);
    return Interrupted();
  }
  return m_interruptWake.Wait(-1, timeout).woken;
}

void CInterruptWatch::OnInterrupt() {
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_scopes > 0 && !m_interrupted) {
      m_interrupted = true;
      m_interruptWake.Signal();
      if (m_input) m_input->SetInterrupted(true);
      return;
    }
    if (m_scopes == 0 && m_idle == IdleAction::kEndInput && !m_ending) {
      m_ending = true;
      if (m_input) m_input->SetInterrupted(true);
      return;
    }
  }
  m_endProcess();
}
