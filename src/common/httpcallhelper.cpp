#include "common/httpcallhelper.h"

#include <algorithm>

#include "common/checks.h"
#include "common/strhelper.h"
#include "common/utf8.h"

// Logs the assertion line "*ASSERT*: <text>" when cond is false, and goes on. Used where
// the system's assertion text names a C string argument that is a string view here.
#define ASSERT_TEXT(cond, text)                                    \
  do {                                                             \
    if (!(cond)) OSTREL_LOG(kLogError, "%s", "*ASSERT*: " text);   \
  } while (0)

namespace {

const char kHexDigits[] = "0123456789abcdef";

void AppendSeparated(std::string* text, std::string_view key, char separator, std::string_view value,
                     bool encode) {
  if (!text->empty()) text->push_back('&');
  text->append(key);
  text->push_back(separator);
  if (value.empty()) return;
  if (encode) {
    std::string encoded;
    PercentEncode(value, &encoded);
    text->append(encoded);
  } else {
    text->append(value);
  }
}

}  // namespace

bool NeedsPercentEncoding(unsigned char c) {
  if (c < 0x20 || c >= 0x7F) return true;
  switch (c) {
    case '&': case ' ': case '=': case '%': case '.': case '/': case '+': case '`':
    case '{': case '}': case '|': case '[': case ']': case '"': case '<': case '>':
    case '\\': case '^': case ';': case '#':
      return true;
    default:
      return false;
  }
}

void PercentEncode(std::string_view src, std::string* out) {
  out->clear();
  ASSERT_TEXT(!src.empty(), "psrc != 0 && *psrc != 0");
  out->reserve(src.size());
  for (char ch : src) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (NeedsPercentEncoding(c)) {
      out->push_back('%');
      out->push_back(kHexDigits[c >> 4]);
      out->push_back(kHexDigits[c & 15]);
    } else {
      out->push_back(ch);
    }
  }
}

void PercentDecode(std::string_view src, std::string* out) {
  ASSERT_TEXT(!src.empty(), "psrc != 0 && *psrc != 0");
  ASSERT_TEXT(out != nullptr, "pdst != 0");
  if (out == nullptr) return;
  out->clear();
  out->reserve(src.size());
  size_t i = 0;
  while (i < src.size()) {
    if (src[i] != '%') {
      out->push_back(src[i++]);
      continue;
    }
    ++i;  // the '%'
    // Up to two hex digits (digits only: no sign, blank or "0x" prefix).
    int value = 0;
    int digits = 0;
    while (digits < 2 && i + digits < src.size()) {
      int v = HexDigitValue(src[i + digits]);
      if (v < 0) break;
      value = value * 16 + v;
      ++digits;
    }
    out->push_back(digits > 0 ? static_cast<char>(value) : '?');
    i += std::min<size_t>(2, src.size() - i);  // two characters consumed either way
  }
}

void AppendKeyValuePairs(std::string* text, std::string_view pairs) {
  ASSERT_TEXT(!pairs.empty(), "pcszKeyValuePairs != 0 && *pcszKeyValuePairs != 0");
  // Nothing to add: a lone "&" would make an empty item.
  if (pairs.empty()) return;
  if (!text->empty()) text->push_back('&');
  text->append(pairs);
}

void AppendKeyValue(std::string* text, std::string_view key, std::string_view value, bool encode) {
  ASSERT_TEXT(!key.empty(), "pcszKey != 0 && *pcszKey != 0");
  AppendSeparated(text, key, '=', value, encode);
}

void AppendKeyValueW(std::string* text, std::u16string_view key, std::u16string_view value, bool encode) {
  ASSERT_TEXT(!key.empty(), "szKey != 0 && *szKey != 0");
  AppendSeparated(text, Utf16ToUtf8(key), '=', Utf16ToUtf8(value), encode);
}

void AppendHeaderField(std::string* text, std::string_view field, std::string_view value, bool encode) {
  ASSERT_TEXT(!field.empty(), "pcszKey != 0 && *pcszKey != 0");
  AppendSeparated(text, field, ':', value, encode);
}

void SetCommonHeaders(std::string* text, int version) {
  AppendHeaderField(text, "v", IntToString(version), true);
  AppendHeaderField(text, "User-Agent", "ostrel", true);
}

std::string IntToString(int32_t value) { return std::to_string(value); }

CKeyValueMap::CKeyValueMap() = default;

void CKeyValueMap::Parse(std::string_view text, bool decode) {
  ASSERT_TEXT(!text.empty(), "szKeyValuePairs != 0 && *szKeyValuePairs != 0");
  m_items.clear();
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(m_pairSeparator, pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view segment = text.substr(pos, end - pos);
    size_t eq = segment.find(m_kvSeparator);
    if (eq == std::string_view::npos) break;  // it and every later segment are ignored
    std::string key(segment.substr(0, eq));
    std::string value(segment.substr(eq + 1));
    if (decode && !value.empty()) {
      std::string decoded;
      PercentDecode(value, &decoded);
      // The value is text: it ends at a decoded NUL, and bytes that are not UTF-8
      // become U+FFFD.
      size_t nul = decoded.find('\0');
      if (nul != std::string::npos) decoded.resize(nul);
      value = ToValidUtf8(decoded);
    }
    m_items[key] = std::move(value);
    pos = end + 1;
  }
}

std::string CKeyValueMap::GetValue(const std::string& key, const std::string& defaultValue) const {
  ASSERT_TEXT(!key.empty(), "szKey != 0 && *szKey != 0");
  auto it = m_items.find(key);
  return it == m_items.end() ? defaultValue : it->second;
}
