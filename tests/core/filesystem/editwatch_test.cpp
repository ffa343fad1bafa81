// The watch of files opened for editing, with real programs: the test editor
// (tests/tools) started on the downloaded file through the opener, as the desktop would,
// told by the test through fifos when to go on. Each watch pass is run by the test
// (no watch thread), on a fake clock. What is checked: when the editing counts as over
// (the program's end, or the file's lock), what is uploaded then, and that nothing is
// left behind: no zombie, no descriptor.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <deque>

#include "filesyncrig.h"

namespace {

class EditWatchTest : public FileSyncRig {
 protected:
  void SetUp() override {
    FileSyncRig::SetUp();
    m_go = std::make_unique<EditorFifo>(PathIn("go"));
    m_said = std::make_unique<EditorFifo>(PathIn("said"));
  }
  void TearDown() override {
    m_go.reset();  // an editor still waiting reads the end and stops
    m_said.reset();
    FileSyncRig::TearDown();
  }

  // Steps that wait for the test's next "go".
  std::vector<std::string> Wait() { return {"--from=" + m_go->Path(), "--wait"}; }
  std::vector<std::string> Tell(const std::string& text) { return {"--to=" + m_said->Path(), "--tell=" + text}; }
  static std::vector<std::string> Steps(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
  }

  // Opens the file fileId ("<fileId>.txt" in folder P, content "hello" at version 3)
  // with the editor running steps; its path once the open has been handled.
  std::string OpenWithEditor(const std::string& fileId, std::vector<std::string> steps) {
    SeedItem(fileId, "P", fileId + ".txt", "hello", 3);
    m_window.SetEditorSteps(std::move(steps));
    const std::string local = Sync("P/" + fileId + ".txt");
    EXPECT_EQ(m_mgr->OpenFile(fileId, "\\P\\" + fileId + ".txt", local, ItemSpace::MyFile), S_OK);
    EXPECT_TRUE(m_scripted->WaitCallbacks(++m_callbacks));
    EXPECT_TRUE(m_mgr->IsFileOpen(fileId));
    return local;
  }
  // Runs a watch pass after the clock moved on by the release wait.
  void PassAfterReleaseWait() {
    m_clock.Advance(std::chrono::milliseconds(5000));
    m_mgr->CheckEditedFiles();
  }

