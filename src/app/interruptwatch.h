// Ctrl-C on the terminal (SIGINT), heard on a thread of its own: no signal handler runs
// the program's code. While a command that can be cancelled runs (between BeginCommand
// and EndCommand), the first Ctrl-C is that command's: Interrupted() turns true, Pause
// ends early and the terminal's questions get no answer (CTerminalInput), so that the
// command cancels its transfers, waits for them and reports them. Any other Ctrl-C ends
// the process as the signal would, with the terminal's echo restored (see
// EndProcessByInterrupt), except at the shell's prompt (IdleAction::kEndInput), where
// the first one ends the shell's input instead.
//
// Threads: every member may be called from any thread. The watch's lock is held only
// for its own state and for CTerminalInput::SetInterrupted, which never blocks.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/wakefd.h"

class CTerminalInput;

// Blocks SIGINT for the calling thread and every thread it starts afterwards. Called
// on the main thread before any other thread exists, it leaves SIGINT to the watch.
void BlockInterruptSignal();

// Restores the terminal's echo when a question turned it off, then ends the process
// by SIGINT at its default action (the status a shell shows as 130). Safe to call from
// any thread (not from a signal handler).
[[noreturn]] void EndProcessByInterrupt();

class CInterruptWatch {
 public:
  // What a Ctrl-C does while no command runs.
  enum class IdleAction {
    kEndProcess,  // EndProcessByInterrupt (the default)
    kEndInput,    // the shell's prompt: the input ends (Ending()); a later Ctrl-C ends the process
  };

  // input (may be null) hears which Ctrl-C is the running command's; it must outlive
  // the watch. endProcess replaces EndProcessByInterrupt (tests); it is called on the
  // thread that delivers the Ctrl-C, without the watch's lock.
  explicit CInterruptWatch(CTerminalInput* input, std::function<void()> endProcess = nullptr);
  // Stops the thread (when started) and waits for it.
  ~CInterruptWatch();
  CInterruptWatch(const CInterruptWatch&) = delete;
  CInterruptWatch& operator=(const CInterruptWatch&) = delete;

  // Starts the thread that takes SIGINT through a signalfd. SIGINT must be blocked in
  // every thread of the process (BlockInterruptSignal), or the signal may end the
  // process before the watch hears it. False when the descriptor or the thread cannot
  // be made; SIGINT is then unblocked for the calling thread, so that Ctrl-C ends the
  // process as it would without the watch.
  bool Start();

  void SetIdleAction(IdleAction action);

  // Opens the scope of a command that the next Ctrl-C cancels. False, and no scope is
  // opened, when a Ctrl-C at the prompt has ended the input (the command must not run).
  bool BeginCommand();
  // Closes the scope; true when the command was interrupted in it. Questions are
  // answered again afterwards.
  bool EndCommand();
  // Whether the running command has been interrupted.
  bool Interrupted() const;
  // Whether a Ctrl-C at the prompt has ended the input.
  bool Ending() const;
  // Waits until timeout has passed or the running command is interrupted (at once
  // when it is already); true when it is. One thread at a time (the command's).
  bool Pause(std::chrono::milliseconds timeout) const;

  // What the watch does with one Ctrl-C; the watch's thread calls it, tests may too.
  void OnInterrupt();

 private:
  void Run(int signalFd);

  CTerminalInput* const m_input;
  const std::function<void()> m_endProcess;
  mutable std::mutex m_mutex;  // the state below
  IdleAction m_idle = IdleAction::kEndProcess;
  int m_scopes = 0;
  bool m_interrupted = false;  // the open scope's Ctrl-C was heard
  bool m_ending = false;       // the prompt's Ctrl-C was heard
  CWakeFd m_interruptWake;     // signalled while m_interrupted
  CWakeFd m_stop;              // ends the thread
  int m_signalFd = -1;
  std::thread m_thread;
};
