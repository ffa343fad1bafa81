// The file sync manager's claims on cache copies, with the real task manager running
// fake file tasks, the real local storage and the real shell adapter: a copy another
// process of the user claims is left as it is, a killed process's claim blocks nothing,
// and this process claims a copy from its open until its edit is sent, and no longer.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "common/strhelper.h"
#include "filesyncrig.h"
#include "platform/tempclaim.h"
#include "support/filefault.h"

namespace {

class FileSyncClaimsTest : public FileSyncRig {
 protected:
  std::string TrashFile(const std::string& name) { return PathIn("data/Trash/files/" + name); }

  // The claim entry of a cache copy in the temp folder, as another process of the user
  // names it: "edit-" and the SHA-1 of the copy's path, its folder's links resolved.
  std::string ClaimEntry(const std::string& local) {
    const std::string folder = FolderOfPath(local);
    std::filesystem::create_directories(folder);
    const std::string path = std::filesystem::canonical(folder).string() + "/" + GetFileNameFromPath(local);
    return m_store->GetTempFolder() + "edit-" + Sha1Of(path);
  }
  // Whether a claim other than the test's holds the copy (a process's own claims
  // exclude each other as another process's do).
  bool Claimed(const std::string& local) {
    CTempClaim probe;
    if (probe.TryClaim(ClaimEntry(local))) return false;
    EXPECT_EQ(errno, EWOULDBLOCK);
    return true;
  }
  // A file of the user's, opened and watched (the program ends at once).
  std::string OpenSeeded(const std::string& fileId, const std::string& content) {
    SeedItem(fileId, "P", fileId + ".txt", content, 1);
    const std::string local = Sync("P/" + fileId + ".txt");
    EXPECT_EQ(m_mgr->OpenFile(fileId, "\\P\\" + fileId + ".txt", local, ItemSpace::MyFile), S_OK);
    EXPECT_TRUE(m_scripted->WaitCallbacks(++m_ends));
    EXPECT_TRUE(m_mgr->IsFileOpen(fileId));
    return local;
  }
  // Runs watch passes until the file's editing is over (no program holds it).
  void CloseEdited(const std::string& fileId) {
    for (int pass = 0; pass < 3 && m_mgr->IsFileOpen(fileId); ++pass) {
      m_clock.Advance(std::chrono::seconds(10));
      m_mgr->CheckEditedFiles();
    }
    EXPECT_FALSE(m_mgr->IsFileOpen(fileId));
  }

