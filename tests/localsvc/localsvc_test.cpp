// The local service as a test peer: what it records, the faults it applies and the
// test endpoints, checked with our own minimal HTTP exchange and with curl.
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <thread>

#include "support/localservice.h"

namespace {

std::string Gunzip(const std::string& in) {
  z_stream zs{};
  inflateInit2(&zs, 31);
  std::string out(1 << 16, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  int rc = inflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  inflateEnd(&zs);
  return rc == Z_STREAM_END ? out : "<bad gzip>";
}

class LocalServiceSelfTest : public LocalServiceTest {};

TEST_F(LocalServiceSelfTest, RecordsMethodRawTargetHeadersAndBody) {
  HttpReply r = HttpExchange(Service().Port(), "POST", "/test/echo?a=b%20c&x=1+2", std::string("bo\0dy", 5),
                             {"v:2", "User-Agent:ostrel"});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(200, r.status);
  auto log = Service().Requests("/test/echo");
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ("POST", log[0].method);
  EXPECT_EQ("/test/echo?a=b%20c&x=1+2", log[0].target);
  EXPECT_EQ("a=b%20c&x=1+2", log[0].query);
  EXPECT_EQ("2", log[0].Header("v"));
  EXPECT_EQ("ostrel", log[0].Header("user-agent"));
  EXPECT_FALSE(log[0].HasHeader("REMOTE_ADDR"));
  EXPECT_EQ(std::string("bo\0dy", 5), log[0].body);
  EXPECT_EQ(5u, log[0].bodySize);
  EXPECT_FALSE(log[0].proxied);
}

TEST_F(LocalServiceSelfTest, AnswersAbsoluteFormTargetsAsAProxy) {
  HttpReply r = HttpExchange(Service().Port(), "GET", "http://origin.invalid:8080/test/status/201?q=1", "",
                             {"Proxy-Authorization: Basic dTpw"});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(201, r.status);
  auto log = Service().Requests("/test/status/201");
  ASSERT_EQ(1u, log.size());
  EXPECT_TRUE(log[0].proxied);
  EXPECT_EQ("q=1", log[0].query);
  EXPECT_EQ("Basic dTpw", log[0].Header("Proxy-Authorization"));
}

TEST_F(LocalServiceSelfTest, FaultsApplyToTheirCountThenStop) {
  Service().Inject(R"([{"path":"/test/echo","count":2,"status":504},{"path":"/test/echo","word":"serverBusy"}])");
  EXPECT_EQ(504, HttpExchange(Service().Port(), "GET", "/test/echo").status);
  EXPECT_EQ(504, HttpExchange(Service().Port(), "GET", "/test/echo?again").status);
  HttpReply word = HttpExchange(Service().Port(), "GET", "/test/echo");
  EXPECT_EQ(200, word.status);
  EXPECT_EQ("<?xml version=\"1.0\" encoding=\"utf-8\"?><nuvra result=\"serverBusy\"/>", word.body);
  HttpReply plain = HttpExchange(Service().Port(), "GET", "/test/echo");
  EXPECT_EQ(200, plain.status);
  EXPECT_EQ('{', plain.body[0]);
  // Every request is recorded, faulted or not.
  EXPECT_EQ(4u, Service().Requests("/test/echo").size());
}

TEST_F(LocalServiceSelfTest, BodyFaults) {
  Service().Inject(R"([{"path":"/a","body":"x\u0000y"},{"path":"/a","body_base64":"AAEC"},{"path":"/a","zeros":3}])");
  EXPECT_EQ(std::string("x\0y", 3), HttpExchange(Service().Port(), "GET", "/a").body);
  EXPECT_EQ(std::string("\0\1\2", 3), HttpExchange(Service().Port(), "GET", "/a").body);
  EXPECT_EQ(std::string(3, '\0'), HttpExchange(Service().Port(), "GET", "/a").body);
  // Unfaulted, an unknown path is 404.
  EXPECT_EQ(404, HttpExchange(Service().Port(), "GET", "/a").status);
}

TEST_F(LocalServiceSelfTest, GzipFaultsWriteHeaderLinesExactly) {
  Service().Inject(R"([{"path":"/test/echo","gzip":true,"body":"hello"},
                       {"path":"/test/echo","gzip":true,"body":"hi","headers":["Content-Encoding:gzip"]},
                       {"path":"/test/echo","body":"plain","headers":["content-encoding: gzip, br"]}])");
  HttpReply a = HttpExchange(Service().Port(), "GET", "/test/echo");
  EXPECT_NE(std::string::npos, a.head.find("\r\nContent-Encoding: gzip\r\n"));
  EXPECT_EQ("hello", Gunzip(a.body));
  HttpReply b = HttpExchange(Service().Port(), "GET", "/test/echo");
  EXPECT_NE(std::string::npos, b.head.find("\r\nContent-Encoding:gzip\r\n"));
  EXPECT_EQ("hi", Gunzip(b.body));
  HttpReply c = HttpExchange(Service().Port(), "GET", "/test/echo");
  EXPECT_NE(std::string::npos, c.head.find("\r\ncontent-encoding: gzip, br\r\n"));
  EXPECT_EQ("plain", c.body);
}

TEST_F(LocalServiceSelfTest, DropAndDelay) {
  Service().Inject(R"([{"path":"/test/echo","drop":true},{"path":"/test/echo","delay_ms":50,"status":503}])");
  HttpReply dropped = HttpExchange(Service().Port(), "GET", "/test/echo");
  EXPECT_FALSE(dropped.ok);
  EXPECT_TRUE(dropped.head.empty());
  EXPECT_EQ(503, HttpExchange(Service().Port(), "GET", "/test/echo").status);
  EXPECT_FALSE(HttpExchange(Service().Port(), "GET", "/test/drop").ok);
}

TEST_F(LocalServiceSelfTest, RefusesMalformedFaults) {
  for (const char* bad : {"not json", R"({"status":500})", R"({"path":"x"})", R"({"path":"/x","count":0})",
                          R"({"path":"/x","body_base64":"@@@"})", R"({"path":"/x","status":"five"})",
                          R"({"path":"/x","chunk":-1})", R"({"path":"/x","delay_ms":0.5})"}) {
    HttpReply r = HttpExchange(Service().Port(), "POST", "/test/inject", bad);
    EXPECT_EQ(400, r.status) << bad;
  }
}

TEST_F(LocalServiceSelfTest, ResetForgetsRequestsAndFaults) {
  Service().Inject(R"({"path":"/test/echo","status":500})");
  HttpExchange(Service().Port(), "GET", "/test/status/200");
  Service().Reset();
  EXPECT_TRUE(Service().Requests().empty());
  EXPECT_EQ(200, HttpExchange(Service().Port(), "GET", "/test/echo").status);
}

TEST_F(LocalServiceSelfTest, MultipartPartsAreRecordedInOrder) {
  std::string file = PathIn("upload.bin");
  WriteFileBytes(file, "file-bytes");
  std::string cmd = "curl -s -F z=1 -F a=two -F FileCont=@" + ShellQuote(file) + " " + Service().Url("/test/echo");
  ASSERT_EQ(0, RunCommand(cmd));
  auto log = Service().Requests("/test/echo");
  ASSERT_EQ(1u, log.size());
  ASSERT_EQ(3u, log[0].parts.size());
  EXPECT_EQ("z", log[0].parts[0].name);
  EXPECT_EQ("1", log[0].parts[0].data);
  EXPECT_EQ("a", log[0].parts[1].name);
  EXPECT_EQ("two", log[0].parts[1].data);
  EXPECT_EQ("FileCont", log[0].parts[2].name);
  EXPECT_EQ("upload.bin", log[0].parts[2].filename);
  EXPECT_EQ("file-bytes", log[0].parts[2].data);
}

TEST_F(LocalServiceSelfTest, RedirectChainEndsAtTheTarget) {
  std::string out;
  ASSERT_EQ(0, RunCommand("curl -s -L -w '%{num_redirects}' '" +
                              Service().Url("/test/redirect?n=3&to=/test/bytes%3Fn%3D4%26seed%3D0") + "'",
                          &out));
  EXPECT_EQ(std::string("\0\0\0\0", 4) + "3", out);
}

TEST_F(LocalServiceSelfTest, BytesAreDeterministicAndTrickleArrivesWhole) {
  HttpReply a = HttpExchange(Service().Port(), "GET", "/test/bytes?n=100000&seed=7");
  HttpReply b = HttpExchange(Service().Port(), "GET", "/test/bytes?n=100000&seed=7");
  HttpReply c = HttpExchange(Service().Port(), "GET", "/test/bytes?n=100000&seed=8");
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(100000u, a.body.size());
  EXPECT_EQ(a.body, b.body);
  EXPECT_NE(a.body, c.body);
  HttpReply t = HttpExchange(Service().Port(), "GET", "/test/trickle?n=10&chunk=3&ms=1");
  EXPECT_EQ("xxxxxxxxxx", t.body);
}

TEST_F(LocalServiceSelfTest, SinkCountsWithoutKeeping) {
  HttpReply r = HttpExchange(Service().Port(), "POST", "/test/sink", std::string(5000, 'q'));
  EXPECT_EQ("{\"received\":5000,\"parts\":0}", r.body);
  auto log = Service().Requests("/test/sink");
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ(5000u, log[0].bodySize);
  EXPECT_TRUE(log[0].body.empty());
}

TEST_F(LocalServiceSelfTest, EndsCleanlyWhileARequestWaits) {
  auto start = std::chrono::steady_clock::now();
  std::thread client([&] { HttpExchange(Service().Port(), "GET", "/test/sleep?s=60"); });
  // The request is in the service once it is recorded.
  while (Service().Requests("/test/sleep").empty()) std::this_thread::yield();
  EXPECT_EQ(0, Service().Stop());
  client.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

class LocalServiceDataTest : public LocalServiceTest {
 protected:
  std::vector<std::string> ServiceArgs() override {
    std::string dir = PathIn("files");
    RunCommand("mkdir -p " + ShellQuote(dir));
    return {"--data", dir};
  }
};

TEST_F(LocalServiceDataTest, ServesOnlyPlainNamesOfItsFolder) {
  WriteFileBytes(PathIn("files/blob.bin"), RandomBytes(300000, 1));
  WriteFileBytes(PathIn("secret"), "secret");
  HttpReply r = HttpExchange(Service().Port(), "GET", "/test/files/blob.bin");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(RandomBytes(300000, 1), r.body);
  EXPECT_EQ(404, HttpExchange(Service().Port(), "GET", "/test/files/..%2Fsecret").status);
  EXPECT_EQ(404, HttpExchange(Service().Port(), "GET", "/test/files/missing").status);
}

TEST(LocalServiceStartTest, TwoInstancesGetTheirOwnPortsAndAFixedPortWorks) {
  LocalService a, b;
  ASSERT_TRUE(a.Start());
  ASSERT_TRUE(b.Start());
  EXPECT_NE(a.Port(), b.Port());
  int port = a.Port();
  EXPECT_EQ(0, a.Stop());
  LocalService c;
  ASSERT_TRUE(c.Start({"--port", std::to_string(port)}));
  EXPECT_EQ(port, c.Port());
  EXPECT_EQ(200, HttpExchange(port, "GET", "/test/status/200").status);
  EXPECT_EQ(0, c.Stop());
  EXPECT_EQ(0, b.Stop());
}

TEST(LocalServiceStartTest, RefusesBadArguments) {
  std::string path = OSTREL_LOCALSVC_PATH;
  EXPECT_EQ(2, RunCommand(path + " --bogus 2>/dev/null"));
  EXPECT_EQ(2, RunCommand(path + " --tls-cert only-cert 2>/dev/null"));
  EXPECT_EQ(1, RunCommand(path + " --tls-cert /nonexistent --tls-key /nonexistent 2>/dev/null"));
  EXPECT_EQ(1, RunCommand(path + " --account no-password 2>/dev/null"));
  EXPECT_EQ(0, RunCommand(path + " --help >/dev/null"));
}

}  // namespace
