// The ostrel program against a service that chooses hostile names, and fed input
// without end: a name that holds terminal controls or direction overrides must reach
// the terminal only as visible text in every line that quotes it (JSON keeps it exact,
// escaped), and a line past the input's bound is refused at once.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ostrelprogramtest.h"
#include "ptysession.h"
#include "support/fsseed.h"
#include "support/serviceclient.h"
#include "support/textcodec.h"

namespace {

using nlohmann::json;

// Where text holds what a terminal acts on or what reorders the text around it: a C1
// control (U+0080-U+009F), a bidirectional override or isolate (U+202A-U+202E,
// U+2066-U+2069), or a byte that is not UTF-8. "" when there is none.
std::string FirstRawControl(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
    char at[64];
    std::snprintf(at, sizeof at, "byte 0x%02X at %zu", lead, i);
    if (length == 0 || i + length > text.size()) return at;
    char32_t cp = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return at;
      cp = (cp << 6) | (next & 0x3F);
    }
    if ((cp >= 0x80 && cp <= 0x9F) || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069)) {
      std::snprintf(at, sizeof at, "U+%04X at %zu", static_cast<unsigned>(cp), i);
      return at;
    }
    i += length;
  }
  return std::string();
}

// Names the service may choose, and how a line shows them.
struct HostileName {
  const char* what;
  std::string name;
  std::string shown;
};
const HostileName kNames[] = {
    {"the one-byte CSI U+009B", "csi\xC2\x9B" "31m.txt", "csi?31m.txt"},
    {"next line U+0085", "nel\xC2\x85" "x.txt", "nel?x.txt"},
    {"right-to-left override U+202E", "rlo\xE2\x80\xAE" "txt.exe", "rlo<U+202E>txt.exe"},
    {"left-to-right isolate U+2066", "lri\xE2\x81\xA6" "x.txt", "lri<U+2066>x.txt"},
    {"plain non-ASCII", "名字 é.txt", "名字 é.txt"},
};

class OstrelHostileTest : public OstrelProgramTest {
 protected:
  // An item of alice's made at the service; its id.
  std::string Seed(const std::string& name, const std::string& type = "file", const std::string& parentId = "") {
    json body = {{"userId", "alice01"}, {"name", name}, {"type", type}};
    if (!parentId.empty()) body["parentId"] = parentId;
    return FsControl(Service(), "/test/fs/item", body)["fileId"].get<std::string>();
  }
};

TEST_F(OstrelHostileTest, ListingsShowServiceChosenNamesVisiblyAndJsonKeepsThemExact) {
  ASSERT_NO_FATAL_FAILURE(SignIn());
  for (const auto& row : kNames) Seed(row.name);
  const std::string folder = Seed("Raw", "folder");
  struct Listing {
    std::vector<std::string> command;
    const char* before;  // what the line holds before and after the name
    const char* after;
  } listings[] = {
      {{"ls", "/"}, "", "\n"},
      {{"ls", "-l", "/"}, "  ", "  "},
  };
  for (const auto& listing : listings) {
    ProgramRun run = Ostrel(listing.command);
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ("", FirstRawControl(run.out)) << run.out;
    for (const auto& row : kNames)
      EXPECT_NE(std::string::npos, run.out.find(listing.before + row.shown + listing.after)) << row.what << ": " << run.out;
  }
  ProgramRun listed = Ostrel({"--json", "ls", "/"});
  ASSERT_EQ(0, listed.status) << listed.err;
  EXPECT_EQ("", FirstRawControl(listed.out)) << "JSON escapes what it keeps: " << listed.out;
  const json items = json::parse(listed.out, nullptr, false);
  ASSERT_TRUE(items.is_array()) << listed.out;
  for (const auto& row : kNames) {
    bool found = false;
    for (const auto& item : items) found = found || (item["name"] == row.name && item["path"] == "/" + row.name);
    EXPECT_TRUE(found) << row.what << ": " << listed.out;
  }

  // A listing whose name is not UTF-8 (a lone 0x9B, CSI in 8-bit terminals): the
  // replacement character in lines and in JSON.
  const std::string reply = "<?xml version=\"1.0\" encoding=\"utf-8\" ?><nuvra result=\"ok\"><item><type>file</type>"
                            "<fileId>lone01</fileId><parentId>" + folder +
                            "</parentId><name>lone\x9B.txt</name><sha1>da39a3ee5e6b4b0d3255bfef95601890afd80709"
                            "</sha1><size>0</size><fileVer>1</fileVer></item></nuvra>";
  Service().Inject(json{{"path", "/xsvr/dir/"}, {"body_base64", Base64Encode(reply)}, {"count", 2}}.dump());
  ProgramRun raw = Ostrel({"ls", "--refresh", "/Raw"});
  EXPECT_EQ(0, raw.status) << raw.err;
  EXPECT_EQ("lone\xEF\xBF\xBD.txt\n", raw.out);
  ProgramRun rawJson = Ostrel({"--json", "ls", "--refresh", "/Raw"});
  EXPECT_EQ(0, rawJson.status) << rawJson.err;
  EXPECT_NE(std::string::npos, rawJson.out.find("\"name\":\"lone\xEF\xBF\xBD.txt\"")) << rawJson.out;
}

