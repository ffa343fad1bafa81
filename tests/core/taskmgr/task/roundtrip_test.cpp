// Files up and down through the file tasks against the local service, which decodes
// everything it receives with its own code: a new file, a new version of it and its
// download, byte-identical, on both service versions, for sizes at the edges of the
// 4 MiB blocks and for names the compress policy packs and does not.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "core/taskmgr/task/filetasktest.h"

namespace {

struct Row {
  const char* name;
  size_t size;
  bool text;    // text-like content (else pseudo-random bytes)
  bool packed;  // the service finds the uploads packed
};

// Large files are random bytes under a media name, which is never packed: packing
// megabytes would only make the run slow.
const Row kRows[] = {
    {"empty.txt", 0, true, false},
    {"one.txt", 1, true, false},
    {"clip-a.mp4", 4 * kMiB - 1, false, false},
    {"clip-b.mp4", 4 * kMiB + 1, false, false},
    {"notes.txt", 5000, true, true},
    {"photo.jpg", 5000, true, false},  // packs well, but the item's name says it is a photo
};

class FileTaskRoundTripTest : public FileTaskTest, public ::testing::WithParamInterface<std::tuple<std::string, Row>> {
 protected:
  std::vector<std::string> ServiceArgs() override { return {"--global-version", std::get<0>(GetParam())}; }

  std::string Content(const Row& row, uint32_t seed) {
    return row.text ? TextLike(row.size, seed) : RandomBytes(row.size, seed);
  }
  // Whether the service found any upload of the file packed, and how many it checked.
  std::pair<bool, size_t> PackedUploads(const std::string& fileId) {
    bool packed = false;
    size_t checks = 0;
    const nlohmann::json state = XferState(Service());
    for (const auto& check : state["checks"]) {
      if (check["fileId"] != fileId) continue;
      ++checks;
      EXPECT_EQ("ok", check["word"]) << check.dump();
      const std::string format = check.value("format", "");
      packed |= format.find("lzma") != std::string::npos || format.find("7z") != std::string::npos;
    }
    return {packed, checks};
  }
};

TEST_P(FileTaskRoundTripTest, NewFileThenNewVersionThenDownloadComeBackByteIdentical) {
  const std::string version = std::get<0>(GetParam());
  const Row row = std::get<1>(GetParam());
  const std::string first = Content(row, 1), second = Content(row, 2);

  auto created = NewFileRecord(row.name, Source(row.name, first));
  ASSERT_EQ(S_OK, Run(created.get()));
  const std::string fileId = created->strId;
  EXPECT_NE('{', fileId.empty() ? '{' : fileId[0]) << "the service's id replaces the GUID text";
  EXPECT_EQ(1, created->nFileVer);
  EXPECT_EQ(Sha1Of(first), created->strSha1);
  EXPECT_EQ(std::optional<std::string>(first), XferContent(Service(), fileId));
  EXPECT_TRUE(m_shell->Prompts().empty());

  auto updated = UpdateRecord(fileId, row.name, "1", Source(row.name, second));
  ASSERT_EQ(S_OK, Run(updated.get()));
  EXPECT_EQ(2, updated->nFileVer);
  EXPECT_EQ(Sha1Of(second), updated->strSha1);
  EXPECT_EQ(std::to_string(second.size()), updated->strSizeOrg);
  EXPECT_EQ(std::optional<std::string>(second), XferContent(Service(), fileId));
  const auto [packed, checks] = PackedUploads(fileId);
  EXPECT_GT(checks, 0u);
  EXPECT_EQ(row.packed, packed);

  auto download = DownloadRecord(fileId, row.name, Target(row.name));
  const HRESULT hr = Run(download.get());
  if (version == "2" && row.size == 0) {
    // The whole-file service has nothing to send for an empty file: the task is dropped.
    EXPECT_EQ(E_CV_SRV_EMPTY_FILE, hr);
    EXPECT_FALSE(FileExists(Target(row.name)));
    return;
  }
  ASSERT_EQ(S_OK, hr);
  EXPECT_TRUE(ReadFileBytes(Target(row.name)) == second) << "byte-identical";
  EXPECT_EQ(2, download->nFileVer);
  EXPECT_EQ(Sha1Of(second), download->strSha1);
}

std::string RoundTripName(const ::testing::TestParamInfo<std::tuple<std::string, Row>>& info) {
  std::string name = "Version" + std::get<0>(info.param) + "_" + std::get<1>(info.param).name + "_" +
                     std::to_string(std::get<1>(info.param).size);
  for (char& c : name)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

using FileTaskGlobalVersionTest = FileTaskTest;

// A service that cannot say its global version gets one encoded file, both ways.
TEST_F(FileTaskGlobalVersionTest, AFailedVersionQueryMeansOneEncodedFile) {
  UseVersion("3");
  Service().Inject(R"({"path":"/xsvr/getGlobalVersion","word":"serverBusy","count":2})");
  const std::string content = TextLike(3000, 9);
  auto created = NewFileRecord("a.txt", Source("a.txt", content));
  ASSERT_EQ(S_OK, Run(created.get()));
  auto download = DownloadRecord(created->strId, "a.txt", Target("a.txt"));
  ASSERT_EQ(S_OK, Run(download.get()));
  EXPECT_EQ(content, ReadFileBytes(Target("a.txt")));
  EXPECT_EQ(1u, Service().Requests("/wf/upload").size());
  EXPECT_EQ(1u, Service().Requests("/wf/download").size());
  EXPECT_TRUE(Service().Requests("/blk/uploadMetadata").empty());
  EXPECT_TRUE(Service().Requests("/blk/downloadMetadata").empty());
}

INSTANTIATE_TEST_SUITE_P(ServiceVersions, FileTaskRoundTripTest,
                         ::testing::Combine(::testing::Values("2", "3"), ::testing::ValuesIn(kRows)), RoundTripName);

}  // namespace
