// Lines read from the user's input (standard input): the shell's command lines,
// answers to questions, and passwords without echo. A question asked from any thread
// (a prompt of the engine) takes the input from a command line being read: the shell's
// reader steps back, the question is asked and answered, and the shell's prompt is
// shown again. What the user typed ahead stays in the input for the next reader.
//
// A Ctrl-C that is meant for the input (SetInterrupted, see interruptwatch.h) ends the
// command line being read and leaves questions unanswered until it is taken back.
//
// Threads: any thread may ask a question; questions are asked one at a time. One
// thread at a time reads command lines. The input descriptor is borrowed.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/wakefd.h"

// Writes all of text to fd, going on after a signal; stops quietly at the first
// failed write (a closed terminal or pipe).
void WriteAllToFd(int fd, const std::string& text);

// Puts back the terminal state that a secret question turned echo off from, when one
// is being asked. Any thread may call it, also a signal handler.
void RestoreTerminalEcho();

class CTerminalInput {
 public:
  // inFd: where lines come from; outFd: where prompts and questions are written.
  CTerminalInput(int inFd, int outFd);
  ~CTerminalInput();
  CTerminalInput(const CTerminalInput&) = delete;
  CTerminalInput& operator=(const CTerminalInput&) = delete;

  // Whether the input is a terminal (a user can answer).
  bool IsTerminal() const { return m_isTerminal; }

  // Writes question and reads one line (without its newline). False at the end of
  // the input (or on a read error).
  bool Ask(const std::string& question, std::string* line);
  // As Ask, with the terminal's echo off while the line is typed (restored also when
  // the process is interrupted meanwhile).
  bool AskSecret(const std::string& question, std::string* line);
  // The shell's reader: writes prompt and reads one line, stepping back while a
  // question is asked (and writing prompt again after it). False at the end of the
  // input, and while interrupted.
  bool ReadCommandLine(const std::string& prompt, std::string* line);

  // While on, ReadCommandLine returns false (at once, or as soon as it waits), and
  // Ask and AskSecret return false without an answer, also for a question being
  // asked, whose echo state is put back. Never blocks; any thread may call it.
  void SetInterrupted(bool on);
  bool Interrupted() const;

 private:
  enum class ReadResult { kLine, kEnd, kYielded, kInterrupted };
  // Reads up to a newline, from the buffer first. yieldable: returns kYielded when a
  // question wants the input (or an interrupt ends the reading); otherwise
  // kInterrupted when the input is interrupted.
  ReadResult ReadLine(bool yieldable, std::string* line);
  bool AskLocked(const std::string& question, std::string* line, bool secret);
  void Write(const std::string& text);

  const int m_inFd;
  const int m_outFd;
  const bool m_isTerminal;
  CWakeFd m_wake;           // signalled while a question waits for the input, or interrupted
  CWakeFd m_interruptWake;  // signalled while interrupted
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  int m_questions = 0;     // questions waiting or being asked
  bool m_reading = false;  // someone reads the input now
  std::string m_buffer;    // read but not yet taken (only the reader touches it)
  bool m_ended = false;
  bool m_interrupted = false;
};
