#include "common/logformat.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "common/strformat.h"

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void AppendHexEscape(const char* prefix, uint32_t value, int digits, std::string* out) {
  *out += prefix;
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) *out += kHex[(value >> shift) & 0xF];
}

// One conversion, as parsed from the format.
struct Conversion {
  std::string flags;
  int width = -1;      // -1: none
  int precision = -1;  // -1: none
  std::string length;  // "", "hh", "h", "l", "ll", "L", "j", "z", "t", "q"
  char conversion = 0;
};

// The conversion again as a printf format for one value, with "*" already resolved.
std::string ConversionFormat(const Conversion& s, bool withPrecision = true) {
  std::string f = "%" + s.flags;
  if (s.width >= 0) f += std::to_string(s.width);
  if (withPrecision && s.precision >= 0) f += "." + std::to_string(s.precision);
  f += s.length;
  f += s.conversion;
  return f;
}

// Formats one value through snprintf; the format is built from a checked conversion.
template <typename T>
std::string FormatOne(const std::string& format, T value) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int n = std::snprintf(nullptr, 0, format.c_str(), value);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  std::snprintf(out.data(), out.size() + 1, format.c_str(), value);
#pragma GCC diagnostic pop
  return out;
}

// A text value: cut to the precision, escaped, then padded to the width.
std::string FormatText(const Conversion& s, std::string_view text) {
  if (s.precision >= 0 && text.size() > static_cast<size_t>(s.precision)) text = text.substr(0, s.precision);
  std::string escaped;
  AppendLogEscaped(text, &escaped);
  Conversion padded = s;
  padded.length.clear();
  padded.conversion = 's';
  return FormatOne(ConversionFormat(padded, false), escaped.c_str());
}

std::string FormatSigned(const Conversion& s, va_list& args) {
  const std::string f = ConversionFormat(s);
  if (s.length == "l") return FormatOne(f, va_arg(args, long));
  if (s.length == "ll" || s.length == "q") return FormatOne(f, va_arg(args, long long));
  if (s.length == "j") return FormatOne(f, va_arg(args, intmax_t));
  if (s.length == "z") return FormatOne(f, va_arg(args, ptrdiff_t));  // the signed size_t
  if (s.length == "t") return FormatOne(f, va_arg(args, ptrdiff_t));
  return FormatOne(f, va_arg(args, int));  // "", "h", "hh": promoted to int
}

std::string FormatUnsigned(const Conversion& s, va_list& args) {
  const std::string f = ConversionFormat(s);
  if (s.length == "l") return FormatOne(f, va_arg(args, unsigned long));
  if (s.length == "ll" || s.length == "q") return FormatOne(f, va_arg(args, unsigned long long));
  if (s.length == "j") return FormatOne(f, va_arg(args, uintmax_t));
  if (s.length == "z") return FormatOne(f, va_arg(args, size_t));
  if (s.length == "t") return FormatOne(f, va_arg(args, size_t));
  return FormatOne(f, va_arg(args, unsigned));
}

}  // namespace

void AppendLogEscaped(std::string_view text, std::string* out) {
  out->reserve(out->size() + text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\r') {
      *out += "\\r";
    } else if (c == '\n') {
      *out += "\\n";
    } else if (c == '\t') {
      *out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      AppendHexEscape("\\x", c, 2, out);
    } else if (c == 0xC2 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80) {
      // U+0080..U+009F
      AppendHexEscape("\\u", static_cast<unsigned char>(text[i + 1]), 4, out);
      ++i;
    } else if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(text[i + 2]) == 0xA8 || static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
      AppendHexEscape("\\u", 0x2000u + static_cast<unsigned char>(text[i + 2]) - 0x80u, 4, out);
      i += 2;
    } else {
      *out += static_cast<char>(c);
    }
  }
}

std::string LogFormatV(const char* format, va_list argsIn) {
  if (!format) return std::string();
  va_list args;
  va_copy(args, argsIn);
  std::string out;
  const char* p = format;
  while (*p) {
    if (*p != '%') {
      const char* next = std::strchr(p, '%');
      size_t n = next ? static_cast<size_t>(next - p) : std::strlen(p);
      out.append(p, n);
      p += n;
      continue;
    }
    const char* start = p++;
    if (*p == '%') {
      out += '%';
      ++p;
      continue;
    }
    Conversion s;
    while (*p && std::strchr("-+ #0'", *p)) s.flags += *p++;
    if (*p == '*') {
      s.width = va_arg(args, int);
      if (s.width < 0) {
        s.flags += '-';
        s.width = -s.width;
      }
      ++p;
    } else {
      for (s.width = *p >= '0' && *p <= '9' ? 0 : -1; *p >= '0' && *p <= '9'; ++p)
        s.width = s.width > 100000 ? s.width : s.width * 10 + (*p - '0');
    }
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        s.precision = va_arg(args, int);
        if (s.precision < 0) s.precision = -1;
        ++p;
      } else {
        for (s.precision = 0; *p >= '0' && *p <= '9'; ++p)
          s.precision = s.precision > 100000 ? s.precision : s.precision * 10 + (*p - '0');
      }
    }
    for (const char* len : {"hh", "ll", "h", "l", "L", "j", "z", "t", "q"}) {
      size_t n = std::strlen(len);
      if (std::strncmp(p, len, n) == 0) {
        s.length = len;
        p += n;
        break;
      }
    }
    s.conversion = *p;
    if (!*p) {
      out += start;  // cut off: written as it stands
      break;
    }
    ++p;
    switch (s.conversion) {
      case 'd':
      case 'i':
        out += FormatSigned(s, args);
        break;
      case 'o':
      case 'u':
      case 'x':
      case 'X':
        out += FormatUnsigned(s, args);
        break;
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        out += s.length == "L" ? FormatOne(ConversionFormat(s), va_arg(args, long double))
                               : FormatOne(ConversionFormat(s), va_arg(args, double));
        break;
      case 'c': {
        if (s.length == "l") {
          wchar_t wide[2] = {static_cast<wchar_t>(va_arg(args, wint_t)), 0};
          out += FormatText(s, FormatOne("%ls", static_cast<const wchar_t*>(wide)));
        } else {
          char c = static_cast<char>(va_arg(args, int));
          out += FormatText(s, std::string_view(&c, 1));
        }
        break;
      }
      case 's': {
        if (s.length == "l") {
          const wchar_t* w = va_arg(args, const wchar_t*);
          out += FormatText(s, w ? FormatOne("%ls", w) : std::string("(null)"));
        } else {
          // With a precision the text need not end in a NUL within it.
          const char* text = va_arg(args, const char*);
          size_t n = !text ? 0 : s.precision >= 0 ? strnlen(text, static_cast<size_t>(s.precision)) : std::strlen(text);
          out += FormatText(s, text ? std::string_view(text, n) : std::string_view("(null)"));
        }
        break;
      }
      case 'p':
        out += FormatOne(ConversionFormat(s), va_arg(args, void*));
        break;
      case 'n':
        (void)va_arg(args, void*);
        break;
      default:
        out.append(start, static_cast<size_t>(p - start));  // unknown: written as it stands
    }
  }
  va_end(args);
  return out;
}
