#include "common/strhelper.h"

#include <tuple>

namespace {

unsigned char FoldAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }

}  // namespace

bool IsStrEmpty(const char* s) { return s == nullptr || *s == '\0'; }

int StrCompare(std::string_view a, std::string_view b, bool ignoreCase) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (ignoreCase) {
      x = FoldAscii(x);
      y = FoldAscii(y);
    }
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::string ToLowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(FoldAscii(static_cast<unsigned char>(c)));
  return out;
}

void SplitString(std::string_view text, char separator, std::vector<std::string>* out) {
  out->clear();
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != separator) continue;
    out->emplace_back(text.substr(start, i - start));
    start = i + 1;
  }
  if (start < text.size()) out->emplace_back(text.substr(start));
}

void AddBackslash(std::string* path) {
  if (!path->empty() && path->back() != '/') path->push_back('/');
}

std::string JoinPath(std::string folder, std::string_view name) {
  AddBackslash(&folder);
  folder.append(name);
  return folder;
}

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string GetParentPath(const std::string& fullPath) {
  std::string path = fullPath;
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || path == "/") return std::string();
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string GetFileNameFromPath(const std::string& fullPath) {
  std::string path = fullPath;
  if (!path.empty() && path.back() == '/') path.pop_back();
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int GetFileExtensionPos(std::string_view path) {
  int dot = -1;
  for (size_t i = 0; i < path.size(); ++i) {
    char c = path[i];
    if (c == '.')
      dot = static_cast<int>(i);
    else if (c == '/' || c == '\\' || c == ' ')
      dot = -1;
  }
  return dot;
}

std::string GetFileExtension(const std::string& path) {
  int pos = GetFileExtensionPos(path);
  return pos < 0 ? std::string() : path.substr(static_cast<size_t>(pos));
}

std::string BytesToHex(const uint8_t* bytes, size_t count) {
  static const char kHex[] = "0123456789abcdef";
  std::string s(2 * count, '0');
  for (size_t i = 0; i < count; ++i) {
    s[2 * i] = kHex[bytes[i] >> 4];
    s[2 * i + 1] = kHex[bytes[i] & 15];
  }
  return s;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool SystemTimeLess(const LocalTime& a, const LocalTime& b) {
  return std::tie(a.year, a.month, a.day, a.hour, a.minute, a.second) <
         std::tie(b.year, b.month, b.day, b.hour, b.minute, b.second);
}

bool ParsePlainDecimal(std::string_view text, uint64_t max, int64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (max - digit) / 10) return false;  // v * 10 + digit would pass max
    v = v * 10 + digit;
  }
  if (v > static_cast<uint64_t>(INT64_MAX)) return false;
  *value = static_cast<int64_t>(v);
  return true;
}
