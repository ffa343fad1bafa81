// The local service against requests that ask too much of it: waits and sizes beyond its
// bounds, negative ones, and bytes that are not UTF-8. None of them may end it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "support/fsseed.h"
#include "support/localservice.h"
#include "support/textcodec.h"

namespace {

using LocalServiceLimitsTest = LocalServiceTest;

// Waits far beyond an hour hold until the service stops, and it still ends cleanly.
TEST_F(LocalServiceLimitsTest, HugeWaitsHoldUntilTheServiceStops) {
  Service().Inject(R"([{"path":"/w/delay","delay_ms":9223372036854775807},
                       {"path":"/w/chunk","body":"ab","chunk":1,"chunk_ms":18446744073709551615}])");
  const std::vector<std::string> targets = {
      "/test/sleep?ms=9223372036854775807", "/test/sleep?s=9223372036854775807", "/test/sleep?ms=99999999999999999999",
      "/test/trickle?n=2&chunk=1&ms=9223372036854775807", "/w/delay", "/w/chunk"};
  std::vector<HttpReply> replies(targets.size());
  std::vector<std::thread> clients;
  for (size_t i = 0; i < targets.size(); ++i)
    clients.emplace_back([&, i] { replies[i] = HttpExchange(Service().Port(), "GET", targets[i]); });
  // A request is in the service once it is recorded.
  while (!HasFailure() && Service().Requests().size() < targets.size()) std::this_thread::yield();
  EXPECT_EQ(200, HttpExchange(Service().Port(), "GET", "/test/status/200").status);
  EXPECT_EQ(0, Service().Stop());
  for (auto& c : clients) c.join();
  for (size_t i = 0; i < targets.size(); ++i) EXPECT_FALSE(replies[i].ok) << targets[i];
}

TEST_F(LocalServiceLimitsTest, NegativeNumbersAreRefusedAndHugeSizesCut) {
  struct { const char* target; int status; } rows[] = {
      {"/test/sleep?ms=-1", 400}, {"/test/sleep?s=-1", 400}, {"/test/trickle?n=-1", 400},
      {"/test/trickle?chunk=-1", 400}, {"/test/trickle?ms=-1", 400}, {"/test/bytes?n=-1", 400},
      {"/test/bytes?n=1000000000000000", 206},
      {"/test/trickle?n=99999999999999999999&chunk=99999999999999999999&ms=0", 206}};
  for (const auto& row : rows) {
    // A range keeps a reply that would be endless short.
    HttpReply r = HttpExchange(Service().Port(), "GET", row.target, "", {"Range: bytes=0-0"});
    EXPECT_EQ(row.status, r.status) << row.target;
    bool cut = r.head.find("Content-Range: bytes 0-0/67108864\r\n") != std::string::npos;
    EXPECT_EQ(row.status == 206, cut) << row.target;
  }
  Service().Inject(R"({"path":"/z","zeros":1000000000000000})");
  EXPECT_EQ(size_t(64) << 20, HttpExchange(Service().Port(), "GET", "/z").body.size());
}

TEST_F(LocalServiceLimitsTest, BytesThatAreNotUtf8StillGiveJson) {
  struct { const char* method; const char* path; const char* body; int status; } rows[] = {
      {"GET", "/test/echo", "", 200}, {"POST", "/test/inject", "\xff", 400}, {"POST", "/test/fs/item", "\xff", 400}};
  for (const auto& row : rows) {
    HttpReply r = HttpExchange(Service().Port(), row.method, row.path, row.body, {"X-Bytes: a\xff" "b"});
    EXPECT_EQ(row.status, r.status) << row.path;
    EXPECT_TRUE(nlohmann::json::accept(r.body)) << row.path << ": " << r.body;
  }
  auto log = Service().Requests("/test/echo");
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ("a\xEF\xBF\xBD" "b", log[0].Header("X-Bytes"));
}

