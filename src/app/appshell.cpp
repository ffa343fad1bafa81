#include "app/appshell.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <thread>

#include "app/appcontext.h"
#include "app/argparse.h"
#include "app/commands.h"
#include "app/interruptwatch.h"
#include "app/itemoutput.h"
#include "app/resultmessages.h"
#include "app/shellsession.h"
#include "app/terminalinput.h"
#include "app/terminalwindow.h"
#include "common/cachecleaner.h"
#include "common/config.h"
#include "common/configfolder.h"
#include "common/crashreport.h"
#include "common/log.h"
#include "core/logicadapter/logicadapter.h"
#include "platform/dispatcher.h"

namespace {

// Writes line, as PrintableText shows it, and a newline to standard error.
void WriteError(const std::string& line) {
  const std::string text = PrintableText(line) + "\n";
  if (write(2, text.data(), text.size()) < 0) return;
}

void WriteStdout(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(1, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Creates the folder and its parents (0700); true when it is a folder afterwards.
bool MakeFolders(const std::string& path) {
  std::string partial;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || (path[i] == '/' && i > 0)) {
      partial = path.substr(0, i);
      mkdir(partial.c_str(), 0700);
    }
  }
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) return path;
  return std::string(cwd) + "/" + path;
}

std::string JoinFolder(const std::string& folder, const std::string& name) {
  return !folder.empty() && folder.back() == '/' ? folder + name : folder + "/" + name;
}

// Start-up of the shell: the configuration folder, config.ini, the log and the crash
// handler. The folder, or "" when it cannot be made.
std::string StartUp(const GlobalSettings& settings) {
  std::string folder;
  if (settings.configGiven) {
    folder = Absolute(settings.configDir);
    // A configuration folder of its own keeps its own sign-in and settings.
    const char* registry = std::getenv("OSTREL_REGISTRY");
    if (!registry || !*registry) setenv("OSTREL_REGISTRY", JoinFolder(folder, "registry").c_str(), 1);
  } else {
    folder = GetConfigFolder();
  }
  if (!MakeFolders(folder)) return std::string();
  CConfig::Instance().Init(folder);
  const std::string logFolder = JoinFolder(folder, "log");
  MakeFolders(logFolder);
  CConfig& config = CConfig::Instance();
  LogInit("Ostrel", JoinFolder(logFolder, "ostrel.log"), config.GetInt(kIniSectionOstrel, kIniLogLevel, kDefaultLogLevel),
          0x10000001, config.GetInt(kIniSectionOstrel, kIniLogSaveDate, kDefaultLogSaveDate));
  InitCrashReport(folder);
  GetCrashReporter().CleanOldFiles();
  return folder;
}

// The commands whose transfers a Ctrl-C cancels outside the shell, before the process
// ends; any other ends at once.
bool CancelsOnInterrupt(const std::string& command) {
  return command == "put" || command == "get" || command == "edit" || command == "retry";
}

}  // namespace

int RunOstrel(const std::vector<std::string>& words) {
  const ParsedCommandLine parsed = ParseCommandLine(words);
  if (parsed.version) {
    WriteStdout("ostrel " OSTREL_APP_VERSION "\n");
    return kExitOk;
  }
  if (parsed.help || (parsed.Ok() && parsed.command->name == "help")) {
    const CommandSpec* spec = parsed.command;
    if (spec && spec->name == "help") spec = parsed.args.empty() ? nullptr : FindCommandSpec(parsed.args[0]);
    if (parsed.command && parsed.command->name == "help" && !parsed.args.empty() && !spec) {
      WriteError("ostrel: help: no command \"" + parsed.args[0] + "\"");
      return kExitUsage;
    }
    WriteStdout(spec ? CommandHelp(*spec) : ProgramHelp());
    return kExitOk;
  }
  if (!parsed.Ok()) {
    WriteError("ostrel: " + parsed.error);
    return kExitUsage;
  }
  if (parsed.command->inShellOnly) {
    WriteError("ostrel: " + parsed.command->name + " is offered inside \"ostrel shell\" only");
    return kExitUsage;
  }

  // Ctrl-C is heard by the interrupt watch: every thread started from here on has it
  // blocked.
  BlockInterruptSignal();
  const std::string configFolder = StartUp(parsed.global);
  if (configFolder.empty()) {
    WriteError("ostrel: the configuration folder cannot be made");
    return kExitFailed;
  }
  CTerminalInput input(0, 2);
  CInterruptWatch interrupt(&input);
  interrupt.Start();
  TerminalWindowSettings windowSettings;
  windowSettings.answer = parsed.global.answer;
  windowSettings.opener = SplitProgramWords(parsed.global.opener);
  CTerminalWindow window(&input, 2, windowSettings);
  // The main thread's loop, for the commands that live on: the engine hands it the
  // folder watcher's notices (drag and copy markers), and finds it at sign-in. The
  // other commands end before a marker could matter, so they have none and start no
  // watch.
  const bool livesOn = parsed.command->name == "shell" || parsed.command->name == "edit";
  std::optional<CDispatcher> dispatcher;
  if (livesOn) dispatcher.emplace();
  CLogicAdapter& adapter = GetLogicAdapter();
  HRESULT hr = adapter.Init(configFolder, &window);
  if (FAILED(hr)) {
    WriteError("ostrel: the engine cannot start: " + ResultMessage(hr));
    adapter.UnInit();
    return kExitFailed;
  }

  AppContext ctx;
  ctx.adapter = &adapter;
  ctx.window = &window;
  ctx.input = &input;
  ctx.interrupt = &interrupt;
  ctx.global = parsed.global;
  if (parsed.command->name == "shell") {
    // A log-out ends the pass; the next one starts on the same folder and window.
    ctx.newPass = [&adapter, &window, configFolder]() {
      adapter.UnInit();
      return adapter.Init(configFolder, &window);
    };
  }
  // The command runs on its own thread while this one runs the dispatcher loop.
  int status = kExitFailed;
  std::thread worker([&]() {
    if (parsed.command->name == "shell") {
      status = RunShellSession(ctx, parsed);
    } else if (CancelsOnInterrupt(parsed.command->name)) {
      interrupt.BeginCommand();
      status = RunCommand(ctx, parsed);
      if (interrupt.EndCommand() && status != kExitOk) status = kExitInterrupted;
    } else {
      status = RunCommand(ctx, parsed);
    }
    if (dispatcher) dispatcher->Quit(status);
  });
  if (dispatcher) dispatcher->Run();
  worker.join();
  adapter.UnInit();
  CleanCache();
  return status;
}
