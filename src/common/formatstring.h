// printf-style formatting into an out string, as message texts are built: the result
// is cut to 1,023 characters (UTF-16 units), never inside a character.
#pragma once

#include <cstddef>
#include <string>

inline constexpr size_t kFormatStringChars = 1023;

// Formats into *out (formats are literals). A null out or format leaves nothing.
void FormatString(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
