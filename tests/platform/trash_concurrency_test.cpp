// Threads trashing items of one name at once each get their own name in the Trash.
#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

#include "platform/trash.h"
#include "support/testenv.h"

namespace {

class TrashConcurrencyTest : public OstrelTest {};

TEST_F(TrashConcurrencyTest, SameNameFromManyThreadsLosesNothing) {
  constexpr int kThreads = 8, kEach = 10;
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(::mkdir(PathIn("d" + std::to_string(t)).c_str(), 0700), 0);
    for (int i = 0; i < kEach; ++i) {
      ASSERT_EQ(::mkdir(PathIn("d" + std::to_string(t) + "/" + std::to_string(i)).c_str(), 0700), 0);
      WriteFileBytes(PathIn("d" + std::to_string(t) + "/" + std::to_string(i) + "/same.txt"),
                     std::to_string(t) + ":" + std::to_string(i));
    }
  }
  std::vector<std::thread> threads;
  std::atomic<int> failed{0};
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i)
        if (!MoveToTrash(PathIn("d" + std::to_string(t) + "/" + std::to_string(i) + "/same.txt"))) ++failed;
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(failed.load(), 0);

  std::set<std::string> contents;
  int infos = 0;
  std::string files = PathIn("data/Trash/files");
  DIR* d = ::opendir(files.c_str());
  ASSERT_TRUE(d);
  while (auto* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    contents.insert(ReadFileBytes(files + "/" + name));
    if (FileExists(PathIn("data/Trash/info/" + name + ".trashinfo"))) ++infos;
  }
  ::closedir(d);
  EXPECT_EQ(contents.size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_EQ(infos, kThreads * kEach);
}

}  // namespace
