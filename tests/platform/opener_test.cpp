// The opener starts a real program (the test editor) on a file and watches it through a
// pidfd: running while it holds the file, ended with its exit status afterwards, a start
// that cannot run the program fails, and nothing is left behind: no zombie, no
// descriptor, none of our descriptors or signal settings in the program.
#include "platform/opener.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "platform/lockprobe.h"
#include "support/editorprogram.h"
#include "support/testenv.h"

namespace {

std::vector<std::string> Editor(std::vector<std::string> steps) {
  steps.insert(steps.begin(), OSTREL_TEST_EDITOR_PATH);
  return steps;
}

// Waits (within the guard) until the child has ended, and answers its state.
ChildStatus WaitEnded(int pidfd) {
  pollfd p{pidfd, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, kEditorGuardMs), 1) << "the program did not end";
  return ChildState(pidfd);
}

// True when this process has no child at all, running or ended.
bool NoChild() {
  siginfo_t info{};
  return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD && ProcessChildren().empty();
}

std::map<std::string, std::string> ReadReport(const std::string& path) {
  std::map<std::string, std::string> report;
  std::string text = ReadFileBytes(path);
  size_t at = 0;
  while (at < text.size()) {
    size_t eq = text.find('=', at);
    if (eq == std::string::npos) break;
    std::string key = text.substr(at, eq - at);
    // "file" is the last key and runs to the end: a name may hold a newline.
    size_t end = key == "file" ? text.size() : text.find('\n', eq);
    if (end == std::string::npos) end = text.size();
    report[key] = text.substr(eq + 1, end - eq - 1);
    at = end + 1;
  }
  return report;
}

bool MaskHas(const std::string& hexMask, int sig) {
  unsigned long long mask = std::stoull(hexMask, nullptr, 16);
  return (mask >> (sig - 1)) & 1;
}

class OpenerTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    m_said = std::make_unique<EditorFifo>(PathIn("said"));
    m_ctl = std::make_unique<EditorFifo>(PathIn("ctl"));
  }
  // The steps that connect the editor to the two fifos.
  std::vector<std::string> Talk(std::vector<std::string> steps) const {
    steps.insert(steps.begin(), {"--to=" + m_said->Path(), "--from=" + m_ctl->Path()});
    return Editor(steps);
  }

  std::unique_ptr<EditorFifo> m_said, m_ctl;
};

TEST_F(OpenerTest, RunningWhileItEditsThenEndedWithItsStatus) {
  struct Row {
    const char* hold;  // how the editor keeps the file while the user edits
    bool locked;       // what the lock probe sees meanwhile
    int status;
  } rows[] = {
      {"--hold", true, 0},         // a word processor: keeps it open
      {"--flock", true, 3},        // and locks it
      {"--posix-lock", true, 255},
      {"--tell=opened", false, 7},  // a plain editor: read it, let it go
  };
  const std::string path = PathIn("it's \"a\" 文件 $(x) `y` ;&.txt");
  for (const Row& r : rows) {
    SCOPED_TRACE(r.hold);
    WriteFileBytes(path, "text");
    int error = -1;
    int pidfd = StartOpener(Talk({r.hold, "--append=+edit", "--tell=ready", "--wait", "--close",
                                  "--exit=" + std::to_string(r.status)}),
                            path, &error);
    ASSERT_GE(pidfd, 0) << strerror(error);
    EXPECT_EQ(error, 0);
    if (std::string(r.hold) == "--tell=opened") {
      EXPECT_EQ(m_said->Line(), "opened");
    }
    ASSERT_EQ(m_said->Line(), "ready");

    EXPECT_EQ(ChildState(pidfd).kind, ChildStatus::kRunning);
    EXPECT_EQ(ProbeFileLock(path), r.locked ? FileLockState::kLocked : FileLockState::kUnlocked);
    EXPECT_EQ(ReadFileBytes(path), "text+edit");

    m_ctl->Send("close");
    ChildStatus ended = WaitEnded(pidfd);
    EXPECT_EQ(ended.kind, ChildStatus::kExited);
    EXPECT_EQ(ended.code, r.status);
    EXPECT_EQ(ended.EndedWithSuccess(), r.status == 0);
    // Reaped by that answer: it cannot be given twice.
    ChildStatus again = ChildState(pidfd);
    EXPECT_EQ(again.kind, ChildStatus::kUnknown);
    EXPECT_EQ(again.code, ECHILD);
    EXPECT_EQ(ProbeFileLock(path), FileLockState::kUnlocked);
    ReleaseChild(pidfd);
  }
  EXPECT_TRUE(NoChild());
}

