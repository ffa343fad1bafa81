// Names and relative paths that become local paths stay inside their folder.
#include "common/pathcheck.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(PathCheckTest, Components) {
  using namespace std::string_literals;
  struct Case { std::string name; bool safe; };
  const Case cases[] = {
      {"a", true},      {"file.txt", true}, {"..a", true},    {"a..", true},  {"...", true},
      {" ", true},      {"a\\b", true},     {"名字", true},   {"", false},    {".", false},
      {"..", false},    {"a/b", false},     {"/", false},     {"a/", false},  {"a\0b"s, false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsSafePathComponent(c.name), c.safe) << c.name;
}

TEST(PathCheckTest, RelativePaths) {
  using namespace std::string_literals;
  struct Case { std::string path; bool safe; };
  const Case cases[] = {
      {"", true},           {"a", true},         {"a/b/c", true},    {"a/..b", true},
      {"/a", false},        {"a/", false},       {"a//b", false},    {"../a", false},
      {"a/../../b", false}, {"a/./b", false},    {".", false},       {"/", false},
      {"a/\0/b"s, false},   {"a/b/..", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsSafeRelativePath(c.path), c.safe) << c.path;
}

}  // namespace