// A body is kept in memory only up to 320 MiB: a longer one announced or sent to a
// route that keeps it is refused, while the sink, which only counts, takes any size.
TEST_F(LocalServiceLimitsTest, OnlyBodiesThatAreCountedMayOutgrowTheBound) {
  const std::string over = std::to_string((uint64_t(320) << 20) + 1);
  for (const char* header : {"Content-Length: 400000000", "Transfer-Encoding: chunked"})
    EXPECT_EQ(413, HttpExchange(Service().Port(), "GET", "/test/echo", "", {header}).status) << header;
  const std::string url = "http://127.0.0.1:" + std::to_string(Service().Port());
  struct {
    const char* path;
    std::string reply;  // how the reply starts
  } rows[] = {{"/test/sink", "{\"received\":" + over + ","}, {"/test/echo", "{\"error\""}};
  for (const auto& row : rows) {
    std::string out;
    ASSERT_EQ(0, RunCommand("head -c " + over + " /dev/zero | curl -s -H 'Transfer-Encoding: chunked' --data-binary @- " +
                                "-w ' %{http_code}' " + url + row.path,
                            &out));
    EXPECT_TRUE(out.starts_with(row.reply)) << row.path << ": " << out.substr(0, 200);
    EXPECT_TRUE(out.ends_with(row.path == std::string("/test/sink") ? " 200" : " 413")) << row.path;
  }
}

// The seeding and transfer controls refuse what the store cannot hold: clashing or
// malformed accounts and items, and sizes, versions and counts beyond its bounds.
TEST_F(LocalServiceLimitsTest, ControlsRefuseWhatTheStoreCannotHold) {
  std::string big = PathIn("big.bin");
  WriteFileBytes(big, "");
  ASSERT_EQ(0, ::truncate(big.c_str(), (64 << 20) + 1));
  const std::string fifo = PathIn("fifo");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  nlohmann::json entry = {{"name", "a"}, {"text", "x"}, {"claimedSize", -1}};
  nlohmann::json corrupt = {{"fileId", "1"}, {"index", 1}, {"count", 2147483647}};
  const nlohmann::json alice = FsAccount(Service(), "alice");
  const std::string userId = alice["userId"], bobId = FsAccount(Service(), "bob")["userId"];
  const std::string file = FsControl(Service(), "/test/fs/item", {{"userId", userId}, {"name", "f"}})["fileId"];
  struct { const char* path; nlohmann::json body; int status; } rows[] = {
      {"/test/fs/account", {{"user", "alice"}, {"password", "x"}}, 400},
      {"/test/fs/account", {{"user", "u"}, {"password", "p"}, {"userId", "a/b"}}, 400},
      {"/test/fs/account", {{"user", "u"}, {"password", "p"}, {"email", "no-at"}}, 400},
      {"/test/fs/account", {{"user", ""}, {"password", "p"}}, 400},
      {"/test/fs/item", {{"userId", "nobody"}, {"name", "x"}}, 400},
      {"/test/fs/item", {{"userId", userId}, {"name", ""}}, 400},
      {"/test/fs/item", {{"userId", userId}, {"name", "F"}}, 400},
      {"/test/fs/item", {{"userId", userId}, {"name", "x"}, {"parentId", file}}, 400},
      {"/test/fs/item", {{"userId", bobId}, {"name", "x"}, {"parentId", file}}, 400},
      {"/test/fs/item", {{"userId", userId}, {"name", "x"}, {"type", "link"}}, 400},
      {"/test/fs/share", {{"fileId", file}, {"to", alice["email"]}}, 400},
      {"/test/xfer/file", {{"userId", userId}, {"name", "big"}, {"path", big}}, 400},
      {"/test/xfer/file", {{"userId", userId}, {"name", "fifo"}, {"path", fifo}}, 400},  // read without waiting
      // A version the next change would count past the 64-bit range.
      {"/test/fs/versions", {{"userId", userId}, {"opVer", 9223372036854775807}}, 400},
      {"/test/fs/item", {{"userId", userId}, {"name", "v"}, {"fileVer", 9223372036854775807}}, 400},
      {"/test/xfer/thumbnail", {{"fileId", "1"}, {"entries", nlohmann::json::array({entry})}}, 400},
      {"/test/xfer/corrupt", corrupt, 200},
      {"/test/xfer/corrupt", corrupt, 200}};  // counts that add up beyond the largest stay there
  for (const auto& row : rows)
    EXPECT_EQ(row.status, HttpExchange(Service().Port(), "POST", row.path, row.body.dump()).status) << row.body.dump();
}

