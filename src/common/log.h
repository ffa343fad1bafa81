// The process-wide log writer. Every line is appended to a dated file under a lock
// shared by all processes of the program, opening and closing the file per line. The
// lock's file lives in $XDG_RUNTIME_DIR, else in the configuration folder (from
// LogInit on; before it, and when that file is not this user's, the lock excludes
// only the threads of this process: see CNamedLock). A line whose write failed part
// way leaves its fragment; the next line first ends it, so it starts a line of its own.
//
// Line: "Y/MM/DD hh:mm:ss \t<letter> \t<program> \t<pid>:<tid> \t<text>" and, when the
// threshold is above 4, " \tFL:<source file>(<line>)", then CRLF. Levels run 0..9
// with the letters "ENNNIWNRNT"; a line is written when its level is at most the
// threshold. Passwords, tokens and file keys are never passed to the log.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>

class Clock;
class FileEnv;

// Levels in use.
inline constexpr int kLogError = 0;  // E
inline constexpr int kLogInfo = 4;   // I
inline constexpr int kLogWarn = 5;   // W
inline constexpr int kLogTrace = 9;  // T

// Sets the program name, the base path of the log file (the dated name is built from
// it), the level threshold and the flags; with flags bit 0 deletes every file of the
// log folder last written more than daysToKeep days ago (-1 keeps all). Places the
// lock shared with other processes in the configuration folder (GetConfigFolder, read
// again on every call; the folder is created when missing). Returns 0.
int LogInit(const std::string& programName, const std::string& logFilePath, int level,
            uint32_t flags, int daysToKeep);

// Writes one line with a ready text. Pauses first (3 ms, on every call), then drops
// levels above the threshold. Never reports an error: a line that cannot be written
// is lost.
void LogWrite(int level, const char* sourceFile, int line, const std::string& text);

// Formats and writes one line when the level passes the threshold; returns at once,
// without the pause, otherwise. The values of %s and %c have their control characters
// escaped (see LogFormatV), so no value can start a line of its own; the format's own
// text is written as it stands. The text is cut to 1,023 characters.
void LogWriteFormat(int level, const char* sourceFile, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void LogWriteFormatV(int level, const char* sourceFile, int line, const char* format, va_list args)
    __attribute__((format(printf, 4, 0)));

// True when a line of this level would be written.
bool LogIsEnabled(int level);

// Test and start-up seams of the writer.
namespace logcontrol {
// Replaces the clock used for line times, the day roll, the sweep and the pause
// (nullptr restores the system clock). The clock must outlive its use.
void SetClock(Clock* clock);
// Replaces the file system the log files are written, measured, swept and deleted
// through (nullptr restores the real one). The env must outlive its use. The lock
// shared with other processes stays on the real file system.
void SetFileEnv(FileEnv* env);
// The clock now in force (never null).
Clock* GetClock();
// The pause before every write (3 ms by default).
void SetPauseMs(int ms);
// Receives every line that is written to the file, exactly as written (without the
// line end written before it to end a fragment); called under the log lock, so it
// must not log. An empty function removes it.
void SetLineObserver(std::function<void(int level, const std::string& line)> observer);
// The dated file that the next line of today goes to.
std::string CurrentPath();
// The base path and the threshold now in force.
std::string BasePath();
int Threshold();
}  // namespace logcontrol

// Logs one formatted line with the caller's file and line, when the level is enabled.
#define OSTREL_LOG(level, ...)                                            \
  do {                                                                    \
    if (LogIsEnabled(level)) LogWriteFormat(level, __FILE__, __LINE__, __VA_ARGS__); \
  } while (0)
