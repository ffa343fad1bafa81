// Running the ostrel program from tests: in a pseudo-terminal, as a user at a
// terminal would (what it prints is read as it comes, and keys are sent when the
// test has seen what it waits for), or with plain pipes, as a script would.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// The program under test.
std::string OstrelProgramPath();

// What a run with pipes gave.
struct ProgramRun {
  int status = -1;  // exit status; -1 when it did not exit normally
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs program with args, input as its standard input (then closed; the program may
// end before it has read it all), and the extra environment entries ("NAME=value");
// waits for its end.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& input = "",
                      const std::vector<std::string>& env = {});

class PtySession {
 public:
  PtySession() = default;
  // Ends the child (SIGKILL) when it still runs.
  ~PtySession();
  PtySession(const PtySession&) = delete;
  PtySession& operator=(const PtySession&) = delete;

  // Starts program with args on a new pseudo-terminal (its standard input, output and
  // error), with the extra environment entries. False when it cannot.
  bool Start(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::string>& env = {});
  // Reads what the program prints until text appears after the end of the last text
  // waited for, or the program closes the terminal, or 60 s pass. True when it appeared.
  bool WaitFor(const std::string& text);
  // Types text (as keys).
  void Send(const std::string& text);
  // Reads to the end and waits for the exit: its status, -1 when it did not exit.
  int Wait();
  // Everything read so far.
  const std::string& Output() const { return m_output; }
  // Whether the terminal echoes what is typed (its state as the program left it).
  bool EchoOn() const;

 private:
  // Reads what is there, waiting up to timeoutMs; false at the end of the output.
  bool ReadSome(int timeoutMs);

  int m_master = -1;
  pid_t m_pid = -1;
  std::string m_output;
  size_t m_matchedUpTo = 0;
  bool m_ended = false;
};
