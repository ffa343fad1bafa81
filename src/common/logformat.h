// Formatting of log texts: printf conversions whose values cannot forge log lines.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

// Appends text with its control characters written visibly, so that a value from
// outside (a reply, a file name) can never start a line of its own or fake a field:
// CR, LF and tab as "\r", "\n", "\t", the other C0 characters and DEL as "\xHH", the
// C1 characters and the line and paragraph separators (U+2028, U+2029) as "\uHHHH".
// Everything else, bytes that are not UTF-8 included, is kept as it stands.
void AppendLogEscaped(std::string_view text, std::string* out);

// Formats like vsnprintf, but every %s and %c value passes through AppendLogEscaped
// (a null %s is written "(null)"); the format's own text is kept as written. Supports
// the conversions of C99 printf with flags, width, precision (also "*") and length
// modifiers; %n writes nothing. An incomplete conversion at the end is written as it
// stands.
std::string LogFormatV(const char* format, va_list args);
