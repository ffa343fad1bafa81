#include "common/pathcheck.h"

bool IsSafePathComponent(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool IsSafeRelativePath(std::string_view path) {
  if (path.empty()) return true;
  for (;;) {
    size_t slash = path.find('/');
    if (!IsSafePathComponent(path.substr(0, slash))) return false;
    if (slash == std::string_view::npos) return true;
    path.remove_prefix(slash + 1);
  }
}
