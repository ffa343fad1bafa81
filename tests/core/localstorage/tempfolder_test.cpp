// The temp folder that the processes of one user share: the clean-up another process
// runs at its start, and a store's work folder.
#include "core/localstorage/tempfolder.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "platform/posixfile.h"
#include "support/filefault.h"
#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

class TempFolderTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    std::filesystem::create_directories(m_temp = PathIn("sync/.tmp"));
  }
  // A folder holding a kept block, last changed hours ago.
  void MakeFolder(const std::string& name, int hours) {
    std::filesystem::create_directory(m_temp + "/" + name);
    WriteFileBytes(m_temp + "/" + name + "/b.done", "block");
    std::filesystem::last_write_time(m_temp + "/" + name,
                                     std::filesystem::file_time_type::clock::now() - std::chrono::hours(hours));
  }
  std::set<std::string> Names() {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(m_temp)) names.insert(e.path().filename());
    return names;
  }
  std::string m_temp;
};

TEST_F(TempFolderTest, ACleanUpElsewhereKeepsWhatLiveProcessesClaimAndYoungResumeFolders) {
  // This process: its store's work folder, and a download in an old resume folder.
  CTempFolder mine;
  ASSERT_TRUE(mine.Open(m_temp));
  const std::string file = mine.NewFilePath();
  WriteFileBytes(file, "upload copy");
  const std::string work = FolderOfPath(file).substr(m_temp.size() + 1);
  CTempClaim download;
  ASSERT_TRUE(download.TryClaim(m_temp + "/resume-busy"));
  MakeFolder("resume-busy", 24 * 8);
  if (::fork() == 0) {  // a process killed while its store is open
    CTempFolder dead;
    if (dead.Open(m_temp)) WriteFileBytes(dead.NewFilePath(), "x");
    ::raise(SIGKILL);
  }
  ::wait(nullptr);
  ASSERT_EQ(Names().size(), 6u);
  // What no live process claims.
  MakeFolder("resume-young", 1);
  MakeFolder("resume-old", 24 * 8);
  MakeFolder("resume-future", -24 * 8);  // the bound holds against clocks set back, too
  MakeFolder("{0F0E0D0C-0000-4000-8000-000000000000}", 0);  // an ended download's private folder
  WriteFileBytes(m_temp + "/loose", "x");
  WriteFileBytes(m_temp + "/" + std::string(254, 'n'), "x");  // no room for a lock file's name
  WriteFileBytes(m_temp + "/gone.lock", "");
  std::filesystem::create_directory(m_temp + "/debris.lock");
  std::filesystem::create_directory(PathIn("outside"));
  WriteFileBytes(PathIn("outside/keep"), "keep");
  std::filesystem::create_directory_symlink(PathIn("outside"), m_temp + "/link");
  std::filesystem::create_symlink(PathIn("outside/keep"), m_temp + "/linked.lock");

  if (::fork() == 0) {  // the clean-up of the user's next process
    CTempFolder other;
    if (other.Open(m_temp)) other.Close();
    ::_exit(0);
  }
  ::wait(nullptr);
  EXPECT_EQ(Names(), (std::set<std::string>{work, work + ".lock", "resume-busy", "resume-busy.lock", "resume-young"}));
  EXPECT_EQ(ReadFileBytes(file), "upload copy");
  EXPECT_EQ(ReadFileBytes(PathIn("outside/keep")), "keep");
  mine.Close();
  download.Release();
  EXPECT_EQ(Names(), (std::set<std::string>{"resume-busy", "resume-young"})) << "the work folder goes with its store";
}

// What cannot be removed is kept and logged and the clean-up goes on; a temp folder
// that cannot be listed keeps everything; without its work folder a store has none.
TEST_F(TempFolderTest, TheCleanUpGoesOnPastWhatItCannotRemove) {
  struct Row {
    FileOp op;
    std::string path;  // the one that fails
    std::set<std::string> left;
    bool logged;
  } rows[] = {
      {FileOp::kUnlink, m_temp + "/b", {"b"}, true},
      {FileOp::kRmdir, m_temp + "/d", {"d"}, true},
      {FileOp::kList, m_temp, {"a", "b", "c", "d"}, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.path);
    for (const char* name : {"a", "b", "c"}) WriteFileBytes(m_temp + "/" + name, "x");
    MakeFolder("d", 0);
    FaultFileEnv env;
    env.SetHook([&](FileOp op, const std::string& path) { return op == r.op && path == r.path ? EIO : 0; });
    LogCapture log;
    CleanTempFolder(m_temp, kResumeFolderKeep, &env);
    EXPECT_EQ(Names(), r.left);
    EXPECT_EQ(log.Failures() > 0 && log.Contains(r.path), r.logged) << log.All();
    RemoveTree(m_temp);
    std::filesystem::create_directories(m_temp);
  }
  FaultFileEnv env;
  env.Fail(FileOp::kMkdir, "/work-", EACCES);
  CTempFolder store(&env);
  LogCapture log;
  EXPECT_FALSE(store.Open(m_temp));
  EXPECT_EQ(store.NewFilePath(), "");
  EXPECT_EQ(log.Failures(), 1) << log.All();
  EXPECT_EQ(Names(), std::set<std::string>{}) << "its claim ended with it";
}

// The claims of cache copies opened for editing are never touched, held or not: even a
// passing claim of the clean-up would make the user's open of that copy fail meanwhile.
TEST_F(TempFolderTest, TheCleanUpLeavesTheClaimsOfOpenedCopiesAlone) {
  CTempClaim held;
  ASSERT_TRUE(held.TryClaim(m_temp + "/edit-1111"));
  WriteFileBytes(m_temp + "/edit-2222.lock", "");  // left by a killed process
  WriteFileBytes(m_temp + "/loose", "x");
  FaultFileEnv env;
  std::string touched;
  env.SetHook([&](FileOp, const std::string& path) {
    if (path.find("/edit-") != std::string::npos) touched += path + " ";
    return 0;
  });
  CleanTempFolder(m_temp, kResumeFolderKeep, &env);
  EXPECT_EQ(Names(), (std::set<std::string>{"edit-1111.lock", "edit-2222.lock"}));
  EXPECT_EQ(touched, "");
}

}  // namespace