  int m_ends = 0;  // task ends waited for
};

TEST_F(FileSyncClaimsTest, ACopyAnotherProcessClaimsIsLeftAsItIs) {
  StartManager();
  const char* kInEdit = "正在被您的另一个程序编辑，请等编辑结束后再试。";
  const struct {
    const char* what;
    const char* cached;  // the copy's content; the stored item holds "stored"
    bool open;           // else a plain download onto the copy
    mode_t mode;
  } rows[] = {
      {"an open of an edit not sent yet", "an edit in progress", true, 0644},
      {"an open of the stored version", "stored", true, 0444},
      {"a download onto an edit not sent yet", "an edit in progress", false, 0644},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string fileId = "F" + std::to_string(++n), name = fileId + ".txt";
    SeedItem(fileId, "P", name, "stored", 1);
    ServiceVersion(1);
    const std::string local = Sync("P/" + name);
    const std::string entry = ClaimEntry(local);  // its folder is made
    WriteFileBytes(local, row.cached);
    ASSERT_EQ(chmod(local.c_str(), row.mode), 0);
    CTempClaim other;  // the other process's
    ASSERT_TRUE(other.TryClaim(entry));
    const size_t calls = m_window.Script().Calls().size();

    const HRESULT hr = row.open ? m_mgr->OpenFile(fileId, "\\P\\" + name, local, ItemSpace::MyFile)
                                : m_mgr->DownloadFile(fileId, "\\P\\" + name, local, true, ItemSpace::MyFile);
    EXPECT_EQ(hr, E_CV_LOCAL_IN_EDIT);
    EXPECT_EQ(ReadFileBytes(local), row.cached);
    struct stat st {};
    ASSERT_EQ(lstat(local.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, row.mode) << "not made writable";
    EXPECT_FALSE(FileExists(TrashFile(name)));
    EXPECT_FALSE(FileExists(local + ".otl"));
    EXPECT_TRUE(m_scripted->AddedTasks().empty());
    EXPECT_FALSE(m_mgr->IsFileOpen(fileId));
    const auto told = m_window.Script().Calls();
    ASSERT_EQ(told.size(), calls + 1) << "one notice, no question";
    EXPECT_EQ(told.back().op, "ShowNotify");
    EXPECT_EQ(told.back().text, "文件“" + name + "”" + kInEdit);
  }
}

TEST_F(FileSyncClaimsTest, AClaimLeftByAKilledProcessDoesNotBlockTheNextOpen) {
  StartManager();
  SeedItem("F1", "P", "a.txt", "stored", 1);
  const std::string local = Sync("P/a.txt");
  const std::string entry = ClaimEntry(local);
  const pid_t child = fork();
  if (child == 0) {
    CTempClaim dead;
    if (dead.TryClaim(entry)) raise(SIGKILL);
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the child did not claim the copy";
  ASSERT_TRUE(FileExists(entry + ".lock")) << "a killed process leaves its lock file";

  ASSERT_EQ(m_mgr->OpenFile("F1", "\\P\\a.txt", local, ItemSpace::MyFile), S_OK);
  ASSERT_TRUE(m_scripted->WaitCallbacks(1));
  EXPECT_TRUE(m_mgr->IsFileOpen("F1"));
  EXPECT_TRUE(Claimed(local));
  CloseEdited("F1");
  EXPECT_FALSE(Claimed(local));
  EXPECT_FALSE(FileExists(entry + ".lock")) << "a claim removes its lock file when it ends";
}

// The claim of an opened copy lasts until the edit is over and sent: whatever ends it
// too early lets another process take an edit that was never sent; whatever never ends
// it locks the user out of the file.
TEST_F(FileSyncClaimsTest, AnOpenedCopyIsClaimedUntilItsEditIsSentAndNoLonger) {
  StartManager();
  using Step = std::function<void(const std::string& fileId, const std::string& local)>;
  const Step nothing = [](const std::string&, const std::string&) {};
  const struct {
    const char* what;
    Step whileClaimed;  // runs once the file is opened; the copy must stay claimed
    Step ending;        // then the copy must be claimed no more
  } rows[] = {
      {"an unchanged file is closed", nothing, [&](const std::string& id, const std::string&) { CloseEdited(id); }},
      {"a changed file is closed: claimed until its upload has ended",
       [&](const std::string& id, const std::string& local) {
         WriteFileBytes(local, "edited");
         m_tasks.Hold("UpdateFile");
         CloseEdited(id);
         ASSERT_TRUE(m_tasks.WaitWaiting(1));
       },
       [&](const std::string& id, const std::string&) {
         m_tasks.Release("UpdateFile");
         ASSERT_TRUE(m_scripted->WaitCallbacks(++m_ends));
         EXPECT_EQ(m_tasks.RemoteContent(id), "edited");
       }},
      {"a changed file is closed and its upload fails",
       [&](const std::string& id, const std::string& local) {
         WriteFileBytes(local, "edited");
         m_tasks.SetResult(id, E_CV_NETWORK_ERROR);
         m_tasks.Hold("UpdateFile");
         CloseEdited(id);
         ASSERT_TRUE(m_tasks.WaitWaiting(1));
       },
       [&](const std::string&, const std::string&) {
         m_tasks.Release("UpdateFile");
         ASSERT_TRUE(m_scripted->WaitCallbacks(++m_ends));
       }},
      {"a re-upload while open, then the entry is removed",
       [&](const std::string& id, const std::string& local) {
         WriteFileBytes(local, "saved while open");
         m_tasks.Hold("UpdateFile");
         ASSERT_EQ(m_mgr->ReopenFile(id), S_OK);
         ASSERT_TRUE(m_tasks.WaitWaiting(1));
         ASSERT_EQ(m_mgr->RemoveOpenFile(id), S_OK);
       },
       [&](const std::string&, const std::string&) {
         m_tasks.Release("UpdateFile");
         ASSERT_TRUE(m_scripted->WaitCallbacks(++m_ends));
       }},
      {"the file is gone", nothing,
       [&](const std::string& id, const std::string& local) {
         ASSERT_EQ(unlink(local.c_str()), 0);
         CloseEdited(id);
       }},
      {"the file manager stops", nothing, [&](const std::string&, const std::string&) { m_mgr->UnInit(); }},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string fileId = "F" + std::to_string(++n);
    const std::string local = OpenSeeded(fileId, "stored");
    EXPECT_TRUE(Claimed(local));
    row.whileClaimed(fileId, local);
    EXPECT_TRUE(Claimed(local));
    row.ending(fileId, local);
    EXPECT_FALSE(Claimed(local));
  }
}

TEST_F(FileSyncClaimsTest, AnOpenOrDownloadThatEndsWithoutAnEditLetsGoOfTheCopy) {
  StartManager();
  const struct {
    const char* what;
    HRESULT download;      // the download's result
    ShellProcess opener;   // what the opener answers
    int oldCopyButton;     // of "打开旧版本|取消", -1: no old copy
    bool open;             // else a plain download into the cache folder
    bool openedOldCopy;
  } rows[] = {
      {"the download fails", E_CV_NETWORK_ERROR, kShellNoProcess, -1, true, false},
      {"no program opens it", S_OK, kShellOpenFailed, -1, true, false},
      {"the old copy is not wanted", E_CV_NETWORK_ERROR, kShellNoProcess, 1, true, false},
      {"the old copy is opened read-only, then closed", E_CV_NETWORK_ERROR, kShellNoProcess, 0, true, true},
      {"a download into the cache folder", S_OK, kShellNoProcess, -1, false, false},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string fileId = "F" + std::to_string(++n), name = fileId + ".txt";
    const std::string local = Sync("P/" + name);
    m_tasks.SetRemote(fileId, "stored", 1);
    m_tasks.SetResult(fileId, row.download);
    if (row.oldCopyButton >= 0) {
      ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(Sync("P"))), 0);
      WriteFileBytes(local, "old copy");
      m_window.Script().QueueWizardChoice(row.oldCopyButton);
    }
    m_window.Script().SetShellOpenResult(row.opener);
    m_tasks.Hold("DownloadFile");
    if (row.open)
      ASSERT_EQ(m_mgr->OpenFile(fileId, "\\P\\" + name, local, ItemSpace::MyFile), S_OK);
    else
      ASSERT_EQ(m_mgr->DownloadFile(fileId, "\\P\\" + name, local, true, ItemSpace::MyFile), S_OK);
    ASSERT_TRUE(m_tasks.WaitWaiting(1));
    EXPECT_TRUE(Claimed(local)) << "while it downloads";
    m_tasks.Release("DownloadFile");
    ASSERT_TRUE(m_scripted->WaitCallbacks(++m_ends));
    EXPECT_EQ(m_mgr->IsFileOpen(fileId), row.openedOldCopy);
    EXPECT_EQ(Claimed(local), row.openedOldCopy);
    if (row.openedOldCopy) CloseEdited(fileId);
    EXPECT_FALSE(Claimed(local));
  }
  m_window.Script().SetShellOpenResult(kShellNoProcess);
}

TEST_F(FileSyncClaimsTest, ACopyThatCannotBeClaimedIsNeitherOpenedNorDownloadedInto) {
  FaultFileEnv faults;
  faults.Fail(FileOp::kOpen, "/edit-", EIO);
  FileSyncOptions options = Options();
  options.env = &faults;
  StartManager(options);
  SeedItem("F1", "P", "a.txt", "stored", 1);
  const std::string local = Sync("P/a.txt");
  ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(Sync("P"))), 0);
  WriteFileBytes(local, "an edit");
  LogCapture log;
  EXPECT_EQ(m_mgr->OpenFile("F1", "\\P\\a.txt", local, ItemSpace::MyFile), E_FAIL);
  EXPECT_EQ(m_mgr->DownloadFile("F1", "\\P\\a.txt", local, true, ItemSpace::MyFile), E_FAIL);
  EXPECT_EQ(ReadFileBytes(local), "an edit");
  EXPECT_TRUE(m_scripted->AddedTasks().empty());
  EXPECT_TRUE(m_window.Texts("ShowWizard").empty());
  EXPECT_EQ(Notices(), (std::vector<std::string>{"打开“a.txt”失败", "下载“a.txt”失败"}));
  EXPECT_TRUE(log.Contains("cannot be claimed in the temp folder")) << log.All();
  // A download elsewhere claims nothing and goes on.
  EXPECT_EQ(m_mgr->DownloadFile("F1", "\\P\\a.txt", PathIn("a.txt"), false, ItemSpace::MyFile), S_OK);
  EXPECT_EQ(ReadFileBytes(PathIn("a.txt")), "stored");
}

}  // namespace