  std::unique_ptr<EditorFifo> m_go, m_said;
  int m_callbacks = 0;
};

TEST_F(EditWatchTest, AnEditorThatAppendsAndExitsGivesExactlyOneForcedUpdate) {
  StartManager();
  const std::string local = OpenWithEditor("F1", Steps({Wait(), {"--append= and more"}}));
  m_mgr->CheckEditedFiles();  // the editor runs
  m_mgr->CheckEditedFiles();
  EXPECT_TRUE(m_mgr->IsFileOpen("F1"));
  EXPECT_TRUE(m_scripted->AddedOf("UpdateFile").empty());

  m_go->Send("go");
  ASSERT_TRUE(m_window.WaitExited(0));
  m_mgr->CheckEditedFiles();
  EXPECT_FALSE(m_mgr->IsFileOpen("F1"));
  ASSERT_TRUE(m_scripted->WaitCallbacks(++m_callbacks));
  const auto uploads = m_scripted->AddedOf("UpdateFile");
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_TRUE(uploads[0].force);
  EXPECT_EQ(uploads[0].id, "F1");
  EXPECT_EQ(uploads[0].secondPath, local);
  EXPECT_EQ(m_tasks.RunsOf("UpdateFile").at(0).fileVer, "3");
  EXPECT_EQ(m_tasks.RemoteContent("F1"), "hello and more");
  EXPECT_FALSE(Writable(local)) << "once sent, the cached copy is protected again";

  // Later passes find nothing more to do.
  m_mgr->CheckEditedFiles();
  PassAfterReleaseWait();
  EXPECT_EQ(m_scripted->AddedOf("UpdateFile").size(), 1u);
}

TEST_F(EditWatchTest, AnEditorThatExitsWithoutAChangeUploadsNothingAndLeavesTheCopyReadOnly) {
  StartManager();
  const std::string local = OpenWithEditor("F1", Steps({Wait(), {"--exit=0"}}));
  m_mgr->CheckEditedFiles();
  EXPECT_TRUE(Writable(local));
  m_go->Send("go");
  ASSERT_TRUE(m_window.WaitExited(0));
  m_mgr->CheckEditedFiles();
  EXPECT_FALSE(m_mgr->IsFileOpen("F1"));
  EXPECT_FALSE(Writable(local));
  EXPECT_TRUE(m_scripted->AddedOf("UpdateFile").empty());
  EXPECT_EQ(ReadFileBytes(local), "hello");
}

TEST_F(EditWatchTest, AProgramThatKeepsTheFileOpenIsFollowedByTheFilesLock) {
  StartManager();
  // A word processor: holds the file while the document is open, lets go on close, and
  // runs on.
  const std::string local =
      OpenWithEditor("F1", Steps({{"--hold", "--append=!"}, Tell("held"), Wait(), {"--close"}, Tell("closed"), Wait()}));
  ASSERT_EQ(m_said->Line(), "held");
  m_mgr->CheckEditedFiles();  // held: from now on the lock is followed
  PassAfterReleaseWait();
  EXPECT_TRUE(m_mgr->IsFileOpen("F1"));

  m_go->Send("close");
  ASSERT_EQ(m_said->Line(), "closed");
  m_mgr->CheckEditedFiles();  // free since now
  EXPECT_TRUE(m_mgr->IsFileOpen("F1"));
  PassAfterReleaseWait();  // free for the whole wait, while the program still runs
  EXPECT_FALSE(m_mgr->IsFileOpen("F1"));
  ASSERT_TRUE(m_scripted->WaitCallbacks(++m_callbacks));
  EXPECT_EQ(m_tasks.RemoteContent("F1"), "hello!");
  m_go->Send("end");
  ASSERT_TRUE(m_window.WaitExited(0));
}

TEST_F(EditWatchTest, OnlyALockTakenWithinTheFirstPassesTurnsTheWatchToTheLock) {
  StartManager();
  const struct {
    const char* what;
    int freePasses;       // passes that find the file free before the editor takes it
    bool openAfterExit;   // still watched at the pass after the editor's end
  } rows[] = {
      {"held at the last of the first five passes: the lock is followed", 4, true},
      {"held only after them: the program is still followed", 5, false},
  };
  int started = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string fileId = "F" + std::to_string(started + 1);
    OpenWithEditor(fileId, Steps({Wait(), {"--hold", "--append=!"}, Tell("held"), Wait()}));
    for (int pass = 0; pass < row.freePasses; ++pass) m_mgr->CheckEditedFiles();
    m_go->Send("hold");
    ASSERT_EQ(m_said->Line(), "held");
    m_mgr->CheckEditedFiles();  // finds the file held
    m_go->Send("end");
    ASSERT_TRUE(m_window.WaitExited(started++));
    m_mgr->CheckEditedFiles();
    EXPECT_EQ(m_mgr->IsFileOpen(fileId), row.openAfterExit);
    if (row.openAfterExit) PassAfterReleaseWait();
    EXPECT_FALSE(m_mgr->IsFileOpen(fileId));
    ASSERT_TRUE(m_scripted->WaitCallbacks(++m_callbacks));
    EXPECT_EQ(m_tasks.RemoteContent(fileId), "hello!");
  }
}

