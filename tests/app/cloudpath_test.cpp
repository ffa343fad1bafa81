// Cloud paths as users type them, and their engine form.
#include <gtest/gtest.h>

#include "app/cloudpath.h"

namespace {

TEST(CloudPathTest, TypedPathsReadAsUsersMeanThem) {
  struct Row {
    const char* typed;
    const char* display;
    const char* engine;
  } rows[] = {
      {"/", "/", "\\"},
      {"", "/", "\\"},
      {"/Docs/a.txt", "/Docs/a.txt", "\\Docs\\a.txt"},
      {"Docs/a.txt", "/Docs/a.txt", "\\Docs\\a.txt"},      // the root is implied
      {"//Docs///a.txt/", "/Docs/a.txt", "\\Docs\\a.txt"},  // repeated and trailing "/"
      {"/Docs/./a.txt", "/Docs/a.txt", "\\Docs\\a.txt"},
      {"/Docs/x/../a.txt", "/Docs/a.txt", "\\Docs\\a.txt"},
      {"/../../a", "/a", "\\a"},                          // never above the root
      {"/名 字/文件 1.txt", "/名 字/文件 1.txt", "\\名 字\\文件 1.txt"},
      {"/...", "/...", "\\..."},                          // only "." and ".." are special
  };
  for (const auto& row : rows) {
    CloudPath path;
    std::string error;
    ASSERT_TRUE(CloudPath::Parse(row.typed, &path, &error)) << row.typed << ": " << error;
    EXPECT_EQ(row.display, path.Display()) << row.typed;
    EXPECT_EQ(row.engine, path.EngineForm()) << row.typed;
    EXPECT_EQ(row.display, DisplayFromEngineForm(path.EngineForm())) << row.typed;
  }
}

TEST(CloudPathTest, PathsThatNoCloudItemCanHaveAreRefused) {
  struct Row {
    std::string typed;
    const char* reasonPart;
  } rows[] = {
      {"/a\\b", "\\"},
      {std::string("/a\0b", 4), "control"},
      {"/a\nb", "control"},
      {"/a\x7f", "control"},
      {"/\xff\xfe", "UTF-8"},
      {"/" + std::string(1025, 'x'), "longer"},
  };
  for (const auto& row : rows) {
    CloudPath path = CloudPath().Child("kept");
    std::string error;
    EXPECT_FALSE(CloudPath::Parse(row.typed, &path, &error)) << row.typed;
    EXPECT_NE(std::string::npos, error.find(row.reasonPart)) << error;
    EXPECT_EQ("/kept", path.Display()) << "a refused path leaves the out value alone";
  }
}

TEST(CloudPathTest, ParentChildAndNameWalkTheTree) {
  CloudPath path;
  ASSERT_TRUE(CloudPath::Parse("/a/b", &path));
  EXPECT_EQ("b", path.Name());
  EXPECT_EQ("/a", path.Parent().Display());
  EXPECT_TRUE(path.Parent().Parent().IsRoot());
  EXPECT_TRUE(CloudPath().Parent().IsRoot());
  EXPECT_EQ("", CloudPath().Name());
  EXPECT_EQ("/a/b/c", path.Child("c").Display());
}

TEST(CloudPathTest, NamesForNewItemsMustBeOneElement) {
  struct Row {
    std::string name;
    bool valid;
  } rows[] = {
      {"a.txt", true}, {"名字", true},          {".hidden", true}, {"", false},
      {".", false},    {"..", false},           {"a/b", false},    {"a\\b", false},
      {"a\tb", false}, {std::string(1024, 'n'), true}, {std::string(1025, 'n'), false},
  };
  for (const auto& row : rows) EXPECT_EQ(row.valid, IsValidCloudName(row.name)) << row.name;
}

}  // namespace
