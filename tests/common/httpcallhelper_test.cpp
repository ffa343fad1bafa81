// Percent-encoding as a table of the awkward cases; the round trip with decoding is the
// percent fuzz target's, the common request headers are the remote storage's tests.
#include "common/httpcallhelper.h"

#include <string>

#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

using namespace std::string_literals;

class HttpCallHelperTest : public OstrelTest {};

std::string Encode(std::string_view s) {
  std::string out = "stale";
  PercentEncode(s, &out);
  return out;
}

TEST_F(HttpCallHelperTest, EveryByteIsClassified) {
  // Written out independently of the code: controls, DEL and every byte above it, and
  // the 20 characters that mean something in a URL, a query or a header list.
  const std::string special = "& =%./+`{}|[]\"<>\\^;#";
  for (int c = 0; c < 256; ++c) {
    bool expected = c < 0x20 || c >= 0x7F || special.find(static_cast<char>(c)) != std::string::npos;
    EXPECT_EQ(expected, NeedsPercentEncoding(static_cast<unsigned char>(c))) << "byte " << c;
  }
}

TEST_F(HttpCallHelperTest, PercentEncode) {
  struct Row { std::string in, out; } rows[] = {
      {"~_-AZaz09!*'(),:?@$", "~_-AZaz09!*'(),:?@$"},
      {"\xc3\xa9\x7f\xff", "%c3%a9%7f%ff"},  // lower-case digits
      {"a\r\nX-Injected: 1", "a%0d%0aX-Injected:%201"},  // no header injection
      {"\t"s + '\0' + "#100%", "%09%00%23100%25"},
  };
  for (const auto& r : rows) EXPECT_EQ(r.out, Encode(r.in)) << r.in;

  LogCapture cap;
  EXPECT_EQ("", Encode(""));
  EXPECT_TRUE(cap.Contains("*ASSERT*: psrc != 0 && *psrc != 0")) << cap.All();
}

}  // namespace
