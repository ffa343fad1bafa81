// The ostrel program against the test's own local service: a user's session in a real
// terminal (a pseudo-terminal), and every failure the service can give, each of which
// must print its line and end with a non-zero exit status.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "app/resultmessages.h"
#include "common/registry.h"
#include "core/remotestorage/serverresultmap.h"
#include "ptysession.h"
#include "support/fsseed.h"
#include "support/serviceclient.h"

namespace {

class OstrelProgramTest : public LocalServiceTest {
 protected:
  std::vector<std::string> ServiceArgs() override { return {"--push-hold-ms", "200"}; }
  void SetUp() override {
    LocalServiceTest::SetUp();
    AimClientAtService(Service(), Root());
    Service().Control("POST", "/test/fs/account", R"({"user":"alice","password":"pw-alice","userId":"alice01"})");
  }
  std::vector<std::string> Args(std::vector<std::string> args) {
    args.insert(args.begin(), {"--config", Root()});
    return args;
  }
  ProgramRun Ostrel(const std::vector<std::string>& args, const std::string& input = "") {
    return RunProgram(OstrelProgramPath(), Args(args), input);
  }
  void SignIn() {
    ProgramRun run = Ostrel({"login", "alice", "--password-stdin"}, "pw-alice\n");
    ASSERT_EQ(0, run.status) << run.err;
  }
  // Types the command into the shell and returns what it printed up to the next prompt.
  static std::string InShell(PtySession& pty, const std::string& command) {
    const size_t from = pty.Output().size();
    pty.Send(command + "\n");
    EXPECT_TRUE(pty.WaitFor("ostrel> ")) << pty.Output();
    return pty.Output().substr(from);
  }
  // Waits until the client has taken the answer of a poll that began after now: the
  // poll that answers now is followed by one more, sent once its answer is stored.
  void AwaitPushTaken() {
    const size_t polls = Service().Requests("/sync/get").size();
    ASSERT_TRUE(Service().AwaitRequests("/sync/get", polls + 2));
  }
  // The next push answer says opVer 2^53, far ahead of the service's; with holdNext the
  // poll after it is held, so that no real answer follows.
  void PushFarAhead(bool holdNext) {
    const int64_t shareVer = FsState(Service(), "alice01")["shareVer"].get<int64_t>();
    nlohmann::json faults = nlohmann::json::array();
    faults.push_back({{"path", "/sync/get"},
                      {"body", "<?xml version=\"1.0\" encoding=\"utf-8\"?><nuvra result=\"ok\"><opVer>"
                               "9007199254740992</opVer><shareVer>" + std::to_string(shareVer) +
                                   "</shareVer><deviceId>dev-faulty</deviceId></nuvra>"}});
    if (holdNext) faults.push_back({{"path", "/sync/get"}, {"hold", "after-faulty"}});
    Service().Inject(faults.dump());
    AwaitPushTaken();
  }
  void MakeFolder(const std::string& name) {
    FsControl(Service(), "/test/fs/item", {{"userId", "alice01"}, {"name", name}, {"type", "folder"}});
  }
};

TEST_F(OstrelProgramTest, AUserWorksInATerminalSession) {
  const std::string up = PathIn("up");
  ASSERT_EQ(0, mkdir(up.c_str(), 0700));
  ASSERT_EQ(0, mkdir((up + "/sub").c_str(), 0700));
  WriteFileBytes(up + "/a.txt", "first\n");
  WriteFileBytes(up + "/sub/b.bin", RandomBytes(300000, 7));
  const std::string down = PathIn("down");
  ASSERT_EQ(0, mkdir(down.c_str(), 0700));

  PtySession pty;
  const std::string editor = std::string(OSTREL_TEST_EDITOR_PATH) + " --append=EDITED";
  ASSERT_TRUE(pty.Start(OstrelProgramPath(), Args({"--progress-delay", "0", "shell", "--login", "alice"}),
                        {"VISUAL=" + editor}));
  ASSERT_TRUE(pty.WaitFor("Password for alice: ")) << pty.Output();
  pty.Send("pw-alice\n");
  ASSERT_TRUE(pty.WaitFor("Signed in as")) << pty.Output();
  EXPECT_EQ(std::string::npos, pty.Output().find("pw-alice")) << "the password was echoed";

  ASSERT_TRUE(pty.WaitFor("ostrel> "));
  pty.Send("put " + up + " /\n");
  ASSERT_TRUE(pty.WaitFor("Uploaded 2 files")) << pty.Output();
  EXPECT_NE(std::string::npos, pty.Output().find("100%")) << "no progress bar: " << pty.Output();

  ASSERT_TRUE(pty.WaitFor("ostrel> "));
  pty.Send("ls /up\n");
  ASSERT_TRUE(pty.WaitFor("a.txt")) << pty.Output();
  EXPECT_NE(std::string::npos, pty.Output().find("sub/\r\n")) << pty.Output();

  ASSERT_TRUE(pty.WaitFor("ostrel> "));
  pty.Send("get /up/a.txt " + down + "\n");
  ASSERT_TRUE(pty.WaitFor("Downloaded 1 file")) << pty.Output();
  EXPECT_EQ("first\n", ReadFileBytes(down + "/a.txt"));

  // Downloading onto the changed file again asks twice; the keyboard answers "替换",
  // then "放弃" (the local change goes to the trash).
  WriteFileBytes(down + "/a.txt", "local\n");
  ASSERT_TRUE(pty.WaitFor("ostrel> "));
  pty.Send("get /up/a.txt " + down + "\n");
  ASSERT_TRUE(pty.WaitFor("已经存在，是否进行文件替换?")) << pty.Output();
  ASSERT_TRUE(pty.WaitFor("Choose 1-2")) << pty.Output();
  pty.Send("1\n");
  ASSERT_TRUE(pty.WaitFor("发现本地有一份修改未上传到服务器中")) << pty.Output();
  ASSERT_TRUE(pty.WaitFor("Choose 1-2")) << pty.Output();
  pty.Send("2\n");
  ASSERT_TRUE(pty.WaitFor("Downloaded 1 file")) << pty.Output();
  EXPECT_EQ("first\n", ReadFileBytes(down + "/a.txt"));

  // The editor appends and ends; the change is uploaded.
  ASSERT_TRUE(pty.WaitFor("ostrel> "));
  pty.Send("edit /up/a.txt\n");
  ASSERT_TRUE(pty.WaitFor("Uploaded the changes of /up/a.txt")) << pty.Output();

  ASSERT_TRUE(pty.WaitFor("ostrel> "));
  pty.Send("exit\n");
  EXPECT_EQ(0, pty.Wait()) << pty.Output();

  // A later process signs in from the stored sign-in and sees the edit.
  ProgramRun get = Ostrel({"get", "/up/a.txt", PathIn("edited.txt")});
  ASSERT_EQ(0, get.status) << get.err;
  EXPECT_EQ("first\nEDITED", ReadFileBytes(PathIn("edited.txt")).substr(0, 12));
}

TEST_F(OstrelProgramTest, APromptWithoutATerminalCancelsAndAnswerChoosesForScripts) {
  ASSERT_NO_FATAL_FAILURE(SignIn());
  WriteFileBytes(PathIn("a.txt"), "cloud\n");
  ASSERT_EQ(0, Ostrel({"put", PathIn("a.txt"), "/"}).status);
  struct Row {
    std::vector<std::string> extra;
    std::string expectedContent;
  } rows[] = {
      {{}, "local\n"},                 // no terminal: the last button, "取消"
      {{"--answer", "1"}, "cloud\n"},  // "替换"
  };
  for (const auto& row : rows) {
    WriteFileBytes(PathIn("a.txt"), "local\n");
    std::vector<std::string> args = row.extra;
    args.insert(args.end(), {"get", "/a.txt", Root()});
    ProgramRun run = Ostrel(args);
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_NE(std::string::npos, run.err.find("已经存在，是否进行文件替换?")) << run.err;
    EXPECT_EQ(row.expectedContent, ReadFileBytes(PathIn("a.txt"))) << run.err;
  }
}

TEST_F(OstrelProgramTest, AReplacedFileCountsOnceInTheSummary) {
  ASSERT_NO_FATAL_FAILURE(SignIn());
  WriteFileBytes(PathIn("a.txt"), "first\n");
  ASSERT_EQ(0, Ostrel({"put", PathIn("a.txt"), "/"}).status);
  WriteFileBytes(PathIn("a.txt"), "second\n");
  // The first button replaces: the task that asked hands the file on to another.
  ProgramRun run = Ostrel({"--answer", "1", "put", PathIn("a.txt"), "/"});
  ASSERT_EQ(0, run.status) << run.err;
  const std::string said = run.out + run.err;
  EXPECT_NE(std::string::npos, said.find("Uploaded 1 file (")) << said;
  EXPECT_EQ(std::string::npos, said.find("Uploaded 2 files")) << said;
}

TEST_F(OstrelProgramTest, EveryResultWordOfTheServicePrintsItsLineAndFails) {
  ASSERT_NO_FATAL_FAILURE(SignIn());
  std::vector<std::string> words = {"noSuchWord"};
  size_t count = 0;
  const ServerResultMap::Row* rows = ServerResultMap::Rows(&count);
  for (size_t i = 0; i < count; ++i)
    if (rows[i].code != S_OK) words.emplace_back(rows[i].word);
  ASSERT_GT(words.size(), 30u);
  for (const std::string& word : words) {
    Service().Inject(R"({"path":"/xsvr/newFolder/","word":")" + word + "\"}");
    ProgramRun run = Ostrel({"mkdir", "/New"});
    if (word == "methodVersionNotMatch") {
      // This version is too old for the service: the user is told, and the process ends.
      EXPECT_EQ(253, run.status) << run.err;
      EXPECT_NE(std::string::npos, run.err.find("您的版本太旧，Sepra将立即升级。")) << run.err;
      continue;
    }
    EXPECT_EQ(1, run.status) << word << ": " << run.err;
    const std::string expected = ResultMessage(ServerResultMap::Instance()[word]);
    EXPECT_NE(std::string::npos, run.err.find("ostrel: mkdir: /New: " + expected)) << word << ": " << run.err;
    // Every line names the word's meaning, not only a number.
    EXPECT_EQ(std::string::npos, run.err.find(": unknown result")) << word << ": " << run.err;
  }
}

