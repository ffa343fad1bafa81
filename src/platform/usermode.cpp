#include "platform/usermode.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

mode_t CurrentUmask() {
  // The "Umask:" line of /proc/self/status (Linux 4.7 and later); umask(2) would have
  // to set the mask to read it, racing with every thread that creates a file.
  FILE* f = std::fopen("/proc/self/status", "re");
  if (!f) return 022;
  char line[256];
  mode_t mask = 022;
  while (std::fgets(line, sizeof(line), f)) {
    if (std::strncmp(line, "Umask:", 6) == 0) {
      mask = static_cast<mode_t>(std::strtoul(line + 6, nullptr, 8) & 0777);
      break;
    }
  }
  std::fclose(f);
  return mask;
}
