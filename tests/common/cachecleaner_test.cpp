// The cache trim on sparse files with set access times: least recently accessed
// first, down to the limit, never through links, never a file with unsent edits.
#include "common/cachecleaner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "common/registry.h"
#include "support/filefault.h"
#include "support/logcapture.h"
#include "support/testenv.h"

namespace fs = std::filesystem;

namespace {

constexpr int64_t kMB = 1000 * 1000;

class CacheCleanerTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    m_sync = PathIn("data/Tarvelin/ostrel/u1/Cache");
    fs::create_directories(m_sync);
    ASSERT_EQ(SetRegString("", kRegUserId, "u1"), S_OK);
    ASSERT_EQ(SetRegString("u1", kRegSyncRoot, m_sync), S_OK);
  }

  // A sparse file of the size with the access time, read-only unless writable.
  void MakeFile(const std::string& path, int64_t size, int64_t atimeSec, bool writable = false) {
    fs::create_directories(fs::path(path).parent_path());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
    ASSERT_EQ(chmod(path.c_str(), writable ? 0644 : 0444), 0);
    struct timespec times[2] = {{atimeSec, 0}, {0, UTIME_OMIT}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  }

  std::string m_sync;
};

TEST_F(CacheCleanerTest, DeletesLeastRecentlyAccessedFirstExactlyDownToTheLimit) {
  MakeFile(m_sync + "/sub/b.bin", 200 * kMB, 1000);
  MakeFile(m_sync + "/d 名.bin", 200 * kMB, 2000);
  MakeFile(m_sync + "/empty-older", 0, 2500);
  MakeFile(m_sync + "/tiny", 1, 3000);  // the last to go: the total is then the limit
  MakeFile(m_sync + "/sub/deeper/c.bin", 200 * kMB, 3500);
  MakeFile(m_sync + "/a.bin", 200 * kMB, 5000);
  MakeFile(m_sync + "/f.bin", kCacheLimitBytes - 400 * kMB, 9000);
  MakeFile(m_sync + "/empty-new", 0, 9999);
  CleanCache();
  for (const char* gone : {"/sub/b.bin", "/d 名.bin", "/empty-older", "/tiny"})
    EXPECT_FALSE(FileExists(m_sync + gone)) << gone;
  for (const char* kept : {"/sub/deeper/c.bin", "/a.bin", "/f.bin", "/empty-new"})
    EXPECT_TRUE(FileExists(m_sync + kept)) << kept;
  EXPECT_TRUE(fs::is_directory(m_sync + "/sub/deeper")) << "folders stay";
  EXPECT_EQ(TrimCacheFolder(m_sync, kCacheLimitBytes), 0) << "at the limit nothing more goes";
}

TEST_F(CacheCleanerTest, LinksAndFilesWithUnsentEditsAreLeftAlone) {
  std::string outside = PathIn("outside");
  MakeFile(outside + "/precious.bin", 900 * kMB, 1);
  ASSERT_EQ(symlink(outside.c_str(), (m_sync + "/linked-folder").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/precious.bin").c_str(), (m_sync + "/linked-file").c_str()), 0);
  MakeFile(m_sync + "/edited.docx", 900 * kMB, 2, /*writable=*/true);
  MakeFile(m_sync + "/old.bin", 300 * kMB, 3);
  MakeFile(m_sync + "/new.bin", 300 * kMB, 4);
  CleanCache();
  EXPECT_TRUE(FileExists(outside + "/precious.bin"));
  EXPECT_TRUE(FileExists(m_sync + "/linked-folder"));
  EXPECT_TRUE(FileExists(m_sync + "/linked-file"));
  EXPECT_TRUE(FileExists(m_sync + "/edited.docx"));
  EXPECT_FALSE(FileExists(m_sync + "/old.bin"));
  EXPECT_TRUE(FileExists(m_sync + "/new.bin")) << "the edited file is not cache and does not count";
}

// A file that cannot be deleted is logged and the next one tried; a folder that
// cannot be listed holds nothing that counts.
TEST_F(CacheCleanerTest, FailuresAreLoggedAndTheTrimGoesOn) {
  MakeFile(m_sync + "/stuck", 400 * kMB, 1);
  MakeFile(m_sync + "/second", 100 * kMB, 2);
  MakeFile(m_sync + "/third", 100 * kMB, 3);
  MakeFile(m_sync + "/fourth", 100 * kMB, 4);
  MakeFile(m_sync + "/hidden/oldest", 400 * kMB, 0);
  FaultFileEnv env;
  env.Fail(FileOp::kUnlink, m_sync + "/stuck", EBUSY);
  env.Fail(FileOp::kList, m_sync + "/hidden", EIO);
  LogCapture cap;
  EXPECT_EQ(TrimCacheFolder(m_sync, kCacheLimitBytes, &env), 200 * kMB);
  EXPECT_TRUE(cap.Contains("*ASSERT*: bRet"));
  for (const char* kept : {"/stuck", "/fourth", "/hidden/oldest"}) EXPECT_TRUE(FileExists(m_sync + kept)) << kept;
  for (const char* gone : {"/second", "/third"}) EXPECT_FALSE(FileExists(m_sync + gone)) << gone;
}

TEST_F(CacheCleanerTest, UnsafeOrMissingSyncFoldersAreNotTouched) {
  std::string home = PathIn("home");
  MakeFile(home + "/photo.jpg", 600 * kMB, 1);
  std::string file = PathIn("plain");
  MakeFile(file, 600 * kMB, 1);
  ASSERT_EQ(symlink(m_sync.c_str(), PathIn("link-to-sync").c_str()), 0);
  MakeFile(m_sync + "/cached", 600 * kMB, 1);

  struct Row { std::string userId, syncRoot; } rows[] = {
      {"u1", ""},   {"u1", "/"},  {"u1", home}, {"u1", home + "/"}, {"u1", file}, {"u1", PathIn("link-to-sync")},
      {"u1", PathIn("missing")},
      {"", m_sync},  // nobody signed in: the root key holds no sync folder of a user
  };
  for (const Row& r : rows) {
    ASSERT_EQ(SetRegString("", kRegUserId, r.userId), S_OK);
    ASSERT_EQ(SetRegString("u1", kRegSyncRoot, r.syncRoot), S_OK);
    CleanCache();
    EXPECT_TRUE(FileExists(home + "/photo.jpg")) << r.syncRoot;
    EXPECT_TRUE(FileExists(file)) << r.syncRoot;
    EXPECT_TRUE(FileExists(m_sync + "/cached")) << r.syncRoot;
  }
}

}  // namespace
