// The lock shared across processes: where its file goes, and that a file, folder or
// link another user could have planted never makes a waiter wait for ever.
#include "platform/namedlock.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "support/testenv.h"

namespace {

constexpr char kName[] = "_#_Test_Lock_#_";

// Reports another owner for the lock files it opened and for one folder, as if
// another user had created them first (the tests run as root, who owns everything).
// A blocking flock that would wait is failed instead and counted, so a test never hangs.
class ForeignOwnerEnv : public FileEnvWrapper {
 public:
  ForeignOwnerEnv() : FileEnvWrapper(FileEnv::Default()) {}

  bool foreignFiles = false;
  std::string foreignFolder;
  int wouldWait = 0;

  bool Fstat(int fd, struct stat* st) override {
    if (!target()->Fstat(fd, st)) return false;
    if (foreignFiles) st->st_uid = ::geteuid() + 1;
    return true;
  }
  bool Stat(const std::string& path, struct stat* st) override {
    if (!target()->Stat(path, st)) return false;
    if (!foreignFolder.empty() && path == foreignFolder) st->st_uid = ::geteuid() + 1;
    return true;
  }
  bool Lstat(const std::string& path, struct stat* st) override {
    if (!target()->Lstat(path, st)) return false;
    if (!foreignFolder.empty() && path == foreignFolder) st->st_uid = ::geteuid() + 1;
    return true;
  }
  bool Flock(int fd, int operation) override {
    if (operation != LOCK_EX) return target()->Flock(fd, operation);
    if (target()->Flock(fd, LOCK_EX | LOCK_NB)) return true;
    if (errno == EWOULDBLOCK) ++wouldWait;
    return false;
  }
};

class NamedLockTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime) m_savedRuntime = runtime;
    ::unsetenv("XDG_RUNTIME_DIR");
    m_folder = PathIn("locks");
    ASSERT_EQ(::mkdir(m_folder.c_str(), 0700), 0);
    m_lockPath = m_folder + "/" + kName + ".lock";
  }
  void TearDown() override {
    if (m_holder >= 0) ::close(m_holder);
    if (m_savedRuntime)
      ::setenv("XDG_RUNTIME_DIR", m_savedRuntime->c_str(), 1);
    else
      ::unsetenv("XDG_RUNTIME_DIR");
    OstrelTest::TearDown();
  }
  // Holds an exclusive flock on the file through a descriptor of the test's own, as
  // the other user's process would.
  void HoldFile(const std::string& path) {
    m_holder = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(m_holder, 0);
    ASSERT_EQ(::flock(m_holder, LOCK_EX | LOCK_NB), 0);
  }
  // Takes and releases the lock; what it printed on standard error.
  std::string LockOnce(CNamedLock& lock) {
    testing::internal::CaptureStderr();
    lock.lock();
    lock.unlock();
    return testing::internal::GetCapturedStderr();
  }
  static int Lines(const std::string& text) {
    int n = 0;
    for (char c : text) n += c == '\n';
    return n;
  }

  ForeignOwnerEnv m_env;
  std::string m_folder, m_lockPath;
  std::optional<std::string> m_savedRuntime;
  int m_holder = -1;
};

// With no usable runtime folder the file goes to the folder given, made with its
// missing parents 0700; the file is 0600.
TEST_F(NamedLockTest, FileGoesToTheRuntimeFolderOnlyWhenItIsTheUsersOwn) {
  WriteFileBytes(PathIn("not-a-folder"), "x");
  struct Row { const char* what; std::string runtime; bool foreign; std::string folderOfFile; } rows[] = {
      {"own runtime folder", PathIn("runtime"), false, PathIn("runtime")},
      {"unset", "", false, PathIn("new/sub")},
      {"relative", "runtime", false, PathIn("new/sub")},
      {"another user's", PathIn("runtime"), true, PathIn("new/sub")},
      {"not a folder", PathIn("not-a-folder"), false, PathIn("new/sub")},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    if (r.runtime.empty())
      ::unsetenv("XDG_RUNTIME_DIR");
    else
      ::setenv("XDG_RUNTIME_DIR", r.runtime.c_str(), 1);
    m_env.foreignFolder = r.foreign ? r.runtime : std::string();
    RemoveTree(PathIn("new"));
    CNamedLock lock(kName, PathIn("new/sub/"), &m_env);
    std::string expected = r.folderOfFile + "/" + kName + ".lock";
    EXPECT_EQ(lock.path(), expected);
    EXPECT_EQ(LockOnce(lock), "");
    struct stat st {};
    ASSERT_EQ(::lstat(expected.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    if (r.folderOfFile == PathIn("new/sub")) {
      for (const char* folder : {"new", "new/sub"}) {
        ASSERT_EQ(::stat(PathIn(folder).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u) << folder;
      }
    }
  }
}

// Another user who made the lock file (or its folder) first and holds it must not
// stop this user's threads: the file is refused, one line says so on standard error,
// and the lock goes on excluding this process's threads.
TEST_F(NamedLockTest, AFileOrFolderOfAnotherUserIsRefusedAndNeverWaitedFor) {
  struct Row { const char* what; bool foreignFile; bool foreignFolder; } rows[] = {
      {"lock file of another user, held", true, false},
      {"folder of another user", false, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    if (r.foreignFile) HoldFile(m_lockPath);
    m_env.wouldWait = 0;
    m_env.foreignFiles = r.foreignFile;
    m_env.foreignFolder = r.foreignFolder ? m_folder : std::string();
    testing::internal::CaptureStderr();
    CNamedLock lock(kName, m_folder, &m_env);
    std::string told = testing::internal::GetCapturedStderr();
    EXPECT_EQ(Lines(told), 1) << told;
    EXPECT_NE(told.find(m_lockPath), std::string::npos) << told;
    EXPECT_EQ(lock.path(), "");
    EXPECT_EQ(LockOnce(lock), "");
    EXPECT_EQ(m_env.wouldWait, 0) << "waited on a lock another user holds";
    if (r.foreignFolder) {
      EXPECT_FALSE(FileExists(m_lockPath)) << "nothing is made in another user's folder";
    }
    testing::internal::CaptureStderr();
    lock.SetFolder(m_folder);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "told once per path";
    if (m_holder >= 0) ::close(m_holder);
    m_holder = -1;
    ::unlink(m_lockPath.c_str());
  }
}

// A link at the lock path is never followed: its target is neither made nor locked.
TEST_F(NamedLockTest, ALinkAtTheLockPathIsNotFollowed) {
  struct Row { const char* what; bool targetExists; } rows[] = {
      {"dangling link", false},
      {"link to a file another process holds", true},
  };
  std::string victim = PathIn("victim");
  ASSERT_EQ(::symlink(victim.c_str(), m_lockPath.c_str()), 0);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    if (r.targetExists) HoldFile(victim);
    m_env.wouldWait = 0;
    testing::internal::CaptureStderr();
    CNamedLock lock(kName, m_folder, &m_env);
    std::string told = testing::internal::GetCapturedStderr();
    EXPECT_EQ(Lines(told), 1) << told;
    EXPECT_EQ(lock.path(), "");
    EXPECT_EQ(LockOnce(lock), "");
    EXPECT_EQ(m_env.wouldWait, 0);
    EXPECT_EQ(FileExists(victim), r.targetExists);
  }
}

}  // namespace