TEST_F(EditWatchTest, AFileHeldByAChildThatOutlivesTheEditorStaysOpenUntilTheChildClosesIt) {
  StartManager();
  // The editor hands the file to a child of its own and exits at once with success.
  const std::string local = OpenWithEditor(
      "F1", Steps({{"--hold", "--append=+"}, Tell("held"), {"--fork"}, Wait(), {"--close"}, Tell("closed")}));
  ASSERT_EQ(m_said->Line(), "held");
  ASSERT_TRUE(m_window.WaitExited(0));
  for (int pass = 0; pass < 8; ++pass) PassAfterReleaseWait();  // the child holds it throughout
  EXPECT_TRUE(m_mgr->IsFileOpen("F1"));
  EXPECT_TRUE(m_scripted->AddedOf("UpdateFile").empty());

  m_go->Send("close");
  ASSERT_EQ(m_said->Line(), "closed");
  m_mgr->CheckEditedFiles();
  PassAfterReleaseWait();
  EXPECT_FALSE(m_mgr->IsFileOpen("F1"));
  ASSERT_TRUE(m_scripted->WaitCallbacks(++m_callbacks));
  EXPECT_EQ(m_tasks.RemoteContent("F1"), "hello+");
}

TEST_F(EditWatchTest, ALauncherThatExitsAtOnceWithSuccessLeadsToTheLockWatch) {
  StartManager();
  const struct {
    const char* fileId;
    const char* exit;
    bool watchedOn;  // after the first pass
  } rows[] = {{"F1", "--exit=0", true}, {"F2", "--exit=1", false}};
  int started = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.exit);
    const std::string local = OpenWithEditor(row.fileId, {row.exit});
    ASSERT_TRUE(m_window.WaitExited(started++));
    m_mgr->CheckEditedFiles();
    EXPECT_EQ(m_mgr->IsFileOpen(row.fileId), row.watchedOn);
    PassAfterReleaseWait();
    EXPECT_FALSE(m_mgr->IsFileOpen(row.fileId));
    EXPECT_FALSE(Writable(local));
  }
  EXPECT_TRUE(m_scripted->AddedOf("UpdateFile").empty());
}

TEST_F(EditWatchTest, AFileThatIsGoneIsDroppedWithoutAnUpload) {
  StartManager();
  // Followed through its program: the end finds no file to hash.
  const std::string first = OpenWithEditor("F1", Steps({Wait()}));
  m_mgr->CheckEditedFiles();  // a first pass: the program is no launcher
  LogCapture log;
  ASSERT_EQ(unlink(first.c_str()), 0);
  m_go->Send("go");
  ASSERT_TRUE(m_window.WaitExited(0));
  m_mgr->CheckEditedFiles();
  EXPECT_FALSE(m_mgr->IsFileOpen("F1"));
  EXPECT_TRUE(log.Contains("cannot be hashed; it is not uploaded"));

  // Followed through its lock: the file's absence ends the watch.
  m_window.SetEditorSteps({});
  m_window.Script().SetShellOpenResult(kShellNoProcess);
  SeedItem("F2", "P", "F2.txt", "two", 1);
  ASSERT_EQ(m_mgr->OpenFile("F2", "\\P\\F2.txt", Sync("P/F2.txt"), ItemSpace::MyFile), S_OK);
  ASSERT_TRUE(m_scripted->WaitCallbacks(++m_callbacks));
  m_mgr->CheckEditedFiles();
  ASSERT_EQ(unlink(Sync("P/F2.txt").c_str()), 0);
  m_mgr->CheckEditedFiles();
  EXPECT_FALSE(m_mgr->IsFileOpen("F2"));
  EXPECT_TRUE(log.Contains("*ASSERT*: 0"));
  EXPECT_TRUE(m_scripted->AddedOf("UpdateFile").empty());
}

