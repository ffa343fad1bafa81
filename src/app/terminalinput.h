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
//
// Lines have a bound: an answer or a password kMaxAnswerBytes, a command line
// kMaxCommandLineBytes (without the newline and a CR before it). A longer line is
// refused as soon as the bound is passed, without waiting for its end, so that endless
// input is never held; the rest of it, up to its newline, is dropped by the reads that
// follow. Reading takes time and memory linear in the input.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>

#include "platform/wakefd.h"

// Writes all of text to fd, going on after a signal; stops quietly at the first
// failed write (a closed terminal or pipe).
void WriteAllToFd(int fd, const std::string& text);

// Puts back the terminal state that a secret question turned echo off from, when one
// is being asked. Any thread may call it, also a signal handler.
void RestoreTerminalEcho();

// The longest answer to a question, or password, and the longest command line.
inline constexpr size_t kMaxAnswerBytes = 4096;
inline constexpr size_t kMaxCommandLineBytes = 65536;

// What reading one line gave.
enum class InputLine {
  kLine,     // a line (without its newline)
  kEnd,      // the end of the input (or a read error), or an interrupt (see Interrupted)
  kTooLong,  // a line past the bound; the line given back is empty
};

class CTerminalInput {
 public:
  // inFd: where lines come from; outFd: where prompts and questions are written.
  CTerminalInput(int inFd, int outFd);
  ~CTerminalInput();
  CTerminalInput(const CTerminalInput&) = delete;
  CTerminalInput& operator=(const CTerminalInput&) = delete;

  // Whether the input is a terminal (a user can answer).
  bool IsTerminal() const { return m_isTerminal; }

  // Writes question and reads one line of at most kMaxAnswerBytes.
  InputLine Ask(const std::string& question, std::string* line);
  // As Ask, with the terminal's echo off while the line is typed (restored also when
  // the process is interrupted meanwhile).
  InputLine AskSecret(const std::string& question, std::string* line);
  // The shell's reader: writes prompt and reads one line of at most
  // kMaxCommandLineBytes, stepping back while a question is asked (and writing prompt
  // again after it). kEnd at the end of the input, and while interrupted.
  InputLine ReadCommandLine(const std::string& prompt, std::string* line);

  // While on, ReadCommandLine returns kEnd (at once, or as soon as it waits), and Ask
  // and AskSecret return kEnd without an answer, also for a question being asked,
  // whose echo state is put back. Never blocks; any thread may call it.
  void SetInterrupted(bool on);
  bool Interrupted() const;

 private:
  enum class ReadResult { kLine, kEnd, kTooLong, kYielded, kInterrupted };
  // Reads up to a newline, from the buffer first, a line of at most maxBytes.
  // yieldable: returns kYielded when a question wants the input (or an interrupt ends
  // the reading); otherwise kInterrupted when the input is interrupted. Only the
  // reader (m_reading) calls it.
  ReadResult ReadLine(bool yieldable, size_t maxBytes, std::string* line);
  // Takes the line at the head of the buffer into *result (kLine, kEnd or kTooLong)
  // once the buffer decides it; false when more input is needed first.
  bool TakeBufferedLine(size_t maxBytes, ReadResult* result, std::string* line);
  InputLine AskLocked(const std::string& question, std::string* line, bool secret);
  // What a read that did not yield gave.
  static InputLine Outcome(ReadResult result);
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
  bool m_interrupted = false;
  // Touched by the reader only:
  std::string m_buffer;     // read but not yet taken
  size_t m_scanned = 0;     // the first m_scanned bytes of m_buffer hold no newline
  bool m_dropping = false;  // the rest of a refused line is still to be dropped
  bool m_ended = false;
};
