// Block files: the split into 4 MiB blocks named by their SHA-1 (checked
// with sha1sum and md5sum), the join, and the failures of both (read and write errors,
// missing blocks) that must never pass as success.
#include "core/remotestorage/blockfiles.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "core/remotestorage/blockid.h"
#include "support/filefault.h"
#include "support/testenv.h"

namespace {

constexpr size_t kMiB = size_t(1) << 20;

std::string PeerDigest(const char* tool, const std::string& path) {
  std::string out;
  EXPECT_EQ(0, RunCommand(std::string(tool) + " " + ShellQuote(path), &out));
  return out.substr(0, out.find(' '));
}

// Names in a folder, "" for none.
std::string Listing(const std::string& folder) {
  std::string out;
  RunCommand("ls -A " + ShellQuote(folder), &out);
  return out;
}

class BlockFilesTest : public OstrelTest {};

TEST_F(BlockFilesTest, SplitCutsFourMiBBlocksNamedBySha1AndJoinRestoresTheFile) {
  struct Case {
    size_t size;
    std::vector<size_t> blocks;
  };
  const Case cases[] = {
      {0, {0}}, {1, {1}}, {65536, {65536}},
      // Around a block's last piece: only a whole block is followed by another.
      {4 * kMiB - 65537, {4 * kMiB - 65537}}, {4 * kMiB - 65536, {4 * kMiB - 65536}},
      {4 * kMiB - 65535, {4 * kMiB - 65535}}, {4 * kMiB - 1, {4 * kMiB - 1}},
      {4 * kMiB, {4 * kMiB, 0}},              {4 * kMiB + 1, {4 * kMiB, 1}},
      {8 * kMiB - 1, {4 * kMiB, 4 * kMiB - 1}}, {9 * kMiB, {4 * kMiB, 4 * kMiB, kMiB}},
  };
  ASSERT_EQ(0, RunCommand("mkdir -p " + ShellQuote(PathIn("work"))));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string source = PathIn("work/src");
    WriteFileBytes(source, RandomBytes(c.size, static_cast<uint32_t>(c.size) + 7));
    std::vector<std::string> blocks;
    int64_t size = -1;
    std::string sha1;
    ASSERT_EQ(S_OK, SplitFileToBlocks(source, &blocks, &size, &sha1));
    EXPECT_EQ(static_cast<int64_t>(c.size), size);
    EXPECT_EQ(PeerDigest("sha1sum", source), sha1);
    ASSERT_EQ(c.blocks.size(), blocks.size());
    for (size_t i = 0; i < blocks.size(); ++i) {
      EXPECT_EQ(c.blocks[i], ReadFileBytes(blocks[i]).size());
      EXPECT_EQ(PeerDigest("sha1sum", blocks[i]), blocks[i].substr(blocks[i].rfind('/') + 1));
      EXPECT_NE(Root(), blocks[i].substr(0, blocks[i].rfind('/'))) << "blocks live in a folder of their own";
      BlockDigest digest;
      ASSERT_EQ(S_OK, GetBlockDigest(blocks[i], &digest));
      EXPECT_EQ(c.blocks[i], digest.size);
      EXPECT_EQ(PeerDigest("md5sum", blocks[i]), digest.md5);
    }
    const std::string joined = PathIn("joined");
    int64_t joinedSize = -1;
    std::string joinedSha1;
    ASSERT_EQ(S_OK, JoinBlocks(blocks, joined, &joinedSize, &joinedSha1));
    EXPECT_EQ(0, RunCommand("cmp -s " + ShellQuote(source) + " " + ShellQuote(joined)));
    EXPECT_EQ(sha1, joinedSha1);
    EXPECT_EQ(size, joinedSize);
    DeleteBlockFiles(blocks);
    EXPECT_EQ("src\n", Listing(PathIn("work"))) << "the blocks and their folder are gone";
    RemoveTree(joined);
    RemoveTree(source);
  }
}

