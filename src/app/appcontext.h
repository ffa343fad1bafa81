// What a command runs with: the engine's facade, the terminal, the settings in force
// and, in the shell, how to begin a new pass after a log-out.
#pragma once

#include <functional>
#include <string>

#include "app/argparse.h"
#include "app/terminalinput.h"
#include "app/terminalwindow.h"
#include "common/resultcodes.h"

class CInterruptWatch;
class CLogicAdapter;

struct AppContext {
  CLogicAdapter* adapter = nullptr;
  CTerminalWindow* window = nullptr;
  CTerminalInput* input = nullptr;
  GlobalSettings global;  // of the command being run
  int outFd = 1;          // results (listings, JSON)
  bool inShell = false;
  // Ends the pass after a log-out and begins the next (UnInit, Init); null outside the
  // shell, where the process ends instead.
  std::function<HRESULT()> newPass;
  // Where Ctrl-C is heard; null when it ends the process at once.
  CInterruptWatch* interrupt = nullptr;
  // Set, when not null, by ResultLine for a result by which the service refused the
  // session; the shell then signs the user out. Read and written on the command's
  // thread only.
  bool* sessionRefused = nullptr;
};

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;  // Ctrl-C cancelled the command or ended the shell

// Writes text to the result output as it is.
void WriteOut(const AppContext& ctx, const std::string& text);
// "ostrel: <command>: <text>" on the message output, text as PrintableText shows it
// (itemoutput.h); returns kExitFailed.
int Fail(const AppContext& ctx, const std::string& command, const std::string& text);
// ResultMessage(result). A result by which the service refused the session
// (clientTokenExpired, clientNoLogin) also sets *ctx.sessionRefused.
std::string ResultLine(const AppContext& ctx, HRESULT result);
// Fail with the result's line (ResultLine).
int FailResult(const AppContext& ctx, const std::string& command, HRESULT result);
// Fail with a usage error; returns kExitUsage.
int FailUsage(const AppContext& ctx, const std::string& command, const std::string& text);
