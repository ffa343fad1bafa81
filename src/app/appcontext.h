// What a command runs with: the engine's facade, the terminal, the settings in force
// and, in the shell, how to begin a new pass after a log-out.
#pragma once

#include <functional>
#include <string>

#include "app/argparse.h"
#include "app/terminalinput.h"
#include "app/terminalwindow.h"
#include "common/resultcodes.h"

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
};

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Writes text to the result output as it is.
void WriteOut(const AppContext& ctx, const std::string& text);
// "ostrel: <command>: <text>" on the message output, text as PrintableText shows it
// (itemoutput.h); returns kExitFailed.
int Fail(const AppContext& ctx, const std::string& command, const std::string& text);
// Fail with the result's message.
int FailResult(const AppContext& ctx, const std::string& command, HRESULT result);
// Fail with a usage error; returns kExitUsage.
int FailUsage(const AppContext& ctx, const std::string& command, const std::string& text);
