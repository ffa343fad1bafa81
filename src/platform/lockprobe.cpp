#include "platform/lockprobe.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posixfile.h"

namespace {

bool AllDigits(const char* s) {
  if (!*s) return false;
  for (; *s; ++s)
    if (*s < '0' || *s > '9') return false;
  return true;
}

// "maj:min:ino" with hexadecimal device numbers and a decimal inode.
bool ParseDeviceInode(std::string_view token, unsigned* major, unsigned* minor, unsigned long long* ino) {
  size_t first = token.find(':');
  if (first == std::string_view::npos) return false;
  size_t second = token.find(':', first + 1);
  if (second == std::string_view::npos || token.find(':', second + 1) != std::string_view::npos) return false;
  std::string maj(token.substr(0, first)), min(token.substr(first + 1, second - first - 1)),
      in(token.substr(second + 1));
  if (maj.empty() || min.empty() || in.empty()) return false;
  char* end = nullptr;
  *major = static_cast<unsigned>(std::strtoul(maj.c_str(), &end, 16));
  if (*end) return false;
  *minor = static_cast<unsigned>(std::strtoul(min.c_str(), &end, 16));
  if (*end) return false;
  *ino = std::strtoull(in.c_str(), &end, 10);
  return *end == '\0';
}

std::vector<std::string_view> Tokens(std::string_view line) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

}  // namespace

bool AnyProcessHasOpen(dev_t dev, ino_t ino, pid_t self, const std::string& procRoot, FileEnv* env) {
  std::vector<FolderEntry> processes;
  env->ListFolder(procRoot, /*followLink=*/true, &processes);
  const std::string selfName = std::to_string(self);
  for (const FolderEntry& process : processes) {
    if (!AllDigits(process.name.c_str()) || selfName == process.name) continue;
    std::string fdDir = procRoot + "/" + process.name + "/fd";
    std::vector<FolderEntry> fds;
    env->ListFolder(fdDir, /*followLink=*/true, &fds);  // gone, or not ours to read: none
    for (const FolderEntry& f : fds) {
      if (!AllDigits(f.name.c_str())) continue;
      struct stat st {};
      // Follows the descriptor's link to the open file itself.
      if (env->Stat(fdDir + "/" + f.name, &st) && st.st_dev == dev && st.st_ino == ino) return true;
    }
  }
  return false;
}

bool ProcLocksHold(std::string_view procLocks, dev_t dev, ino_t ino, pid_t self) {
  while (!procLocks.empty()) {
    size_t nl = procLocks.find('\n');
    std::string_view line = procLocks.substr(0, nl);
    procLocks.remove_prefix(nl == std::string_view::npos ? procLocks.size() : nl + 1);
    std::vector<std::string_view> tokens = Tokens(line);
    bool waiter = false;
    for (std::string_view t : tokens)
      if (t == "->") waiter = true;
    if (waiter) continue;
    // The pid comes right before the "maj:min:ino" token.
    for (size_t i = 1; i < tokens.size(); ++i) {
      unsigned major = 0, minor = 0;
      unsigned long long inode = 0;
      if (!ParseDeviceInode(tokens[i], &major, &minor, &inode)) continue;
      std::string pidText(tokens[i - 1]);
      char* end = nullptr;
      long pid = std::strtol(pidText.c_str(), &end, 10);
      if (*end || pidText.empty()) break;
      if (pid == static_cast<long>(self)) break;
      if (major == ::major(dev) && minor == ::minor(dev) && inode == static_cast<unsigned long long>(ino)) return true;
      break;
    }
  }
  return false;
}

FileLockState ProbeFileLock(const std::string& path, FileEnv* env) {
  struct stat st {};
  if (!env->Stat(path, &st))
    return (errno == ENOENT || errno == ENOTDIR) ? FileLockState::kMissing : FileLockState::kUnlocked;
  pid_t self = ::getpid();
  std::string procLocks;
  ReadWholeFile("/proc/locks", SIZE_MAX, &procLocks, env);  // unreadable: only descriptors are seen
  if (ProcLocksHold(procLocks, st.st_dev, st.st_ino, self)) return FileLockState::kLocked;
  if (AnyProcessHasOpen(st.st_dev, st.st_ino, self, "/proc", env)) return FileLockState::kLocked;
  return FileLockState::kUnlocked;
}
