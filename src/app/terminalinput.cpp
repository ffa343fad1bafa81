#include "app/terminalinput.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/event.h"

namespace {

// The terminal state to put back when the process is interrupted while echo is off.
struct termios g_savedTermios;
std::atomic<int> g_echoOffFd{-1};

void RestoreEchoAndReraise(int sig) {
  RestoreTerminalEcho();
  signal(sig, SIG_DFL);
  raise(sig);
}

}  // namespace

void RestoreTerminalEcho() {
  const int fd = g_echoOffFd.load();
  if (fd >= 0) tcsetattr(fd, TCSANOW, &g_savedTermios);
}

CTerminalInput::CTerminalInput(int inFd, int outFd)
    : m_inFd(inFd), m_outFd(outFd), m_isTerminal(isatty(inFd) == 1) {}

CTerminalInput::~CTerminalInput() = default;

void WriteAllToFd(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void CTerminalInput::Write(const std::string& text) { WriteAllToFd(m_outFd, text); }

CTerminalInput::ReadResult CTerminalInput::ReadLine(bool yieldable, std::string* line) {
  for (;;) {
    size_t newline = m_buffer.find('\n');
    if (newline != std::string::npos) {
      *line = m_buffer.substr(0, newline);
      m_buffer.erase(0, newline + 1);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return ReadResult::kLine;
    }
    if (m_ended) {
      if (m_buffer.empty()) return ReadResult::kEnd;
      *line = std::move(m_buffer);
      m_buffer.clear();
      return ReadResult::kLine;
    }
    const CWakeFd& wake = yieldable ? m_wake : m_interruptWake;
    if (wake.Valid()) {
      CWakeFd::WaitResult waited = wake.Wait(m_inFd, kWaitForever);
      if (waited.woken) return yieldable ? ReadResult::kYielded : ReadResult::kInterrupted;
      if (waited.error && waited.error != EINTR) {
        m_ended = true;
        continue;
      }
      if (!waited.readable) continue;
    } else {
      pollfd p{m_inFd, POLLIN, 0};
      int n = poll(&p, 1, -1);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        m_ended = true;
        continue;
      }
    }
    char chunk[4096];
    ssize_t n = read(m_inFd, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      m_ended = true;
      continue;
    }
    m_buffer.append(chunk, static_cast<size_t>(n));
  }
}

bool CTerminalInput::AskLocked(const std::string& question, std::string* line, bool secret) {
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_interrupted) return false;
    ++m_questions;
    m_wake.Signal();
    m_changed.wait(lock, [&] { return !m_reading; });
    m_reading = true;
  }
  struct termios saved {};
  bool echoOff = false;
  struct sigaction oldInt {}, oldTerm {}, oldHup {};
  if (secret && m_isTerminal && tcgetattr(m_inFd, &saved) == 0) {
    g_savedTermios = saved;
    g_echoOffFd.store(m_inFd);
    struct sigaction restore {};
    restore.sa_handler = RestoreEchoAndReraise;
    sigemptyset(&restore.sa_mask);
    sigaction(SIGINT, &restore, &oldInt);
    sigaction(SIGTERM, &restore, &oldTerm);
    sigaction(SIGHUP, &restore, &oldHup);
    struct termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    // Echo goes off before the question is shown, so that nothing typed after it is seen.
    echoOff = tcsetattr(m_inFd, TCSANOW, &quiet) == 0;
  }
  Write(question);
  const ReadResult result = ReadLine(false, line);
  if (result == ReadResult::kInterrupted) Write("\n");
  const bool got = result == ReadResult::kLine;
  if (echoOff) tcsetattr(m_inFd, TCSANOW, &saved);
  if (secret && m_isTerminal) {
    g_echoOffFd.store(-1);
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    sigaction(SIGHUP, &oldHup, nullptr);
  }
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reading = false;
    if (--m_questions == 0 && !m_interrupted) m_wake.Clear();
  }
  m_changed.notify_all();
  return got;
}

bool CTerminalInput::Ask(const std::string& question, std::string* line) { return AskLocked(question, line, false); }

bool CTerminalInput::AskSecret(const std::string& question, std::string* line) {
  return AskLocked(question, line, true);
}

bool CTerminalInput::ReadCommandLine(const std::string& prompt, std::string* line) {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_changed.wait(lock, [&] { return m_questions == 0 && !m_reading; });
      if (m_interrupted) return false;
      m_reading = true;
    }
    Write(prompt);
    ReadResult result = ReadLine(true, line);
    bool interrupted;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_reading = false;
      interrupted = m_interrupted;
    }
    m_changed.notify_all();
    if (result == ReadResult::kYielded) {
      Write("\n");
      if (interrupted) return false;
      continue;
    }
    return result == ReadResult::kLine;
  }
}

void CTerminalInput::SetInterrupted(bool on) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_interrupted = on;
  if (on) {
    m_wake.Signal();
    m_interruptWake.Signal();
  } else {
    m_interruptWake.Clear();
    if (m_questions == 0) m_wake.Clear();
  }
}

bool CTerminalInput::Interrupted() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_interrupted;
}
