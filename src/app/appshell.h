// The application shell of the console client: the configuration folder, config.ini,
// the log and the crash handler; one pass of the engine (the logic adapter's Init with
// the terminal window, the command, UnInit) on a thread of its own while the main
// thread waits, running the dispatcher loop for the commands that live on (shell,
// edit), where the folder watcher reports to it; the cache trim at the end.
#pragma once

#include <string>
#include <vector>

// Runs ostrel with the words of its command line (without the program's name) on the
// process's standard input, output and error. The exit status (appcontext.h). Must be
// called on the main thread, once.
int RunOstrel(const std::vector<std::string>& words);
