// Readers racing atomic replaces and moves see one whole version, never a mix.
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/atomicfile.h"
#include "support/testenv.h"

namespace {

class AtomicFileConcurrencyTest : public OstrelTest {};

// Every version is one repeated byte of its own length, so a mix is easy to see.
bool IsWholeVersion(const std::string& s) {
  if (s.empty()) return false;
  size_t expected = 1000 + static_cast<unsigned char>(s[0]) * 997;
  if (s.size() != expected) return false;
  return s.find_first_not_of(s[0]) == std::string::npos;
}

std::string Version(int v) { return std::string(1000 + v * 997, static_cast<char>(v)); }

TEST_F(AtomicFileConcurrencyTest, ReadersSeeWholeVersionsOnly) {
  std::string target = PathIn("shared");
  ASSERT_TRUE(AtomicWriteFile(target, Version(1)));
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, bad{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r)
    readers.emplace_back([&] {
      while (!done.load()) {
        FILE* f = std::fopen(target.c_str(), "rb");
        ++reads;
        if (!f) {
          ++bad;  // the target never disappears
          continue;
        }
        std::string s;
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) s.append(buf, n);
        std::fclose(f);
        if (!IsWholeVersion(s)) ++bad;
      }
    });
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w)
    writers.emplace_back([&, w] {
      for (int i = 0; i < 100; ++i) {
        int v = 1 + (w * 100 + i) % 200;
        if (i % 2) {
          ASSERT_TRUE(AtomicWriteFile(target, Version(v)));
        } else {
          std::string mine = PathIn("w" + std::to_string(w));
          ASSERT_TRUE(AtomicWriteFile(mine, Version(v)));
          ASSERT_TRUE(MoveReplace(mine, target));
        }
      }
    });
  for (auto& t : writers) t.join();
  while (reads.load() < 50) std::this_thread::yield();
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_TRUE(IsWholeVersion(ReadFileBytes(target)));
}

}  // namespace
