// New GUIDs: registry form, version-4 bits, and no repeats.
#include "platform/guid.h"

#include <gtest/gtest.h>

#include <regex>
#include <unordered_set>

namespace {

TEST(GuidTest, RegistryFormWithVersion4BitsAndNoRepeats) {
  const std::regex form("^\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\}$");
  std::unordered_set<std::string> seen;
  for (int i = 0; i < 10000; ++i) {
    std::string g = NewGuidString();
    if (i < 1000) {
      ASSERT_TRUE(std::regex_match(g, form)) << g;
    }
    ASSERT_TRUE(seen.insert(g).second) << "repeat after " << i;
  }
}

}  // namespace
