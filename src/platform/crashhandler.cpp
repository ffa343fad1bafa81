#include "platform/crashhandler.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

struct SignalName {
  int number;
  const char* name;
};
constexpr SignalName kSignals[] = {
    {SIGSEGV, "SIGSEGV"}, {SIGBUS, "SIGBUS"}, {SIGILL, "SIGILL"},   {SIGFPE, "SIGFPE"},
    {SIGABRT, "SIGABRT"}, {SIGSYS, "SIGSYS"}, {SIGTRAP, "SIGTRAP"},
};
constexpr size_t kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);
constexpr size_t kMaxFolderBytes = 3072;
constexpr int kMaxFrames = 128;

// Written only under g_installMutex with the handler not yet (or no longer) able to
// read a half-written path: the folder is switched by length, published last.
char g_folder[kMaxFolderBytes];
std::atomic<size_t> g_folderLength{0};
std::atomic<bool> g_enabled{true};
std::atomic<pid_t> g_reportingThread{0};
static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<size_t>::is_always_lock_free);

std::mutex g_installMutex;
bool g_installed = false;
struct sigaction g_previous[kSignalCount];
void* g_altStack = nullptr;

// --- async-signal-safe helpers: no allocation, no locks, no stdio ---
// The report is written with raw system calls, not through a FileEnv: a signal
// handler may make async-signal-safe calls only, and a FileEnv's calls may allocate
// or lock (a test's certainly do).

void WriteAll(int fd, const char* s, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, s, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    s += w;
    n -= static_cast<size_t>(w);
  }
}

void WriteText(int fd, const char* s) { WriteAll(fd, s, std::strlen(s)); }

// Writes v in the base (10 or 16) into buf; returns the text's length. buf holds 24.
size_t FormatNumber(char* buf, uint64_t v, unsigned base) {
  char tmp[24];
  size_t n = 0;
  do {
    tmp[n++] = "0123456789abcdef"[v % base];
    v /= base;
  } while (v != 0);
  for (size_t i = 0; i < n; ++i) buf[i] = tmp[n - 1 - i];
  buf[n] = '\0';
  return n;
}

void WriteNumber(int fd, uint64_t v, unsigned base) {
  char buf[24];
  WriteAll(fd, buf, FormatNumber(buf, v, base));
}

const char* NameOf(int sig) {
  for (const auto& s : kSignals)
    if (s.number == sig) return s.name;
  return "?";
}

// Appends text to a path buffer of kMaxFolderBytes + 64 bytes.
void Append(char* path, size_t* len, const char* text, size_t cap) {
  while (*text && *len + 1 < cap) path[(*len)++] = *text++;
  path[*len] = '\0';
}

void CopyProcFile(int out, const char* procPath) {
  int in = ::open(procPath, O_RDONLY | O_CLOEXEC);
  if (in < 0) return;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(in, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    WriteAll(out, buf, static_cast<size_t>(n));
  }
  ::close(in);
}

void WriteReport(int sig, const siginfo_t* info) {
  size_t folderLength = g_folderLength.load(std::memory_order_acquire);
  if (folderLength == 0) return;
  constexpr size_t kCap = kMaxFolderBytes + 64;
  char path[kCap];
  size_t len = 0;
  std::memcpy(path, g_folder, folderLength);
  len = folderLength;
  path[len] = '\0';

  pid_t pid = ::getpid();
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  char num[24];
  Append(path, &len, "/crash_", kCap);
  FormatNumber(num, static_cast<uint64_t>(pid), 10);
  Append(path, &len, num, kCap);
  Append(path, &len, "_", kCap);
  FormatNumber(num, static_cast<uint64_t>(now.tv_sec), 10);
  Append(path, &len, num, kCap);
  Append(path, &len, "_", kCap);
  FormatNumber(num, static_cast<uint64_t>(sig), 10);
  Append(path, &len, num, kCap);
  Append(path, &len, ".txt", kCap);

  int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;
  WriteText(fd, "Ostrel crash report\nsignal: ");
  WriteNumber(fd, static_cast<uint64_t>(sig), 10);
  WriteText(fd, " (");
  WriteText(fd, NameOf(sig));
  WriteText(fd, ")\ncode: ");
  int code = info ? info->si_code : 0;
  if (code < 0) WriteText(fd, "-");
  WriteNumber(fd, code < 0 ? 0 - static_cast<uint64_t>(static_cast<int64_t>(code)) : static_cast<uint64_t>(code), 10);
  WriteText(fd, "\naddress: 0x");
  WriteNumber(fd, reinterpret_cast<uintptr_t>(info ? info->si_addr : nullptr), 16);
  WriteText(fd, "\npid: ");
  WriteNumber(fd, static_cast<uint64_t>(pid), 10);
  WriteText(fd, "\nthread: ");
  WriteNumber(fd, static_cast<uint64_t>(::syscall(SYS_gettid)), 10);
  WriteText(fd, "\ntime: ");
  WriteNumber(fd, static_cast<uint64_t>(now.tv_sec), 10);
  WriteText(fd, "\n\nbacktrace:\n");
  void* frames[kMaxFrames];
  int count = ::backtrace(frames, kMaxFrames);
  ::backtrace_symbols_fd(frames, count, fd);
  WriteText(fd, "\nmemory map:\n");
  CopyProcFile(fd, "/proc/self/maps");
  ::fsync(fd);
  ::close(fd);
}

