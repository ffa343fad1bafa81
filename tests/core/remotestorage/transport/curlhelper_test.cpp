// CCurlHelper against the local service (and a raw loopback peer where the exact bytes
// on the wire matter): reply decoding, failures, guards. The status rules of every
// kind of request are tested through the transport.
#include "core/remotestorage/transport/curlhelper.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/utf8.h"
#include "support/localservice.h"
#include "support/logcapture.h"
#include "transporttestutil.h"

namespace {

class CurlHelperTest : public LocalServiceTest {
 protected:
  void SetUp() override {
    LocalServiceTest::SetUp();
    ASSERT_TRUE(m_curl.Init());
  }
  std::string Url(const std::string& path) { return Service().Url(path); }
  CurlStatus Get(const std::string& path, long timeout = 10) { return m_curl.Request_URL_GET(Url(path).c_str(), timeout); }

  CCurlHelper m_curl;
};

// ---- reply decoding ---------------------------------------------------------------

TEST_F(CurlHelperTest, GzipIsDetectedExactlyByTheFirstContentEncodingLine) {
  const std::string text = "inflated reply text";
  struct Case {
    const char* headers;  // the reply's header lines, as a JSON array
    bool inflated;
  } cases[] = {
      {R"(["Content-Encoding: gzip"])", true},
      {R"(["content-encoding: gzip"])", false},
      {R"(["Content-Encoding: gzip, br"])", false},
      {R"(["Content-Encoding: identity", "Content-Encoding: gzip"])", false},
  };
  for (const auto& c : cases) {
    const std::string headers = c.headers;
    Service().Inject(R"({"path":"/test/echo","gzip":true,"body":")" + text + R"(","headers":)" + headers + "}");
    EXPECT_EQ(kCurlOk, Get("/test/echo")) << headers;
    if (c.inflated) {
      EXPECT_EQ(text, m_curl.GetResponseText()) << headers;
    } else {
      // As received: the gzip magic, cut at the first zero byte of the gzip header.
      EXPECT_EQ(Deflate(text).substr(0, 3), m_curl.ReplyBytes().substr(0, 3)) << headers;
      EXPECT_NE(text, m_curl.GetResponseText()) << headers;
      EXPECT_EQ(3u, Utf8ToUtf16(m_curl.GetResponseText()).size()) << headers;
    }
  }
}

// Text is cut at a NUL (inflated or not) and invalid UTF-8 replaced; a truncated gzip
// reply gives what was inflated.
TEST_F(CurlHelperTest, ReplyTextIsCutAtNulAndInvalidUtf8ReplacedAndTruncatedGzipKept) {
  std::string text(5000, 'a');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i * 7 % 26);
  const std::string gz = Deflate(text);
  Service().Inject(R"([{"path":"/t","body":"<a>one</a>\u0000<b>two</b>"},
                       {"path":"/t","gzip":true,"body":"in\u0000flated"},
                       {"path":"/t","body_base64":")" +
                   Base64Encode("ok\xff\xfe-\xe4\xb8\xad") + R"("},
                       {"path":"/t","body_base64":")" +
                   Base64Encode(gz.substr(0, gz.size() / 2)) + R"(","headers":["Content-Encoding: gzip"]}])");
  EXPECT_EQ(kCurlOk, Get("/t"));
  EXPECT_EQ("<a>one</a>", m_curl.GetResponseText());
  EXPECT_EQ(kCurlOk, Get("/t"));
  EXPECT_EQ("in", m_curl.GetResponseText());
  EXPECT_EQ(kCurlOk, Get("/t"));
  EXPECT_EQ("ok\xef\xbf\xbd\xef\xbf\xbd-\xe4\xb8\xad", m_curl.GetResponseText());
  EXPECT_EQ(kCurlOk, Get("/t"));
  const std::string partial = m_curl.GetResponseText();
  EXPECT_FALSE(partial.empty());
  EXPECT_LT(partial.size(), text.size());
  EXPECT_EQ(text.substr(0, partial.size()), partial);
}

