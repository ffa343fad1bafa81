// A download record that knows the item's size and version (from a listing) bounds
// the whole-file download by that size without asking the service; a record whose
// version is not the ticket's asks as before.
#include <gtest/gtest.h>

#include <string>

#include "core/taskmgr/task/filetasktest.h"

namespace {

using FileTaskDownloadBoundTest = FileTaskTest;

TEST_F(FileTaskDownloadBoundTest, TheItemsSizeFromTheRecordBoundsTheDownloadOfItsVersion) {
  const std::string content = RandomBytes(100 * 1024, 21);
  const std::string fileId = Seed("a.jpg", content);
  ASSERT_EQ(S_OK, EnsureDirectory(FolderOfPath(Target("a.jpg"))));
  struct Row {
    const char* what;
    int64_t size, fileVer;
    HRESULT hr;
    size_t itemInfoRequests;
  } rows[] = {
      {"the size of the ticket's version", int64_t(content.size()), 1, S_OK, 0},
      {"nothing known", -1, 0, S_OK, 1},
      {"the size of another version", 10, 2, S_OK, 1},
      {"a size the content passes", 10, 1, E_CV_NETWORK_ERROR3, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Service().Reset();
    RemoveTree(Target("a.jpg"));
    auto record = DownloadRecord(fileId, "a.jpg", Target("a.jpg"));
    record->nItemSize = row.size;
    record->nItemFileVer = row.fileVer;
    EXPECT_EQ(row.hr, Run(record.get()));
    EXPECT_EQ(row.itemInfoRequests, Service().Requests("/xsvr/getItemInfo/").size());
    EXPECT_EQ(row.hr == S_OK, FileExists(Target("a.jpg")));
  }
}

}  // namespace
