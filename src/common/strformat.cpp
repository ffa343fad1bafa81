#include "common/strformat.h"

#include <cstdio>

std::string StringFormatV(const char* format, va_list args) {
  if (!format) return std::string();
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof(small), format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof(small)) return std::string(small, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n), '\0');
  std::vsnprintf(out.data(), out.size() + 1, format, args);
  return out;
}

std::string StringFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = StringFormatV(format, args);
  va_end(args);
  return out;
}
