// Versions: the running client's from the build, and their comparison.
#include "common/fileversion.h"

#include "ostrel_version.h"
#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

class FileVersionTest : public OstrelTest {};

TEST_F(FileVersionTest, CompareVersionTable) {
  struct Row {
    uint16_t a[4];
    uint16_t b[4];
    int result;
  } rows[] = {
      {{1, 2, 3, 4}, {1, 2, 3, 4}, 0},      {{1, 2, 3, 4}, {1, 2, 10, 0}, -1}, {{1, 2, 10, 0}, {1, 2, 3, 4}, 1},
      {{2, 0, 0, 0}, {1, 9, 9, 9}, 1},      {{1, 0, 0, 65535}, {1, 0, 1, 0}, -1}, {{65535, 0, 0, 0}, {1, 0, 0, 0}, 1},
  };
  for (const auto& r : rows)
    EXPECT_EQ(CompareVersion(r.a[0], r.a[1], r.a[2], r.a[3], r.b[0], r.b[1], r.b[2], r.b[3]), r.result)
        << r.a[0] << "." << r.a[1] << "." << r.a[2] << "." << r.a[3] << " vs " << r.b[0] << "." << r.b[1] << "."
        << r.b[2] << "." << r.b[3];
}

// The running executable carries the project's version (its text too); other files none.
TEST_F(FileVersionTest, OnlyTheRunningExecutableHasAVersion) {
  uint16_t v[4] = {};
  EXPECT_TRUE(GetModuleVersion(&v[0], &v[1], &v[2], &v[3]));
  EXPECT_EQ(v[0], OSTREL_VERSION_MAJOR);
  EXPECT_EQ(GetClientVersionString(),
            std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." + std::to_string(v[3]));
  uint16_t w[4] = {};
  EXPECT_TRUE(GetFileVersion("/proc/self/exe", &w[0], &w[1], &w[2], &w[3]));
  EXPECT_EQ(CompareVersion(v[0], v[1], v[2], v[3], w[0], w[1], w[2], w[3]), 0);
  LogCapture cap;
  EXPECT_FALSE(GetFileVersion("/bin/sh", &w[0], &w[1], &w[2], &w[3]));
  EXPECT_FALSE(GetFileVersion(PathIn("missing"), &w[0], &w[1], &w[2], &w[3]));
  EXPECT_EQ(cap.Count("ERROR_CHECK_BOOL:bRet"), 2) << cap.All();
}

}  // namespace
