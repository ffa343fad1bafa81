#include "app/shellsession.h"

#include "app/commands.h"
#include "app/interruptwatch.h"
#include "app/itemoutput.h"
#include "app/transferwait.h"
#include "core/logicadapter/logicadapter.h"

namespace {

// Runs one command in the scope that its Ctrl-C cancels. kExitInterrupted, without
// running it, when a Ctrl-C at the prompt has ended the shell meanwhile.
int RunInterruptible(AppContext& ctx, const ParsedCommandLine& cmd) {
  if (ctx.interrupt && !ctx.interrupt->BeginCommand()) return kExitInterrupted;
  const int status = RunCommand(ctx, cmd);
  if (ctx.interrupt) ctx.interrupt->EndCommand();
  return status;
}

// Whether a task that ended since seen was refused by the service for its session;
// seen becomes the lists as they are now (empty while nobody is signed in).
bool TaskSessionRefused(CLogicAdapter& adapter, TaskListSnapshot* seen) {
  std::vector<TaskListEntry> running, finished, newRunning, newFinished;
  if (!adapter.IsLoggedIn()) {
    *seen = TaskListSnapshot::Of(running, finished);
    return false;
  }
  adapter.GetTaskList(&running, &finished);
  seen->NewTasks(running, finished, &newRunning, &newFinished);
  *seen = TaskListSnapshot::Of(running, finished);
  for (const auto& task : newFinished)
    if (task.hrResult == E_CV_SRV_CLIENT_TOKEN_EXPIRED || task.hrResult == E_CV_SRV_CLIENT_NO_LOGIN) return true;
  return false;
}

// A session the service refused is over: the user is signed out and forgotten, as a
// new process would find after such an answer, so that whoami and login tell the
// truth. The result of the new pass.
int SignOutRefusedSession(AppContext& ctx) {
  std::string name;
  ctx.adapter->GetUserInfo(&name, nullptr, nullptr, nullptr);
  ctx.adapter->UnBind();
  if (ctx.newPass) {
    const HRESULT hr = ctx.newPass();
    if (FAILED(hr)) return FailResult(ctx, "shell", hr);
  }
  ctx.window->Say("Signed out " + PrintableText(name) +
                  ": the service ended the session; sign in again with \"login USER\"");
  return kExitOk;
}

}  // namespace

int RunShellSession(AppContext& ctx, const ParsedCommandLine& shellCmd) {
  ctx.inShell = true;
  bool sessionRefused = false;
  ctx.sessionRefused = &sessionRefused;
  struct ForgetFlag {
    AppContext& ctx;
    ~ForgetFlag() { ctx.sessionRefused = nullptr; }
  } forgetFlag{ctx};
  const GlobalSettings shellSettings = ctx.global;
  // A line may change only the settings of one command; those of the session it names
  // are refused.
  GlobalSettings lineDefaults = shellSettings;
  lineDefaults.configGiven = lineDefaults.openerGiven = lineDefaults.progressDelayGiven = false;
  int worst = kExitOk;
  if (shellCmd.Has("--login")) {
    std::vector<std::string> words = {"login", shellCmd.Value("--login")};
    if (shellCmd.Has("--not-my-computer")) words.push_back("--not-my-computer");
    if (shellCmd.Has("--password-stdin")) words.push_back("--password-stdin");
    const ParsedCommandLine login = ParseCommandLine(words, shellSettings);
    if (!login.Ok()) return FailUsage(ctx, "shell", login.error);
    const int status = RunInterruptible(ctx, login);
    if (status != kExitOk) return status;
  } else if (shellCmd.Has("--not-my-computer") || shellCmd.Has("--password-stdin")) {
    return FailUsage(ctx, "shell", "--not-my-computer and --password-stdin go with --login USER");
  } else if (!ctx.adapter->IsLoggedIn() && FAILED(ctx.adapter->TryLogin(0))) {
    ctx.window->Say("Not signed in; sign in with \"login USER\".");
  }
  const std::string prompt = ctx.input->IsTerminal() ? "ostrel> " : "";
  // Ctrl-C at the prompt ends the shell; while a command runs, it cancels the command.
  if (ctx.interrupt) ctx.interrupt->SetIdleAction(CInterruptWatch::IdleAction::kEndInput);
  // The tasks ended so far are not this session's news.
  TaskListSnapshot tasksSeen = TaskListSnapshot::Of({}, {});
  TaskSessionRefused(*ctx.adapter, &tasksSeen);
  std::string line;
  for (;;) {
    const InputLine got = ctx.input->ReadCommandLine(prompt, &line);
    if (got == InputLine::kEnd) break;
    if (got == InputLine::kTooLong) {
      worst = FailUsage(ctx, "shell",
                        "a line is longer than " + std::to_string(kMaxCommandLineBytes) + " bytes; it was not run");
      continue;
    }
    std::vector<std::string> words;
    std::string error;
    if (!SplitShellLine(line, &words, &error)) {
      worst = FailUsage(ctx, "shell", error);
      continue;
    }
    if (words.empty() || words[0].rfind("#", 0) == 0) continue;
    if (words[0] == "quit") words[0] = "exit";
    const ParsedCommandLine cmd = ParseCommandLine(words, lineDefaults);
    if (cmd.global.configGiven || cmd.global.openerGiven || cmd.global.progressDelayGiven) {
      worst = FailUsage(ctx, "shell", "--config, --opener and --progress-delay are set when the shell starts");
      continue;
    }
    if (cmd.version) {
      WriteOut(ctx, "ostrel " OSTREL_APP_VERSION "\n");
      continue;
    }
    if (cmd.help && (!cmd.command || cmd.command->name == "help")) {
      WriteOut(ctx, ShellHelp());
      continue;
    }
    if (!cmd.Ok()) {
      worst = FailUsage(ctx, "shell", cmd.error);
      continue;
    }
    if (cmd.command->notInShell) {
      worst = FailUsage(ctx, cmd.command->name, "not offered inside the shell");
      continue;
    }
    if (cmd.help) {
      WriteOut(ctx, CommandHelp(*cmd.command));
      continue;
    }
    if (cmd.command->name == "exit") break;
    if (cmd.command->name == "help") {
      const CommandSpec* spec = cmd.args.empty() ? nullptr : FindCommandSpec(cmd.args[0]);
      if (!cmd.args.empty() && !spec) {
        worst = FailUsage(ctx, "help", "no command \"" + cmd.args[0] + "\"");
        continue;
      }
      WriteOut(ctx, spec ? CommandHelp(*spec) : ShellHelp());
      continue;
    }
    AppContext commandCtx = ctx;
    commandCtx.global = cmd.global;
    const int status = RunInterruptible(commandCtx, cmd);
    if (status != kExitOk) worst = kExitFailed;
    const bool tasksRefused = TaskSessionRefused(*ctx.adapter, &tasksSeen);
    if ((sessionRefused || tasksRefused) && ctx.adapter->IsLoggedIn()) {
      if (SignOutRefusedSession(ctx) != kExitOk) worst = kExitFailed;
      tasksSeen = TaskListSnapshot::Of({}, {});
    }
    sessionRefused = false;
  }
  if (!ctx.interrupt) return worst;
  ctx.interrupt->SetIdleAction(CInterruptWatch::IdleAction::kEndProcess);
  return ctx.interrupt->Ending() ? kExitInterrupted : worst;
}
