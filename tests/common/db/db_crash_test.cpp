// Crash safety: a process killed with SIGKILL in the middle of a transaction of many
// inserts leaves a data base that opens, passes the integrity check and holds all or
// none of that transaction's rows.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "common/db/db.h"
#include "dbtestutil.h"
#include "support/testenv.h"

namespace {

constexpr int kRows = 400;

class CDBCrashTest : public OstrelTest {
 protected:
  // Starts a child that writes one committed row, then a transaction of kRows inserts,
  // reporting each insert with one byte. With stopAfter >= 0 it reports "s" after that
  // many inserts and waits to be killed; otherwise it commits, reporting "c" first.
  pid_t StartWriter(const std::string& path, int stopAfter, int* progressFd) {
    int report[2], hold[2];
    EXPECT_EQ(pipe2(report, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(hold, O_CLOEXEC), 0);
    pid_t pid = fork();
    if (pid == 0) {
      close(report[0]);
      close(hold[1]);
      CDB db;
      bool ok = db.Init(path) == S_OK && db.CreateTable("t", "id INTEGER PRIMARY KEY, batch INT, v TEXT") == S_OK &&
                db.InsertRow("t", "batch, v", "0, 'before'") == S_OK && db.BeginTransaction() == S_OK;
      for (int i = 0; ok && i < kRows; ++i) {
        ok = db.InsertRow("t", "batch, v", "1, ?", {std::string(200, static_cast<char>('a' + i % 26))}) == S_OK;
        if (ok && i + 1 == stopAfter) {
          ok = write(report[1], "s", 1) == 1;
          char c;
          (void)!read(hold[0], &c, 1);  // blocks until killed
        }
      }
      if (ok) ok = write(report[1], "c", 1) == 1 && db.CommitTransaction() == S_OK;
      if (ok) ok = write(report[1], "d", 1) == 1;
      _exit(ok ? 0 : 1);
    }
    close(report[1]);
    close(hold[0]);
    m_holdFd = hold[1];
    *progressFd = report[0];
    return pid;
  }
  // Kills the child once it has reported the given byte; returns what it reported.
  std::string KillAt(pid_t pid, int fd, char at) {
    std::string seen;
    char c;
    while (read(fd, &c, 1) == 1) {
      seen.push_back(c);
      if (c == at) break;
    }
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    close(fd);
    close(m_holdFd);
    return seen;
  }
  void ExpectSoundWithBatch(const std::string& path, bool all) {
    EXPECT_EQ(CliQuery(path, "PRAGMA integrity_check"), "ok\n");
    EXPECT_EQ(CliQuery(path, "SELECT count(*) FROM t WHERE batch = 0"), "1\n");
    EXPECT_EQ(CliQuery(path, "SELECT count(*) FROM t WHERE batch = 1"), std::to_string(all ? kRows : 0) + "\n");
    // Our own layer opens it and writes again.
    CDB db;
    ASSERT_EQ(db.Init(path), S_OK);
    EXPECT_EQ(db.InsertRow("t", "batch, v", "2, 'after'"), S_OK);
  }

  int m_holdFd = -1;
};

// Killed after 1, half or all of the inserts: none of them; during the commit: all or
// none; after it: all.
TEST_F(CDBCrashTest, KilledWriterLeavesASoundFileWithAllOrNoneOfItsTransaction) {
  struct Row {
    int stopAfter;
    char killAt;
    const char* reported;
  } rows[] = {{1, 's', "s"}, {kRows / 2, 's', "s"}, {kRows, 's', "s"}, {-1, 'c', "c"}, {-1, 'd', "cd"}};
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(1, r.killAt) + std::to_string(r.stopAfter));
    std::string path = PathIn(std::string("crash") + r.killAt + std::to_string(r.stopAfter) + ".db");
    int fd = -1;
    pid_t pid = StartWriter(path, r.stopAfter, &fd);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(KillAt(pid, fd, r.killAt), r.reported);
    if (r.killAt == 's') {
      EXPECT_TRUE(FileExists(path + "-journal"));  // a hot journal to roll back
    }
    int all = std::stoi(CliQuery(path, "SELECT count(*) FROM t WHERE batch = 1"));
    if (r.killAt == 'c') {
      EXPECT_TRUE(all == 0 || all == kRows) << all;
    } else {
      EXPECT_EQ(all, r.killAt == 'd' ? kRows : 0);
    }
    ExpectSoundWithBatch(path, all == kRows);
  }
}

}  // namespace