// Every failing step of the split (a read error is no end of file) and of the join
// fails the call; the split leaves no block folder, the join no half-joined file.
TEST_F(BlockFilesTest, FailuresFailTheSplitAndTheJoinAndLeaveNothing) {
  ASSERT_EQ(0, RunCommand("mkdir -p " + ShellQuote(PathIn("in"))));
  WriteFileBytes(PathIn("in/file"), RandomBytes(5 * kMiB, 3));
  struct Row {
    const char* what;
    FileOp op;
    std::string part;
    int skip;
  } splits[] = {
      {"source not opened", FileOp::kOpen, PathIn("in/file"), 0},
      {"second block not read", FileOp::kRead, PathIn("in/file"), 70},
      {"second block not written", FileOp::kWrite, PathIn("in/{"), 70},
      {"block folder not made", FileOp::kMkdir, PathIn("in/{"), 0},
      {"block not closed", FileOp::kClose, PathIn("in/{"), 0},
      {"block not renamed", FileOp::kRename, PathIn("in/{"), 1},
  };
  for (const Row& r : splits) {
    SCOPED_TRACE(r.what);
    FaultFileEnv env;
    env.Fail(r.op, r.part, ENOSPC, r.skip);
    std::vector<std::string> blocks{"stale"};
    EXPECT_EQ(E_FAIL, SplitFileToBlocks(PathIn("in/file"), &blocks, nullptr, nullptr, &env));
    EXPECT_EQ(1, env.Injected());
    EXPECT_TRUE(blocks.empty());
    EXPECT_EQ("file\n", Listing(PathIn("in")));
  }
  std::vector<std::string> blocks;
  EXPECT_EQ(E_FAIL, SplitFileToBlocks(PathIn("in"), &blocks)) << "a folder reads as no file";

  WriteFileBytes(PathIn("a"), "first");
  WriteFileBytes(PathIn("b"), "second");
  Row joins[] = {{"block not opened", FileOp::kOpen, PathIn("b"), 0},
                 {"block not read", FileOp::kRead, PathIn("b"), 0},
                 {"joined file not written", FileOp::kWrite, PathIn("out"), 0},
                 {"joined file not closed", FileOp::kClose, PathIn("out"), 0}};
  for (const Row& r : joins) {
    SCOPED_TRACE(r.what);
    WriteFileBytes(PathIn("out"), "old");
    FaultFileEnv env;
    env.Fail(r.op, r.part, EIO, r.skip);
    EXPECT_EQ(E_FAIL, JoinBlocks({PathIn("a"), PathIn("b")}, PathIn("out"), nullptr, nullptr, &env));
    EXPECT_FALSE(FileExists(PathIn("out"))) << "a half-joined file never remains";
  }
  EXPECT_EQ(E_FAIL, JoinBlocks({PathIn("a"), PathIn("gone"), PathIn("b")}, PathIn("out")));
  EXPECT_EQ(E_FAIL, JoinBlocks({PathIn("a"), Root()}, PathIn("out"))) << "an unreadable block";
  ASSERT_EQ(S_OK, JoinBlocks({PathIn("a"), PathIn("b")}, PathIn("out")));
  EXPECT_EQ("firstsecond", ReadFileBytes(PathIn("out")));
}

TEST_F(BlockFilesTest, EqualBlocksShareOneFileDigestsTakeOneBlockAndDeleteKeepsOtherFolders) {
  const std::string source = PathIn("same");
  WriteFileBytes(source, std::string(8 * kMiB, 'x'));
  std::vector<std::string> blocks;
  ASSERT_EQ(S_OK, SplitFileToBlocks(source, &blocks));
  ASSERT_EQ(3u, blocks.size());
  EXPECT_EQ(blocks[0], blocks[1]);
  ASSERT_EQ(S_OK, JoinBlocks(blocks, PathIn("joined")));
  EXPECT_EQ(std::string(8 * kMiB, 'x'), ReadFileBytes(PathIn("joined")));
  DeleteBlockFiles(blocks);
  WriteFileBytes(PathIn("big"), std::string(4 * kMiB + 1, 'b'));
  BlockDigest digest;
  EXPECT_EQ(E_FAIL, GetBlockDigest(PathIn("big"), &digest));
  EXPECT_EQ(E_FAIL, GetBlockDigest(PathIn("none"), &digest));
  ASSERT_EQ(0, RunCommand("mkdir -p " + ShellQuote(PathIn("keep"))));
  WriteFileBytes(PathIn("keep/x"), "x");
  DeleteBlockFiles({PathIn("keep/x")});
  EXPECT_EQ("", Listing(PathIn("keep")));
  EXPECT_TRUE(FileExists(PathIn("keep")));
}

}  // namespace
