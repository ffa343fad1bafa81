// Size and SHA-1 of a file together, as the transfers announce them.
#include "common/filehelper.h"

#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

class FileCheckTest : public OstrelTest {};

TEST_F(FileCheckTest, SizeAndSha1AgreeWithSha1sumAndFailuresAreChecked) {
  std::string path = PathIn("f.bin");
  for (size_t n : {size_t(0), size_t(65537)}) {
    WriteFileBytes(path, RandomBytes(n, static_cast<uint32_t>(n)));
    int64_t size = -1;
    std::string sha1, peer;
    ASSERT_EQ(GetFileSizeAndSha1(path, &size, &sha1, nullptr), S_OK);
    ASSERT_EQ(RunCommand("sha1sum " + ShellQuote(path), &peer), 0);
    EXPECT_EQ(size, static_cast<int64_t>(n));
    EXPECT_EQ(sha1, peer.substr(0, 40));
  }
  // A cancel leaves the size read but no digest; a missing file logs the check line.
  int64_t size = 0;
  std::string sha1;
  EXPECT_EQ(GetFileSizeAndSha1(path, &size, &sha1, [] { return false; }), E_FAIL);
  EXPECT_TRUE(sha1.empty());
  EXPECT_EQ(size, 65537);
  LogCapture cap;
  EXPECT_EQ(GetFileSizeAndSha1(PathIn("missing"), &size, &sha1, nullptr), E_FAIL);
  EXPECT_EQ(cap.Count("ERROR_CHECK_COM hr = 80004005: hr"), 1);
}

}  // namespace
