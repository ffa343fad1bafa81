// The file system used from several threads at once against the local service:
// listings of different folders, forced quota queries and the push's version updates
// side by side; every listing hands out and stores its own folder whole.
#include <thread>

#include "servicerig.h"

namespace {

using FileSystemConcurrencyTest = FileSystemServiceTest;

TEST_F(FileSystemConcurrencyTest, ListingsQuotaAndVersionUpdatesSideBySide) {
  constexpr int kFolders = 4, kRounds = 6;
  std::vector<std::string> folders;
  for (int i = 0; i < kFolders; ++i) {
    folders.push_back(Seed("d" + std::to_string(i), "", true));
    for (int j = 0; j < 3; ++j) Seed("f" + std::to_string(i) + std::to_string(j), folders.back());
  }
  MyFiles("");
  std::vector<std::string> failures(kFolders + 1);
  std::vector<std::thread> threads;
  for (int i = 0; i < kFolders; ++i) {
    threads.emplace_back([&, i] {
      const std::string want = "f" + std::to_string(i) + "0;f" + std::to_string(i) + "1;f" + std::to_string(i) + "2;";
      for (int round = 0; round < kRounds; ++round) {
        std::vector<CFileItemRecord> items;
        HRESULT hr = m_fs->DirMyFile(folders[i], "", &items, round % 2 == 0);
        if (hr != S_OK || Names(items) != want) failures[i] += Names(items) + " ";
        int64_t used = 0, total = 0;
        if (m_fs->GetSpaceInfo(&used, &total, true) != S_OK || used != 3 * 3 * kFolders) failures[i] += "quota ";
      }
    });
  }
  threads.emplace_back([&] {
    // The push moves the stored version on meanwhile.
    for (int v = 1; v <= kRounds * 4; ++v)
      if (FAILED(m_store->SetCurCacheVesion(1000 + v))) failures[kFolders] += "version ";
  });
  for (std::thread& t : threads) t.join();
  for (const std::string& f : failures) EXPECT_EQ(f, "");
  for (int i = 0; i < kFolders; ++i)
    EXPECT_EQ(Cli("SELECT count(*) FROM files WHERE svrparentid = '" + folders[i] + "'"), "3\n");
}

}  // namespace
