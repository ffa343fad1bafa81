// UTF-8 helpers. Text inside the engine is UTF-8; limits that the system counts in
// UTF-16 units are applied here without splitting a character.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The longest prefix of at most maxBytes bytes that does not end inside a character.
std::string Utf8CutBytes(std::string_view s, size_t maxBytes);

// The longest prefix of at most maxUnits UTF-16 units (a character above U+FFFF
// counts two) that does not split a character.
std::string Utf8CutChars(std::string_view s, size_t maxUnits);

// True when s is well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool IsValidUtf8(std::string_view s);

// s as it is when it is valid UTF-8, else with every invalid sequence replaced by
// U+FFFD (as a round trip through UTF-16 would).
std::string ToValidUtf8(std::string_view s);

// Conversions; invalid input is replaced by U+FFFD.
std::u16string Utf8ToUtf16(std::string_view s);
std::string Utf16ToUtf8(std::u16string_view s);
