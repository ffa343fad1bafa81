// The power-loss file system of the tests: what survives each way of writing a file,
// over many journal commit points, and the machine stopping at a chosen call.
#include "support/powerloss.h"

#include <fcntl.h>

#include <functional>
#include <set>

#include "platform/atomicfile.h"
#include "platform/posixfile.h"
#include "support/testenv.h"

namespace {

using Act = std::function<void(FileEnv* env, const std::string& disk)>;

void WriteThrough(FileEnv* env, const std::string& path, const std::string& bytes, bool sync) {
  PosixFile f(env);
  ASSERT_TRUE(f.Open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600)) << path;
  ASSERT_TRUE(f.WriteFull(bytes.data(), bytes.size()));
  if (sync) {
    ASSERT_TRUE(f.Sync());
  }
  ASSERT_TRUE(f.Close());
}

struct SurvivalCase {
  const char* name;
  Act act;                          // on a disk holding "t" = "old"
  std::set<std::string> survivors;  // what "t" may hold after the loss, "-" when absent
};

class PowerLossFileEnvTest : public OstrelTest {
 protected:
  // What "t" holds after act and a power loss, for each of 24 seeds.
  std::set<std::string> Survivors(const Act& act) {
    std::set<std::string> seen;
    for (uint32_t seed = 0; seed < 24; ++seed) {
      const std::string disk = PathIn("disk");
      RemoveTree(disk);
      EXPECT_EQ(0, ::mkdir(disk.c_str(), 0700));
      WriteFileBytes(disk + "/t", "old");
      {
        PowerLossFileEnv env(disk, seed);
        act(&env, disk);
        env.DropUnsyncedData();
      }
      seen.insert(FileExists(disk + "/t") ? ReadFileBytes(disk + "/t") : "-");
    }
    return seen;
  }
};

TEST_F(PowerLossFileEnvTest, OnlyWhatWasSyncedSurvivesAndAJournalCommitMayAddNamesWithoutData) {
  const SurvivalCase cases[] = {
      {"nothing done", [](FileEnv*, const std::string&) {}, {"old"}},
      {"rewritten in place and synced",
       [](FileEnv* env, const std::string& d) { WriteThrough(env, d + "/t", "new", true); },
       {"new"}},
      {"rewritten in place, not synced: the emptying may survive, the new data does not",
       [](FileEnv* env, const std::string& d) { WriteThrough(env, d + "/t", "new", false); },
       {"old", ""}},
      {"cut short, not synced",
       [](FileEnv* env, const std::string& d) {
         PosixFile f(env);
         ASSERT_TRUE(f.Open(d + "/t", O_WRONLY, 0600));
         ASSERT_TRUE(env->Truncate(f.fd(), 1));
         ASSERT_TRUE(f.Close());
       },
       {"old", "o"}},
      {"atomic replace", [](FileEnv* env, const std::string& d) { AtomicWriteFile(d + "/t", "new", 0600, env); },
       {"new"}},
      {"synced temp renamed, folder not synced",
       [](FileEnv* env, const std::string& d) {
         WriteThrough(env, d + "/x", "new", true);
         env->Rename(d + "/x", d + "/t", false);
       },
       {"old", "new"}},
      {"unsynced temp renamed, folder synced: the name survives, its data does not",
       [](FileEnv* env, const std::string& d) {
         WriteThrough(env, d + "/x", "new", false);
         env->Rename(d + "/x", d + "/t", false);
         SyncFolder(d, env);
       },
       {""}},
      {"removed, folder not synced",
       [](FileEnv* env, const std::string& d) { env->Unlink(d + "/t"); },
       {"old", "-"}},
      {"removed, folder synced",
       [](FileEnv* env, const std::string& d) {
         env->Unlink(d + "/t");
         SyncFolder(d, env);
       },
       {"-"}},
  };
  for (const SurvivalCase& c : cases) EXPECT_EQ(c.survivors, Survivors(c.act)) << c.name;
}

TEST_F(PowerLossFileEnvTest, AFolderCreatedAndNeverRecordedInItsParentMayVanishWithWhatItHolds) {
  std::set<std::string> seen;
  for (uint32_t seed = 0; seed < 24; ++seed) {
    const std::string disk = PathIn("disk");
    RemoveTree(disk);
    ASSERT_EQ(0, ::mkdir(disk.c_str(), 0700));
    PowerLossFileEnv env(disk, seed);
    ASSERT_TRUE(env.Mkdir(disk + "/sub", 0700));
    ASSERT_TRUE(AtomicWriteFile(disk + "/sub/t", "new", 0600, &env));
    env.DropUnsyncedData();
    seen.insert(FileExists(disk + "/sub/t") ? ReadFileBytes(disk + "/sub/t") : "-");
  }
  EXPECT_EQ((std::set<std::string>{"-", "new"}), seen);
}

TEST_F(PowerLossFileEnvTest, TheMachineStopsAfterTheChosenCallAndStartsAgainAfterTheLoss) {
  const std::string disk = PathIn("disk");
  ASSERT_EQ(0, ::mkdir(disk.c_str(), 0700));
  PowerLossFileEnv env(disk, 7);
  env.CutAfter(2);
  PosixFile f(&env);
  ASSERT_TRUE(f.Open(disk + "/t", O_WRONLY | O_CREAT, 0600));  // 1
  ASSERT_TRUE(f.WriteFull("ab", 2));                           // data: not counted
  ASSERT_TRUE(env.Mkdir(disk + "/sub", 0700));                 // 2
  EXPECT_FALSE(f.Sync());                                      // 3: cut
  EXPECT_EQ(EIO, errno);
  EXPECT_TRUE(env.IsCut());
  struct stat st {};
  EXPECT_FALSE(env.Stat(Root(), &st)) << "outside the tree too, nothing works any more";
  EXPECT_FALSE(f.Close());
  EXPECT_EQ((std::vector<std::string>{"Open t", "Mkdir sub", "Sync t (cut)"}), env.Trace());
  env.DropUnsyncedData();
  EXPECT_FALSE(env.IsCut());
  EXPECT_EQ(0, env.Ops());
  EXPECT_TRUE(!FileExists(disk + "/t") || ReadFileBytes(disk + "/t").empty());
  EXPECT_TRUE(AtomicWriteFile(disk + "/t", "again", 0600, &env));
  EXPECT_EQ("again", ReadFileBytes(disk + "/t"));
}

}  // namespace