// No shell sits between us and the program: a name reaches it byte for byte, and a name
// that looks like an option is not taken for one.
TEST_F(OpenerTest, TheFileNameReachesTheProgramAsItIs) {
  struct Row {
    std::string given;     // the path handed to the opener (relative ones: in the root)
    std::string received;  // what the program gets
  } rows[] = {
      {PathIn("a b.txt"), PathIn("a b.txt")},
      {PathIn("it's \"q\" $(rm x) `y` ;&|*?<>\\.txt"), PathIn("it's \"q\" $(rm x) `y` ;&|*?<>\\.txt")},
      {PathIn("报告 草稿 ü.docx"), PathIn("报告 草稿 ü.docx")},
      {PathIn("two\nlines\t.txt"), PathIn("two\nlines\t.txt")},
      {PathIn("-rf"), PathIn("-rf")},
      {"-rf --help.txt", "./-rf --help.txt"},
      {"plain.txt", "plain.txt"},
  };
  char oldCwd[4096];
  ASSERT_TRUE(getcwd(oldCwd, sizeof(oldCwd)));
  ASSERT_EQ(chdir(Root().c_str()), 0);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.given);
    int pidfd = StartOpener(Editor({"--report=" + PathIn("report"), "--append=x"}), r.given);
    ASSERT_GE(pidfd, 0);
    EXPECT_TRUE(WaitEnded(pidfd).EndedWithSuccess());
    ReleaseChild(pidfd);
    auto report = ReadReport(PathIn("report"));
    EXPECT_EQ(report["file"], r.received);
    EXPECT_EQ(report["argc"], "4") << "one argument, not split";
    std::string onDisk = r.given[0] == '/' ? r.given : PathIn(r.given);
    EXPECT_EQ(ReadFileBytes(onDisk), "x");
  }
  ASSERT_EQ(chdir(oldCwd), 0);
}

TEST_F(OpenerTest, TheProgramGetsOnlyTheStandardDescriptorsAndDefaultSignals) {
  // What a careless library of ours might leave: descriptors without close-on-exec.
  int leaked = open("/dev/null", O_RDONLY);
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  ASSERT_GT(leaked, 2);
  // The process ignores SIGPIPE (transfers rely on it); this thread blocks SIGUSR1.
  struct sigaction ignore {}, oldPipe {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGPIPE, &ignore, &oldPipe), 0);
  sigset_t block, oldMask;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &oldMask), 0);

  int pidfd = StartOpener(Editor({"--report=" + PathIn("report")}), PathIn("doc.txt"));

  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  sigaction(SIGPIPE, &oldPipe, nullptr);
  ASSERT_GE(pidfd, 0);
  EXPECT_TRUE(WaitEnded(pidfd).EndedWithSuccess());
  ReleaseChild(pidfd);
  close(leaked);
  close(pipeFds[0]);
  close(pipeFds[1]);

  auto report = ReadReport(PathIn("report"));
  ASSERT_FALSE(report["fds"].empty());
  for (const std::string& fd : {std::to_string(leaked), std::to_string(pipeFds[0]), std::to_string(pipeFds[1])})
    EXPECT_EQ(("," + report["fds"] + ",").find("," + fd + ","), std::string::npos) << report["fds"];
  size_t start = 0;
  while (start < report["fds"].size()) {
    size_t comma = report["fds"].find(',', start);
    if (comma == std::string::npos) comma = report["fds"].size();
    EXPECT_LE(std::stoi(report["fds"].substr(start, comma - start)), 2) << report["fds"];
    start = comma + 1;
  }
  EXPECT_FALSE(MaskHas(report["sigign"], SIGPIPE)) << report["sigign"];
  EXPECT_FALSE(MaskHas(report["sigblk"], SIGUSR1)) << report["sigblk"];
  // In our session and process group: a terminal editor keeps the terminal we have.
  EXPECT_EQ(report["pgid"], std::to_string(getpgrp()));
  EXPECT_EQ(report["sid"], std::to_string(getsid(0)));
}