// The request log keeps the latest requests within its bounds (here 20 requests and
// 10,000 bytes of bodies), dropping the oldest first and counting what it dropped.
class RequestLogBoundsTest : public LocalServiceTest {
 protected:
  std::vector<std::string> ServiceArgs() override { return {"--log-requests", "20", "--log-bytes", "10000"}; }
  nlohmann::json Log() { return nlohmann::json::parse(HttpExchange(Service().Port(), "GET", "/test/log").body); }
  void Send(int n, size_t bodySize) {
    for (int i = 0; i < n; ++i, ++sent)
      HttpExchange(Service().Port(), "POST", "/test/echo?n=" + std::to_string(sent), std::string(bodySize, 'b'));
  }
  int sent = 0;
};

TEST_F(RequestLogBoundsTest, TheOldestRequestsAreDroppedFirst) {
  const struct {
    int requests;
    size_t bodySize;
    size_t kept;         // records kept after them
    size_t keptBody;     // bytes the newest keeps of its body
    uint64_t dropped;    // since the start
  } rows[] = {
      {100, 300, 20, 300, 80},           // the count bounds the log
      {10, 3000, 3, 3000, 100 + 10 - 3},  // the bytes do: three bodies of 3000 fit, a fourth does not
      {1, 2 << 20, 1, 10000, 110},       // one body over the bound is cut to it, and stands alone
      {2, 0, 3, 0, 110},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.requests) + " requests of " + std::to_string(row.bodySize) + " bytes");
    Send(row.requests, row.bodySize);
    const nlohmann::json log = Log();
    const auto& kept = log["requests"];
    ASSERT_EQ(row.kept, kept.size());
    EXPECT_EQ(row.dropped, log["dropped"]);
    size_t bytes = 0;
    for (size_t i = 0; i < kept.size(); ++i) {
      bytes += Base64Decode(kept[i]["body_base64"].get<std::string>()).size();
      EXPECT_EQ("n=" + std::to_string(sent - static_cast<int>(kept.size() - i)), kept[i]["query"]) << "oldest first";
    }
    EXPECT_LE(bytes, 10000u);
    EXPECT_EQ(row.keptBody, Base64Decode(kept.back()["body_base64"].get<std::string>()).size());
    EXPECT_EQ(row.bodySize, kept.back()["body_size"]) << "the full size is kept beside the cut body";
  }
  // Parts count with the body: the second of two parts of 8000 bytes keeps 2000.
  const std::string boundary = "b0undary";
  std::string body;
  for (const char* name : {"one", "two"})
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
            std::string(8000, 'p') + "\r\n";
  body += "--" + boundary + "--\r\n";
  HttpExchange(Service().Port(), "POST", "/test/echo", body, {"Content-Type: multipart/form-data; boundary=" + boundary});
  const nlohmann::json parts = Log()["requests"].back()["parts"];
  ASSERT_EQ(2u, parts.size());
  EXPECT_EQ(8000u, Base64Decode(parts[0]["data_base64"].get<std::string>()).size());
  EXPECT_EQ(2000u, Base64Decode(parts[1]["data_base64"].get<std::string>()).size());
  EXPECT_EQ(8000, parts[1]["size"]);
  Service().Reset();
  EXPECT_EQ(0, Log()["dropped"]);
  EXPECT_TRUE(Log()["requests"].empty());
}

}  // namespace
