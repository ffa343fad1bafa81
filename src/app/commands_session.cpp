// The session commands: login, logout, whoami, quota.
#include <cstdint>
#include <string>

#include "app/commands.h"
#include "app/itemoutput.h"
#include "core/logicadapter/logicadapter.h"
#include "core/synccenter.h"

namespace {

// used as a whole percentage of total (total > 0), rounded toward zero: as large as
// the two numbers make it, never wrapped (a service may answer any 64-bit values).
std::string PercentText(int64_t used, int64_t total) {
  const __int128 percent = static_cast<__int128>(used) * 100 / total;
  unsigned __int128 magnitude = percent < 0 ? -static_cast<unsigned __int128>(percent) : percent;
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
    magnitude /= 10;
  } while (magnitude);
  return (percent < 0 ? "-" : "") + digits;
}

// Overwrites a secret before its memory is given back.
void Wipe(std::string* secret) {
  volatile char* p = secret->data();
  for (size_t i = 0; i < secret->size(); ++i) p[i] = 0;
  secret->clear();
}

}  // namespace

int CmdLogin(AppContext& ctx, const ParsedCommandLine& cmd) {
  const std::string& user = cmd.args[0];
  const bool notMine = cmd.Has("--not-my-computer");
  if (notMine && !ctx.inShell)
    return FailUsage(ctx, "login",
                     "--not-my-computer deletes your cached files and the sign-in when the shell ends, so it is "
                     "offered for \"ostrel shell\" only (ostrel shell --login USER --not-my-computer)");
  if (ctx.adapter->IsLoggedIn()) {
    std::string current;
    ctx.adapter->GetUserInfo(&current, nullptr, nullptr, nullptr);
    return Fail(ctx, "login", "already signed in as " + PrintableText(current) + "; log out first");
  }
  std::string password;
  InputLine got = InputLine::kEnd;
  if (cmd.Has("--password-stdin")) {
    got = ctx.input->AskSecret("", &password);
  } else if (ctx.input->IsTerminal()) {
    got = ctx.input->AskSecret("Password for " + PrintableText(user) + ": ", &password);
  } else {
    return FailUsage(ctx, "login", "no terminal to read the password from; use --password-stdin");
  }
  if (got == InputLine::kTooLong)
    return FailUsage(ctx, "login", "the password is longer than " + std::to_string(kMaxAnswerBytes) + " bytes");
  if (got != InputLine::kLine || password.empty()) {
    Wipe(&password);
    return Fail(ctx, "login", "no password given");
  }
  const HRESULT hr =
      ctx.adapter->Login(user, password, static_cast<int32_t>(notMine ? kLoginModeNotMyComputer : kLoginModeMyComputer));
  Wipe(&password);
  if (FAILED(hr)) return FailResult(ctx, "login", hr);
  std::string name, nick;
  ctx.adapter->GetUserInfo(&name, nullptr, nullptr, &nick);
  ctx.window->Say("Signed in as " + PrintableText(name.empty() ? user : name) +
                  (nick.empty() ? std::string() : " (" + PrintableText(nick) + ")"));
  if (notMine)
    ctx.window->Say(
        "This is not your computer: your cached files and the sign-in are deleted when this shell ends; your "
        "e-mail, nick name and user id stay in the registry store (see \"ostrel shell --help\").");
  return kExitOk;
}

int CmdLogout(AppContext& ctx, const ParsedCommandLine&) {
  if (!ctx.adapter->IsLoggedIn()) ctx.adapter->TryLogin(0);
  std::string name;
  ctx.adapter->GetUserInfo(&name, nullptr, nullptr, nullptr);
  const HRESULT hr = ctx.adapter->UnBind();
  if (ctx.newPass) {
    const HRESULT hrPass = ctx.newPass();
    if (FAILED(hrPass)) return FailResult(ctx, "logout", hrPass);
  }
  if (FAILED(hr)) return FailResult(ctx, "logout", hr);
  ctx.window->Say(name.empty() ? std::string("Signed out") : "Signed out " + PrintableText(name));
  return kExitOk;
}

int CmdWhoami(AppContext& ctx, const ParsedCommandLine&) {
  std::string name, userId, nick;
  const HRESULT hr = ctx.adapter->GetUserInfo(&name, nullptr, &userId, &nick);
  if (FAILED(hr)) return FailResult(ctx, "whoami", hr);
  if (ctx.global.json)
    WriteOut(ctx, "{\"user\":" + JsonQuote(name) + ",\"nickName\":" + JsonQuote(nick) + ",\"userId\":" +
                      JsonQuote(userId) + "}\n");
  else
    WriteOut(ctx, PrintableText(name) + (nick.empty() ? "" : " (" + PrintableText(nick) + ")") + "  id " +
                      PrintableText(userId) + "\n");
  return kExitOk;
}

int CmdQuota(AppContext& ctx, const ParsedCommandLine&) {
  int64_t used = 0, total = 0;
  const HRESULT hr = ctx.adapter->GetSpaceInfo(&used, &total, true);
  if (FAILED(hr)) return FailResult(ctx, "quota", hr);
  if (ctx.global.json) {
    WriteOut(ctx, "{\"used\":" + std::to_string(used) + ",\"total\":" + std::to_string(total) + "}\n");
  } else {
    std::string line = HumanBytes(used) + " used of " + HumanBytes(total);
    if (total > 0) line += " (" + PercentText(used, total) + "%)";
    WriteOut(ctx, line + "\n");
  }
  return kExitOk;
}