TEST_F(OstrelProgramTest, AStoppedServiceAnExpiredTokenAndAFullSpaceEachFailWithTheirText) {
  // A full space: the upload's commit is refused.
  Service().Control("POST", "/test/fs/account", R"({"user":"bob","password":"pw-bob","userId":"bob01","total":10})");
  ASSERT_EQ(0, Ostrel({"login", "bob", "--password-stdin"}, "pw-bob\n").status);
  WriteFileBytes(PathIn("big.bin"), RandomBytes(5000, 3));
  ProgramRun full = Ostrel({"put", PathIn("big.bin"), "/"});
  ASSERT_EQ(0, Ostrel({"logout"}).status);
  ASSERT_NO_FATAL_FAILURE(SignIn());
  EXPECT_EQ(1, full.status) << full.err;
  EXPECT_NE(std::string::npos, full.err.find("您的Sepra空间已满，当前操作失败。")) << full.err;

  // An expired token: the stored sign-in is refused, and forgotten.
  std::string token;
  GetRegValue(&token, "alice01", "{5f3cde84-0629-43e4-8ec2-98524cf82edf}", "");
  ASSERT_FALSE(token.empty());
  Service().Control("POST", "/test/fs/token", "{\"token\":\"" + token + "\",\"expired\":true}");
  ProgramRun expired = Ostrel({"ls", "/"});
  EXPECT_EQ(1, expired.status) << expired.err;
  EXPECT_NE(std::string::npos, expired.err.find("您的会话已经过期，为了您的安全，请重新登录Vendro。")) << expired.err;
  ProgramRun after = Ostrel({"whoami"});
  EXPECT_EQ(1, after.status);
  EXPECT_NE(std::string::npos, after.err.find("not signed in")) << after.err;

  // A stopped service.
  ASSERT_NO_FATAL_FAILURE(SignIn());
  Service().Stop();
  ProgramRun stopped = Ostrel({"ls", "/"});
  EXPECT_EQ(1, stopped.status) << stopped.err;
  EXPECT_NE(std::string::npos, stopped.err.find("网络链接出错，请检查网络是否顺畅。")) << stopped.err;
  ASSERT_TRUE(Service().Restart());
}