TEST_F(EditWatchTest, TwentyOpensAndClosesLeaveNoZombieAndNoDescriptor) {
  FileSyncOptions options = Options();
  options.releaseWait = std::chrono::milliseconds(0);
  StartManager(options);
  auto cycle = [&](int i) {
    const std::string fileId = "F" + std::to_string(i);
    // Launchers and plain programs, ending with success or not, changing the file or not.
    std::vector<std::string> steps;
    if (i % 3 == 0) steps.push_back("--append=x");
    steps.push_back(i % 2 ? "--exit=0" : "--exit=2");
    OpenWithEditor(fileId, steps);
    ASSERT_TRUE(m_window.WaitExited(i));
    m_mgr->CheckEditedFiles();
    ASSERT_FALSE(m_mgr->IsFileOpen(fileId));
    if (i % 3 == 0) {
      ASSERT_TRUE(m_scripted->WaitCallbacks(++m_callbacks));
    }
  };
  cycle(0);  // what the first open sets up once (threads, caches) is not counted
  const std::vector<std::string> descriptors = ProcessDescriptors();
  for (int i = 1; i <= 20; ++i) cycle(i);
  EXPECT_TRUE(WaitForReleasedChildren(std::chrono::seconds(30)));
  EXPECT_EQ(ProcessChildren(), "");
  siginfo_t info{};
  EXPECT_EQ(waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT), -1);
  EXPECT_EQ(errno, ECHILD);
  EXPECT_EQ(DescriptorsOpenedSince(descriptors), std::vector<std::string>{});
  EXPECT_EQ(m_scripted->AddedOf("UpdateFile").size(), 7u);  // 0, 3, ..., 18
}

TEST_F(EditWatchTest, TheLockWatchEndsOnlyWhenTheFileStayedFreeForTheReleaseWait) {
  // Each row: the probe's answers, one per pass, with the clock's step before each
  // pass: L held, F free, M missing. The file's content changed meanwhile.
  const struct {
    const char* what;
    const char* answers;
    int stepMs;
    const char* open;  // after each pass: 1 still open, 0 no longer
    bool uploaded;
  } rows[] = {
      {"free for the whole wait", "FF", 5000, "10", true},
      {"free for less than the wait", "FF", 4999, "11", false},
      {"free over several passes until the wait", "FFF", 2500, "110", true},
      {"held again in between", "FLFF", 5000, "1110", true},
      {"held throughout", "LLLL", 5000, "1111", false},
      {"gone", "FM", 1000, "10", false},
  };
  auto answers = std::make_shared<std::deque<FileLockState>>();
  auto lock = std::make_shared<std::mutex>();
  FileSyncOptions options = Options();
  options.probeLock = [answers, lock](const std::string&) {
    std::lock_guard<std::mutex> guard(*lock);
    if (answers->empty()) return FileLockState::kUnlocked;
    FileLockState next = answers->front();
    answers->pop_front();
    return next;
  };
  StartManager(options);
  m_window.Script().SetShellOpenResult(kShellNoProcess);
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string fileId = "F" + std::to_string(++n);
    SeedItem(fileId, "P", fileId + ".txt", "v1", 1);
    ASSERT_EQ(m_mgr->OpenFile(fileId, "\\P\\" + fileId + ".txt", Sync("P/" + fileId + ".txt"), ItemSpace::MyFile),
              S_OK);
    ASSERT_TRUE(m_scripted->WaitCallbacks(++m_callbacks));
    WriteFileBytes(Sync("P/" + fileId + ".txt"), "v2");
    {
      std::lock_guard<std::mutex> guard(*lock);
      answers->clear();
      for (const char* a = row.answers; *a; ++a)
        answers->push_back(*a == 'L' ? FileLockState::kLocked : *a == 'F' ? FileLockState::kUnlocked
                                                                          : FileLockState::kMissing);
    }
    std::string open;
    for (size_t pass = 0; pass < std::strlen(row.answers); ++pass) {
      m_clock.Advance(std::chrono::milliseconds(row.stepMs));
      m_mgr->CheckEditedFiles();
      open += m_mgr->IsFileOpen(fileId) ? "1" : "0";
    }
    EXPECT_EQ(open, row.open);
    if (row.uploaded) {
      ASSERT_TRUE(m_scripted->WaitCallbacks(++m_callbacks));
    }
    EXPECT_EQ(m_tasks.RemoteContent(fileId), row.uploaded ? "v2" : "v1");
    m_mgr->RemoveOpenFile("");
  }
}

}  // namespace
