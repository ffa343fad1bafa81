#include "common/configfolder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "common/registry.h"

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

std::string GetConfigFolder() {
  std::string configPath;
  GetRegValue(&configPath, "", kRegConfigPath, "");
  if (!configPath.empty()) return configPath;
  const char* data = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (data && *data == '/') {
    base = data;
  } else {
    base = GetHomeFolder();
    if (base.back() != '/') base.push_back('/');
    base += ".local/share";
  }
  if (base.back() != '/') base.push_back('/');
  return base + "Tarvelin/ostrel/";
}
