#include "platform/homefolder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

std::string GetHomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home == '/') return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd pw {};
  struct passwd* result = nullptr;
  if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result && result->pw_dir &&
      result->pw_dir[0] == '/')
    return result->pw_dir;
  return "/";
}

std::string GetXdgBaseFolder(const char* variable, const char* homeRelative) {
  const char* value = std::getenv(variable);
  if (value && *value == '/') return value;
  std::string base = GetHomeFolder();
  if (base.back() != '/') base.push_back('/');
  return base + homeRelative;
}
