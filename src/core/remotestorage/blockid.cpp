#include "core/remotestorage/blockid.h"

#include <cstdio>

#include "common/log.h"
#include "common/strhelper.h"

std::string FormatBlockId(uint32_t size, std::string_view sha1) {
  char prefix[16];
  std::snprintf(prefix, sizeof(prefix), "%06x", size);
  std::string id(prefix);
  id.append(sha1);
  return id;
}

int32_t BlockSizeFromBlockId(std::string_view blockId) {
  if (blockId.size() != kBlockIdLength) return -1;
  int32_t size = 0;
  for (size_t i = 0; i < 6; ++i) {
    int digit = HexDigitValue(blockId[i]);
    if (digit < 0) {
      OSTREL_LOG(kLogError, "%s", "*ASSERT*: L'0' <= wch && wch <= L'9' || L'a' <= wch && wch <= L'f'");
      digit = 0;
    }
    size = size * 16 + digit;
  }
  return size;
}

bool IsValidBlockId(std::string_view blockId) {
  if (blockId.size() != kBlockIdLength) return false;
  for (char c : blockId)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return BlockSizeFromBlockId(blockId) <= static_cast<int32_t>(kBlockSize);
}

bool IsHexText(std::string_view text, size_t count) {
  if (text.size() != count) return false;
  for (char c : text)
    if (HexDigitValue(c) < 0) return false;
  return true;
}

bool Sha1TextEquals(std::string_view a, std::string_view b) { return StrCompare(a, b, true) == 0; }

std::string JsonEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof(esc), "\\u%04x", u);
      out += esc;
    } else {
      out += c;
    }
  }
  return out;
}
