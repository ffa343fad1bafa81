// The sharers text: how robustly a stored share list reads back (the stored form itself
// is checked through the sqlite3 shell by the item and schema tests).
#include "core/localstorage/sharers.h"

#include <gtest/gtest.h>

namespace {

TEST(SharersTextTest, Reads) {
  const struct { const char* text; std::vector<ShareEntry> entries; } cases[] = {
      {"", {}},
      {"u1,3,ann@x.org,Ann", {{"Ann", "u1", "ann@x.org", 3}}},
      {"u1,1,a@x,A|u2,2,b@x,B", {{"A", "u1", "a@x", 1}, {"B", "u2", "b@x", 2}}},
      {",0,,", {{"", "", "", 0}}},
      // A nickName may hold "," and "|".
      {"u1,1,a@x,Smith, Ann", {{"Smith, Ann", "u1", "a@x", 1}}},
      {"u1,1,a@x,Ann|the first|u2,2,b@x,B", {{"Ann|the first", "u1", "a@x", 1}, {"B", "u2", "b@x", 2}}},
      {"u1,1,a@x,A||B", {{"A||B", "u1", "a@x", 1}}},
      {"u1,1,a@x,A|", {{"A|", "u1", "a@x", 1}}},
      // Pieces that cannot be entries before any entry are dropped.
      {"garbage", {}},
      {"|||", {}},
      {"a,b|u1,1,a@x,A", {{"A", "u1", "a@x", 1}}},
      // The escaped form: exact fields; pieces that are not four fields are skipped.
      {"|u%2C1,2,a%2Cb@x,N%7C1%2C2%2c3", {{"N|1,2,3", "u,1", "a,b@x", 2}}},
      {"|u1,1,a@x,100%|u2,2,b@x,%zz%4", {{"100%", "u1", "a@x", 1}, {"%zz%4", "u2", "b@x", 2}}},
      {"|u1,1,a@x|u2,2,b@x,B,C", {}},
  };
  for (const auto& c : cases) {
    std::vector<ShareEntry> entries{{"kept", "u0", "k@x", 1}};
    ParseSharers(c.text, &entries);
    std::vector<ShareEntry> expected{{"kept", "u0", "k@x", 1}};
    expected.insert(expected.end(), c.entries.begin(), c.entries.end());
    EXPECT_EQ(entries, expected) << c.text;
  }
}

TEST(SharersTextTest, RoundTrips) {
  const std::vector<std::vector<ShareEntry>> lists = {
      {},
      {{"Ann", "u1", "ann@x.org", 3}},
      {{"Smith, Ann", "u1", "a@x", 1}, {"B|C", "u2", "b@x", 2}, {"", "u3", "", 0}},
      {{"名字", "42", "名@x", 1}, {"'; DROP TABLE files; --", "u'", "%_@x", 2}},
      // Texts another user chose, made to look like more entries or shifted fields.
      {{"x|evil,2,e@x,Mallory", "u1", "a@x", 1}},
      {{"N", "u1", "a,b@x", 1}, {"|", "|u2", ",", 2}},
      {{"%7C%2C,|", "%", "%25", 1}},
      {{"A|", "u1", "a@x", 1}, {"", "", "", 0}},
  };
  for (const auto& list : lists) {
    std::vector<ShareEntry> back;
    ParseSharers(SerializeSharers(list), &back);
    EXPECT_EQ(back, list) << SerializeSharers(list);
  }
}

}  // namespace
