#include "core/remotestorage/transport/formfields.h"

#include "common/strhelper.h"

std::vector<std::pair<std::string, std::string>> SplitKeyValues(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> pairs;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eq = text.find('=', pos);
    if (eq == std::string_view::npos) break;  // a last name without a value
    size_t amp = text.find('&', eq + 1);
    std::string_view name = text.substr(pos, eq - pos);
    std::string_view value = text.substr(eq + 1, amp == std::string_view::npos ? std::string_view::npos : amp - eq - 1);
    if (amp == std::string_view::npos) {
      if (!value.empty()) pairs.emplace_back(name, value);
      break;
    }
    pairs.emplace_back(name, value);
    pos = amp + 1;
  }
  return pairs;
}

std::string DecodeFormValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '%') {
      out += value[i];
      continue;
    }
    int hi = i + 1 < value.size() ? HexDigitValue(value[i + 1]) : -1;
    int lo = i + 2 < value.size() ? HexDigitValue(value[i + 2]) : -1;
    out += (hi >= 0 && lo >= 0) ? static_cast<char>(hi * 16 + lo) : '?';
    i += 2;  // the two characters are taken either way
  }
  return out;
}
