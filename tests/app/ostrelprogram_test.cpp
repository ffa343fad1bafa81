// The ostrel program against the test's own local service: a user's session in a real
// terminal (a pseudo-terminal), and every failure the service can give, each of which
// must print its line and end with a non-zero exit status.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/itemoutput.h"
#include "app/resultmessages.h"
#include "common/registry.h"
#include "core/remotestorage/serverresultmap.h"
#include "ostrelprogramtest.h"
#include "platform/registrystore.h"
#include "ptysession.h"
#include "support/editorprogram.h"
#include "support/serviceclient.h"

namespace {

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

TEST_F(OstrelProgramTest, APutOverAnExistingFileSaysWhatTheAnswerDidWithIt) {
  ASSERT_NO_FATAL_FAILURE(SignIn());
  WriteFileBytes(PathIn("a.txt"), "first\n");
  ASSERT_EQ(0, Ostrel({"put", PathIn("a.txt"), "/"}).status);
  struct Row {
    std::vector<std::string> answer;
    const char* said;     // a line the put prints
    const char* notSaid;  // a text it must not print
    bool uploaded;        // the cloud's file is the new content afterwards
  } rows[] = {
      // The task that asked hands the file on to another: the file counts once.
      {{"--answer", "1"}, "Uploaded 1 file (", "Uploaded 2 files", true},  // "替换"
      {{"--answer", "2"}, "Uploaded 1 file (", "Kept", true},              // "更新"
      {{}, "Kept /a.txt as it is in the cloud; nothing was uploaded", "Uploaded", false},  // no terminal: "取消"
  };
  std::string cloud = "first\n";
  int n = 0;
  for (const auto& row : rows) {
    const std::string content = "content " + std::to_string(++n) + "\n";
    WriteFileBytes(PathIn("a.txt"), content);
    std::vector<std::string> args = row.answer;
    args.insert(args.end(), {"put", PathIn("a.txt"), "/"});
    ProgramRun run = Ostrel(args);
    EXPECT_EQ(0, run.status) << n << ": " << run.err;
    EXPECT_NE(std::string::npos, run.err.find(row.said)) << n << ": " << run.err;
    EXPECT_EQ(std::string::npos, run.err.find(row.notSaid)) << n << ": " << run.err;
    EXPECT_EQ(std::string::npos, run.err.find("失败")) << n << ": a failure notice: " << run.err;
    if (row.uploaded) cloud = content;
    ProgramRun get = Ostrel({"get", "/a.txt", PathIn("back-" + std::to_string(n))});
    ASSERT_EQ(0, get.status) << get.err;
    EXPECT_EQ(cloud, ReadFileBytes(PathIn("back-" + std::to_string(n)))) << n;
  }
}

TEST_F(OstrelProgramTest, APutOfAFolderNamesEveryEntryItLeavesOutAndFails) {
  ASSERT_NO_FATAL_FAILURE(SignIn());
  struct Row {
    const char* what;
    const char* entry;  // below the folder put
    std::function<bool(const std::string& path)> make;
    const char* why;
  } rows[] = {
      {"a name holding \\", "a\\b.txt", [](const std::string& p) {
         WriteFileBytes(p, "b");
         return true;
       },
       "its name cannot be a cloud name (no \"\\\" or control characters)"},
      {"a fifo", "pipe", [](const std::string& p) { return mkfifo(p.c_str(), 0600) == 0; },
       "not a regular file or folder"},
      {"a link", "link", [](const std::string& p) { return symlink("good.txt", p.c_str()) == 0; },
       "a symbolic link (links are not followed)"},
      // Sparse: nothing is read or sent, the size alone refuses it.
      {"one byte over the size limit", "sub/huge.bin",
       [](const std::string& p) {
         if (mkdir(p.substr(0, p.rfind('/')).c_str(), 0700) != 0) return false;
         WriteFileBytes(p, "");
         return truncate(p.c_str(), 314572801) == 0;
       },
       "larger than the upload limit of 300 MiB (314572800 bytes)"},
  };
  int n = 0;
  for (const auto& row : rows) {
    const std::string name = "up-" + std::to_string(++n);
    const std::string folder = PathIn(name);
    ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
    WriteFileBytes(folder + "/good.txt", "good\n");
    ASSERT_TRUE(row.make(folder + "/" + row.entry)) << row.what;
    ProgramRun run = Ostrel({"put", folder, "/"});
    EXPECT_EQ(1, run.status) << row.what << ": " << run.err;
    EXPECT_NE(std::string::npos, run.err.find("ostrel: put: " + folder + "/" + row.entry + ": " + row.why + "\n"))
        << row.what << ": " << run.err;
    EXPECT_NE(std::string::npos, run.err.find("Uploaded 1 file (")) << row.what << ": " << run.err;
    EXPECT_NE(std::string::npos, run.err.find(" transferred); left out 1 entry (see above)\n"))
        << row.what << ": " << run.err;
    const std::string entry = row.entry;
    ProgramRun ls = Ostrel({"ls", "/" + name + (entry.find('/') == std::string::npos ? "" : "/sub")});
    EXPECT_EQ(std::string::npos, ls.out.find(entry.substr(entry.rfind('/') + 1))) << row.what << ": " << ls.out;
    EXPECT_EQ(0, Ostrel({"get", "/" + name + "/good.txt", PathIn(name + ".txt")}).status) << row.what;
    EXPECT_EQ("good\n", ReadFileBytes(PathIn(name + ".txt"))) << row.what;
  }
}

TEST_F(OstrelProgramTest, TheTransferSummaryCountsTheFilesBytesOnBothServiceVersions) {
  ASSERT_NO_FATAL_FAILURE(SignIn());
  // Two blocks on the block protocol; as random bytes, packing does not shrink them.
  const std::string content = RandomBytes(4194304 + 300000, 17);
  for (const char* version : {"2", "3"}) {
    Service().Control("POST", "/test/fs/global-version", std::string(R"({"version":")") + version + "\"}");
    const std::string name = std::string("v") + version + ".bin";
    WriteFileBytes(PathIn(name), content);
    ProgramRun put = Ostrel({"put", PathIn(name), "/"});
    ASSERT_EQ(0, put.status) << version << ": " << put.err;
    EXPECT_NE(std::string::npos, put.err.find("Uploaded 1 file (4.3 MiB transferred)")) << version << ": " << put.err;
    ProgramRun get = Ostrel({"get", "/" + name, PathIn("back-" + name)});
    ASSERT_EQ(0, get.status) << version << ": " << get.err;
    EXPECT_NE(std::string::npos, get.err.find("Downloaded 1 file (4.3 MiB transferred)")) << version << ": " << get.err;
    EXPECT_TRUE(content == ReadFileBytes(PathIn("back-" + name))) << version;
  }
}

TEST_F(OstrelProgramTest, QuotaShowsTheShareUsedAsItIsWhateverTheServiceAnswers) {
  ASSERT_NO_FATAL_FAILURE(SignIn());
  struct Row {
    int64_t used, total;
    const char* share;  // "" for none
  } rows[] = {
      {100000000000000000, 1000000000000, " (10000000%)"},  // used x 100 does not fit in 64 bits
      {INT64_MAX, 1, " (922337203685477580700%)"},
      {1536, 1024, " (150%)"},
      {1023, 1024, " (99%)"},
      {5, 0, ""},
  };
  for (const auto& row : rows) {
    Service().Inject(nlohmann::json{{"path", "/xsvr/getSpace/"},
                                    {"body", "<?xml version=\"1.0\" encoding=\"utf-8\" ?><nuvra result=\"ok\"><total>" +
                                                 std::to_string(row.total) + "</total><used>" +
                                                 std::to_string(row.used) + "</used></nuvra>"}}
                         .dump());
    ProgramRun run = Ostrel({"quota"});
    EXPECT_EQ(0, run.status) << row.used << ": " << run.err;
    EXPECT_EQ(HumanBytes(row.used) + " used of " + HumanBytes(row.total) + row.share + "\n", run.out) << row.used;
  }
}

TEST_F(OstrelProgramTest, AFolderDownloadFailsWhereALinkWasPlantedInItsPlace) {
  ASSERT_NO_FATAL_FAILURE(SignIn());
  const std::string up = PathIn("Dir");
  ASSERT_EQ(0, mkdir(up.c_str(), 0700));
  WriteFileBytes(up + "/a.txt", "a\n");
  ASSERT_EQ(0, Ostrel({"put", up, "/"}).status);
  const std::string dest = PathIn("dest"), other = PathIn("other");
  ASSERT_EQ(0, mkdir(dest.c_str(), 0700));
  ASSERT_EQ(0, mkdir(other.c_str(), 0700));
  ASSERT_EQ(0, symlink(other.c_str(), (dest + "/Dir").c_str()));

  ProgramRun run = Ostrel({"get", "/Dir", dest + "/"});
  EXPECT_EQ(1, run.status) << run.err;
  EXPECT_NE(std::string::npos, run.err.find("ostrel: get: /Dir: " + ResultMessage(E_CV_LOCAL_NOT_FOLDER))) << run.err;
  EXPECT_NE(std::string::npos, run.err.find("不能下载到链接或非文件夹中：“")) << run.err;
  EXPECT_FALSE(FileExists(other + "/a.txt")) << "written through the link";
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

// With "not my computer" the shell deletes the user's folder and the sign-in however it
// ends, and the registry store keeps exactly the values its help names, under the key
// it names.
TEST_F(OstrelProgramTest, ANotMyComputerShellLeavesInTheRegistryWhatItsHelpSays) {
  const ProgramRun help = Ostrel({"shell", "--help"});
  ASSERT_EQ(0, help.status);
  const std::string store = CRegistryStore::DefaultPath();
  const std::string before = FileExists(store) ? ReadFileBytes(store) : "";
  const struct {
    const char* ending;
    const char* keys;  // typed at the prompt
    int status;
  } rows[] = {
      {"exit", "exit\n", 0},
      {"logout, then exit", "logout\n", -1},
      {"Ctrl-C at the prompt", "\x03", 130},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.ending);
    WriteFileBytes(store, before);
    PtySession pty;
    ASSERT_NO_FATAL_FAILURE(Start(&pty, {"shell", "--login", "alice", "--not-my-computer"}, "Password for alice: "));
    ASSERT_NO_FATAL_FAILURE(Type(&pty, "pw-alice\n", "ostrel> "));
    if (row.status < 0) {
      ASSERT_NO_FATAL_FAILURE(Type(&pty, row.keys, "Signed out"));
      ASSERT_NO_FATAL_FAILURE(Type(&pty, "", "ostrel> "));
      pty.Send("exit\n");
      EXPECT_EQ(0, pty.Wait()) << pty.Output();
    } else {
      pty.Send(row.keys);
      EXPECT_EQ(row.status, pty.Wait()) << pty.Output();
    }
    EXPECT_FALSE(FileExists(PathIn("alice01"))) << "the user's folder stays behind";

    CRegistryData was, now;
    was.Parse(before);
    ASSERT_TRUE(CRegistryStore(store).Read(&now));
    const std::string user = RegKeyPath("alice01");
    CRegistryData expected = was;
    // What stays of the user, each named by the help.
    for (const char* name : {kRegUserName, kRegNickName, kRegSyncRoot}) {
      const RegValue* value = now.Find(user, name);
      ASSERT_NE(nullptr, value) << name;
      EXPECT_FALSE(value->text.empty()) << name;
      expected.Set(user, name, *value);
      EXPECT_NE(std::string::npos, help.out.find(name)) << name << " is not in the help:\n" << help.out;
    }
    EXPECT_EQ(PathIn("alice01/Cache"), now.Find(user, kRegSyncRoot)->text);
    EXPECT_NE(std::string::npos, help.out.find("\"Software\\Ostrel\\USERID\"")) << help.out;
    // Nothing else holds anything of the user: the token and the global values are
    // emptied, and the mode of the last sign-in is kept.
    expected.Set(user, kRegToken, RegValue::String(""));
    for (const char* name : {kRegUserId, kRegUserName, kRegNickName})
      expected.Set(RegKeyPath(""), name, RegValue::String(""));
    // Written empty a second time with no user id, the token lands in the global key.
    if (now.Find(RegKeyPath(""), kRegToken)) expected.Set(RegKeyPath(""), kRegToken, RegValue::String(""));
    expected.Set(RegKeyPath(""), kRegLoginMode, RegValue::Dword(2));
    EXPECT_EQ(expected.Serialize(), now.Serialize());
  }
}

// When the service ends the session, the shell signs the user out, as a new process
// finds it: whoami says nobody is signed in, and login works.
TEST_F(OstrelProgramTest, ASessionTheServiceEndsSignsTheShellOut) {
  WriteFileBytes(PathIn("a.txt"), "abc");
  const struct {
    const char* what;
    bool expire;        // the token expires; otherwise one request is refused
    std::string line;   // the command that meets the service
  } rows[] = {
      {"an expired token, met by a listing", true, "ls --refresh /\n"},
      {"an expired token, met by an upload", true, "put " + PathIn("a.txt") + " /\n"},
      {"a request refused as not signed in", false, "mkdir /New\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_NO_FATAL_FAILURE(SignIn());
    PtySession pty;
    ASSERT_NO_FATAL_FAILURE(Start(&pty, {"shell"}, "ostrel> "));
    if (row.expire) {
      std::string token;
      GetRegValue(&token, "alice01", kRegToken, "");
      ASSERT_FALSE(token.empty());
      Service().Control("POST", "/test/fs/token", "{\"token\":\"" + token + "\",\"expired\":true}");
    } else {
      Service().Inject(R"({"path":"/xsvr/newFolder/","word":"clientNoLogin"})");
    }
    ASSERT_NO_FATAL_FAILURE(Type(&pty, row.line, "您的会话已经过期，为了您的安全，请重新登录Vendro。"));
    ASSERT_NO_FATAL_FAILURE(Type(&pty, "", "ostrel> "));
    ASSERT_NO_FATAL_FAILURE(Type(&pty, "whoami\n", "ostrel: whoami: not signed in"));
    ASSERT_NO_FATAL_FAILURE(Type(&pty, "", "ostrel> "));
    ASSERT_NO_FATAL_FAILURE(Type(&pty, "login alice\n", "Password for alice: "));
    ASSERT_NO_FATAL_FAILURE(Type(&pty, "pw-alice\n", "Signed in as"));
    ASSERT_NO_FATAL_FAILURE(Type(&pty, "", "ostrel> "));
    ASSERT_NO_FATAL_FAILURE(Type(&pty, "whoami\n", "id alice01"));
    pty.Send("exit\n");
    EXPECT_EQ(1, pty.Wait()) << pty.Output();
  }
}

}  // namespace
