// The one Base64 and hex coder of the tests (standard alphabet, "=" padding; lower-case
// hex digits). Tests check the client against these, never against its own coders.
#pragma once

#include <string>
#include <string_view>

std::string Base64Encode(std::string_view bytes);
// Skips characters outside the alphabet; stops at the first "=".
std::string Base64Decode(std::string_view text);
std::string HexEncode(std::string_view bytes);
// Pairs of hex digits, either case; a trailing odd digit is ignored.
std::string HexDecode(std::string_view hex);