TEST_F(OstrelProgramTest, AListingOrSearchTheServiceFailsShowsWhatIsStoredAndFails) {
  ASSERT_NO_FATAL_FAILURE(SignIn());
  ASSERT_EQ(0, Ostrel({"mkdir", "/Docs", "/Empty"}).status);
  WriteFileBytes(PathIn("report.txt"), "r");
  ASSERT_EQ(0, Ostrel({"put", PathIn("report.txt"), "/Docs"}).status);
  ASSERT_EQ(0, Ostrel({"ls", "/Docs"}).status);
  const std::string busy = ResultMessage(ServerResultMap::Instance()["serverBusy"]);
  const struct {
    const char* what;
    const char* faultPath;
    std::vector<std::string> command;
    std::string err;  // the line on stderr
    const char* out;  // a text stdout holds, or "" for no output
  } rows[] = {
      {"a stored folder", "/xsvr/dir/", {"ls", "--refresh", "/Docs"},
       "ostrel: ls: /Docs: " + busy + "; shown as stored before, it may be out of date", "report.txt"},
      {"a folder never listed", "/xsvr/dir/", {"ls", "--refresh", "/Empty"}, "ostrel: ls: /Empty: " + busy, ""},
      {"a search", "/xsvr/fullTextSearch", {"search", "report"},
       "ostrel: search: " + busy + "; only the stored items were searched, they may be out of date", "report.txt"},
  };
  for (const auto& r : rows) {
    Service().Inject(std::string(R"({"path":")") + r.faultPath + R"(","word":"serverBusy"})");
    ProgramRun run = Ostrel(r.command);
    EXPECT_EQ(1, run.status) << r.what << ": " << run.err;
    EXPECT_NE(std::string::npos, run.err.find(r.err)) << r.what << ": " << run.err;
    if (*r.out)
      EXPECT_NE(std::string::npos, run.out.find(r.out)) << r.what << ": " << run.out;
    else
      EXPECT_EQ("", run.out) << r.what;
    // Once the service answers again, so does the command.
    ProgramRun again = Ostrel(r.command);
    EXPECT_EQ(0, again.status) << r.what << ": " << again.err;
  }
}

TEST_F(OstrelProgramTest, ScriptsGetJsonAndExitStatuses) {
  ProgramRun signedOut = Ostrel({"ls"});
  EXPECT_EQ(1, signedOut.status);
  EXPECT_NE(std::string::npos, signedOut.err.find("not signed in")) << signedOut.err;
  ProgramRun noTerminal = Ostrel({"login", "alice"});
  EXPECT_EQ(2, noTerminal.status) << "a password is never read from a pipe unasked";
  ProgramRun wrong = Ostrel({"login", "alice", "--password-stdin"}, "nope\n");
  EXPECT_EQ(1, wrong.status);
  EXPECT_NE(std::string::npos, wrong.err.find("accountNotMatch")) << wrong.err;

  ASSERT_NO_FATAL_FAILURE(SignIn());
  ASSERT_EQ(0, Ostrel({"mkdir", "/Docs"}).status);
  WriteFileBytes(PathIn("n\"q.txt"), "x");
  ASSERT_EQ(0, Ostrel({"put", PathIn("n\"q.txt"), "/Docs"}).status);
  ProgramRun ls = Ostrel({"--json", "ls", "/Docs"});
  ASSERT_EQ(0, ls.status) << ls.err;
  EXPECT_NE(std::string::npos, ls.out.find(R"("name":"n\"q.txt","path":"/Docs/n\"q.txt","type":"file")")) << ls.out;
  EXPECT_EQ(std::string::npos, ls.out.find("\r")) << "no progress bar when standard output is no terminal";
  ProgramRun tasks = Ostrel({"tasks", "--json"});
  EXPECT_EQ(0, tasks.status);
  EXPECT_EQ("{\"tasks\":[]}\n", tasks.out);
  ProgramRun missing = Ostrel({"rm", "/Docs/none"});
  EXPECT_EQ(1, missing.status);
  EXPECT_NE(std::string::npos, missing.err.find("no such item: /Docs/none")) << missing.err;
  ProgramRun bad = Ostrel({"ls", "--nope"});
  EXPECT_EQ(2, bad.status);
}

TEST_F(OstrelProgramTest, TheShellKeepsItsTaskListAndALogoutBeginsANewPass) {
  WriteFileBytes(PathIn("a.txt"), "abc");
  ProgramRun run = Ostrel({"shell", "--login", "alice", "--password-stdin"},
                          "pw-alice\nput " + PathIn("a.txt") + " /\ntasks\nlogout\nwhoami\nlogin alice --password-stdin\n");
  // The password line is taken by the sign-in; the second login finds no password.
  EXPECT_EQ(1, run.status) << run.err;
  EXPECT_NE(std::string::npos, run.out.find("finished  upload")) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("/a.txt  ok")) << run.out;
  EXPECT_NE(std::string::npos, run.err.find("Signed out")) << run.err;
  EXPECT_NE(std::string::npos, run.err.find("ostrel: whoami: not signed in")) << run.err;
}

TEST_F(OstrelProgramTest, TheShellRetriesAFailedTransferFromItsTaskList) {
  ASSERT_NO_FATAL_FAILURE(SignIn());
  WriteFileBytes(PathIn("r.txt"), "retry me\n");
  Service().Inject(R"({"path":"/xsvr/requestUpload/","word":"serverBusy","count":1000})");
  PtySession pty;
  ASSERT_TRUE(pty.Start(OstrelProgramPath(), Args({"shell"})));
  ASSERT_TRUE(pty.WaitFor("ostrel> ")) << pty.Output();
  pty.Send("put " + PathIn("r.txt") + " /\n");
  ASSERT_TRUE(pty.WaitFor("ostrel: put: /r.txt: serverBusy")) << pty.Output();
  ASSERT_TRUE(pty.WaitFor("ostrel> ")) << pty.Output();
  pty.Send("tasks --json\n");
  ASSERT_TRUE(pty.WaitFor("\"ok\":false}]}")) << pty.Output();
  const std::string& out = pty.Output();
  const size_t idAt = out.rfind("{\"id\":\"");
  ASSERT_NE(std::string::npos, idAt);
  const size_t idBegin = idAt + 7;
  const std::string id = out.substr(idBegin, out.find('"', idBegin) - idBegin);
  Service().Reset();
  ASSERT_TRUE(pty.WaitFor("ostrel> ")) << pty.Output();
  pty.Send("retry " + id + "\n");
  ASSERT_TRUE(pty.WaitFor("Transferred 1 file")) << pty.Output();
  ASSERT_TRUE(pty.WaitFor("ostrel> ")) << pty.Output();
  pty.Send("tasks\n");
  ASSERT_TRUE(pty.WaitFor("finished  upload")) << pty.Output();
  ASSERT_TRUE(pty.WaitFor("/r.txt  ok")) << pty.Output();
  ASSERT_TRUE(pty.WaitFor("ostrel> ")) << pty.Output();
  pty.Send("exit\n");
  // The failed put makes the session's status 1.
  EXPECT_EQ(1, pty.Wait()) << pty.Output();
}

TEST_F(OstrelProgramTest, EditUploadsOnlyAChangedFileAndSaysWhatHappened) {
  ASSERT_NO_FATAL_FAILURE(SignIn());
  WriteFileBytes(PathIn("a.txt"), "text\n");
  ASSERT_EQ(0, Ostrel({"put", PathIn("a.txt"), "/"}).status);
  const std::string editor = OSTREL_TEST_EDITOR_PATH;
  struct Row {
    std::string opener;
    int status;
    const char* line;
  } rows[] = {
      {editor, 0, "No changes to /a.txt"},
      {editor + " --append=more", 0, "Uploaded the changes of /a.txt"},
      {PathIn("no-such-editor"), 1, "ostrel: edit: /a.txt: the opener did not start"},
  };
  for (const auto& row : rows) {
    ProgramRun run = Ostrel({"--opener", row.opener, "edit", "/a.txt"});
    EXPECT_EQ(row.status, run.status) << row.opener << ": " << run.err;
    EXPECT_NE(std::string::npos, run.err.find(row.line)) << row.opener << ": " << run.err;
  }
  ProgramRun get = Ostrel({"get", "/a.txt", PathIn("back.txt")});
  ASSERT_EQ(0, get.status) << get.err;
  EXPECT_EQ("text\nmore", ReadFileBytes(PathIn("back.txt")));
}

TEST_F(OstrelProgramTest, ANotMyComputerShellForgetsTheUserWhenItEnds) {
  ProgramRun run = Ostrel({"shell", "--login", "alice", "--not-my-computer", "--password-stdin"},
                          "pw-alice\nmkdir /Kept\nls\n");
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_NE(std::string::npos, run.err.find("This is not your computer")) << run.err;
  EXPECT_NE(std::string::npos, run.out.find("Kept/")) << run.out;
  EXPECT_FALSE(FileExists(PathIn("alice01"))) << "the user's folder stays behind";
  ProgramRun after = Ostrel({"whoami"});
  EXPECT_EQ(1, after.status);
  EXPECT_NE(std::string::npos, after.err.find("not signed in")) << after.err;
  // Outside the shell the mode is refused, before any password is read.
  ProgramRun refused = Ostrel({"login", "alice", "--not-my-computer", "--password-stdin"}, "pw-alice\n");
  EXPECT_EQ(2, refused.status);
  EXPECT_NE(std::string::npos, refused.err.find("ostrel shell")) << refused.err;
}

// A push answer far ahead of the service's versions is stored, and the next real
// answer, lower, is taken too and makes every stored listing stale: a folder made after
// it shows without --refresh.
TEST_F(OstrelProgramTest, APushAnswerFarAheadDoesNotFreezeTheListings) {
  ASSERT_NO_FATAL_FAILURE(SignIn());
  PtySession pty;
  ASSERT_TRUE(pty.Start(OstrelProgramPath(), Args({"shell"})));
  ASSERT_TRUE(pty.WaitFor("ostrel> ")) << pty.Output();
  ASSERT_NO_FATAL_FAILURE(PushFarAhead(false));
  EXPECT_EQ(std::string::npos, InShell(pty, "ls /").find("Fresh/"));
  MakeFolder("Fresh");
  ASSERT_NO_FATAL_FAILURE(AwaitPushTaken());
  EXPECT_NE(std::string::npos, InShell(pty, "ls /").find("Fresh/")) << pty.Output();
  pty.Send("exit\n");
  EXPECT_EQ(0, pty.Wait()) << pty.Output();
}

// With no push answer after the faulty one, the next sign-in's version query finds the
// service behind the stored versions and takes its word.
TEST_F(OstrelProgramTest, TheNextSignInTakesVersionsBehindAFaultyPushAnswer) {
  ASSERT_NO_FATAL_FAILURE(SignIn());
  PtySession pty;
  ASSERT_TRUE(pty.Start(OstrelProgramPath(), Args({"shell"})));
  ASSERT_TRUE(pty.WaitFor("ostrel> ")) << pty.Output();
  ASSERT_NO_FATAL_FAILURE(PushFarAhead(true));
  EXPECT_EQ(std::string::npos, InShell(pty, "ls /").find("Fresh/"));
  EXPECT_NE(std::string::npos, InShell(pty, "logout").find("Signed out")) << pty.Output();
  MakeFolder("Fresh");
  // The new session's polls wait at a gate: only its sign-in asks for the versions.
  Service().Inject(R"({"path":"/sync/get","hold":"new-session","count":100})");
  pty.Send("login alice\n");
  ASSERT_TRUE(pty.WaitFor("Password for alice: ")) << pty.Output();
  pty.Send("pw-alice\n");
  ASSERT_TRUE(pty.WaitFor("Signed in as")) << pty.Output();
  ASSERT_TRUE(pty.WaitFor("ostrel> ")) << pty.Output();
  EXPECT_NE(std::string::npos, InShell(pty, "ls /").find("Fresh/")) << pty.Output();
  pty.Send("exit\n");
  EXPECT_EQ(0, pty.Wait()) << pty.Output();
}

}  // namespace
