// The form-field text of an upload: splitting into pairs and decoding the values.
#include "core/remotestorage/transport/formfields.h"

#include <gtest/gtest.h>

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(FormFieldsTest, SplitKeyValues) {
  struct Case {
    const char* text;
    Pairs expected;
  } cases[] = {
      {"", {}},
      {"a=1%202&b=x", {{"a", "1%202"}, {"b", "x"}}},
      {"a=1&b", {{"a", "1"}}},           // a last name without a value is dropped
      {"a=1&b=", {{"a", "1"}}},          // and one with an empty value
      {"a=&b=2", {{"a", ""}, {"b", "2"}}},  // an empty value before the last is kept
      {"a=x=y&b=2", {{"a", "x=y"}, {"b", "2"}}},
      {"noequals", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, SplitKeyValues(c.text)) << c.text;
}

TEST(FormFieldsTest, DecodeFormValue) {
  struct Case {
    const char* in;
    std::string out;
  } cases[] = {
      {"1%202", "1 2"},
      {"a+b", "a+b"},  // '+' stays
      {"%41%62", "Ab"},
      {"%zz", "?"},
      {"x%", "x?"},
      {"%e4%B8%ad", "\xe4\xb8\xad"},
      {"%00z", std::string("\0z", 2)},
  };
  for (const auto& c : cases) EXPECT_EQ(c.out, DecodeFormValue(c.in)) << c.in;
}

}  // namespace
