#include "core/localstorage/sharers.h"

#include <algorithm>
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

constexpr char kEscapedMark = '|';

bool HasSeparator(std::string_view text) { return text.find_first_of(",|") != std::string_view::npos; }

void AppendEscaped(std::string_view text, bool escape, std::string* out) {
  if (!escape) {
    out->append(text);
    return;
  }
  for (char c : text) {
    switch (c) {
      case '%': *out += "%25"; break;
      case ',': *out += "%2C"; break;
      case '|': *out += "%7C"; break;
      default: *out += c;
    }
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    int hi = 0, lo = 0;
    if (text[i] == '%' && i + 2 < text.size() && (hi = HexValue(text[i + 1])) >= 0 &&
        (lo = HexValue(text[i + 2])) >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The escaped form, after its mark: entries of exactly four fields.
void ParseEscaped(std::string_view text, std::vector<ShareEntry>* entries) {
  for (size_t start = 0; start <= text.size();) {
    size_t bar = std::min(text.find('|', start), text.size());
    std::string_view piece = text.substr(start, bar - start);
    start = bar + 1;
    if (CountCommas(piece) != 3) continue;
    std::string_view fields[4];
    for (std::string_view& f : fields) {
      size_t comma = std::min(piece.find(','), piece.size());
      f = piece.substr(0, comma);
      piece.remove_prefix(std::min(comma + 1, piece.size()));
    }
    ShareEntry e;
    e.userId = Unescape(fields[0]);
    e.rights = ReadRights(fields[1]);
    e.email = Unescape(fields[2]);
    e.nickName = Unescape(fields[3]);
    entries->push_back(std::move(e));
  }
}

}  // namespace

std::string SerializeSharers(const std::vector<ShareEntry>& entries) {
  bool escape = false;
  for (const ShareEntry& e : entries)
    escape = escape || HasSeparator(e.userId) || HasSeparator(e.email) || HasSeparator(e.nickName);
  std::string text;
  if (escape) text += kEscapedMark;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i) text += '|';
    const ShareEntry& e = entries[i];
    AppendEscaped(e.userId, escape, &text);
    text += ',';
    text += std::to_string(e.rights);
    text += ',';
    AppendEscaped(e.email, escape, &text);
    text += ',';
    AppendEscaped(e.nickName, escape, &text);
  }
  return text;
}

void ParseSharers(std::string_view text, std::vector<ShareEntry>* entries) {
  if (text.empty()) return;
  if (text.front() == kEscapedMark) {
    ParseEscaped(text.substr(1), entries);
    return;
  }
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
