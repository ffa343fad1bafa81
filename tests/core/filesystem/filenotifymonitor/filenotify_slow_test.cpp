// A tree of 20,000 folders: within the watch cap it starts whole (and this says what
// memory it takes); past the cap it ends clearly (kind 5, ENOSPC) while the other
// tree stays watched. The trees live on tmpfs (/dev/shm) where it is there, so that
// making and removing 20,000 folders stays quick.
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <errno.h>

#include <fstream>
#include <iostream>

#include "platform/inotify.h"
#include "support/logcapture.h"
#include "support/testenv.h"
#include "watchrig.h"

namespace {

constexpr int kFolders = 20000;

class WatchScaleTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    char templ[] = "/dev/shm/ostrel-watch-XXXXXX";
    m_base = ::access("/dev/shm", W_OK) == 0 && ::mkdtemp(templ) ? std::string(templ) : Root();
  }
  void TearDown() override {
    if (m_base != Root()) RemoveTree(m_base);
    OstrelTest::TearDown();
  }
  // count folders below parent, ten to a folder, breadth first.
  static void MakeTree(const std::string& parent, int count) {
    std::vector<std::string> level{parent};
    for (int made = 0; made < count;) {
      std::vector<std::string> next;
      for (const auto& folder : level)
        for (int i = 0; i < 10 && made < count; ++i, ++made) {
          next.push_back(folder + "/f" + std::to_string(i));
          MakeFolder(next.back());
        }
      level.swap(next);
    }
  }
  DirectoryWatchOptions Options(size_t cap) {
    DirectoryWatchOptions options;
    options.maxWatches = cap;
    options.openInotify = [this](size_t c) {
      auto inotify = OpenInotify(c);
      if (inotify) m_inotifyFd = inotify->Fd();
      return inotify;
    };
    return options;
  }

  std::string m_base;
  int m_inotifyFd = -1;
};

long StatusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::string(field).size()));
  return -1;
}
long ResidentKiB() { return StatusKiB("VmRSS:"); }
long PeakResidentKiB() { return StatusKiB("VmHWM:"); }

long SlabObjects(const char* cache) {
  std::ifstream in(std::string("/sys/kernel/slab/") + cache + "/objects");
  long n = -1;
  in >> n;
  return n;
}

long SlabObjectSize(const char* cache) {
  std::ifstream in(std::string("/sys/kernel/slab/") + cache + "/object_size");
  long n = -1;
  in >> n;
  return n;
}

TEST_F(WatchScaleTest, ATreeOf20000FoldersStartsWithinTheCapOrEndsClearly) {
  const std::string small = m_base + "/small", big = m_base + "/big";
  MakeFolder(small);
  MakeFolder(big);
  MakeTree(small, 9);
  MakeTree(big, kFolders);
  struct Row {
    const char* name;
    size_t cap;
    bool bigStarts;
  } rows[] = {
      {"a cap above the trees: both start", 25000, true},
      {"a cap of 10,000: the big tree ends, the small one stays", 10000, false},
  };
  CDispatcher dispatcher;
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string x = "/x" + std::to_string(n), y = "/y" + std::to_string(n);
    ++n;
    const long rssBefore = ResidentKiB();
    const long peakBefore = PeakResidentKiB();
    LogCapture log;
    const size_t heapBefore = ::mallinfo2().uordblks;
    const long marksBefore = SlabObjects("inotify_inode_mark");
    RecordingRevicer revicer(&dispatcher, Options(row.cap));
    ASSERT_EQ(revicer.Start({small, big}), S_OK);
    ASSERT_TRUE(revicer.PumpUntil([&] {
      return revicer.started.count(small) && (revicer.started.count(big) || revicer.ended.count(big));
    }));
    EXPECT_EQ(revicer.started[small], 0);
    if (row.bigStarts) {
      EXPECT_EQ(revicer.started[big], 0);
      EXPECT_EQ(KernelWatchCount(m_inotifyFd), 10 + kFolders + 1);
      const long rss = ResidentKiB() - rssBefore;
      const long peak = PeakResidentKiB() - peakBefore;
      const long heap = static_cast<long>(::mallinfo2().uordblks) - static_cast<long>(heapBefore);
      const long marks = SlabObjects("inotify_inode_mark") - marksBefore;
      std::cout << "watch of " << kFolders + 11 << " folders: resident +" << rss << " KiB, peak resident +" << peak
                << " KiB, heap +" << heap / 1024
                << " KiB (0 when a sanitizer keeps the heap), kernel marks +" << marks << " of "
                << SlabObjectSize("inotify_inode_mark") << " bytes (+ one "
                << SlabObjectSize("fsnotify_mark_connector") << "-byte connector per folder)\n";
      RecordProperty("resident_kib", static_cast<int>(rss));
      RecordProperty("peak_resident_kib", static_cast<int>(peak));
      RecordProperty("heap_kib", static_cast<int>(heap / 1024));
      // About 300 bytes a folder (path element, links, the watch's entry); far below a
      // change buffer or a full path per folder. 0 under a sanitizer.
      EXPECT_LT(heap / 1024, 32 * 1024) << "heap bytes per folder: " << heap / (kFolders + 11);
    } else {
      EXPECT_EQ(revicer.ended[big], ENOSPC);
      EXPECT_TRUE(log.Contains("the watch of " + big + " has ended: the watch table is full (this watcher's cap of 10000"));
      EXPECT_EQ(KernelWatchCount(m_inotifyFd), 10) << "only the small tree is watched";
    }
    CreateEmpty(big + "/f9/f9/f9/f9" + x);
    CreateEmpty(small + "/f8" + y);
    ASSERT_TRUE(revicer.Barrier(small));
    std::vector<Change> expected{Added(small + "/f8" + y)};
    if (row.bigStarts) expected.insert(expected.begin(), Added(big + "/f9/f9/f9/f9" + x));
    EXPECT_EQ(revicer.Changes(), expected);
    EXPECT_EQ(revicer.StopMonitor(), S_OK);
  }
}

}  // namespace
