// Threads trashing items of one name at once each get their own name in the Trash.
#include <atomic>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "platform/trash.h"
#include "support/testenv.h"

namespace {

class TrashConcurrencyTest : public OstrelTest {};

TEST_F(TrashConcurrencyTest, SameNameFromManyThreadsLosesNothing) {
  constexpr int kThreads = 8, kEach = 10;
  auto item = [&](int t, int i) { return PathIn(std::to_string(t) + "/" + std::to_string(i) + "/same.txt"); };
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kEach; ++i) {
      std::filesystem::create_directories(std::filesystem::path(item(t, i)).parent_path());
      WriteFileBytes(item(t, i), std::to_string(t) + ":" + std::to_string(i));
    }
  std::vector<std::thread> threads;
  std::atomic<int> failed{0};
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) failed += !MoveToTrash(item(t, i));
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(failed.load(), 0);

  std::set<std::string> contents;
  int infos = 0;
  for (const auto& e : std::filesystem::directory_iterator(PathIn("data/Trash/files"))) {
    contents.insert(ReadFileBytes(e.path()));
    infos += FileExists(PathIn("data/Trash/info/" + e.path().filename().string() + ".trashinfo"));
  }
  EXPECT_EQ(contents.size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_EQ(infos, kThreads * kEach);
}

}  // namespace