void EndWithDefaultAction(int sig) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(sig, &dfl, nullptr);
  // The signal stays blocked while this handler runs, so it is delivered, with the
  // default action, when the handler returns; a fault that is not raised again
  // repeats at the same instruction and meets the default action as well.
  ::raise(sig);
}

void OnCrash(int sig, siginfo_t* info, void*) {
  int savedErrno = errno;
  pid_t self = static_cast<pid_t>(::syscall(SYS_gettid));
  pid_t expected = 0;
  if (!g_reportingThread.compare_exchange_strong(expected, self)) {
    if (expected != self) {
      // Another thread is writing its report and will end the process.
      struct timespec second {1, 0};
      for (;;) ::nanosleep(&second, nullptr);
    }
    // The report itself failed: end at once.
    EndWithDefaultAction(sig);
    errno = savedErrno;
    return;
  }
  if (g_enabled.load(std::memory_order_relaxed)) WriteReport(sig, info);
  EndWithDefaultAction(sig);
  errno = savedErrno;
}

void EnsureAltStack() {
  stack_t current {};
  if (::sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) return;
  size_t size = 64 * 1024;
  if (static_cast<size_t>(SIGSTKSZ) > size) size = static_cast<size_t>(SIGSTKSZ);
  if (!g_altStack) g_altStack = std::malloc(size);
  if (!g_altStack) return;
  stack_t st {};
  st.ss_sp = g_altStack;
  st.ss_size = size;
  ::sigaltstack(&st, nullptr);
}

}  // namespace

bool InstallCrashSignalHandler(const std::string& dumpFolder) {
  std::string folder = dumpFolder;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder.empty() || folder.size() >= kMaxFolderBytes) return false;

  std::lock_guard<std::mutex> guard(g_installMutex);
  // Load the unwinder now: its first use may allocate, which a handler must not.
  void* warm[4];
  ::backtrace(warm, 4);

  g_folderLength.store(0, std::memory_order_release);
  std::memcpy(g_folder, folder.data(), folder.size());
  g_folder[folder.size()] = '\0';
  g_folderLength.store(folder.size(), std::memory_order_release);

  EnsureAltStack();
  struct sigaction action {};
  action.sa_sigaction = OnCrash;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  struct sigaction previous[kSignalCount];
  for (size_t i = 0; i < kSignalCount; ++i) {
    if (::sigaction(kSignals[i].number, &action, &previous[i]) != 0) {
      for (size_t j = 0; j < i; ++j) ::sigaction(kSignals[j].number, &previous[j], nullptr);
      return false;
    }
  }
  if (!g_installed) {
    std::memcpy(g_previous, previous, sizeof(previous));
    g_installed = true;
  }
  return true;
}

void UninstallCrashSignalHandler() {
  std::lock_guard<std::mutex> guard(g_installMutex);
  if (!g_installed) return;
  for (size_t i = 0; i < kSignalCount; ++i) ::sigaction(kSignals[i].number, &g_previous[i], nullptr);
  g_installed = false;
  g_folderLength.store(0, std::memory_order_release);
}

void SetCrashReportsEnabled(bool enabled) { g_enabled.store(enabled, std::memory_order_relaxed); }
