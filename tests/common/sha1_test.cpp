// SHA-1: published vectors, incremental updates, and GetFileSha1 against sha1sum with
// its cancel and failure paths. Every case runs once with the CPU's SHA instructions
// (where the CPU has them) and once with the portable code.
#include "common/sha1.h"

#include <string>

#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

std::string Sha1Of(const std::string& s) { return Sha1Hex(s.data(), s.size()); }

class Sha1Test : public OstrelTest, public ::testing::WithParamInterface<Sha1Engine> {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    Sha1SetEngine(GetParam());
  }
  void TearDown() override {
    Sha1SetEngine(Sha1Engine::kAuto);
    OstrelTest::TearDown();
  }

  // The peer's digest of a file.
  static std::string PeerSha1(const std::string& path) {
    std::string out;
    EXPECT_EQ(0, RunCommand("sha1sum " + ShellQuote(path), &out));
    return out.substr(0, 40);
  }
};

// Digests of buffers; those of files of every awkward size are compared with sha1sum.
TEST_P(Sha1Test, PublishedVectorsAndSplitUpdatesEqualOneCall) {
  EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", Sha1Of(""));
  EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", Sha1Of("abc"));
  const std::string data = RandomBytes(200, 7);
  // Every split into two parts around the block boundaries of the first 200 bytes.
  for (size_t len : {size_t(0), size_t(1), size_t(55), size_t(56), size_t(64), size_t(130), size_t(200)}) {
    const std::string whole = Sha1Of(data.substr(0, len));
    for (size_t cut = 0; cut <= len; ++cut) {
      SHA1_CTX ctx;
      Sha1Init(&ctx);
      Sha1Update(&ctx, data.data(), cut);
      Sha1Update(&ctx, data.data() + cut, len - cut);
      uint8_t digest[20];
      Sha1Final(&ctx, digest);
      ASSERT_EQ(whole, Sha1ToHex(digest)) << "length " << len << " cut " << cut;
    }
  }
}

TEST_P(Sha1Test, FileDigestsEqualSha1sum) {
  const size_t sizes[] = {0, 1, 55, 56, 63, 64, 65535, 65536, 65537, (size_t(3) << 20) + 17};
  for (size_t size : sizes) {
    const std::string path = PathIn("f" + std::to_string(size));
    WriteFileBytes(path, RandomBytes(size, static_cast<uint32_t>(size)));
    std::string sha1;
    ASSERT_EQ(S_OK, GetFileSha1(path, nullptr, &sha1)) << size;
    EXPECT_EQ(PeerSha1(path), sha1) << size << " bytes";
  }
}

// The cancel function is polled after every 64 KiB block and the tail; an empty file is
// one empty block, and its digest that of no data.
TEST_P(Sha1Test, CancelIsPolledAfterEveryBlock) {
  const std::string path = PathIn("f"), empty = PathIn("empty");
  WriteFileBytes(path, RandomBytes(3 * 65536 + 100, 3));
  WriteFileBytes(empty, "");
  for (const auto& [file, blocks] : {std::pair{empty, 1}, std::pair{path, 4}}) {
    int calls = 0;
    std::string sha1;
    ASSERT_EQ(S_OK, GetFileSha1(file, [&] { return ++calls > 0; }, &sha1));
    EXPECT_EQ(blocks, calls);
    EXPECT_EQ(PeerSha1(file), sha1);
  }
  // Cancelled after the first block, and after the last one: no digest either time.
  for (int stopAt : {1, 4}) {
    int calls = 0;
    std::string sha1 = "stale";
    EXPECT_EQ(E_FAIL, GetFileSha1(path, [&] { return ++calls < stopAt; }, &sha1));
    EXPECT_EQ(stopAt, calls);
    EXPECT_EQ("", sha1);
  }
}

// A missing file, and a folder (refused at the open).
TEST_P(Sha1Test, FailuresLogTheirCheckAndGiveNoDigest) {
  for (const std::string& path : {PathIn("missing"), Root()}) {
    LogCapture cap;
    std::string sha1 = "stale";
    EXPECT_EQ(E_FAIL, GetFileSha1(path, nullptr, &sha1));
    EXPECT_EQ("", sha1);
    EXPECT_TRUE(cap.Contains("ERROR_CHECK_BOOLEX:pf")) << cap.All();
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, Sha1Test, ::testing::Values(Sha1Engine::kAuto, Sha1Engine::kPortable),
                         [](const ::testing::TestParamInfo<Sha1Engine>& info) {
                           return info.param == Sha1Engine::kAuto ? "Auto" : "Portable";
                         });

}  // namespace
