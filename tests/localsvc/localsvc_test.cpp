// The local service as a test peer: what it records, the faults it applies, its
// command line, checked with our own minimal HTTP exchange, curl and gzip. The test
// endpoints the client's transport tests use (proxy, redirects, bytes, trickle) are
// checked there.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "svcapi.h"

namespace {

class LocalServiceSelfTest : public LocalServiceTest {};

// Requests are recorded with their raw target, headers and body, and multipart parts
// (as curl sends them) in order; the sink keeps nothing; Reset forgets requests and faults.
TEST_F(LocalServiceSelfTest, RecordsRequestsAndPartsUntilReset) {
  HttpReply r = HttpExchange(Service().Port(), "POST", "/test/echo?a=b%20c&x=1+2", std::string("bo\0dy", 5),
                             {"v:2", "User-Agent:ostrel"});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(200, r.status);
  WriteFileBytes(PathIn("upload.bin"), "file-bytes");
  ASSERT_EQ(0, RunCommand("curl -s -F z=1 -F a=two -F FileCont=@" + ShellQuote(PathIn("upload.bin")) + " " +
                          Service().Url("/test/echo")));
  auto log = Service().Requests("/test/echo");
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ("POST", log[0].method);
  EXPECT_EQ("/test/echo?a=b%20c&x=1+2", log[0].target);
  EXPECT_EQ("a=b%20c&x=1+2", log[0].query);
  EXPECT_EQ("2", log[0].Header("v"));
  EXPECT_EQ("ostrel", log[0].Header("user-agent"));
  EXPECT_FALSE(log[0].HasHeader("REMOTE_ADDR"));
  EXPECT_EQ(std::string("bo\0dy", 5), log[0].body);
  EXPECT_EQ(5u, log[0].bodySize);
  EXPECT_FALSE(log[0].proxied);
  ASSERT_EQ(3u, log[1].parts.size());
  const char* expected[][3] = {{"z", "", "1"}, {"a", "", "two"}, {"FileCont", "upload.bin", "file-bytes"}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(expected[i][0], log[1].parts[i].name);
    EXPECT_EQ(expected[i][1], log[1].parts[i].filename);
    EXPECT_EQ(expected[i][2], log[1].parts[i].data);
  }
  r = HttpExchange(Service().Port(), "POST", "/test/sink", std::string(5000, 'q'));
  EXPECT_EQ("{\"received\":5000,\"parts\":0}", r.body);
  log = Service().Requests("/test/sink");
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ(5000u, log[0].bodySize);
  EXPECT_TRUE(log[0].body.empty());

  Service().Inject(R"({"path":"/test/echo","status":500})");
  Service().Reset();
  EXPECT_TRUE(Service().Requests().empty());
  EXPECT_EQ(200, HttpExchange(Service().Port(), "GET", "/test/echo").status);
}

// Each fault applies to the next request of its path; a gzip body is read back by gzip.
// (The other kinds of fault, and headers in place of the service's, are the client's
// tests' own.)
TEST_F(LocalServiceSelfTest, FaultsApplyInTurnThenStopAndMalformedOnesAreRefused) {
  const struct { const char* fault; bool ok; int status; std::string body, headerLine; } rows[] = {
      {R"("status":504,"count":2)", true, 504, "", ""},
      {"", true, 504, "", ""},  // the second of the count
      {R"("gzip":true,"body":"hello")", true, 200, "hello", "Content-Encoding: gzip"},
      {R"("drop":true)", false, 0, "", ""},
      {R"("delay_ms":50,"status":503)", true, 503, "", ""},
  };
  std::string all;
  for (const auto& row : rows)
    if (*row.fault) all += std::string(all.empty() ? "[" : ",") + R"({"path":"/test/echo",)" + row.fault + "}";
  Service().Inject(all + "]");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fault);
    HttpReply r = HttpExchange(Service().Port(), "GET", "/test/echo");
    EXPECT_EQ(row.ok, r.ok);
    EXPECT_EQ(row.status, r.status);
    std::string body = r.body;
    if (std::string(row.fault).find("gzip\":true") != std::string::npos) {
      WriteFileBytes(PathIn("body.gz"), r.body);
      EXPECT_EQ(0, RunCommand("gzip -dc " + PathIn("body.gz"), &body));
    }
    EXPECT_NE(std::string::npos, body.find(row.body)) << body;
    if (!row.headerLine.empty()) {
      EXPECT_NE(std::string::npos, r.head.find("\r\n" + row.headerLine + "\r\n")) << r.head;
    }
  }
  // Unfaulted again; every request was recorded, faulted or not.
  EXPECT_EQ('{', HttpExchange(Service().Port(), "GET", "/test/echo").body[0]);
  EXPECT_EQ(std::size(rows) + 1, Service().Requests("/test/echo").size());
  EXPECT_EQ(404, HttpExchange(Service().Port(), "GET", "/a").status);
  // Malformed faults are refused.
  for (const char* bad : {"not json", R"({"status":500})", R"({"path":"x"})", R"({"path":"/x","count":0})",
                          R"({"path":"/x","body_base64":"@@@"})", R"({"path":"/x","status":"five"})",
                          R"({"path":"/x","chunk":-1})", R"({"path":"/x","delay_ms":0.5})"})
    EXPECT_EQ(400, HttpExchange(Service().Port(), "POST", "/test/inject", bad).status) << bad;
}

