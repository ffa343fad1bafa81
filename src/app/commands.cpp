#include "app/commands.h"

#include <unistd.h>

#include <cerrno>
#include <map>

#include "app/itemoutput.h"
#include "app/resultmessages.h"
#include "core/logicadapter/logicadapter.h"

void WriteOut(const AppContext& ctx, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(ctx.outFd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

int Fail(const AppContext& ctx, const std::string& command, const std::string& text) {
  ctx.window->Say("ostrel: " + command + ": " + PrintableText(text));
  return kExitFailed;
}

std::string ResultLine(const AppContext& ctx, HRESULT result) {
  if ((result == E_CV_SRV_CLIENT_TOKEN_EXPIRED || result == E_CV_SRV_CLIENT_NO_LOGIN) && ctx.sessionRefused)
    *ctx.sessionRefused = true;
  return ResultMessage(result);
}

int FailResult(const AppContext& ctx, const std::string& command, HRESULT result) {
  return Fail(ctx, command, ResultLine(ctx, result));
}

int FailUsage(const AppContext& ctx, const std::string& command, const std::string& text) {
  Fail(ctx, command, text);
  return kExitUsage;
}

int EnsureSignedIn(AppContext& ctx, const std::string& command) {
  if (ctx.adapter->IsLoggedIn()) return kExitOk;
  const HRESULT hr = ctx.adapter->TryLogin(0);
  if (SUCCEEDED(hr)) return kExitOk;
  if (hr == E_FAIL) return Fail(ctx, command, "not signed in (sign in with \"ostrel login USER\")");
  return Fail(ctx, command, ResultMessage(hr) + "; sign in with \"ostrel login USER\"");
}

int RunCommand(AppContext& ctx, const ParsedCommandLine& cmd) {
  using Handler = int (*)(AppContext&, const ParsedCommandLine&);
  static const std::map<std::string, Handler> kHandlers = {
      {"login", CmdLogin},   {"logout", CmdLogout},   {"whoami", CmdWhoami},         {"quota", CmdQuota},
      {"ls", CmdLs},         {"mkdir", CmdMkdir},     {"mv", CmdMv},                 {"rename", CmdRename},
      {"rm", CmdRm},         {"restore", CmdRestore}, {"empty-trash", CmdEmptyTrash}, {"search", CmdSearch},
      {"put", CmdPut},       {"get", CmdGet},         {"edit", CmdEdit},             {"tasks", CmdTasks},
      {"cancel", CmdCancel}, {"retry", CmdRetry},
  };
  const std::string& name = cmd.command->name;
  auto it = kHandlers.find(name);
  if (it == kHandlers.end()) return FailUsage(ctx, name, "not offered here");
  if (name != "login" && name != "logout") {
    const int status = EnsureSignedIn(ctx, name);
    if (status != kExitOk) return status;
  }
  return it->second(ctx, cmd);
}
