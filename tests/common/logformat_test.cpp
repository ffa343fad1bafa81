// Log texts: values from outside cannot start a line of their own or fake a field,
// while the conversions format exactly as snprintf does.
#include "common/logformat.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "common/log.h"
#include "common/strformat.h"
#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = LogFormatV(format, args);
  va_end(args);
  return out;
}

TEST(LogFormatTest, ValuesWithoutControlCharactersFormatAsSnprintfDoes) {
  const size_t size = 18446744073709551615u;
#define SAME(...) EXPECT_EQ(Format(__VA_ARGS__), StringFormat(__VA_ARGS__)) << #__VA_ARGS__
  SAME("plain text, no conversion");
  SAME("%d|%5d|%-5d|%05d|%+d|% d", -42, 7, 7, 7, 7, 7);
  SAME("%x %08x %06x %02X %#x %o %u", 0xbeefu, 0x1234u, 0xabu, 0x7u, 255u, 8u, 4000000000u);
  SAME("%lld %llu %ld %zu %06zx %hhd %hu", -9007199254740993LL, 18446744073709551615ull, -5L, size, size_t(0xabc),
       300, 70000);
  SAME("%s|%10s|%-10s|%.3s|%*s|%-*.*s|", "名字 \\Docs\\a b.txt 100%", "ab", "ab", "abcdef", 6, "x", 6, 2, "xyz");
  SAME("%c%c %5c", 'a', 'Z', 'q');
  SAME("%f %.2f %e %g %10.3f", 3.5, 2.345, 1e10, 0.0001, -1.5);
  SAME("100%% of %s", "it");
  SAME("%p", static_cast<void*>(nullptr));
#undef SAME
  const char* volatile none = nullptr;  // unseen by the format check
  EXPECT_EQ(Format("%s", none), "(null)");
  const char unterminated[3] = {'a', 'b', 'c'};
  EXPECT_EQ(Format("%.2s", unterminated), "ab");
}

TEST(LogFormatTest, ControlCharactersInValuesAreWrittenVisibly) {
  struct Case {
    const char* value;
    const char* written;
  };
  const Case cases[] = {
      {"ok\r\n2024/03/05 10:00:00 \tE \tforged", "ok\\r\\n2024/03/05 10:00:00 \\tE \\tforged"},
      {"bell\a nul-free \x1b[31m del\x7f", "bell\\x07 nul-free \\x1B[31m del\\x7F"},
      {"next\xC2\x85line \xE2\x80\xA8sep\xE2\x80\xA9para", "next\\u0085line \\u2028sep\\u2029para"},
      {"\xC2\xA0 \xE2\x80\xA7 \xFF\xFE 名", "\xC2\xA0 \xE2\x80\xA7 \xFF\xFE 名"},  // kept
      {"a\\nb", "a\\nb"},  // a backslash is the value's own
  };
  for (const Case& c : cases) EXPECT_EQ(Format("[%s]", c.value), std::string("[") + c.written + "]") << c.value;
  EXPECT_EQ(Format("%c|%3c", '\n', '\r'), "\\n| \\r");
  // The format's own text is written as it stands.
  EXPECT_EQ(Format("a\n%s\n", "b\nc"), "a\nb\\nc\n");
}

using LogFormatLineTest = OstrelTest;

TEST_F(LogFormatLineTest, AForgedResultWordStaysOnItsOwnLine) {
  LogCapture log;
  OSTREL_LOG(kLogError, "result word: %s", "ok\r\n2024/03/05 10:00:00 \tE \tforged");
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.Lines()[0].find('\n'), log.Lines()[0].size() - 1) << log.All();
}

}  // namespace
