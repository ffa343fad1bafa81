// Percent-encoding and decoding, the key=value and header text builders, the parser
// of key=value replies, as tables of the awkward cases.
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
      {"~_-", "~_-"},
      {"AZaz09!*'(),:?@$", "AZaz09!*'(),:?@$"},
      {"\x7f", "%7f"},
      {"\xc3\xa9", "%c3%a9"},  // one two-byte character, lower-case digits
      {"\xff\x80", "%ff%80"},
      {"a\r\nX-Injected: 1", "a%0d%0aX-Injected:%201"},  // no header injection
      {"\t"s + '\0' + "\x1f", "%09%00%1f"},
      {"page#anchor", "page%23anchor"},
      {"100%", "100%25"},
      {"a=1&b=2", "a%3d1%26b%3d2"},
      {"{}|[]\"<>\\^;`+/", "%7b%7d%7c%5b%5d%22%3c%3e%5c%5e%3b%60%2b%2f"},
  };
  for (const auto& r : rows) EXPECT_EQ(r.out, Encode(r.in)) << r.in;

  LogCapture cap;
  EXPECT_EQ("", Encode(""));
  EXPECT_TRUE(cap.Contains("*ASSERT*: psrc != 0 && *psrc != 0")) << cap.All();
}

TEST_F(HttpCallHelperTest, PercentDecode) {
  struct Row {
    std::string in, out;
  } rows[] = {
      {"%41%4a", "AJ"},
      {"%41%4A%6a", "AJj"},
      {"%zz", "?"},       // no digit: "?" and both characters consumed
      {"%zzA", "?A"},
      {"%", "?"},         // at the very end
      {"a%", "a?"},
      {"%4", "\x04"},     // one digit at the end
      {"%4z", "\x04"},    // one digit, the second character still consumed
      {"%4zA", "\x04" "A"},
      {"%z4", "?"},
      {"%%41", "?1"},
      {"% 1", "?"},       // no blank skipping
      {"%-1", "?"},       // no sign
      {"%0x41", "\0"s + "41"},  // no "0x" prefix
      {"%00", "\0"s},
      {"%c3%a9", "\xc3\xa9"},
      {"a+b%2B", "a+b+"},
      {"plain", "plain"},
  };
  for (const auto& r : rows) EXPECT_EQ(r.out, Decode(r.in)) << r.in;

  LogCapture cap;
  EXPECT_EQ("", Decode(""));
  EXPECT_TRUE(cap.Contains("*ASSERT*: psrc != 0 && *psrc != 0")) << cap.All();
}

TEST_F(HttpCallHelperTest, EncodeThenDecodeGivesTheBytesBack) {
  for (uint32_t seed = 0; seed < 50; ++seed) {
    const std::string data = RandomBytes(1 + seed * 7, seed);
    const std::string encoded = Encode(data);
    for (char c : encoded) {
      ASSERT_FALSE(NeedsPercentEncoding(static_cast<unsigned char>(c)) && c != '%') << encoded;
    }
    ASSERT_EQ(data, Decode(encoded));
  }
}

TEST_F(HttpCallHelperTest, KeyValueBuilders) {
  std::string text;
  AppendKeyValue(&text, "k", "", true);
  EXPECT_EQ("k=", text);
  AppendKeyValue(&text, "m", "2", true);
  EXPECT_EQ("k=&m=2", text);
  AppendKeyValue(&text, "q", "a b#c", true);
  EXPECT_EQ("k=&m=2&q=a%20b%23c", text);
  AppendKeyValue(&text, "r", "a b", false);
  EXPECT_EQ("k=&m=2&q=a%20b%23c&r=a b", text);

  text.clear();
  AppendKeyValueW(&text, u"n\u00e4me", u"gr\u00fc\u00dfe", true);
  EXPECT_EQ("n\xc3\xa4me=gr%c3%bc%c3%9fe", text);

  text.clear();
  AppendHeaderField(&text, "v", "3", true);
  AppendHeaderField(&text, "X-Name", "a/b", true);
  EXPECT_EQ("v:3&X-Name:a%2fb", text);

  LogCapture cap;
  text.clear();
  AppendKeyValue(&text, "", "v", false);
  EXPECT_EQ("=v", text);
  EXPECT_TRUE(cap.Contains("*ASSERT*: pcszKey != 0 && *pcszKey != 0"));
  text.clear();
  AppendKeyValueW(&text, u"", u"v", false);
  EXPECT_TRUE(cap.Contains("*ASSERT*: szKey != 0 && *szKey != 0"));
}

TEST_F(HttpCallHelperTest, HeaderTexts) {
  struct Row {
    std::string before;
    int version;
    std::string after;
  } rows[] = {
      {"", 3, "v:3&User-Agent:ostrel"},
      {"", 2, "v:2&User-Agent:ostrel"},
      {"Range:0", 1, "Range:0&v:1&User-Agent:ostrel"},
  };
  for (const auto& r : rows) {
    std::string text = r.before;
    SetCommonHeaders(&text, r.version);
    EXPECT_EQ(r.after, text);
  }

  std::string text;
  AppendKeyValuePairs(&text, "v:1&ITYPE:kv&OTYPE:xml");
  EXPECT_EQ("v:1&ITYPE:kv&OTYPE:xml", text);
  AppendKeyValuePairs(&text, "a=1");
  EXPECT_EQ("v:1&ITYPE:kv&OTYPE:xml&a=1", text);

  LogCapture cap;
  AppendKeyValuePairs(&text, "");
  EXPECT_EQ("v:1&ITYPE:kv&OTYPE:xml&a=1", text);  // no empty item
  EXPECT_TRUE(cap.Contains("*ASSERT*: pcszKeyValuePairs != 0 && *pcszKeyValuePairs != 0"));
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
      {"a=1&a=2", false, {{"a", "2"}}},
      {"=v&a=", false, {{"", "v"}, {"a", ""}}},
      {"a=1&", false, {{"a", "1"}}},
      {"A=1&a=2", false, {{"A", "1"}, {"a", "2"}}},
      {"a=%41+%42&b=%zz", true, {{"a", "A+B"}, {"b", "?"}}},
      {"a=%41+%42", false, {{"a", "%41+%42"}}},
      {"k%41=1", true, {{"k%41", "1"}}},  // keys are not decoded
      {"a=x%00y&b=2", true, {{"a", "x"}, {"b", "2"}}},
      {"a=%ff%c3", true, {{"a", "\xef\xbf\xbd\xef\xbf\xbd"}}},
      {"a=%c3%a9", true, {{"a", "\xc3\xa9"}}},
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
