// The fixture of the tests that run the ostrel program against the test's own local
// service, with alice's account: the program's command line aimed at the service, and
// sessions in a pseudo-terminal.
#pragma once

#include <string>
#include <vector>

#include "ptysession.h"
#include "support/serviceclient.h"

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
  // Starts ostrel with args in a pseudo-terminal and waits for text.
  void Start(PtySession* pty, const std::vector<std::string>& args, const std::string& text) {
    ASSERT_TRUE(pty->Start(OstrelProgramPath(), Args(args)));
    ASSERT_TRUE(pty->WaitFor(text)) << pty->Output();
  }
  // Types a command line into the shell and waits for text.
  void Type(PtySession* pty, const std::string& line, const std::string& text) {
    pty->Send(line);
    ASSERT_TRUE(pty->WaitFor(text)) << "after " << line << ": " << pty->Output();
  }
};
