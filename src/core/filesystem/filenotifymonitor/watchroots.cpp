#include "core/filesystem/filenotifymonitor/watchroots.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/homefolder.h"

namespace {

std::string UserName() {
  const char* user = std::getenv("USER");
  if (user && *user && std::string(user).find('/') == std::string::npos) return user;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd pw {};
  struct passwd* result = nullptr;
  if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result && result->pw_name &&
      *result->pw_name)
    return result->pw_name;
  return std::string();
}

}  // namespace

std::vector<std::string> DefaultWatchRoots() {
  std::vector<std::string> roots;
  const std::string home = GetHomeFolder();
  if (home != "/") roots.push_back(home);  // never the whole file system
  const std::string user = UserName();
  if (!user.empty() && user != "." && user != "..") {
    roots.push_back("/media/" + user);
    roots.push_back("/run/media/" + user);
  }
  return roots;
}