TEST_F(OpenerTest, AProgramThatCannotRunFailsTheStartAndLeavesNothing) {
  std::string plainFile = PathIn("notes.txt"), garbage = PathIn("garbage");
  WriteFileBytes(plainFile, "not a program");
  WriteFileBytes(garbage, "\x01\x02\x03 neither a script nor a binary");
  ASSERT_EQ(chmod(garbage.c_str(), 0755), 0);
  const std::string file = PathIn("doc.txt");
  struct Row {
    const char* what;
    std::vector<std::string> program;
    std::string file;
    int error;
  } rows[] = {
      {"not on PATH", {"ostrel-no-such-program"}, file, ENOENT},
      {"no such path", {PathIn("missing/editor")}, file, ENOENT},
      {"not executable", {plainFile}, file, EACCES},
      {"a folder", {Root()}, file, EACCES},
      {"no program format", {garbage}, file, ENOEXEC},
      {"no program", {}, file, EINVAL},
      {"empty name", {""}, file, EINVAL},
      {"NUL in an argument", {OSTREL_TEST_EDITOR_PATH, std::string("--append=a\0b", 12)}, file, EINVAL},
      {"no file", {OSTREL_TEST_EDITOR_PATH}, "", EINVAL},
      {"NUL in the file", {OSTREL_TEST_EDITOR_PATH}, std::string("/tmp/a\0b", 8), EINVAL},
  };
  const std::vector<std::string> descriptors = ProcessDescriptors();
  for (const Row& r : rows) {
    int error = 0;
    EXPECT_EQ(StartOpener(r.program, r.file, &error), -1) << r.what;
    EXPECT_EQ(error, r.error) << r.what << ": " << strerror(error);
    EXPECT_TRUE(NoChild()) << r.what;
    EXPECT_EQ(ProcessDescriptors(), descriptors) << r.what;
  }
  EXPECT_FALSE(FileExists(file));
}

// A program started without a pidfd could not be watched: it is ended, not left running
// unseen, and the start fails.
TEST_F(OpenerTest, NoDescriptorForTheWatchMeansNoProgram) {
  int lowestFree = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(lowestFree, 0);
  close(lowestFree);
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit tight = old;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  int error = 0;
  int pidfd = StartOpener(Talk({"--wait"}), PathIn("doc.txt"), &error);
  setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_EQ(pidfd, -1);
  EXPECT_EQ(error, EMFILE);
  EXPECT_TRUE(NoChild());
}

TEST_F(OpenerTest, TwentyStartsAndEndsLeaveNoZombieAndNoDescriptor) {
  const std::vector<std::string> descriptors = ProcessDescriptors();
  for (int i = 0; i < 20; ++i) {
    int pidfd = StartOpener(Editor({"--append=.", "--exit=" + std::to_string(i % 3)}), PathIn("doc.txt"));
    ASSERT_GE(pidfd, 0);
    pollfd p{pidfd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, kEditorGuardMs), 1);
    // Half are asked first (which reaps), half are given up as soon as they end.
    if (i % 2 == 0) {
      ChildStatus s = ChildState(pidfd);
      EXPECT_EQ(s.kind, ChildStatus::kExited);
      EXPECT_EQ(s.code, i % 3);
    }
    ReleaseChild(pidfd);
  }
  EXPECT_EQ(ReadFileBytes(PathIn("doc.txt")), std::string(20, '.'));
  EXPECT_TRUE(NoChild()) << ProcessChildren();
  EXPECT_EQ(ProcessDescriptors(), descriptors);
  EXPECT_EQ(ReleasedChildrenRunning(), 0u);
}