TEST_F(CurlHelperTest, ReplyHeadersAreThoseOfTheFinalResponseOfThisRequest) {
  // A gzip reply, then a plain one on the same handle: the second is not inflated.
  Service().Inject(R"({"path":"/test/echo","gzip":true,"body":"first"})");
  EXPECT_EQ(kCurlOk, Get("/test/echo"));
  EXPECT_EQ("first", m_curl.GetResponseText());
  EXPECT_EQ(kCurlOk, Get("/test/status/200"));
  EXPECT_EQ(std::string::npos, m_curl.ReplyHeaders().find("Content-Encoding"));
  EXPECT_NE(std::string::npos, m_curl.GetResponseText().find("result=\"ok\""));

  // A large POST is preceded by "100 Continue"; only the final response's lines count.
  Service().Inject(R"({"path":"/test/echo","gzip":true,"body":"after continue"})");
  m_curl.Reset(false);
  std::string big(2 << 20, 'b');
  m_curl.SetPostField(big.c_str());
  EXPECT_EQ(kCurlOk, m_curl.Request_URL_POST(Url("/test/echo").c_str(), 30));
  EXPECT_EQ(0u, m_curl.ReplyHeaders().find("HTTP/1.1 200"));
  EXPECT_EQ("after continue", m_curl.GetResponseText());
}

// ---- failures ---------------------------------------------------------------------

TEST_F(CurlHelperTest, ATimeOutAStalledTransferAndADroppedConnectionWithSecretsInItsUrl) {
  LogCapture log;
  EXPECT_EQ(kCurlTimedOut, Get("/test/sleep?s=30", 1));
  // Secrets in the URL never reach the log.
  EXPECT_EQ(kCurlFailed, Get("/test/drop?token=SECRET1&fileKey=SECRET2&password=SECRET3&stub=visible"));
  EXPECT_TRUE(log.Contains("CCurlHelper Visit Network Failded. CURLcode = 52")) << log.All();
  EXPECT_FALSE(log.Contains("SECRET")) << log.All();
  EXPECT_TRUE(log.Contains("token=__token__&fileKey=__key__&password=__password__&stub=visible")) << log.All();
  // Without a time-out a stalled transfer still ends, by the low-speed guard.
  CurlPolicy policy;
  policy.lowSpeedTimeSec = 1;
  CCurlHelper guarded(policy);
  ASSERT_TRUE(guarded.Init());
  EXPECT_EQ(kCurlTimedOut, guarded.Request_URL_GET(Url("/test/sleep?s=60").c_str(), 0));
  // SIGPIPE is ignored process-wide: a peer that drops a connection cannot end the process.
  struct sigaction sa {};
  ::sigaction(SIGPIPE, nullptr, &sa);
  EXPECT_EQ(SIG_IGN, sa.sa_handler);
  // Without a URL (and none kept from before) libcurl fails the transfer.
  m_curl.Reset(false);
  EXPECT_EQ(kCurlFailed, m_curl.Request_URL_GET(nullptr, 10));
}

// The orderings the transfers above cannot reach.
TEST(CurlStatusTest, MappingOrder) {
  struct Case {
    CURLcode code;
    long http;
    bool cancelled;
    bool fileFailed;
    CurlStatus expected;
  } cases[] = {
      {CURLE_WRITE_ERROR, 404, true, true, E_CV_SRV_SERVER_ERROR},  // the HTTP status first
      {CURLE_OK, 200, false, true, kCurlFailed},
      {CURLE_OK, 200, true, false, kCurlOk},
      {CURLE_OPERATION_TIMEDOUT, 200, true, false, kCurlTimedOut},  // a time-out stays one
      {CURLE_RECV_ERROR, 200, true, false, kCurlCancelled},  // any failure after a cancel
      {CURLE_COULDNT_CONNECT, 200, true, false, kCurlCancelled},
      {CURLE_COULDNT_RESOLVE_PROXY, 200, false, false, kCurlNoConnection},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.expected, MapCurlResult(c.code, c.http, c.cancelled, c.fileFailed)) << c.code << " " << c.http;
}

