#include "platform/inifile.h"

#include "platform/posixfile.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

void AppendUtf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// UTF-16LE bytes (without their byte-order mark) as UTF-8; unpaired surrogates and
// an odd last byte become U+FFFD.
std::string Utf16LeToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  auto unit = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) |
           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8);
  };
  size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) {
    uint32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 3 < bytes.size()) {
      uint32_t lo = unit(i + 2);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        AppendUtf8(&out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        i += 2;
        continue;
      }
    }
    AppendUtf8(&out, (u >= 0xD800 && u <= 0xDFFF) ? 0xFFFD : u);
  }
  if (i < bytes.size()) AppendUtf8(&out, 0xFFFD);
  return out;
}

}  // namespace

bool CIniFile::Load(const std::string& path) {
  m_entries.clear();
  std::string bytes;
  if (!ReadWholeFile(path, kMaxFileBytes, &bytes, m_env)) return false;
  Parse(bytes);
  return true;
}

void CIniFile::Parse(std::string_view bytes) {
  m_entries.clear();
  std::string converted;
  if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE) {
    converted = Utf16LeToUtf8(bytes.substr(2));
    bytes = converted;
  } else if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    bytes.remove_prefix(3);
  }

  bool inSection = false;
  std::string section;
  while (!bytes.empty()) {
    size_t eol = bytes.find('\n');
    std::string_view line = bytes.substr(0, eol);
    bytes.remove_prefix(eol == std::string_view::npos ? bytes.size() : eol + 1);

    line = Trim(line);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      size_t close = line.find(']');
      if (close == std::string_view::npos) continue;
      section = std::string(Trim(line.substr(1, close - 1)));
      inSection = true;
      continue;
    }
    if (!inSection) continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = Trim(line.substr(0, eq));
    std::string_view value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    m_entries.push_back(Entry{section, std::string(key), std::string(value)});
  }
}

std::optional<std::string> CIniFile::Find(std::string_view section, std::string_view key) const {
  for (const Entry& e : m_entries)
    if (EqualNoCase(e.section, section) && EqualNoCase(e.key, key)) return e.value;
  return std::nullopt;
}

std::string CIniFile::GetString(std::string_view section, std::string_view key,
                                std::string_view defaultValue) const {
  std::optional<std::string> v = Find(section, key);
  return v ? *v : std::string(defaultValue);
}

int32_t CIniFile::GetInt(std::string_view section, std::string_view key, int32_t defaultValue) const {
  std::optional<std::string> v = Find(section, key);
  if (!v || v->empty()) return defaultValue;
  return ParseProfileInt(*v);
}

int32_t ParseProfileInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  uint32_t value = 0;
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    for (i += 2; i < text.size(); ++i) {
      char c = LowerAscii(text[i]);
      uint32_t d;
      if (c >= '0' && c <= '9')
        d = static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f')
        d = static_cast<uint32_t>(c - 'a' + 10);
      else
        break;
      value = value * 16 + d;
    }
  } else {
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
      value = value * 10 + static_cast<uint32_t>(text[i] - '0');
  }
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);
}
