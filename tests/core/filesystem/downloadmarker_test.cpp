// The ".otl" marker beside a running download: there while some download to the
// destination runs, gone with the last one, and never made or removed over a file of
// that name that someone else put there.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>

#include "core/filesystem/downloadmarker.h"
#include "support/filefault.h"
#include "support/testenv.h"

namespace {

using DownloadMarkerTest = OstrelTest;

TEST_F(DownloadMarkerTest, TheMarkerLastsWhileADownloadHoldsItAndIsOnlyEverOurs) {
  // Steps: "+" a download begins, "-" one ends, "u" the user writes a file of the
  // marker's name; after each step the marker is there or not, holding what it holds.
  const struct {
    const char* what;
    const char* steps;
    const char* there;  // per step: 'm' our (empty) marker, 'u' the user's file, '.' none
    bool cannotMake;    // the marker cannot be created
  } rows[] = {
      {"one download", "+-", "m.", false},
      {"two downloads to one destination", "++--", "mmm.", false},
      {"a second download after the first ended", "+-+-", "m.m.", false},
      {"the user's file was there first", "u+-", "uuu", false},
      {"an end without a beginning", "u-", "uu", false},
      {"the marker cannot be made; the user's file comes later", "+u-", ".uu", true},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    FaultFileEnv env;
    if (row.cannotMake) env.Fail(FileOp::kOpen, ".otl", EACCES);
    CDownloadMarkers markers(&env);
    const std::string destination = PathIn("file" + std::to_string(++n) + ".txt");
    const std::string marker = CDownloadMarkers::MarkerPath(destination);
    EXPECT_EQ(marker, destination + ".otl");
    for (size_t i = 0; row.steps[i]; ++i) {
      switch (row.steps[i]) {
        case '+': markers.Acquire(destination); break;
        case '-': markers.Release(destination); break;
        case 'u': WriteFileBytes(marker, "the user's"); break;
      }
      SCOPED_TRACE(testing::Message() << "after step " << i);
      switch (row.there[i]) {
        case 'm':
          ASSERT_TRUE(FileExists(marker));
          EXPECT_EQ(ReadFileBytes(marker), "");
          break;
        case 'u':
          ASSERT_TRUE(FileExists(marker));
          EXPECT_EQ(ReadFileBytes(marker), "the user's");
          break;
        default:
          EXPECT_FALSE(FileExists(marker));
      }
    }
    EXPECT_FALSE(FileExists(destination)) << "the destination itself is never touched";
  }
}

}  // namespace