TEST_F(OstrelHostileTest, EveryLineThatQuotesAServiceChosenNameShowsItVisibly) {
  ASSERT_NO_FATAL_FAILURE(SignIn());
  int rowNumber = 0;
  for (const auto& row : kNames) {
    SCOPED_TRACE(row.what);
    Seed(row.name);
    // A local file of the name is in the way of the first download: the prompt quotes it.
    const std::string here = PathIn("here" + std::to_string(++rowNumber));
    const std::string there = PathIn("there" + std::to_string(rowNumber));
    ASSERT_EQ(0, mkdir(here.c_str(), 0700));
    ASSERT_EQ(0, mkdir(there.c_str(), 0700));
    WriteFileBytes(here + "/" + row.name, "mine");
    // The second download is refused by the service: a notice, a failure line and a task line.
    Service().Inject(R"({"path":"/xsvr/requestDownload/","word":"forbidden","count":10})");
    const std::string quoted = "\"/" + row.name + "\"";
    ProgramRun shell = Ostrel({"shell"}, "search \"" + row.name + "\"\nget " + quoted + " " + here + "\nmkdir \"/" +
                                             row.name + "/x\"\nget " + quoted + " " + there + "\ntasks\n");
    EXPECT_EQ("", FirstRawControl(shell.out)) << shell.out;
    EXPECT_EQ("", FirstRawControl(shell.err)) << shell.err;
    const char* const outLines[] = {"search hit", "task line"};
    const std::string outTexts[] = {row.shown + "\n", "/" + row.shown + "  "};
    for (size_t i = 0; i < std::size(outLines); ++i)
      EXPECT_NE(std::string::npos, shell.out.find(outTexts[i])) << outLines[i] << ": " << shell.out;
    const char* const errLines[] = {"prompt", "failure of a typed path", "failure of a task", "notice"};
    const std::string errTexts[] = {"\"" + row.shown + "\" 已经存在", "ostrel: mkdir: /" + row.shown + " is not a folder",
                                    "ostrel: get: /" + row.shown + ": ", "“" + row.shown + "”"};
    for (size_t i = 0; i < std::size(errLines); ++i)
      EXPECT_NE(std::string::npos, shell.err.find(errTexts[i])) << errLines[i] << ": " << shell.err;

    // The progress bar's label, on a terminal.
    Service().Reset();
    PtySession pty;
    ASSERT_TRUE(pty.Start(OstrelProgramPath(), Args({"--progress-delay", "0", "get", "/" + row.name, there})));
    EXPECT_EQ(0, pty.Wait()) << pty.Output();
    EXPECT_EQ("", FirstRawControl(pty.Output())) << pty.Output();
    EXPECT_NE(std::string::npos, pty.Output().find("\r/" + row.shown + "  ")) << pty.Output();
  }
}

TEST_F(OstrelHostileTest, APasswordLineHasABoundAndALongerOneFailsBeforeAnyRequest) {
  const std::string bound(4096, 'p');
  struct Row {
    const char* what;
    std::string input;
    int status;
  } rows[] = {
      {"exactly the bound", bound + "\n", 0},
      {"the bound ended by CR LF", bound + "\r\n", 0},
      {"one byte more", bound + "p\n", 2},
      {"8 MiB of NULs with no newline, as from /dev/zero", std::string(8 << 20, '\0'), 2},
  };
  FsControl(Service(), "/test/fs/account", {{"user", "long"}, {"password", bound}, {"userId", "long01"}});
  for (const auto& row : rows) {
    Service().Reset();
    ProgramRun run = Ostrel({"login", "long", "--password-stdin"}, row.input);
    EXPECT_EQ(row.status, run.status) << row.what << ": " << run.err;
    if (row.status == 0) {
      EXPECT_NE(std::string::npos, run.err.find("Signed in as")) << row.what << ": " << run.err;
      EXPECT_EQ(0, Ostrel({"logout"}).status) << row.what;
    } else {
      EXPECT_EQ("ostrel: login: the password is longer than 4096 bytes\n", run.err) << row.what;
      EXPECT_EQ(0u, Service().Requests("/xsvr/login/").size()) << row.what;
    }
  }
}

TEST_F(OstrelHostileTest, AShellLinePastItsBoundIsRefusedWholeAndTheNextRuns) {
  ASSERT_NO_FATAL_FAILURE(SignIn());
  // A line of exactly the bound runs; the refused line ends in a command of its own:
  // none of the line may run.
  const std::string fits = std::string(65536 - 11, ' ') + "mkdir /Fits";
  const std::string tooLong = std::string(65536 - 10, ' ') + "mkdir /Tail";
  ProgramRun run = Ostrel({"shell"}, fits + "\n" + tooLong + "\nmkdir /Next\nls\n");
  EXPECT_EQ(2, run.status) << run.err;
  EXPECT_EQ("ostrel: shell: a line is longer than 65536 bytes; it was not run\n", run.err);
  EXPECT_EQ("Fits/\nNext/\n", run.out);
}

}  // namespace
