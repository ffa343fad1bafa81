// String and path helpers, table by table; names and relative paths that become local
// paths stay inside their folder.
#include "common/strhelper.h"

#include <gtest/gtest.h>

#include <string>

#include "common/pathcheck.h"

namespace {

TEST(StrHelperTest, SplitStringTable) {
  struct Row { const char* text; std::vector<std::string> pieces; } rows[] = {
      {"a||b", {"a", "", "b"}}, {"a|", {"a"}}, {"", {}}, {"|a", {"", "a"}}, {"||", {"", ""}},
  };
  for (const auto& r : rows) {
    std::vector<std::string> out = {"stale"};
    SplitString(r.text, '|', &out);
    EXPECT_EQ(out, r.pieces) << '"' << r.text << '"';
  }
}

TEST(StrHelperTest, FileExtensionTable) {
  struct Row { const char* path; int pos; const char* ext; } rows[] = {
      {"/home/u/a.tar.gz", 13, ".gz"},
      {"/home/u.d/file", -1, ""},  // a dot only in a folder name
      {"/x/.profile", 3, ".profile"},
      {"file.", 4, "."},
      {"a.b c", -1, ""},  // a space after the dot: no extension
      {"a b.c", 3, ".c"},
      {"", -1, ""},
      {"dir.x/", -1, ""},
      {"cloud\\dir.x\\name", -1, ""},
      {"\xe4\xb8\xad.\xe6\x96\x87", 3, ".\xe6\x96\x87"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(GetFileExtensionPos(r.path), r.pos) << r.path;
    EXPECT_EQ(GetFileExtension(r.path), r.ext) << r.path;
  }
}

TEST(StrHelperTest, PathPiecesTable) {
  struct Row { const char* path; const char* parent; const char* name; } rows[] = {
      {"/a/b/c", "/a/b", "c"}, {"/a/b/", "/a", "b"}, {"/a", "/", "a"}, {"/", "", ""}, {"", "", ""},
      {"a", "", "a"},          {"a/b", "a", "b"},    {"/a/b//", "/a/b", ""},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(GetParentPath(r.path), r.parent) << r.path;
    EXPECT_EQ(GetFileNameFromPath(r.path), r.name) << r.path;
  }
}

TEST(StrHelperTest, SeparatorsTable) {
  struct Row {
    const char* in;
    const char* out;
    const char* joined;  // with "n"
    const char* trimmed;
  } rows[] = {{"/a", "/a/", "/a/n", "/a"}, {"/a/", "/a/", "/a/n", "/a"}, {"/", "/", "/n", "/"},
              {"", "", "n", ""},           {"a", "a/", "a/n", "a"},      {"a//", "a//", "a//n", "a"}};
  for (const auto& r : rows) {
    std::string s = r.in;
    AddBackslash(&s);
    EXPECT_EQ(s, r.out) << r.in;
    EXPECT_EQ(JoinPath(r.in, "n"), r.joined) << r.in;
    EXPECT_EQ(WithoutTrailingSlash(r.in), r.trimmed) << r.in;
  }
}

TEST(StrHelperTest, StrCompareTable) {
  struct Row { const char* a; const char* b; bool ignoreCase; int sign; } rows[] = {
      {"abc", "ABC", false, 1}, {"abc", "ABC", true, 0}, {"abc", "abd", true, -1}, {"ab", "abc", false, -1},
      {"[", "a", true, -1},      // '[' lies between 'Z' and 'a': folding to lower puts it below 'a'
      {"\xc3\xa9", "\xc3\x89", true, 1},  // non-ASCII letters are compared as bytes
      {"\xff", "a", false, 1},   // bytes are unsigned
  };
  for (const auto& r : rows) {
    int c = StrCompare(r.a, r.b, r.ignoreCase);
    EXPECT_EQ((c > 0) - (c < 0), r.sign) << r.a << " vs " << r.b;
  }
}

TEST(StrHelperTest, ServiceVersionsArePlainDecimalsInRange) {
  struct Row { const char* text; bool ok; int64_t value; };
  for (const Row& r : {Row{"0", true, 0}, {"42", true, 42}, {"007", true, 7}, {"9007199254740992", true, 1LL << 53},
                       {"9007199254740993", false, 0}, {"18446744073709551616", false, 0}, {"", false, 0},
                       {"-1", false, 0}, {"+1", false, 0}, {" 1", false, 0}, {"1 ", false, 0}, {"1e3", false, 0},
                       {"0x10", false, 0}, {"99999999999999999999999", false, 0}}) {
    int64_t v = -5;
    EXPECT_EQ(ParseServiceVersion(r.text, &v), r.ok) << r.text;
    EXPECT_EQ(v, r.ok ? r.value : -5) << r.text;
  }
  int64_t v = 0;
  EXPECT_TRUE(ParsePlainDecimal("9223372036854775807", UINT64_MAX, &v));
  EXPECT_EQ(v, INT64_MAX);
  EXPECT_FALSE(ParsePlainDecimal("9223372036854775808", UINT64_MAX, &v)) << "past int64";
}

TEST(PathCheckTest, ComponentsAndRelativePaths) {
  using namespace std::string_literals;
  struct Case { std::string text; bool component, relative; };
  const Case cases[] = {
      {"a", true, true},         {"file.txt", true, true},   {"..a", true, true},        {"a..", true, true},
      {"...", true, true},       {" ", true, true},          {"a\\b", true, true},       {"名字", true, true},
      {"", false, true},         {"a/b/c", false, true},     {"a/..b", false, true},     {".", false, false},
      {"..", false, false},      {"/", false, false},        {"a/", false, false},       {"a\0b"s, false, false},
      {"/a", false, false},      {"a//b", false, false},     {"../a", false, false},     {"a/../../b", false, false},
      {"a/./b", false, false},   {"a/\0/b"s, false, false},  {"a/b/..", false, false},   {"a/b", false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsSafePathComponent(c.text), c.component) << c.text;
    EXPECT_EQ(IsSafeRelativePath(c.text), c.relative) << c.text;
  }
}

}  // namespace
