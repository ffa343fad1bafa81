// New GUIDs: registry form, version-4 bits, and no repeats.
#include "platform/guid.h"

#include <gtest/gtest.h>

#include <regex>
#include <unordered_set>

namespace {

TEST(GuidTest, RegistryFormWithVersion4Bits) {
  const std::regex form("^\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\}$");
  for (int i = 0; i < 1000; ++i) {
    std::string g = NewGuidString();
    ASSERT_EQ(g.size(), 38u) << g;
    ASSERT_TRUE(std::regex_match(g, form)) << g;
  }
}

TEST(GuidTest, TenThousandAreUnique) {
  std::unordered_set<std::string> seen;
  for (int i = 0; i < 10000; ++i) ASSERT_TRUE(seen.insert(NewGuidString()).second) << "repeat after " << i;
}

}  // namespace
