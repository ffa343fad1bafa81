#include "common/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "common/configfolder.h"
#include "common/logformat.h"
#include "common/strformat.h"
#include "common/utf8.h"
#include "platform/clock.h"
#include "platform/fileenv.h"
#include "platform/namedlock.h"
#include "platform/posixfile.h"

namespace {

constexpr char kLevelLetters[] = "ENNNIWNRNT";
constexpr size_t kLineBufferBytes = 1100;      // a line and its terminating zero
constexpr size_t kMaxTextChars = 1023;         // characters kept of a formatted text
constexpr int kSizeCheckEvery = 100;           // lines between two size checks
constexpr int64_t kMaxLogBytes = 104857600;    // a larger file is deleted
constexpr int64_t kSecondsPerDay = 86400;

std::string ExecutablePath(FileEnv* env) {
  std::string path;
  if (!env->ReadLink("/proc/self/exe", &path) || path.empty()) return "ostrel";
  return path;
}

std::string BaseName(const char* path) {
  if (!path) return std::string();
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

class ZLogFile {
 public:
  static ZLogFile& Instance() {
    // Immortal: static destructors of other units may still log at exit.
    static ZLogFile* instance = new ZLogFile();
    return *instance;
  }

  int Init(const std::string& program, const std::string& path, int level, uint32_t flags, int days) {
    // Read before any lock of the log is taken: reading the store may log.
    m_lock.SetFolder(GetConfigFolder());
    {
      std::lock_guard<std::mutex> guard(m_state);
      m_program = program;
      m_basePath = path;
      m_threshold.store(level, std::memory_order_relaxed);
    }
    {
      std::lock_guard<CNamedLock> guard(m_lock);
      m_dayYear = -1;  // the next line builds a new current path from the new base
      m_dayOfYear = -1;
    }
    if (flags & 1) Sweep(days);
    return 0;
  }

  bool IsEnabled(int level) const {
    return level >= 0 && level <= 9 && level <= m_threshold.load(std::memory_order_relaxed);
  }

  void Write(int level, const char* sourceFile, int line, const std::string& text) {
    ErrnoKeeper keepErrno;  // logging never changes errno
    Clock* clock = GetClock();
    int pause = m_pauseMs.load(std::memory_order_relaxed);
    if (pause > 0) clock->SleepFor(std::chrono::milliseconds(pause));
    if (!IsEnabled(level)) return;

    std::string program;
    int threshold;
    {
      std::lock_guard<std::mutex> guard(m_state);
      program = m_program;
      threshold = m_threshold.load(std::memory_order_relaxed);
    }

    std::lock_guard<CNamedLock> guard(m_lock);
    LocalTime now = ToLocalTime(clock->Now());
    RollDay(now);
    CheckSize();

    std::string out = FormatLine(now, level, program, sourceFile, line, text, threshold);
    FileEnv* env = GetFileEnv();
    int fd = env->Open(m_currentPath, O_RDWR | O_CREAT | O_APPEND, 0600);
    if (fd < 0) return;
    std::string lineEnd = EndOfLastLine(env, fd);
    std::string whole = lineEnd.empty() ? out : lineEnd + out;
    const char* p = whole.data();
    size_t left = whole.size();
    while (left > 0) {
      ssize_t n = env->Write(fd, p, left);
      if (n <= 0) break;
      p += n;
      left -= static_cast<size_t>(n);
    }
    env->Close(fd);
    if (m_observer) m_observer(level, out);
  }

  void SetClock(Clock* c) { m_clock.store(c, std::memory_order_release); }
  void SetFileEnv(FileEnv* env) { m_env.store(env, std::memory_order_release); }
  void SetPauseMs(int ms) { m_pauseMs.store(ms, std::memory_order_relaxed); }
  void SetObserver(std::function<void(int, const std::string&)> f) {
    std::lock_guard<CNamedLock> guard(m_lock);
    m_observer = std::move(f);
  }
  std::string CurrentPath() {
    std::lock_guard<CNamedLock> guard(m_lock);
    RollDay(ToLocalTime(GetClock()->Now()));
    return m_currentPath;
  }
  std::string BasePath() {
    std::lock_guard<std::mutex> guard(m_state);
    return m_basePath;
  }
  int Threshold() const { return m_threshold.load(std::memory_order_relaxed); }

  Clock* GetClock() const {
    Clock* c = m_clock.load(std::memory_order_acquire);
    return c ? c : Clock::System();
  }
  FileEnv* GetFileEnv() const {
    FileEnv* env = m_env.load(std::memory_order_acquire);
    return env ? env : FileEnv::Default();
  }

 private:
  // The lock has no folder of its own until LogInit gives the configuration folder.
  ZLogFile() : m_lock("_#_LogFile_Z_MutxName_#_", std::string()) {
    m_basePath = ExecutablePath(FileEnv::Default());
    m_program = BaseName(m_basePath.c_str());
    m_basePath += ".log";
  }

  // Under m_lock. The current path changes when the calendar day (year and day of
  // the year) differs from the stored one.
  void RollDay(const LocalTime& now) {
    if (now.year == m_dayYear && now.dayOfYear == m_dayOfYear) return;
    std::string base = BasePath();
    size_t slash = base.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : base.substr(0, slash + 1);
    std::string file = slash == std::string::npos ? base : base.substr(slash + 1);
    size_t dot = file.rfind('.');
    std::string name = dot == std::string::npos ? file : file.substr(0, dot);
    std::string ext = dot == std::string::npos ? std::string() : file.substr(dot);
    m_currentPath = folder + name + StringFormat("_%d_%02d_%02d", now.year, now.month, now.day) + ext;
    m_dayYear = now.year;
    m_dayOfYear = now.dayOfYear;
  }

  // Under m_lock. What must go before a line so that it starts a line of its own: ""
  // when the file is empty or ends with a line end, else the rest of a line end (a
  // write that failed part way, in this process or another, left a fragment). A
  // file that cannot be measured or read is taken as ended.
  static std::string EndOfLastLine(FileEnv* env, int fd) {
    struct stat st {};
    if (!env->Fstat(fd, &st) || st.st_size <= 0) return std::string();
    char last = '\n';
    if (env->PRead(fd, &last, 1, st.st_size - 1) != 1 || last == '\n') return std::string();
    return last == '\r' ? "\n" : "\r\n";
  }

  // Under m_lock. Every 100th line, a file past 100 MiB is deleted so that the line
  // starts a new one. The full 64-bit size is compared.
  void CheckSize() {
    if (++m_lineCounter < kSizeCheckEvery) return;
    m_lineCounter = 0;
    FileEnv* env = GetFileEnv();
    struct stat st {};
    if (env->Stat(m_currentPath, &st) && static_cast<int64_t>(st.st_size) > kMaxLogBytes) env->Unlink(m_currentPath);
  }

  static std::string FormatLine(const LocalTime& t, int level, const std::string& program,
                                const char* sourceFile, int line, const std::string& text,
                                int threshold) {
    std::string out = StringFormat("%d/%02d/%02d %02d:%02d:%02d \t%c \t", t.year, t.month, t.day, t.hour, t.minute,
                                   t.second, kLevelLetters[level]) +
                      program +
                      StringFormat(" \t%08x:%08x \t", static_cast<unsigned>(getpid()),
                                   static_cast<unsigned>(syscall(SYS_gettid)));
    std::string tail;
    if (threshold > 4) tail = StringFormat(" \tFL:%s(%d)", BaseName(sourceFile).c_str(), line);
    // The whole line, CRLF included, fits the line buffer less its terminating zero;
    // the text is cut first, on a character boundary.
    const size_t limit = kLineBufferBytes - 1;
    size_t fixed = out.size() + tail.size() + 2;
    if (fixed >= limit) {
      out = Utf8CutBytes(out + tail, limit - 2);
      return out + "\r\n";
    }
    out += Utf8CutBytes(text, limit - fixed);
    out += tail;
    out += "\r\n";
    return out;
  }

  void Sweep(int days) {
    if (days < 0) return;
    std::string base = BasePath();
    size_t slash = base.rfind('/');
    std::string folder = slash == std::string::npos ? std::string(".") : base.substr(0, slash);
    if (folder.empty()) folder.assign(1, '/');  // not = "/": g++ 12 -O3 warns falsely (-Wrestrict)
    int64_t now = std::chrono::duration_cast<std::chrono::seconds>(GetClock()->Now().time_since_epoch()).count();
    int64_t oldest = now - static_cast<int64_t>(days) * kSecondsPerDay;
    FileEnv* env = GetFileEnv();
    std::vector<FolderEntry> entries;
    env->ListFolder(folder, /*followLink=*/true, &entries);
    for (const FolderEntry& e : entries) {
      struct stat st {};
      std::string path = folder + "/" + e.name;
      if (!env->Lstat(path, &st) || !S_ISREG(st.st_mode)) continue;
      if (static_cast<int64_t>(st.st_mtim.tv_sec) < oldest) env->Unlink(path);
    }
  }

  CNamedLock m_lock;                 // serialises whole lines across processes and threads
  std::mutex m_state;                // guards the program name and base path
  std::string m_program;
  std::string m_basePath;
  std::atomic<int> m_threshold{4};
  std::atomic<int> m_pauseMs{3};
  std::atomic<Clock*> m_clock{nullptr};
  std::atomic<FileEnv*> m_env{nullptr};
  // Under m_lock:
  std::string m_currentPath;
  int m_dayYear = -1;                // "none": the first line always builds the path
  int m_dayOfYear = -1;
  int m_lineCounter = 0;
  std::function<void(int, const std::string&)> m_observer;
};

}  // namespace

int LogInit(const std::string& programName, const std::string& logFilePath, int level,
            uint32_t flags, int daysToKeep) {
  return ZLogFile::Instance().Init(programName, logFilePath, level, flags, daysToKeep);
}

void LogWrite(int level, const char* sourceFile, int line, const std::string& text) {
  ZLogFile::Instance().Write(level, sourceFile, line, text);
}

void LogWriteFormatV(int level, const char* sourceFile, int line, const char* format, va_list args) {
  ZLogFile& log = ZLogFile::Instance();
  if (!log.IsEnabled(level) || format == nullptr) return;
  log.Write(level, sourceFile, line, Utf8CutChars(LogFormatV(format, args), kMaxTextChars));
}

void LogWriteFormat(int level, const char* sourceFile, int line, const char* format, ...) {
  if (!LogIsEnabled(level)) return;
  va_list args;
  va_start(args, format);
  LogWriteFormatV(level, sourceFile, line, format, args);
  va_end(args);
}

bool LogIsEnabled(int level) { return ZLogFile::Instance().IsEnabled(level); }

namespace logcontrol {
void SetClock(Clock* clock) { ZLogFile::Instance().SetClock(clock); }
void SetFileEnv(FileEnv* env) { ZLogFile::Instance().SetFileEnv(env); }
void SetPauseMs(int ms) { ZLogFile::Instance().SetPauseMs(ms); }
void SetLineObserver(std::function<void(int, const std::string&)> observer) {
  ZLogFile::Instance().SetObserver(std::move(observer));
}
Clock* GetClock() { return ZLogFile::Instance().GetClock(); }
std::string CurrentPath() { return ZLogFile::Instance().CurrentPath(); }
std::string BasePath() { return ZLogFile::Instance().BasePath(); }
int Threshold() { return ZLogFile::Instance().Threshold(); }
}  // namespace logcontrol
