// The commands of ostrel over the logic adapter. Each runs on the calling thread (not
// the dispatcher's), prints its results on the result output and its failures, one
// line each, on the message output, and returns an exit status (appcontext.h).
#pragma once

#include "app/appcontext.h"
#include "app/argparse.h"

// Runs the parsed command (cmd.Ok(), a command named). Commands other than login,
// help and the shell's own first sign in from the stored sign-in when nobody is.
int RunCommand(AppContext& ctx, const ParsedCommandLine& cmd);

// Signs in from the stored sign-in unless someone is signed in. kExitOk, or a line
// saying why not (nobody stored, the session expired, the service failed).
int EnsureSignedIn(AppContext& ctx, const std::string& command);

// The commands, by group (commands_session.cpp, commands_items.cpp,
// commands_transfer.cpp).
int CmdLogin(AppContext& ctx, const ParsedCommandLine& cmd);
int CmdLogout(AppContext& ctx, const ParsedCommandLine& cmd);
int CmdWhoami(AppContext& ctx, const ParsedCommandLine& cmd);
int CmdQuota(AppContext& ctx, const ParsedCommandLine& cmd);
int CmdLs(AppContext& ctx, const ParsedCommandLine& cmd);
int CmdMkdir(AppContext& ctx, const ParsedCommandLine& cmd);
int CmdMv(AppContext& ctx, const ParsedCommandLine& cmd);
int CmdRename(AppContext& ctx, const ParsedCommandLine& cmd);
int CmdRm(AppContext& ctx, const ParsedCommandLine& cmd);
int CmdRestore(AppContext& ctx, const ParsedCommandLine& cmd);
int CmdEmptyTrash(AppContext& ctx, const ParsedCommandLine& cmd);
int CmdSearch(AppContext& ctx, const ParsedCommandLine& cmd);
int CmdPut(AppContext& ctx, const ParsedCommandLine& cmd);
int CmdGet(AppContext& ctx, const ParsedCommandLine& cmd);
int CmdEdit(AppContext& ctx, const ParsedCommandLine& cmd);
int CmdTasks(AppContext& ctx, const ParsedCommandLine& cmd);
int CmdCancel(AppContext& ctx, const ParsedCommandLine& cmd);
int CmdRetry(AppContext& ctx, const ParsedCommandLine& cmd);
