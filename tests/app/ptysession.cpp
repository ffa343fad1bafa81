#include "ptysession.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

[[noreturn]] void ExecChild(const std::string& program, const std::vector<std::string>& args,
                            const std::vector<std::string>& env) {
  for (const auto& entry : env) putenv(strdup(entry.c_str()));
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

int StatusOf(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1; }

void ReadAllInto(int fd, std::string* out) {
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    out->append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace

std::string OstrelProgramPath() { return OSTREL_APP_PATH; }

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& input,
                      const std::vector<std::string>& env) {
  ProgramRun run;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return run;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    setsid();  // no controlling terminal: the program sees none
    ExecChild(program, args, env);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  std::thread feeder([&] {
    // A program that ends before it has read all its input fails the write here
    // (EPIPE) instead of ending the test with SIGPIPE.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    size_t done = 0;
    while (done < input.size()) {
      ssize_t n = write(in[1], input.data() + done, input.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(in[1]);
  });
  std::thread errReader([&] { ReadAllInto(err[0], &run.err); });
  ReadAllInto(out[0], &run.out);
  errReader.join();
  feeder.join();
  close(out[0]);
  close(err[0]);
  int raw = 0;
  if (pid > 0 && waitpid(pid, &raw, 0) == pid) run.status = StatusOf(raw);
  return run;
}

PtySession::~PtySession() {
  if (m_pid > 0) {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
  if (m_master >= 0) close(m_master);
}

bool PtySession::Start(const std::string& program, const std::vector<std::string>& args,
                       const std::vector<std::string>& env) {
  struct winsize size {};
  size.ws_row = 40;
  size.ws_col = 120;
  pid_t pid = forkpty(&m_master, nullptr, nullptr, &size);
  if (pid < 0) return false;
  if (pid == 0) ExecChild(program, args, env);
  m_pid = pid;
  return true;
}

bool PtySession::ReadSome(int timeoutMs) {
  if (m_ended) return false;
  pollfd p{m_master, POLLIN, 0};
  int n = poll(&p, 1, timeoutMs);
  if (n <= 0) return n == 0 || errno == EINTR;
  char buffer[65536];
  ssize_t got = read(m_master, buffer, sizeof buffer);
  if (got <= 0) {
    m_ended = true;  // EIO: every descriptor of the terminal's other side is closed
    return false;
  }
  m_output.append(buffer, static_cast<size_t>(got));
  return true;
}

bool PtySession::WaitFor(const std::string& text) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    size_t at = m_output.find(text, m_matchedUpTo);
    if (at != std::string::npos) {
      m_matchedUpTo = at + text.size();
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (!ReadSome(1000) && m_ended) return m_output.find(text, m_matchedUpTo) != std::string::npos;
  }
}

void PtySession::Send(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(m_master, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

int PtySession::Wait() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (!m_ended && std::chrono::steady_clock::now() < deadline) ReadSome(1000);
  if (m_pid <= 0) return -1;
  int raw = 0;
  pid_t pid = m_pid;
  m_pid = -1;
  if (waitpid(pid, &raw, 0) != pid) return -1;
  return StatusOf(raw);
}

bool PtySession::EchoOn() const {
  struct termios state {};
  return m_master >= 0 && tcgetattr(m_master, &state) == 0 && (state.c_lflag & ECHO) != 0;
}
