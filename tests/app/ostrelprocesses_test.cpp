// Two ostrel processes of one user at once, against the test's own local service: a
// sign-out in one is never undone by the other's sign-in, and an edit in one is never
// taken by the other. The processes are ordered by the service's gates and request
// log, and by the test editor's fifos, never by time.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "app/resultmessages.h"
#include "common/registry.h"
#include "ostrelprogramtest.h"
#include "ptysession.h"
#include "support/editorprogram.h"
#include "support/serviceclient.h"

namespace {

// Two processes of one user: the request log shows when the background command's
// sign-in request is held at the gate; the test then runs the other command to its end.
TEST_F(OstrelProgramTest, ALogoutWhileAnotherCommandSignsInFromTheStoredSignInStays) {
  ASSERT_NO_FATAL_FAILURE(SignIn());
  Service().Inject(R"({"path":"/xsvr/forkToken/","hold":"fork"})");
  ProgramRun held;
  std::thread background([&] { held = Ostrel({"whoami"}); });
  const bool atGate = Service().AwaitRequests("/xsvr/forkToken/");
  ProgramRun logout;
  if (atGate) logout = Ostrel({"logout"});
  Service().Release("fork");
  background.join();
  ASSERT_TRUE(atGate) << "the background command never asked for its token";
  EXPECT_EQ(0, logout.status) << logout.err;
  EXPECT_NE(std::string::npos, logout.err.find("Signed out")) << logout.err;
  EXPECT_EQ(1, held.status) << held.out << held.err;
  EXPECT_NE(std::string::npos, held.err.find("ostrel: whoami: not signed in (sign in with \"ostrel login USER\")"))
      << held.err;
  ProgramRun after = Ostrel({"whoami"});
  EXPECT_EQ(1, after.status) << after.out;
  EXPECT_NE(std::string::npos, after.err.find("not signed in")) << after.err;
  std::string userId, token;
  GetRegValue(&userId, "", "UserId", "");
  GetRegValue(&token, "alice01", "{5f3cde84-0629-43e4-8ec2-98524cf82edf}", "");
  EXPECT_EQ("", userId);
  EXPECT_EQ("", token);
}

TEST_F(OstrelProgramTest, TwoCommandsSigningInFromTheStoredSignInAtOnceBothWork) {
  ASSERT_NO_FATAL_FAILURE(SignIn());
  Service().Inject(R"({"path":"/xsvr/forkToken/","hold":"fork","count":2})");
  ProgramRun first, second;
  std::thread one([&] { first = Ostrel({"whoami"}); });
  bool atGate = Service().AwaitRequests("/xsvr/forkToken/", 1);
  std::thread two([&] { second = Ostrel({"ls", "/"}); });
  atGate = Service().AwaitRequests("/xsvr/forkToken/", 2) && atGate;
  Service().Release("fork");
  one.join();
  two.join();
  ASSERT_TRUE(atGate) << "the commands never asked for their tokens";
  EXPECT_EQ(0, first.status) << first.err;
  EXPECT_NE(std::string::npos, first.out.find("id alice01")) << first.out;
  EXPECT_EQ(0, second.status) << second.err;
  // The sign-in left behind works, at this process and at the service.
  ProgramRun whoami = Ostrel({"whoami"});
  EXPECT_EQ(0, whoami.status) << whoami.err;
  EXPECT_NE(std::string::npos, whoami.out.find("id alice01")) << whoami.out;
  EXPECT_EQ(0, Ostrel({"mkdir", "/After"}).status);
}

// Two ostrel processes of one user edit one file: the second leaves the first one's
// edit alone and fails at once; the first uploads its edit. A process killed while its
// editor runs leaves no claim behind: the next edit goes on and keeps the edit that was
// never sent in the trash. The editors are told through fifos when to go on.
TEST_F(OstrelProgramTest, AnEditInAnotherProcessIsLeftToItButAKilledOnesIsNot) {
  ASSERT_NO_FATAL_FAILURE(SignIn());
  WriteFileBytes(PathIn("f.txt"), "text\n");
  ASSERT_EQ(0, Ostrel({"put", PathIn("f.txt"), "/"}).status);
  EditorFifo go(PathIn("go")), said(PathIn("said"));
  const std::string editor = OSTREL_TEST_EDITOR_PATH;
  // Appends, says so, and waits for the test.
  auto appending = [&](const std::string& text) {
    return editor + " --append=" + text + " --to=" + said.Path() + " --tell=appended --from=" + go.Path() + " --wait";
  };
  const std::string inEdit = "ostrel: edit: /f.txt: " + ResultMessage(E_CV_LOCAL_IN_EDIT);
  {
    PtySession first;
    ASSERT_TRUE(first.Start(OstrelProgramPath(), Args({"--opener", appending("A"), "edit", "/f.txt"})));
    ASSERT_EQ("appended", said.Line()) << first.Output();
    ASSERT_TRUE(first.WaitFor("); waiting for the program")) << first.Output();
    const std::string& out = first.Output();
    const size_t at = out.find("Editing /f.txt (");
    ASSERT_NE(std::string::npos, at) << out;
    const size_t begin = at + 16;
    const std::string copy = out.substr(begin, out.find("); waiting", begin) - begin);
    ASSERT_EQ("text\nA", ReadFileBytes(copy));

    ProgramRun second = Ostrel({"--opener", editor, "edit", "/f.txt"});
    EXPECT_EQ(1, second.status) << second.err;
    EXPECT_NE(std::string::npos, second.err.find(inEdit)) << second.err;
    EXPECT_NE(std::string::npos, second.err.find("文件“f.txt”正在被您的另一个程序编辑")) << second.err;
    // Onto the copy a download is refused; elsewhere it goes on.
    ProgramRun onto = Ostrel({"--answer", "1", "get", "/f.txt", copy});
    EXPECT_EQ(1, onto.status) << onto.err;
    EXPECT_NE(std::string::npos, onto.err.find(ResultMessage(E_CV_LOCAL_IN_EDIT))) << onto.err;
    ProgramRun elsewhere = Ostrel({"get", "/f.txt", PathIn("elsewhere.txt")});
    EXPECT_EQ(0, elsewhere.status) << elsewhere.err;
    EXPECT_EQ("text\n", ReadFileBytes(PathIn("elsewhere.txt")));
    EXPECT_EQ("text\nA", ReadFileBytes(copy)) << "the edit was taken";
    EXPECT_FALSE(FileExists(PathIn("data/Trash/files/f.txt")));

    go.Send("go");
    ASSERT_TRUE(first.WaitFor("Uploaded the changes of /f.txt")) << first.Output();
    EXPECT_EQ(0, first.Wait()) << first.Output();
  }
  ProgramRun back = Ostrel({"get", "/f.txt", PathIn("back.txt")});
  ASSERT_EQ(0, back.status) << back.err;
  EXPECT_EQ("text\nA", ReadFileBytes(PathIn("back.txt")));

  {
    PtySession killed;  // ended with SIGKILL when it goes
    ASSERT_TRUE(killed.Start(OstrelProgramPath(), Args({"--opener", appending("K"), "edit", "/f.txt"})));
    ASSERT_EQ("appended", said.Line()) << killed.Output();
    ASSERT_TRUE(killed.WaitFor("); waiting for the program")) << killed.Output();
  }
  ProgramRun next = Ostrel({"--opener", editor, "edit", "/f.txt"});
  EXPECT_EQ(0, next.status) << next.err;
  EXPECT_NE(std::string::npos, next.err.find("No changes to /f.txt")) << next.err;
  EXPECT_EQ("text\nAK", ReadFileBytes(PathIn("data/Trash/files/f.txt"))) << "the edit never sent is kept";
}

}  // namespace
