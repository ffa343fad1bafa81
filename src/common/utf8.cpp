#include "common/utf8.h"

#include <cstdint>

namespace {

// Decodes one character at s[i]; returns its length in bytes (1 for an invalid byte,
// with cp set to U+FFFD).
size_t Decode(std::string_view s, size_t i, char32_t& cp) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  size_t left = s.size() - i;
  cp = 0xFFFD;
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  size_t n;
  char32_t v;
  char32_t min;
  if ((c & 0xE0) == 0xC0) {
    n = 2, v = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3, v = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4, v = c & 0x07, min = 0x10000;
  } else {
    return 1;
  }
  if (left < n) return 1;
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 1;
    v = (v << 6) | (b(i + k) & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 1;
  cp = v;
  return n;
}

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

std::string Utf8CutBytes(std::string_view s, size_t maxBytes) {
  if (s.size() <= maxBytes) return std::string(s);
  size_t end = maxBytes;
  // Step back over continuation bytes to the lead byte, then drop that character
  // when it does not fit whole.
  while (end > 0 && IsContinuation(static_cast<unsigned char>(s[end]))) --end;
  return std::string(s.substr(0, end));
}

std::string Utf8CutChars(std::string_view s, size_t maxUnits) {
  size_t i = 0, units = 0;
  while (i < s.size()) {
    char32_t cp;
    size_t n = Decode(s, i, cp);
    size_t u = cp > 0xFFFF ? 2 : 1;
    if (units + u > maxUnits) break;
    units += u;
    i += n;
  }
  return std::string(s.substr(0, i));
}

bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    char32_t cp;
    size_t n = Decode(s, i, cp);
    if (cp == 0xFFFD && !(n == 3 && s.substr(i, 3) == "\xEF\xBF\xBD")) return false;
    i += n;
  }
  return true;
}

std::string ToValidUtf8(std::string_view s) {
  return IsValidUtf8(s) ? std::string(s) : Utf16ToUtf8(Utf8ToUtf16(s));
}

std::u16string Utf8ToUtf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    char32_t cp;
    i += Decode(s, i, cp);
    if (cp > 0xFFFF) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}
