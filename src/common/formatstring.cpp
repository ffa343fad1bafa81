#include "common/formatstring.h"

#include <cstdarg>

#include "common/strformat.h"
#include "common/utf8.h"

void FormatString(std::string* out, const char* format, ...) {
  if (!out) return;
  if (!format) {
    out->clear();
    return;
  }
  va_list args;
  va_start(args, format);
  std::string text = StringFormatV(format, args);
  va_end(args);
  *out = Utf8CutChars(text, kFormatStringChars);
}
