#include "core/localstorage/sharers.h"

#include <cstdint>
#include <limits>

namespace {

uint32_t ReadRights(std::string_view text) {
  // Leading blanks and a sign, then digits, as a decimal integer reader takes them.
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  uint64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > std::numeric_limits<uint32_t>::max()) value = std::numeric_limits<uint32_t>::max();
  }
  uint32_t v = static_cast<uint32_t>(value);
  return negative ? static_cast<uint32_t>(0u - v) : v;
}

size_t CountCommas(std::string_view piece) {
  size_t n = 0;
  for (char c : piece) n += c == ',';
  return n;
}

}  // namespace

std::string SerializeSharers(const std::vector<ShareEntry>& entries) {
  std::string text;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i) text += '|';
    const ShareEntry& e = entries[i];
    text += e.userId;
    text += ',';
    text += std::to_string(e.rights);
    text += ',';
    text += e.email;
    text += ',';
    text += e.nickName;
  }
  return text;
}

void ParseSharers(std::string_view text, std::vector<ShareEntry>* entries) {
  if (text.empty()) return;
  const size_t firstNew = entries->size();
  // Every piece between bars, the empty ones and a trailing empty one included: the
  // writer never makes an empty piece, so one comes from a "|" in a nickName.
  for (size_t start = 0;;) {
    size_t bar = text.find('|', start);
    std::string_view piece = text.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start);
    if (CountCommas(piece) < 3) {
      if (entries->size() > firstNew) {
        ShareEntry& last = entries->back();
        last.nickName += '|';
        last.nickName += piece;
      }
    } else {
      ShareEntry e;
      std::string_view fields[3];
      for (std::string_view& f : fields) {
        size_t comma = piece.find(',');
        f = piece.substr(0, comma);
        piece.remove_prefix(comma + 1);
      }
      e.userId = fields[0];
      e.rights = ReadRights(fields[1]);
      e.email = fields[2];
      e.nickName = piece;
      entries->push_back(std::move(e));
    }
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
}
