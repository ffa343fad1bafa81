// The listings a shell serves from its store when the service's versions misbehave: a
// push answer far ahead of the service, then the real versions behind it, through the
// real program against the local service.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>

#include "ostrelprogramtest.h"
#include "ptysession.h"
#include "support/fsseed.h"

namespace {

class OstrelVersionsTest : public OstrelProgramTest {
 protected:
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

// A push answer far ahead of the service's versions is stored, and the next real
// answer, lower, is taken too and makes every stored listing stale: a folder made after
// it shows without --refresh.
TEST_F(OstrelVersionsTest, APushAnswerFarAheadDoesNotFreezeTheListings) {
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
TEST_F(OstrelVersionsTest, TheNextSignInTakesVersionsBehindAFaultyPushAnswer) {
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
