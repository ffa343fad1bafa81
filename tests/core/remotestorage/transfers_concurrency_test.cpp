// Five transfers at once against the local service: uploads and downloads of
// different files that share blocks (every file a multiple of 4 MiB ends with the same
// empty block), then five downloads of one file, which share its resume folder's name.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "core/remotestorage/transferservice.h"

namespace {

constexpr size_t kMiB = size_t(1) << 20;
constexpr int kThreads = 5;

using TransferConcurrencyTest = TransferServiceTest;

TEST_F(TransferConcurrencyTest, FiveUploadsAndDownloadsOfFilesSharingBlocks) {
  // Media names: stored unpacked, so the run measures the transfers, not LZMA.
  std::vector<std::string> plains, ids, versions(kThreads), backs(kThreads);
  const std::string shared = RandomBytes(4 * kMiB, 100);
  for (int i = 0; i < kThreads; ++i) {
    // Odd files begin with a block they all share; every file ends with the empty block.
    plains.push_back((i % 2 ? shared : RandomBytes(4 * kMiB, 200 + i)) + (i < 2 ? RandomBytes(4 * kMiB, 300 + i) : ""));
    ids.push_back(NewFile("v" + std::to_string(i) + ".mp4"));
  }
  std::vector<HRESULT> uploaded(kThreads, E_FAIL), downloaded(kThreads, E_FAIL);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      const std::string name = "v" + std::to_string(i) + ".mp4";
      uploaded[i] = UploadBlocks(ids[i], "0", name, plains[i], &versions[i]);
      if (uploaded[i] == S_OK) downloaded[i] = DownloadBlocks(ids[i], &backs[i]);
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(S_OK, uploaded[i]) << i;
    EXPECT_EQ(S_OK, downloaded[i]) << i;
    EXPECT_TRUE(backs[i] == plains[i]) << i;
    EXPECT_TRUE(XferContent(Service(), ids[i]) == plains[i]) << "the service's own decode of " << i;
  }

  // Five downloads of one file at once.
  threads.clear();
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] { downloaded[i] = DownloadBlocks(ids[1], &backs[i]); });
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(S_OK, downloaded[i]) << i;
    EXPECT_TRUE(backs[i] == plains[1]) << i;
  }
  EXPECT_TRUE(Entries().empty()) << ::testing::PrintToString(Entries());
}

}  // namespace
