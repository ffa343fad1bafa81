// One CDB shared by many threads: SetItem on one key from eight threads leaves one row,
// and writers and readers on one connection neither lose rows nor race (ThreadSanitizer
// runs this file too).
#include <atomic>
#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include "common/db/dbhelper.h"
#include "dbtestutil.h"
#include "support/testenv.h"

namespace {

constexpr int kThreads = 8;

class CDBConcurrencyTest : public OstrelTest {};

TEST_F(CDBConcurrencyTest, EightThreadsSettingOneKeyLeaveOneRow) {
  CDB db;
  ASSERT_EQ(db.Init(PathIn("kv.db")), S_OK);
  CKVDB kv;
  ASSERT_EQ(kv.Init(&db, "config"), S_OK);
  constexpr int kKeys = 40;
  std::barrier start(kThreads);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < kKeys; ++k) {
        start.arrive_and_wait();  // all threads race on the same new key
        if (kv.SetItem("S", "key" + std::to_string(k), std::to_string(t)) != S_OK) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(CliQuery(PathIn("kv.db"), "SELECT count(*), count(DISTINCT field) FROM config"),
            std::to_string(kKeys) + "|" + std::to_string(kKeys) + "\n");
}

TEST_F(CDBConcurrencyTest, WritersAndReadersShareOneConnection) {
  CDB db;
  ASSERT_EQ(db.Init(PathIn("shared.db")), S_OK);
  ASSERT_EQ(db.CreateTable("t", "id INTEGER PRIMARY KEY, writer INT, n INT"), S_OK);
  CKVDB kv;
  ASSERT_EQ(kv.Init(&db, "config"), S_OK);
  constexpr int kWriters = kThreads / 2, kRows = 150;
  std::atomic<int> failures{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < kRows; ++i) {
        if (db.InsertRow("t", "writer, n", "?, ?", {w, i}) != S_OK) ++failures;
        if (i % 10 == 0 && kv.SetInt64Item("W", std::to_string(w), i) != S_OK) ++failures;
      }
    });
  }
  for (int r = 0; r < kThreads - kWriters; ++r) {
    threads.emplace_back([&] {
      int64_t last = 0;
      while (!done.load()) {
        CDBQueryHelper rows;
        if (db.SelectWhere("t", rows, "writer >= ?", "ORDER BY id", {0}) != S_OK) {
          ++failures;
          continue;
        }
        int64_t seen = 0;
        for (bool end = false; rows.eof(&end) == S_OK && !end; ++seen) {
          int n = -1;
          if (rows.getIntField("n", &n, -1) != S_OK || n < 0 || n >= kRows) ++failures;
          if (rows.nextRow() != S_OK) ++failures;
        }
        if (seen < last) ++failures;  // rows never disappear
        last = seen;
        int64_t v = 0;
        if (kv.GetInt64Item("W", "0", &v, 0) != S_OK) ++failures;
      }
    });
  }
  for (int w = 0; w < kWriters; ++w) threads[static_cast<size_t>(w)].join();
  done = true;
  for (size_t i = kWriters; i < threads.size(); ++i) threads[i].join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(CliQuery(PathIn("shared.db"), "SELECT count(*), count(DISTINCT writer || '-' || n) FROM t"),
            std::to_string(kWriters * kRows) + "|" + std::to_string(kWriters * kRows) + "\n");
  int64_t v = 0;
  EXPECT_EQ(kv.GetInt64Item("W", "3", &v, 0), S_OK);
  EXPECT_EQ(v, 140);
}

}  // namespace
