// The largest file an upload takes (300 MiB), through the process-wide logic adapter
// to the test's own local service with the block protocol: it goes up once, whole,
// and the service holds exactly its content. Slow: it moves 300 MiB several times.
#include <string>
#include <vector>

#include "core/logicadapter/transfersrig.h"

namespace {

class TransfersSlowTest : public TransfersTest {
 protected:
  std::string GlobalVersion() override { return "3"; }
  // The request log keeps every request of the upload (each block's body counts up to
  // 1 MiB).
  std::vector<std::string> ServiceArgs() override {
    std::vector<std::string> args = TransfersTest::ServiceArgs();
    args.insert(args.end(), {"--log-bytes", std::to_string(256 * kMiB)});
    return args;
  }
};

TEST_F(TransfersSlowTest, AFileOfExactlyTheLimitUploadsOnceInBlocks) {
  constexpr int64_t kLimit = 314572800;
  const std::string source = PathIn("zeros.mp4");
  SparseFile(source, kLimit);
  std::string sha1;
  ASSERT_EQ(0, RunCommand("sha1sum " + ShellQuote(source) + " | cut -c1-40 | tr -d '\\n'", &sha1));

  ASSERT_EQ(S_OK, Adapter().UploadFile("", "", 0, "\\zeros.mp4", source, true));
  const std::vector<TaskListEntry> finished = WaitForFinished(1);
  ASSERT_EQ(1u, finished.size());
  EXPECT_EQ(S_OK, finished[0].hrResult);
  EXPECT_EQ(0, m_window.CountOf("ShowMessage")) << "the limit itself is allowed";

  EXPECT_EQ(1u, Service().Requests("/xsvr/requestUpload/").size()) << "one upload";
  EXPECT_EQ(1u, Service().Requests("/xsvr/commit/").size());
  EXPECT_TRUE(Service().Requests("/wf/upload").empty()) << "in blocks";
  // Each block once, none again: 75 of 4 MiB and the empty one that ends a size of
  // whole blocks.
  EXPECT_EQ(static_cast<size_t>(kLimit / kPeerBlockSize + 1), Service().Requests("/blk/uploadBlock").size());
  const std::string fileId = CloudId("", "zeros.mp4");
  ASSERT_FALSE(fileId.empty());
  const nlohmann::json state = XferState(Service(), fileId);
  ASSERT_EQ(1u, state["versions"].size()) << state.dump();
  EXPECT_EQ(kLimit, state["versions"][0]["size"].get<int64_t>());
  EXPECT_EQ(sha1, state["versions"][0]["sha1"].get<std::string>());
  for (const auto& check : state["checks"]) {
    if (check.value("fileId", "") == fileId) {
      EXPECT_EQ("ok", check["word"]) << check.dump();
    }
  }
}

}  // namespace