// ---- the bytes on the wire --------------------------------------------------------

TEST_F(CurlHelperTest, StreamPostSendsTheFileWithoutHeaderLinesOrDefaults) {
  std::string file = PathIn("block.bin");
  std::string content = RandomBytes(70000, 3);
  WriteFileBytes(file, content);
  RawCaptureServer peer;
  m_curl.SetHeader("v:2");
  m_curl.SetHeader("User-Agent:ostrel");
  EXPECT_EQ(kCurlOk,
            m_curl.PostMutiForm(("http://127.0.0.1:" + std::to_string(peer.Port()) + "/up?a=1").c_str(), file.c_str(), 10));
  std::string request = peer.Request();
  size_t headEnd = request.find("\r\n\r\n");
  ASSERT_NE(std::string::npos, headEnd);
  std::string head = request.substr(0, headEnd + 2);
  EXPECT_EQ(0u, head.find("POST /up?a=1 HTTP/1.1\r\n")) << head;
  for (const char* absent : {"\r\nAccept", "\r\nExpect", "\r\nContent-Type", "\r\nv:", "\r\nUser-Agent"})
    EXPECT_EQ(std::string::npos, head.find(absent)) << absent << " in " << head;
  EXPECT_NE(std::string::npos, head.find("\r\nContent-Length: 70000\r\n")) << head;
  EXPECT_EQ(content, request.substr(headEnd + 4));
}

TEST_F(CurlHelperTest, AnEmptyPostBodyIsSentEmptyAndStandardInputIsNeverRead) {
  int pipeFds[2];
  ASSERT_EQ(0, ::pipe(pipeFds));
  ASSERT_EQ(5, ::write(pipeFds[1], "STDIN", 5));
  ::close(pipeFds[1]);
  int savedStdin = ::dup(0);
  ::dup2(pipeFds[0], 0);
  ::close(pipeFds[0]);
  EXPECT_EQ(kCurlOk, m_curl.Request_URL_POST(Url("/test/echo").c_str(), 10));
  m_curl.Reset(false);
  EXPECT_EQ(kCurlOk, m_curl.PostMutiForm(Url("/test/echo").c_str(), nullptr, 10));
  char c;
  bool stdinUntouched = ::read(0, &c, 1) == 1 && c == 'S';
  ::dup2(savedStdin, 0);
  ::close(savedStdin);
  EXPECT_TRUE(stdinUntouched);
  auto log = Service().Requests("/test/echo");
  ASSERT_EQ(2u, log.size());
  for (const auto& r : log) {
    EXPECT_EQ("POST", r.method);
    EXPECT_EQ("0", r.Header("Content-Length"));
    EXPECT_EQ(0u, r.bodySize);
  }
}

// ---- guards -----------------------------------------------------------------------

TEST_F(CurlHelperTest, RepliesOverTheCapFailWithoutGrowingPastIt) {
  CurlPolicy policy;
  policy.replyCap = 1 << 20;
  CCurlHelper small(policy);
  ASSERT_TRUE(small.Init());
  EXPECT_EQ(kCurlOk, small.Request_URL_GET(Url("/test/bytes?n=1048576&seed=1").c_str(), 30));
  EXPECT_EQ(1048576u, small.ReplyBytes().size());
  LogCapture log;
  EXPECT_EQ(kCurlFailed, small.Request_URL_GET(Url("/test/bytes?n=1048577&seed=1").c_str(), 30));
  EXPECT_LE(small.ReplyBytes().capacity(), policy.replyCap);
  EXPECT_GT(log.Failures(), 0) << log.All();
}

