// The process's crash handler, in place of a crash-dump writer: when the process
// fails with SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS or SIGTRAP, it writes a
// text report (signal, fault address, backtrace, memory map) to a new file
// "crash_<pid>_<seconds>_<signal>.txt" (0600) in the dump folder, then restores the
// default action and raises the signal again, so the process ends as it would have
// without the handler (the exit status still names the signal).
//
// The report holds no memory contents, so no token or password can leak into it.
// The handler uses only async-signal-safe calls (backtrace is loaded beforehand), and
// runs on an alternate stack on the installing thread so that a stack overflow there
// is reported too. When a second thread fails while a report is being written, it
// waits for the first to end the process.
#pragma once

#include <string>

// Installs the handler for the process. The dump folder must exist; its path must be
// shorter than 3,072 bytes. A second call replaces the folder. False (nothing
// installed) when the path is too long or a handler cannot be set.
bool InstallCrashSignalHandler(const std::string& dumpFolder);

// Restores the actions that were in place before the first install.
void UninstallCrashSignalHandler();

// Turns writing reports off and on; the signal ends the process either way.
void SetCrashReportsEnabled(bool enabled);