// A watcher that gives up on a program still running (it now follows the file's lock)
// leaves it running, and it is reaped when it ends.
TEST_F(OpenerTest, AProgramGivenUpWhileRunningIsReapedWhenItEnds) {
  const std::vector<std::string> descriptors = ProcessDescriptors();
  const std::string path = PathIn("doc.txt");
  int pidfd = StartOpener(Talk({"--hold", "--tell=ready", "--wait", "--close", "--tell=closed"}), path);
  ASSERT_GE(pidfd, 0);
  ASSERT_EQ(m_said->Line(), "ready");
  ReleaseChild(pidfd);
  EXPECT_EQ(ReleasedChildrenRunning(), 1u);
  EXPECT_FALSE(ProcessChildren().empty());
  EXPECT_EQ(ProbeFileLock(path), FileLockState::kLocked) << "still running";

  m_ctl->Send("close");
  EXPECT_EQ(m_said->Line(), "closed");
  EXPECT_TRUE(WaitForReleasedChildren(std::chrono::milliseconds(kEditorGuardMs)));
  EXPECT_TRUE(NoChild()) << ProcessChildren();
  EXPECT_EQ(ProcessDescriptors(), descriptors);
}

// A launcher hands the file to a process that outlives it (an editor's server): the
// launcher ends at once with success, and the file stays held by the other process.
TEST_F(OpenerTest, AProgramThatHandsTheFileOnIsSeenThroughTheLock) {
  const std::string path = PathIn("表格 1.xlsx");
  WriteFileBytes(path, "cells");
  int pidfd = StartOpener(Talk({"--flock", "--fork", "--tell=ready", "--wait", "--close", "--tell=closed"}), path);
  ASSERT_GE(pidfd, 0);
  ChildStatus launcher = WaitEnded(pidfd);
  EXPECT_TRUE(launcher.EndedWithSuccess()) << launcher.kind << " " << launcher.code;
  ReleaseChild(pidfd);
  ASSERT_EQ(m_said->Line(), "ready");
  EXPECT_TRUE(NoChild()) << "the server is no child of ours";
  EXPECT_EQ(ProbeFileLock(path), FileLockState::kLocked);

  m_ctl->Send("close");
  ASSERT_EQ(m_said->Line(), "closed");
  EXPECT_EQ(ProbeFileLock(path), FileLockState::kUnlocked);
}

TEST_F(OpenerTest, StatesThatAreNoPlainExit) {
  // Ended by a signal.
  int pidfd = StartOpener(Talk({"--tell=ready", "--wait"}), PathIn("doc.txt"));
  ASSERT_GE(pidfd, 0);
  ASSERT_EQ(m_said->Line(), "ready");
  ASSERT_EQ(syscall(SYS_pidfd_send_signal, pidfd, SIGTERM, nullptr, 0), 0);
  ChildStatus s = WaitEnded(pidfd);
  EXPECT_EQ(s.kind, ChildStatus::kSignalled);
  EXPECT_EQ(s.code, SIGTERM);
  EXPECT_TRUE(s.Ended());
  EXPECT_FALSE(s.EndedWithSuccess());
  ReleaseChild(pidfd);

  // Not a child of ours, not a pidfd, no descriptor: nothing can be told.
  int parent = static_cast<int>(syscall(SYS_pidfd_open, getppid(), 0));
  ASSERT_GE(parent, 0);
  s = ChildState(parent);
  EXPECT_EQ(s.kind, ChildStatus::kUnknown);
  EXPECT_EQ(s.code, ECHILD);
  ReleaseChild(parent);
  EXPECT_EQ(fcntl(parent, F_GETFD), -1) << "released means closed";

  int notPidfd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(ChildState(notPidfd).kind, ChildStatus::kUnknown);
  close(notPidfd);
  s = ChildState(-1);
  EXPECT_EQ(s.kind, ChildStatus::kUnknown);
  EXPECT_EQ(s.code, EBADF);
  ReleaseChild(-1);
  EXPECT_FALSE(s.Ended());
}

}  // namespace