TEST_F(CurlHelperTest, AGzipBombFailsWithinTheCap) {
  // 512 MiB of zeros in about 512 KiB of gzip, against the default cap of 64 MiB.
  std::string bomb = GzipOfZeros(size_t(512) << 20);
  ASSERT_LT(bomb.size(), 1u << 20);
  Service().Inject(R"({"path":"/bomb","body_base64":")" + Base64Encode(bomb) + R"(","headers":["Content-Encoding: gzip"]})");
  long before = PeakRssKb();
  LogCapture log;
  EXPECT_EQ(kCurlFailed, Get("/bomb", 60));
  EXPECT_EQ("", m_curl.GetResponseText());
  EXPECT_GT(log.Failures(), 0) << log.All();
  EXPECT_LT(PeakRssKb() - before, 400 * 1024) << "inflation went far past the cap";
}

TEST_F(CurlHelperTest, OnlyHttpAndHttpsAreSpokenAndRedirectionsAreLimited) {
  std::string target = PathIn("d");
  EXPECT_EQ(kCurlFailed, m_curl.Request_URL_GET("file:///etc/hostname", 10));
  m_curl.Reset(false);
  EXPECT_EQ(kCurlFailed,
            m_curl.SimpleDownLoadFile(Url("/test/redirect?to=file%3A%2F%2F%2Fetc%2Fhostname").c_str(), target.c_str(), 10));
  EXPECT_EQ("", ReadFileBytes(target));
  m_curl.Reset(false);
  EXPECT_EQ(kCurlOk, m_curl.SimpleDownLoadFile(Url("/test/redirect?n=10").c_str(), target.c_str(), 10));
  m_curl.Reset(false);
  EXPECT_EQ(kCurlFailed, m_curl.SimpleDownLoadFile(Url("/test/redirect?n=11").c_str(), target.c_str(), 10));
}

TEST_F(CurlHelperTest, WriteOpenAndOptionFailuresAreTransferFailures) {
  LogCapture log;
  m_curl.Reset(false);
  EXPECT_EQ(kCurlFailed, m_curl.SimpleDownLoadFile(Url("/test/bytes?n=100000").c_str(), "/dev/full", 10));
  EXPECT_GT(log.Failures(), 0) << log.All();
  log.Clear();
  m_curl.Reset(false);
  EXPECT_EQ(kCurlFailed, m_curl.SimpleDownLoadFile(Url("/test/bytes?n=10").c_str(), PathIn("no/such/dir/f").c_str(), 10));
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOL:file"));
  EXPECT_TRUE(Service().Requests("/test/bytes").size() == 1u) << "a failed open must not start the transfer";
  // Nor does a failed option.
  m_curl.SetOptionHook([](CURLoption o, const std::string&) {
    return o == CURLOPT_XFERINFOFUNCTION ? CURLE_UNKNOWN_OPTION : CURLE_OK;
  });
  EXPECT_EQ(kCurlFailed, Get("/test/echo"));
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOL:curlRet == CURLE_OK"));
  EXPECT_TRUE(Service().Requests("/test/echo").empty());
}

// ---- TLS --------------------------------------------------------------------------

class CurlHelperTlsTest : public CurlHelperTest {
 protected:
  std::vector<std::string> ServiceArgs() override {
    std::string cert = PathIn("cert.pem"), key = PathIn("key.pem");
    EXPECT_EQ(0, RunCommand("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
                            "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
                            ShellQuote(key) + " -out " + ShellQuote(cert) + " 2>/dev/null"));
    return {"--tls-cert", cert, "--tls-key", key};
  }
};

TEST_F(CurlHelperTlsTest, ASelfSignedCertificateIsRefused) {
  std::string url = "https://127.0.0.1:" + std::to_string(Service().Port()) + "/test/echo";
  // The server works: curl without verification reaches it, curl with it does not.
  EXPECT_EQ(0, RunCommand("curl -sk -o /dev/null " + url));
  EXPECT_NE(0, RunCommand("curl -s -o /dev/null " + url));
  LogCapture log;
  EXPECT_EQ(kCurlFailed, m_curl.Request_URL_GET(url.c_str(), 10));
  EXPECT_TRUE(log.Contains("CURLcode = 60")) << log.All();
}

}  // namespace
