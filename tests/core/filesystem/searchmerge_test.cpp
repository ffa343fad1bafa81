// The union of the service's and the local storage's search hits.
#include "core/filesystem/searchmerge.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Hits named by "id" or "id:tag"; the tag goes to the digest.
std::vector<CFileItemRecord> Hits(std::initializer_list<std::string> specs) {
  std::vector<CFileItemRecord> hits;
  for (const std::string& spec : specs) {
    CFileItemRecord r;
    const size_t colon = spec.find(':');
    r.strSvrId = spec.substr(0, colon);
    if (colon != std::string::npos) r.strDigest = spec.substr(colon + 1);
    hits.push_back(r);
  }
  return hits;
}

std::string Text(const std::vector<CFileItemRecord>& hits) {
  std::string text;
  for (const CFileItemRecord& r : hits) text += r.strSvrId + (r.strDigest.empty() ? "" : ":" + r.strDigest) + " ";
  return text;
}

TEST(SearchMergeTest, UnionByFileIdTheServicesHitWinning) {
  const struct { std::initializer_list<std::string> service, local; const char* merged; } rows[] = {
      {{"c:s", "a:s", "B:s"}, {"b:l", "a:l", "d:l"}, "B:s a:s b:l c:s d:l "},  // byte order: upper case first
      {{}, {"b:l", "a:l"}, "a:l b:l "},
      {{"b:s", "a:s"}, {}, "a:s b:s "},
      {{"x:s"}, {"x:l", "x:l2"}, "x:s x:l2 "},  // one local twin dropped per service hit
      {{"10:s", "9:s"}, {"9:l", "100:l"}, "10:s 100:l 9:s "},  // texts, not numbers
      {{"a:s1", "a:s2"}, {"a:l"}, "a:s1 a:s2 "},  // equal ids keep their order
  };
  for (const auto& row : rows) {
    std::vector<CFileItemRecord> out = Hits({"kept"});
    MergeSearchHits(Hits(row.service), Hits(row.local), &out);
    EXPECT_EQ(Text(out), std::string("kept ") + row.merged);
  }
}

}  // namespace
