// Ctrl-C in the ostrel program, sent by a real terminal (a pseudo-terminal) while the
// local service holds a transfer at a gate: the running command's transfers are
// cancelled through the engine and reported, the shell goes on, and the terminal echoes
// again whatever Ctrl-C ended.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "app/resultmessages.h"
#include "ostrelprogramtest.h"
#include "support/fsseed.h"

namespace {

// How often needle occurs in text.
size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

class OstrelInterruptTest : public OstrelProgramTest {
 protected:
  // What the temp folder of alice's cache holds, but for the work folders a transfer
  // takes and gives back and the verified blocks a download keeps.
  std::vector<std::string> TempLeftovers() {
    namespace fs = std::filesystem;
    static const std::regex kept("resume-[0-9a-f]{40}(/[0-9a-f]{46}\\.done)?|work-\\{[^/]*\\}(\\.lock)?");
    const std::string temp = PathIn("alice01/Cache/.tmp");
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(temp, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      const std::string rel = fs::relative(it->path(), temp).string();
      if (!std::regex_match(rel, kept)) out.push_back(rel);
    }
    return out;
  }
  // alice's live items named name, as the service holds them.
  std::vector<nlohmann::json> ServiceItems(const std::string& name) {
    std::vector<nlohmann::json> out;
    const nlohmann::json state = FsState(Service(), "alice01");
    for (const nlohmann::json& item : state["items"])
      if (item["name"] == name && !item["deleted"].get<bool>()) out.push_back(item);
    return out;
  }
};

// Ctrl-C while a transfer command runs in the shell cancels its transfers through the
// engine, the waiting ones too, reports each as cancelled and gives the prompt back;
// what stays is what a cancel leaves: the new files' entries at the service, empty,
// and nothing in the temp folder.
TEST_F(OstrelInterruptTest, CtrlCCancelsTheShellsRunningTransfersAndTheShellGoesOn) {
  ASSERT_NO_FATAL_FAILURE(SignIn());
  WriteFileBytes(PathIn("one.bin"), RandomBytes(50000, 1));
  const std::string six = PathIn("six");
  ASSERT_EQ(0, mkdir(six.c_str(), 0700));
  for (int i = 1; i <= 6; ++i) WriteFileBytes(six + "/f" + std::to_string(i) + ".bin", RandomBytes(1000, i));
  const struct {
    const char* what;
    std::string local;
    size_t files;
    size_t held;  // uploads that reach the service; the others wait in the client
  } rows[] = {
      {"one file", PathIn("one.bin"), 1, 1},
      {"six files, one of them waiting", six, 6, 5},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Service().Reset();
    Service().Inject(R"({"path":"/wf/upload","hold":"slow","count":10})");
    PtySession pty;
    ASSERT_NO_FATAL_FAILURE(Start(&pty, {"shell"}, "ostrel> "));
    pty.Send("put " + row.local + " /\n");
    ASSERT_TRUE(Service().AwaitRequests("/wf/upload", row.held)) << pty.Output();
    pty.Send("\x03");
    ASSERT_TRUE(pty.WaitFor("ostrel> ")) << pty.Output();
    const std::string said = pty.Output();
    EXPECT_EQ(row.files, Count(said, "the transfer was cancelled")) << said;
    EXPECT_EQ(std::string::npos, said.find("Uploaded")) << said;
    EXPECT_TRUE(TempLeftovers().empty()) << ::testing::PrintToString(TempLeftovers());

    ASSERT_NO_FATAL_FAILURE(Type(&pty, "tasks\n", "ostrel> "));
    const std::string tasks = pty.Output().substr(said.size());
    EXPECT_EQ(row.held, Count(tasks, "finished  upload")) << tasks;
    EXPECT_NE(std::string::npos, tasks.find(ResultMessage(E_CV_CURL_CANCEL))) << tasks;
    const std::string first = row.files == 1 ? "one.bin" : "f1.bin";
    const std::vector<nlohmann::json> items = ServiceItems(first);
    ASSERT_EQ(1u, items.size()) << "the new file's entry";
    EXPECT_EQ(0, items[0]["size"].get<int64_t>()) << items[0].dump();
    pty.Send("exit\n");
    EXPECT_EQ(1, pty.Wait()) << pty.Output();
  }
}

// Outside the shell, Ctrl-C during a transfer command cancels its transfer through the
// engine before the process ends, and says so.
TEST_F(OstrelInterruptTest, CtrlCDuringATransferCancelsItBeforeTheProcessEnds) {
  ASSERT_NO_FATAL_FAILURE(SignIn());
  WriteFileBytes(PathIn("seed.bin"), RandomBytes(50000, 2));
  ASSERT_EQ(0, Ostrel({"put", PathIn("seed.bin"), "/"}).status);
  WriteFileBytes(PathIn("one.bin"), RandomBytes(50000, 1));
  const struct {
    const char* what;
    std::vector<std::string> args;
    const char* held;  // the request the transfer waits at
    const char* line;  // the failure line's beginning
  } rows[] = {
      {"put", {"put", PathIn("one.bin"), "/"}, "/wf/upload", "ostrel: put: /one.bin: "},
      {"get", {"get", "/seed.bin", PathIn("back.bin")}, "/wf/download", "ostrel: get: /seed.bin: "},
      {"edit", {"--opener", OSTREL_TEST_EDITOR_PATH, "edit", "/seed.bin"}, "/wf/download", "ostrel: edit: /seed.bin: "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Service().Reset();
    Service().Inject(std::string(R"({"hold":"slow","path":")") + row.held + "\"}");
    PtySession pty;
    ASSERT_TRUE(pty.Start(OstrelProgramPath(), Args(row.args)));
    ASSERT_TRUE(Service().AwaitRequests(row.held)) << pty.Output();
    pty.Send("\x03");
    EXPECT_EQ(130, pty.Wait()) << pty.Output();
    EXPECT_NE(std::string::npos, pty.Output().find(row.line + ResultMessage(E_CV_CURL_CANCEL))) << pty.Output();
    EXPECT_TRUE(TempLeftovers().empty()) << ::testing::PrintToString(TempLeftovers());
  }
  EXPECT_FALSE(FileExists(PathIn("back.bin")));
}

// Ctrl-C at a password question: the shell's sign-in gives up and the prompt comes
// back; outside the shell the process ends. The terminal echoes again either way.
TEST_F(OstrelInterruptTest, CtrlCAtThePasswordQuestionLeavesTheTerminalEchoing) {
  const struct {
    const char* what;
    std::vector<std::string> args;
    const char* first;  // typed once the program is ready
    int status;
  } rows[] = {
      {"in the shell", {"shell"}, "login alice\n", 1},
      {"outside the shell", {"login", "alice"}, "", -1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    PtySession pty;
    ASSERT_NO_FATAL_FAILURE(Start(&pty, row.args, *row.first ? "ostrel> " : "Password for alice: "));
    if (*row.first) {
      ASSERT_NO_FATAL_FAILURE(Type(&pty, row.first, "Password for alice: "));
    }
    pty.Send("\x03");
    if (*row.first) {
      ASSERT_NO_FATAL_FAILURE(Type(&pty, "", "ostrel: login: no password given"));
      ASSERT_TRUE(pty.WaitFor("ostrel> ")) << pty.Output();
      EXPECT_TRUE(pty.EchoOn());
      pty.Send("exit\n");
    }
    EXPECT_EQ(row.status, pty.Wait()) << pty.Output();
    EXPECT_TRUE(pty.EchoOn());
  }
}

}  // namespace
