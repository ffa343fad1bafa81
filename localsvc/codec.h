// Byte encodings the service needs for its test interface: base64 (OpenSSL) for
// binary bodies inside JSON, and gzip framing (zlib) for the compressed-reply faults.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace localsvc {

std::string Base64Encode(std::string_view bytes);
// nullopt when the text is not base64.
std::optional<std::string> Base64Decode(std::string_view text);

// The bytes as one gzip member (deflate, gzip header and trailer).
std::string GzipCompress(std::string_view bytes);

}  // namespace localsvc
