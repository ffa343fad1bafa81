// Percent-encoding and decoding, the key=value and header text builders, the parser
// of key=value replies, as tables of the awkward cases (the round trip is the percent
// fuzz target's).
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

std::string Decode(std::string_view s) {
  std::string out = "stale";
  PercentDecode(s, &out);
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
  struct Row {
    std::string in, out;
  } rows[] = {
      {"a b&c.d", "a%20b%26c%2ed"},
      {"~_-AZaz09!*'(),:?@$", "~_-AZaz09!*'(),:?@$"},
      {"\xc3\xa9\x7f\xff", "%c3%a9%7f%ff"},  // lower-case digits
      {"a\r\nX-Injected: 1", "a%0d%0aX-Injected:%201"},  // no header injection
      {"\t"s + '\0' + "\x1f", "%09%00%1f"},
      {"page#anchor 100%", "page%23anchor%20100%25"},
      {"{}|[]\"<>\\^;`+/=", "%7b%7d%7c%5b%5d%22%3c%3e%5c%5e%3b%60%2b%2f%3d"},
  };
  for (const auto& r : rows) EXPECT_EQ(r.out, Encode(r.in)) << r.in;

  LogCapture cap;
  EXPECT_EQ("", Encode(""));
  EXPECT_TRUE(cap.Contains("*ASSERT*: psrc != 0 && *psrc != 0")) << cap.All();
}

// Up to two hex digits of either case; without one a "?"; two characters consumed
// either way, never past the end.
TEST_F(HttpCallHelperTest, PercentDecode) {
  struct Row {
    std::string in, out;
  } rows[] = {
      {"%41%4A%6a", "AJj"},  {"%zzA", "?A"},  {"%", "?"},     {"a%", "a?"},       {"%4", "\x04"},
      {"%4zA", "\x04" "A"}, {"%z4", "?"},     {"%%41", "?1"}, {"% 1", "?"},       {"%-1", "?"},
      {"%00", "\0"s},       {"%0x41", "\0"s + "41"},         {"%c3%a9", "\xc3\xa9"}, {"a+b%2B", "a+b+"},
  };
  for (const auto& r : rows) EXPECT_EQ(r.out, Decode(r.in)) << r.in;

  LogCapture cap;
  EXPECT_EQ("", Decode(""));
  EXPECT_TRUE(cap.Contains("*ASSERT*: psrc != 0 && *psrc != 0")) << cap.All();
}

TEST_F(HttpCallHelperTest, KeyValueAndHeaderBuilders) {
  std::string text;
  AppendKeyValue(&text, "k", "", true);
  AppendKeyValue(&text, "q", "a b#c", true);
  AppendKeyValue(&text, "r", "a b", false);
  EXPECT_EQ("k=&q=a%20b%23c&r=a b", text);
  text.clear();
  AppendKeyValueW(&text, u"n\u00e4me", u"gr\u00fc\u00dfe", true);
  EXPECT_EQ("n\xc3\xa4me=gr%c3%bc%c3%9fe", text);
  text = "Range:0";
  SetCommonHeaders(&text, 1);
  AppendHeaderField(&text, "X-Name", "a/b", true);
  AppendKeyValuePairs(&text, "ITYPE:kv&a=1");
  EXPECT_EQ("Range:0&v:1&User-Agent:ostrel&X-Name:a%2fb&ITYPE:kv&a=1", text);

  LogCapture cap;
  text.clear();
  AppendKeyValue(&text, "", "v", false);
  EXPECT_EQ("=v", text);
  AppendKeyValuePairs(&text, "");
  EXPECT_EQ("=v", text);  // no empty item
  AppendKeyValueW(&text, u"", u"v", false);
  for (const char* assertion : {"pcszKey != 0 && *pcszKey != 0", "szKey != 0 && *szKey != 0",
                                "pcszKeyValuePairs != 0 && *pcszKeyValuePairs != 0"})
    EXPECT_TRUE(cap.Contains(std::string("*ASSERT*: ") + assertion)) << assertion;
}

TEST_F(HttpCallHelperTest, KeyValueMapParse) {
  using Items = std::map<std::string, std::string>;
  struct Row {
    std::string text;
    bool decode;
    Items items;
  } rows[] = {
      {"a=1&b=x=y&c", false, {{"a", "1"}, {"b", "x=y"}}},
      {"c&a=1", false, {}},
      {"a=1&&b=2", false, {{"a", "1"}}},  // the empty segment ends the parsing
      {"a=1&a=2&", false, {{"a", "2"}}},
      {"=v&a=&A=1", false, {{"", "v"}, {"a", ""}, {"A", "1"}}},
      {"a=%41+%42&b=%zz", true, {{"a", "A+B"}, {"b", "?"}}},
      {"a=%41+%42", false, {{"a", "%41+%42"}}},
      {"k%41=1", true, {{"k%41", "1"}}},  // keys are not decoded
      {"a=x%00y&b=2", true, {{"a", "x"}, {"b", "2"}}},
      {"a=%ff%c3&b=%c3%a9", true, {{"a", "\xef\xbf\xbd\xef\xbf\xbd"}, {"b", "\xc3\xa9"}}},
  };
  CKeyValueMap map;
  for (const auto& r : rows) {
    map.Parse(r.text, r.decode);
    EXPECT_EQ(r.items, map.Items()) << r.text;
  }

  map.Parse("user=ann&quota=10", false);
  EXPECT_EQ("ann", map.GetValue("user", "none"));
  EXPECT_EQ("none", map.GetValue("missing", "none"));

  LogCapture cap;
  map.Parse("", false);
  EXPECT_TRUE(map.Items().empty());
  EXPECT_TRUE(cap.Contains("*ASSERT*: szKeyValuePairs != 0 && *szKeyValuePairs != 0"));
  EXPECT_EQ("d", map.GetValue("", "d"));
  EXPECT_TRUE(cap.Contains("*ASSERT*: szKey != 0 && *szKey != 0"));
}

}  // namespace
