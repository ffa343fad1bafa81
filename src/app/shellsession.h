// "ostrel shell": many commands in one session, read one a line from the input, run
// with one engine, so that the task list and the files open for editing stay between
// commands. A log-out ends the pass and begins the next (ctx.newPass).
#pragma once

#include "app/appcontext.h"
#include "app/argparse.h"

// Runs the session until "exit" or the end of the input. shellCmd carries --login,
// --not-my-computer and --password-stdin. The status: kExitFailed when a command
// failed, else kExitOk.
int RunShellSession(AppContext& ctx, const ParsedCommandLine& shellCmd);
