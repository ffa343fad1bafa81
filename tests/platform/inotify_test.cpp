// The inotify layer: records split from a buffer without reading past it, a cap on
// watches that fails like a full system table and frees as watches end, the
// system's queue overflow read as one IN_Q_OVERFLOW record, and a descriptor that
// goes with its instance.
#include "platform/inotify.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "support/testenv.h"

namespace {

class InotifyTest : public OstrelTest {};

// One record as the system lays it out: the header, then len bytes of name.
std::string Record(int wd, uint32_t mask, uint32_t cookie, const std::string& name, uint32_t len) {
  struct inotify_event head {};
  head.wd = wd;
  head.mask = mask;
  head.cookie = cookie;
  head.len = len;
  std::string bytes(reinterpret_cast<const char*>(&head), sizeof head);
  std::string padded = name;
  padded.resize(len, '\0');
  return bytes + padded;
}

struct Parsed {
  std::vector<std::string> names;
  bool whole = false;
};

Parsed Parse(const std::string& buffer) {
  Parsed p;
  p.whole = ForEachInotifyRecord(buffer.data(), buffer.size(), [&](const InotifyRecord& r) {
    p.names.push_back(std::to_string(r.wd) + ":" + std::string(r.name));
  });
  return p;
}

int OpenDescriptors() {
  int n = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  while (const struct dirent* e = ::readdir(dir)) n += e->d_name[0] != '.';
  ::closedir(dir);
  return n;
}

long MaxQueued() {
  std::ifstream in("/proc/sys/fs/inotify/max_queued_events");
  long n = -1;
  in >> n;
  return n;
}

TEST_F(InotifyTest, RecordsAreSplitWithoutReadingPastTheBuffer) {
  const std::string a = Record(1, IN_CREATE, 0, "a.txt", 16);
  const std::string self = Record(2, IN_DELETE_SELF, 0, "", 0);
  const std::string full = Record(3, IN_CREATE, 0, "exactly16bytes!!", 16);  // no NUL at all
  struct Row {
    const char* name;
    std::string buffer;
    std::vector<std::string> names;
    bool whole;
  } rows[] = {
      {"nothing", "", {}, true},
      {"two records", a + self, {"1:a.txt", "2:"}, true},
      {"a name filling its length", full, {"3:exactly16bytes!!"}, true},
      {"a buffer ending inside a header", a + self.substr(0, 7), {"1:a.txt"}, false},
      {"a length past the end", a + Record(4, IN_CREATE, 0, "long-name", 64).substr(0, 40), {"1:a.txt"}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Parsed p = Parse(row.buffer);
    EXPECT_EQ(p.names, row.names);
    EXPECT_EQ(p.whole, row.whole);
  }
}

TEST_F(InotifyTest, TheCapFailsLikeAFullTableAndFreesAsWatchesEnd) {
  const std::string a = PathIn("a"), b = PathIn("b"), c = PathIn("c");
  for (const auto& p : {a, b, c}) ASSERT_EQ(::mkdir(p.c_str(), 0700), 0);
  auto inotify = OpenInotify(2);
  ASSERT_TRUE(inotify);
  const uint32_t mask = IN_CREATE | IN_ONLYDIR;
  const int wa = inotify->AddWatch(a, mask);
  ASSERT_GE(wa, 0);
  ASSERT_GE(inotify->AddWatch(b, mask), 0);
  errno = 0;
  EXPECT_EQ(inotify->AddWatch(c, mask), -1);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(inotify->AddWatch(a, mask), wa) << "a folder watched already costs nothing";
  EXPECT_EQ(inotify->WatchCount(), 2u);

  EXPECT_TRUE(inotify->RemoveWatch(wa));
  EXPECT_EQ(inotify->WatchCount(), 1u);
  ASSERT_GE(inotify->AddWatch(c, mask), 0);

  // A watched folder that is deleted ends its watch once its IN_IGNORED is read.
  ASSERT_EQ(::rmdir(b.c_str()), 0);
  std::vector<char> buffer(4096);
  while (inotify->Read(buffer.data(), buffer.size()) > 0) {
  }
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(inotify->WatchCount(), 1u);
  EXPECT_GE(inotify->AddWatch(a, mask), 0);
}

TEST_F(InotifyTest, ReadingNeverWaits) {
  auto inotify = OpenInotify();
  ASSERT_TRUE(inotify);
  ASSERT_GE(inotify->AddWatch(Root(), IN_CREATE), 0);
  char buffer[4096];
  errno = 0;
  EXPECT_EQ(inotify->Read(buffer, sizeof buffer), -1);
  EXPECT_EQ(errno, EAGAIN);
  ASSERT_EQ(::mkdir(PathIn("new").c_str(), 0700), 0);
  EXPECT_EQ(inotify->Read(buffer, 8), -1) << "too small for one record";
  EXPECT_EQ(errno, EINVAL);
  EXPECT_GT(inotify->Read(buffer, sizeof buffer), 0);
}

TEST_F(InotifyTest, AnOverflowOfTheSystemsQueueIsOneRecordAtItsEnd) {
  const long queued = MaxQueued();
  if (queued <= 0 || queued > 1'000'000) GTEST_SKIP() << "fs.inotify.max_queued_events is " << queued;
  auto inotify = OpenInotify();
  ASSERT_TRUE(inotify);
  ASSERT_GE(inotify->AddWatch(Root(), IN_CLOSE_WRITE), 0);
  // Closes of two files in turn: never two alike in a row, which the system would merge.
  const std::string files[2] = {PathIn("a"), PathIn("b")};
  for (long i = 0; i < queued + 16; ++i) {
    int fd = ::open(files[i % 2].c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  std::vector<char> buffer(64 * 1024);
  long records = 0, overflows = 0;
  bool overflowLast = false;
  for (ssize_t n; (n = inotify->Read(buffer.data(), buffer.size())) > 0;) {
    ForEachInotifyRecord(buffer.data(), static_cast<size_t>(n), [&](const InotifyRecord& r) {
      ++records;
      overflowLast = (r.mask & IN_Q_OVERFLOW) != 0;
      if (overflowLast) {
        ++overflows;
        EXPECT_EQ(r.wd, -1);
      }
    });
  }
  EXPECT_EQ(overflows, 1);
  EXPECT_TRUE(overflowLast);
  EXPECT_EQ(records, queued + 1) << "the queue holds max_queued_events records, then the overflow";
}

TEST_F(InotifyTest, DestroyingTheInstanceClosesItsDescriptor) {
  const int before = OpenDescriptors();
  {
    auto inotify = OpenInotify();
    ASSERT_TRUE(inotify);
    ASSERT_GE(inotify->AddWatch(Root(), IN_CREATE), 0);
    EXPECT_EQ(OpenDescriptors(), before + 1);
    EXPECT_EQ(::fcntl(inotify->Fd(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
