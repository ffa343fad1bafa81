#include "platform/registrydata.h"

#include <cstdio>

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

void AppendQuoted(std::string* out, std::string_view s) {
  static const char kHex[] = "0123456789abcdef";
  out->push_back('"');
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '\\': out->append("\\\\"); break;
      case '"': out->append("\\\""); break;
      case '\n': out->append("\\n"); break;
      case '\r': out->append("\\r"); break;
      case '\t': out->append("\\t"); break;
      default:
        if (u < 0x20 || u == 0x7F) {
          out->append("\\x");
          out->push_back(kHex[u >> 4]);
          out->push_back(kHex[u & 15]);
        } else {
          out->push_back(c);
        }
    }
  }
  out->push_back('"');
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = LowerAscii(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads a quoted string at the start of *line and removes it from *line.
bool TakeQuoted(std::string_view* line, std::string* out) {
  std::string_view s = *line;
  if (s.empty() || s.front() != '"') return false;
  out->clear();
  size_t i = 1;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') {
      *line = s.substr(i + 1);
      return true;
    }
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (++i >= s.size()) return false;
    switch (s[i]) {
      case '\\': out->push_back('\\'); break;
      case '"': out->push_back('"'); break;
      case 'n': out->push_back('\n'); break;
      case 'r': out->push_back('\r'); break;
      case 't': out->push_back('\t'); break;
      case 'x': {
        if (i + 2 >= s.size()) return false;
        int hi = HexValue(s[i + 1]), lo = HexValue(s[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        break;
      }
      default: return false;
    }
  }
  return false;  // no closing quote
}

bool ParseDword(std::string_view s, uint32_t* out) {
  constexpr std::string_view kPrefix = "dword:";
  if (s.size() != kPrefix.size() + 8 || s.substr(0, kPrefix.size()) != kPrefix) return false;
  uint32_t v = 0;
  for (char c : s.substr(kPrefix.size())) {
    int d = HexValue(c);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  *out = v;
  return true;
}

}  // namespace

bool CRegistryData::NoCaseLess::operator()(std::string_view a, std::string_view b) const {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(LowerAscii(a[i]));
    unsigned char y = static_cast<unsigned char>(LowerAscii(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

bool CRegistryData::HasKey(std::string_view key) const { return m_keys.find(key) != m_keys.end(); }

const RegValue* CRegistryData::Find(std::string_view key, std::string_view name) const {
  auto k = m_keys.find(key);
  if (k == m_keys.end()) return nullptr;
  auto v = k->second.values.find(name);
  return v == k->second.values.end() ? nullptr : &v->second.value;
}

CRegistryData::Key& CRegistryData::KeyFor(std::string_view key) {
  auto k = m_keys.find(key);
  if (k == m_keys.end()) k = m_keys.emplace(std::string(key), Key{std::string(key), {}}).first;
  return k->second;
}

void CRegistryData::CreateKey(std::string_view key) { KeyFor(key); }

void CRegistryData::Set(std::string_view key, std::string_view name, RegValue value) {
  Key& k = KeyFor(key);
  auto v = k.values.find(name);
  if (v == k.values.end())
    k.values.emplace(std::string(name), Named{std::string(name), std::move(value)});
  else
    v->second.value = std::move(value);
}

size_t CRegistryData::ValueCount() const {
  size_t n = 0;
  for (const auto& k : m_keys) n += k.second.values.size();
  return n;
}

std::string CRegistryData::Serialize() const {
  std::string out = "; Ostrel registry store, UTF-8. Written by the program.\n";
  for (const auto& [unused, key] : m_keys) {
    out.push_back('[');
    AppendQuoted(&out, key.name);
    out.append("]\n");
    for (const auto& [unused2, v] : key.values) {
      AppendQuoted(&out, v.name);
      out.push_back('=');
      if (v.value.type == RegValue::Type::kDword) {
        char num[16];
        std::snprintf(num, sizeof(num), "%08x", v.value.number);
        out.append("dword:").append(num);
      } else {
        AppendQuoted(&out, v.value.text);
      }
      out.push_back('\n');
    }
  }
  return out;
}

size_t CRegistryData::Parse(std::string_view text) {
  m_keys.clear();
  size_t bad = 0;
  Key* current = nullptr;
  while (!text.empty()) {
    size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == ';') continue;

    std::string name;
    if (line.front() == '[') {
      line.remove_prefix(1);
      if (!TakeQuoted(&line, &name) || line != "]") {
        ++bad;
        current = nullptr;  // values of an unreadable key are not filed under another
        continue;
      }
      current = &KeyFor(name);
      continue;
    }
    if (!current || !TakeQuoted(&line, &name) || line.empty() || line.front() != '=') {
      ++bad;
      continue;
    }
    line.remove_prefix(1);
    RegValue value;
    std::string str;
    uint32_t number = 0;
    std::string_view rest = line;
    if (TakeQuoted(&rest, &str) && rest.empty()) {
      value = RegValue::String(std::move(str));
    } else if (ParseDword(line, &number)) {
      value = RegValue::Dword(number);
    } else {
      ++bad;
      continue;
    }
    auto v = current->values.find(name);
    if (v == current->values.end())
      current->values.emplace(name, Named{name, std::move(value)});
    // A repeated name keeps its first value, as the file was written once per name.
  }
  return bad;
}
