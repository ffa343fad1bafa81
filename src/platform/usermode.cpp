#include "platform/usermode.h"

#include <cstdlib>
#include <string_view>

#include "platform/posixfile.h"

mode_t CurrentUmask(FileEnv* env) {
  // The "Umask:" line of /proc/self/status (Linux 4.7 and later); umask(2) would have
  // to set the mask to read it, racing with every thread that creates a file.
  std::string status;
  if (!ReadWholeFile("/proc/self/status", 1 << 20, &status, env)) return 022;
  std::string_view rest = status;
  while (!rest.empty()) {
    std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(line.size() < rest.size() ? line.size() + 1 : rest.size());
    if (line.starts_with("Umask:"))
      return static_cast<mode_t>(std::strtoul(std::string(line.substr(6)).c_str(), nullptr, 8) & 0777);
  }
  return 022;
}