// A request held at a gate waits there, already in the log, until the gate opens; a
// reset closes the gates again, and a service that stops lets a held request go
// without a reply.
TEST_F(LocalServiceSelfTest, AGateHoldsRequestsUntilReleasedOrStopped) {
  EXPECT_EQ(400, HttpExchange(Service().Port(), "POST", "/test/release", "{}").status) << "a gate needs a name";
  Service().Inject(R"({"path":"/test/echo","hold":"one","count":2})");
  HttpReply held;
  std::thread first([&] { held = HttpExchange(Service().Port(), "GET", "/test/echo?first"); });
  ASSERT_TRUE(Service().AwaitRequests("/test/echo", 1));
  Service().Release("one");
  first.join();
  EXPECT_EQ(200, held.status);
  // The gate stays open for the fault's next request until a reset closes it.
  EXPECT_EQ(200, HttpExchange(Service().Port(), "GET", "/test/echo?second").status);
  Service().Reset();
  Service().Inject(R"({"path":"/test/echo","hold":"one"})");
  std::thread last([&] { held = HttpExchange(Service().Port(), "GET", "/test/echo?third"); });
  ASSERT_TRUE(Service().AwaitRequests("/test/echo", 1));
  EXPECT_EQ(0, Service().Stop());
  last.join();
  EXPECT_FALSE(held.ok);
}

using LocalServiceStartTest = OstrelTest;

// Every option on one service: a port, a data folder, an account, the global version;
// and the arguments it refuses.
TEST_F(LocalServiceStartTest, CommandLineOptions) {
  ASSERT_EQ(0, RunCommand("mkdir " + ShellQuote(PathIn("files"))));
  WriteFileBytes(PathIn("files/blob.bin"), RandomBytes(300000, 1));
  WriteFileBytes(PathIn("secret"), "secret");
  LocalService a, b;
  ASSERT_TRUE(a.Start());
  const int port = a.Port();
  EXPECT_EQ(0, a.Stop());
  ASSERT_TRUE(b.Start({"--port", std::to_string(port), "--data", PathIn("files"), "--account", "carol:secret",
                       "--global-version", "3"}));
  EXPECT_EQ(port, b.Port());
  HttpReply r = HttpExchange(port, "GET", "/test/files/blob.bin");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(RandomBytes(300000, 1), r.body);
  EXPECT_EQ(404, HttpExchange(port, "GET", "/test/files/..%2Fsecret").status);
  EXPECT_EQ(404, HttpExchange(port, "GET", "/test/files/missing").status);
  Reply login = CallApi(b, "/xsvr/login/", {{"user", "carol"}, {"password", "secret"}, {"deviceId", "d"}});
  ASSERT_EQ("ok", login.word);
  EXPECT_EQ("3", CallApi(b, "/xsvr/getGlobalVersion", {{"token", login.values["token"]}}).values["globalVersion"]);
  EXPECT_EQ(0, b.Stop());
  // Bad arguments are refused.
  const std::string path = OSTREL_LOCALSVC_PATH;
  EXPECT_EQ(2, RunCommand(path + " --bogus 2>/dev/null"));
  EXPECT_EQ(2, RunCommand(path + " --tls-cert only-cert 2>/dev/null"));
  EXPECT_EQ(1, RunCommand(path + " --tls-cert /nonexistent --tls-key /nonexistent 2>/dev/null"));
  EXPECT_EQ(1, RunCommand(path + " --account no-password 2>/dev/null"));
  EXPECT_EQ(0, RunCommand(path + " --help >/dev/null"));
}

// The data folder serves its regular files and nothing else: a pipe there is refused
// at once (opening it must not wait for a writer, which would hold a worker and the
// stop for good), links are not followed, and no name leaves the folder.
TEST_F(LocalServiceStartTest, DataFolderServesRegularFilesOnly) {
  const std::string files = PathIn("files");
  ASSERT_EQ(0, ::mkdir(files.c_str(), 0700));
  ASSERT_EQ(0, ::mkdir((files + "/folder").c_str(), 0700));
  WriteFileBytes(files + "/plain.txt", "plain");
  WriteFileBytes(PathIn("secret"), "secret");
  ASSERT_EQ(0, ::mkfifo((files + "/pipe").c_str(), 0600));
  ASSERT_EQ(0, ::symlink(PathIn("secret").c_str(), (files + "/outside").c_str()));
  ASSERT_EQ(0, ::symlink("plain.txt", (files + "/inside").c_str()));
  LocalService service;
  ASSERT_TRUE(service.Start({"--data", files}));
  const struct {
    const char* name;
    int status;
  } rows[] = {{"plain.txt", 200}, {"pipe", 404},      {"outside", 404},      {"inside", 404},
              {"folder", 404},    {"..", 404},        {"..%2Fsecret", 404},  {"%2E%2E", 404},
              {".", 404},         {"%2Fetc%2Fhostname", 404}};
  for (const auto& row : rows) {
    HttpReply r = HttpExchange(service.Port(), "GET", std::string("/test/files/") + row.name);
    EXPECT_TRUE(r.ok) << row.name;
    EXPECT_EQ(row.status, r.status) << row.name;
    if (row.status == 200) {
      EXPECT_EQ("plain", r.body);
    }
  }
  // A stop still ends it: the helper fails the test when SIGTERM does not.
  EXPECT_EQ(0, service.Stop());
}

}  // namespace
