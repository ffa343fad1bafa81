#include "app/shellsession.h"

#include "app/commands.h"
#include "core/logicadapter/logicadapter.h"

int RunShellSession(AppContext& ctx, const ParsedCommandLine& shellCmd) {
  ctx.inShell = true;
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
    const int status = RunCommand(ctx, login);
    if (status != kExitOk) return status;
  } else if (shellCmd.Has("--not-my-computer") || shellCmd.Has("--password-stdin")) {
    return FailUsage(ctx, "shell", "--not-my-computer and --password-stdin go with --login USER");
  } else if (!ctx.adapter->IsLoggedIn() && FAILED(ctx.adapter->TryLogin(0))) {
    ctx.window->Say("Not signed in; sign in with \"login USER\".");
  }
  const std::string prompt = ctx.input->IsTerminal() ? "ostrel> " : "";
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
    const int status = RunCommand(commandCtx, cmd);
    if (status != kExitOk) worst = kExitFailed;
  }
  return worst;
}
