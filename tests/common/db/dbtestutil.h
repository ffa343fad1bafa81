// Helpers of the data-base tests: a sqlite3 command-line process to hold locks and to
// read files as an independent peer, and a clock whose sleeps run a hook.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "common/db/cppsqlite3exception.h"
#include "platform/clock.h"
#include "support/fakeclock.h"
#include "support/testenv.h"

// A running "sqlite3 <file>" fed through a pipe. Run() sends commands and returns
// their output once the shell has finished them; Send() and Await() are its two halves,
// for commands that wait for something of ours before they finish.
class SqliteCli {
 public:
  explicit SqliteCli(const std::string& file) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe failed";
      return;
    }
    m_pid = fork();
    if (m_pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(out[1], 2);
      execlp("sqlite3", "sqlite3", file.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    m_in = in[1];
    m_out = out[0];
  }
  ~SqliteCli() {
    if (m_in >= 0) close(m_in);  // end of input: the shell exits
    if (m_pid > 0) waitpid(m_pid, nullptr, 0);
    if (m_out >= 0) close(m_out);
  }
  SqliteCli(const SqliteCli&) = delete;
  SqliteCli& operator=(const SqliteCli&) = delete;

  std::string Run(const std::string& commands) {
    Send(commands);
    return Await();
  }
  // Every Send is followed by one Await.
  void Send(const std::string& commands) {
    std::string text = commands + "\n.print " + kMarker + "\n";
    if (write(m_in, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
      ADD_FAILURE() << "write to sqlite3 failed";
  }
  std::string Await() {
    const std::string marker = std::string(kMarker) + "\n";
    std::string output;
    while (output.find(marker) == std::string::npos) {
      // A guard against a hung peer, not a wait for time to pass.
      pollfd p{m_out, POLLIN, 0};
      if (poll(&p, 1, 60000) <= 0) {
        ADD_FAILURE() << "sqlite3 did not answer: " << output;
        return output;
      }
      char buf[4096];
      ssize_t n = read(m_out, buf, sizeof(buf));
      if (n <= 0) {
        ADD_FAILURE() << "sqlite3 ended: " << output;
        return output;
      }
      output.append(buf, static_cast<size_t>(n));
    }
    return output.substr(0, output.find(marker));
  }

 private:
  static constexpr const char* kMarker = "__done__";
  pid_t m_pid = -1;
  int m_in = -1;
  int m_out = -1;
};

// Runs fn and returns the code and text of the wrapper exception it throws (code -1
// when it throws none).
inline std::pair<int, std::string> Thrown(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const CppSQLite3Exception& e) {
    return {e.errorCode(), e.errorMessage()};
  }
  return {-1, "nothing thrown"};
}

// One query through a fresh sqlite3 process; returns its standard output.
inline std::string CliQuery(const std::string& file, const std::string& sql) {
  std::string out;
  int rc = RunCommand("sqlite3 " + ShellQuote(file) + " " + ShellQuote(sql) + " 2>&1", &out);
  EXPECT_EQ(rc, 0) << out;
  return out;
}

// The test fake clock, whose every sleep also runs the hook (outside the clock's own
// lock) with the sleep's number, counting from 1.
class HookClock final : public Clock {
 public:
  WallTime Now() override { return m_clock.Now(); }
  Ticks Steady() override { return m_clock.Steady(); }
  void SleepFor(std::chrono::milliseconds d) override {
    int n;
    std::function<void(int, std::chrono::milliseconds)> hook;
    {
      std::lock_guard<std::mutex> g(m_mutex);
      m_clock.SleepFor(d);
      n = m_clock.SleepCount();
      hook = m_hook;
    }
    if (hook) hook(n, d);
  }
  void SetHook(std::function<void(int, std::chrono::milliseconds)> hook) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_hook = std::move(hook);
  }
  std::chrono::milliseconds Slept() { return m_clock.TotalSlept(); }
  int Sleeps() { return m_clock.SleepCount(); }

 private:
  std::mutex m_mutex;
  FakeClock m_clock;
  std::function<void(int, std::chrono::milliseconds)> m_hook;
};
