// Decoding a reply into text: header lines and body from arbitrary bytes (split at the
// first blank line). Never reads out of bounds, never runs past the cap, and always
// gives valid UTF-8 without a NUL.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/utf8.h"
#include "core/remotestorage/transport/curlhelper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kCap = size_t(1) << 20;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t split = input.find("\r\n\r\n");
  std::string_view headers = split == std::string_view::npos ? std::string_view() : input.substr(0, split + 2);
  std::string_view body = split == std::string_view::npos ? input : input.substr(split + 4);
  std::string text;
  bool ok = DecodeReplyText(headers, body, kCap, &text);
  if (!ok && !text.empty()) std::abort();
  if (text.find('\0') != std::string::npos || !IsValidUtf8(text) || text.size() > 3 * kCap) std::abort();
  IsGzipReply(input);
  return 0;
}
