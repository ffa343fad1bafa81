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

InputLine CTerminalInput::Outcome(ReadResult result) {
  if (result == ReadResult::kLine) return InputLine::kLine;
  return result == ReadResult::kTooLong ? InputLine::kTooLong : InputLine::kEnd;
}

bool CTerminalInput::TakeBufferedLine(size_t maxBytes, ReadResult* result, std::string* line) {
  if (m_dropping) {
    const size_t newline = m_buffer.find('\n');
    m_dropping = newline == std::string::npos && !m_ended;
    m_buffer.erase(0, newline == std::string::npos ? m_buffer.size() : newline + 1);
    m_scanned = 0;
    if (m_dropping) return false;
  }
  const size_t newline = m_buffer.find('\n', m_scanned);
  if (newline != std::string::npos) {
    const size_t length = newline > 0 && m_buffer[newline - 1] == '\r' ? newline - 1 : newline;
    *result = length > maxBytes ? ReadResult::kTooLong : ReadResult::kLine;
    line->assign(m_buffer, 0, *result == ReadResult::kLine ? length : 0);
    m_buffer.erase(0, newline + 1);
    m_scanned = 0;
    return true;
  }
  m_scanned = m_buffer.size();
  // Past the bound even if a CR and the newline come next: refused before its end.
  if (m_buffer.size() > maxBytes + 1 || (m_ended && m_buffer.size() > maxBytes)) {
    *result = ReadResult::kTooLong;
    line->clear();
    m_dropping = !m_ended;
    m_buffer.clear();
    m_scanned = 0;
    return true;
  }
  if (!m_ended) return false;
  *result = m_buffer.empty() ? ReadResult::kEnd : ReadResult::kLine;
  line->swap(m_buffer);
  m_buffer.clear();
  m_scanned = 0;
  return true;
}

CTerminalInput::ReadResult CTerminalInput::ReadLine(bool yieldable, size_t maxBytes, std::string* line) {
  for (;;) {
    ReadResult result;
    if (TakeBufferedLine(maxBytes, &result, line)) return result;
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

InputLine CTerminalInput::AskLocked(const std::string& question, std::string* line, bool secret) {
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_interrupted) return InputLine::kEnd;
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
  const ReadResult got = ReadLine(false, kMaxAnswerBytes, line);
  if (got == ReadResult::kInterrupted) Write("\n");
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
  return Outcome(got);
}

InputLine CTerminalInput::Ask(const std::string& question, std::string* line) {
  return AskLocked(question, line, false);
}

InputLine CTerminalInput::AskSecret(const std::string& question, std::string* line) {
  return AskLocked(question, line, true);
}

InputLine CTerminalInput::ReadCommandLine(const std::string& prompt, std::string* line) {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_changed.wait(lock, [&] { return m_questions == 0 && !m_reading; });
      if (m_interrupted) return InputLine::kEnd;
      m_reading = true;
    }
    Write(prompt);
    const ReadResult result = ReadLine(true, kMaxCommandLineBytes, line);
    bool interrupted;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_reading = false;
      interrupted = m_interrupted;
    }
    m_changed.notify_all();
    if (result == ReadResult::kYielded) {
      Write("\n");
      if (interrupted) return InputLine::kEnd;
      continue;
    }
    return Outcome(result);
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
