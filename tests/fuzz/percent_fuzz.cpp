// Percent-decoding and key=value parsing of arbitrary text, and the encode-decode
// round trip of arbitrary bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/httpcallhelper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (text.empty()) return 0;
  std::string decoded;
  PercentDecode(text, &decoded);
  if (decoded.size() > text.size()) std::abort();

  std::string encoded, back;
  PercentEncode(text, &encoded);
  PercentDecode(encoded, &back);
  if (back != text) std::abort();

  CKeyValueMap map;
  map.Parse(text, true);
  map.Parse(text, false);
  return 0;
}
