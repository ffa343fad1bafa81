// CCurlHelper against the local service (and a raw loopback peer where the exact bytes
// on the wire matter): status rules, reply decoding, failures, guards.
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

// ---- status rules -----------------------------------------------------------------

TEST_F(CurlHelperTest, GetNeedsExactly200AndMaps504ToTimeOut) {
  struct Case {
    const char* path;
    CurlStatus expected;
  } cases[] = {
      {"/test/status/200", kCurlOk},
      {"/test/status/404", E_CV_SRV_SERVER_ERROR},
      {"/test/status/500", E_CV_SRV_SERVER_ERROR},
      {"/test/status/201", E_CV_SRV_SERVER_ERROR},
      {"/test/status/504", kCurlTimedOut},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, Get(c.path)) << c.path;
    EXPECT_NE(std::string::npos, m_curl.GetResponseText().find("result=\"ok\"")) << c.path;
  }
}

TEST_F(CurlHelperTest, PostDoesNotLookAtTheStatus) {
  for (const char* path : {"/test/status/404", "/test/status/504", "/test/status/302"}) {
    m_curl.Reset(false);
    m_curl.SetPostField("<x/>");
    EXPECT_EQ(kCurlOk, m_curl.Request_URL_POST(Url(path).c_str(), 10)) << path;
    // The body reaches the caller, whose check of the service's word decides.
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"utf-8\"?><nuvra result=\"ok\"/>", m_curl.GetResponseText());
  }
}

TEST_F(CurlHelperTest, MultipartAndStreamPostAccept2xxOnly) {
  std::string file = PathIn("body.bin");
  WriteFileBytes(file, "content");
  struct Case {
    const char* path;
    CurlStatus expected;
  } cases[] = {{"/test/status/200", kCurlOk},
               {"/test/status/201", kCurlOk},
               {"/test/status/299", kCurlOk},
               {"/test/status/302", kCurlFailed},
               {"/test/status/404", kCurlFailed},
               {"/test/status/504", kCurlFailed}};
  for (const auto& c : cases) {
    LogCapture log;
    m_curl.Reset(false);
    m_curl.AddFormPart(kFormCopyName, "FileCont", kFormFile, file);
    EXPECT_EQ(c.expected, m_curl.PostMutiForm(Url(c.path).c_str(), nullptr, 10)) << c.path;
    EXPECT_EQ(c.expected, m_curl.PostMutiForm(Url(c.path).c_str(), file.c_str(), 10)) << c.path;
    if (c.expected != kCurlOk) {
      std::string line = "GetInfo Error Or Response Code Not In Range 200~300, Response Code:" +
                         std::string(c.path).substr(13);
      EXPECT_EQ(2, log.Count(line)) << log.All();
    }
  }
}

TEST_F(CurlHelperTest, DownloadFollowsRedirectionsAndKeepsAFailedBody) {
  std::string target = PathIn("down.bin");
  m_curl.Reset(false);
  EXPECT_EQ(kCurlOk,
            m_curl.SimpleDownLoadFile(Url("/test/redirect?n=2&to=/test/bytes%3Fn%3D300000%26seed%3D5").c_str(),
                                      target.c_str(), 10));
  // The same bytes as curl's own download of the same URL.
  std::string peer = PathIn("peer.bin");
  ASSERT_EQ(0, RunCommand("curl -s -L -o " + ShellQuote(peer) + " '" +
                          Url("/test/redirect?n=2&to=/test/bytes%3Fn%3D300000%26seed%3D5") + "'"));
  EXPECT_EQ(ReadFileBytes(peer), ReadFileBytes(target));
  EXPECT_EQ(300000u, ReadFileBytes(target).size());

  m_curl.Reset(false);
  EXPECT_EQ(E_CV_SRV_SERVER_ERROR, m_curl.SimpleDownLoadFile(Url("/test/status/404").c_str(), target.c_str(), 10));
  EXPECT_NE(std::string::npos, ReadFileBytes(target).find("result=\"ok\""));
  m_curl.Reset(false);
  EXPECT_EQ(kCurlTimedOut, m_curl.SimpleDownLoadFile(Url("/test/status/504").c_str(), target.c_str(), 10));
}

TEST_F(CurlHelperTest, ADownloadWithABodyIsAPost) {
  m_curl.Reset(false);
  m_curl.SetPostField("{\"stub\":\"S\"}");
  EXPECT_EQ(kCurlOk, m_curl.SimpleDownLoadFile(Url("/test/echo").c_str(), PathIn("x").c_str(), 10));
  auto log = Service().Requests("/test/echo");
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ("POST", log[0].method);
  EXPECT_EQ("{\"stub\":\"S\"}", log[0].body);
}

// ---- reply decoding ---------------------------------------------------------------

TEST_F(CurlHelperTest, GzipIsDetectedExactlyByTheFirstContentEncodingLine) {
  const std::string text = "inflated reply text";
  struct Case {
    std::vector<std::string> headers;
    bool inflated;
  } cases[] = {
      {{"Content-Encoding: gzip"}, true},
      {{"Content-Encoding:gzip"}, false},
      {{"content-encoding: gzip"}, false},
      {{"CONTENT-ENCODING: gzip"}, false},
      {{"Content-Encoding: gzip, br"}, false},
      {{"Content-Encoding:  gzip"}, false},
      {{"Content-Encoding: gzip "}, false},
      {{"Content-Encoding: identity", "Content-Encoding: gzip"}, false},
      // The value is taken from the second character after the colon, whatever the first is.
      {{"Content-Encoding:_gzip"}, true},
      // Any line holding the name followed by a colon counts.
      {{"X-Content-Encoding: gzip"}, true},
  };
  for (const auto& c : cases) {
    std::string headers = "[";
    for (size_t i = 0; i < c.headers.size(); ++i) headers += (i ? ",\"" : "\"") + c.headers[i] + "\"";
    headers += "]";
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

TEST_F(CurlHelperTest, InflationTakesZlibFramingAndKeepsWhatATruncatedStreamGave) {
  std::string text(5000, 'a');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i * 7 % 26);
  Service().Inject(R"({"path":"/z","body_base64":")" + Base64(Deflate(text, 15)) +
                   R"(","headers":["Content-Encoding: gzip"]})");
  EXPECT_EQ(kCurlOk, Get("/z"));
  EXPECT_EQ(text, m_curl.GetResponseText());

  std::string gz = Deflate(text);
  Service().Inject(R"({"path":"/z","body_base64":")" + Base64(gz.substr(0, gz.size() / 2)) +
                   R"(","headers":["Content-Encoding: gzip"]})");
  EXPECT_EQ(kCurlOk, Get("/z"));
  std::string partial = m_curl.GetResponseText();
  EXPECT_FALSE(partial.empty());
  EXPECT_LT(partial.size(), text.size());
  EXPECT_EQ(text.substr(0, partial.size()), partial);
}

TEST_F(CurlHelperTest, ReplyTextIsCutAtNulAndInvalidUtf8Replaced) {
  Service().Inject(R"([{"path":"/t","body":"<a>one</a>\u0000<b>two</b>"},
                       {"path":"/t","gzip":true,"body":"in\u0000flated"},
                       {"path":"/t","body_base64":")" +
                   Base64("ok\xff\xfe-\xe4\xb8\xad") + R"("}])");
  EXPECT_EQ(kCurlOk, Get("/t"));
  EXPECT_EQ("<a>one</a>", m_curl.GetResponseText());
  EXPECT_EQ(kCurlOk, Get("/t"));
  EXPECT_EQ("in", m_curl.GetResponseText());
  EXPECT_EQ(kCurlOk, Get("/t"));
  EXPECT_EQ("ok\xef\xbf\xbd\xef\xbf\xbd-\xe4\xb8\xad", m_curl.GetResponseText());
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

TEST_F(CurlHelperTest, TimeOutRefusedAndDroppedConnections) {
  LogCapture log;
  EXPECT_EQ(kCurlTimedOut, Get("/test/sleep?s=30", 1));
  Service().Inject(R"({"path":"/test/echo","delay_ms":30000})");
  EXPECT_EQ(kCurlTimedOut, Get("/test/echo", 1));
  EXPECT_EQ(kCurlNoConnection,
            m_curl.Request_URL_GET(("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/").c_str(), 10));
  EXPECT_EQ(kCurlNoConnection, m_curl.Request_URL_GET("http://host.invalid/", 10));
  EXPECT_EQ(kCurlFailed, Get("/test/drop"));
  EXPECT_TRUE(log.Contains("CCurlHelper Visit Network Failded. CURLcode = 52")) << log.All();
  Service().Inject(R"({"path":"/test/echo","drop":true})");
  m_curl.Reset(false);
  m_curl.SetPostField("x");
  EXPECT_EQ(kCurlFailed, m_curl.Request_URL_POST(Url("/test/echo").c_str(), 10));
  // Without a URL (and none kept from before) libcurl fails the transfer.
  m_curl.Reset(false);
  EXPECT_EQ(kCurlFailed, m_curl.Request_URL_GET(nullptr, 10));
}

TEST_F(CurlHelperTest, CancelFromTheProgressHandlerStopsTheTransfer) {
  struct Ctx {
    CCurlHelper* curl;
    int calls = 0;
  } ctx{&m_curl};
  m_curl.SetProgressHandler(
      [](void* p, double, double dlNow, double, double) {
        auto* c = static_cast<Ctx*>(p);
        ++c->calls;
        if (dlNow > 0) c->curl->Cancel();
      },
      &ctx);
  EXPECT_EQ(kCurlCancelled, Get("/test/trickle?n=100000&chunk=100&ms=20", 60));
  EXPECT_GT(ctx.calls, 0);
  // Every reset forgets the cancel: the next transfer runs.
  m_curl.SetProgressHandler(nullptr, nullptr);
  EXPECT_EQ(kCurlOk, Get("/test/status/200"));
}

TEST(CurlStatusTest, MappingOrder) {
  struct Case {
    CURLcode code;
    long http;
    bool cancelled;
    bool fileFailed;
    CurlStatus expected;
  } cases[] = {
      {CURLE_OK, 200, false, false, kCurlOk},
      {CURLE_OK, 404, false, false, E_CV_SRV_SERVER_ERROR},
      {CURLE_OK, 504, false, false, kCurlTimedOut},
      {CURLE_WRITE_ERROR, 404, true, true, E_CV_SRV_SERVER_ERROR},  // the HTTP status first
      {CURLE_OK, 200, false, true, kCurlFailed},
      {CURLE_OK, 200, true, false, kCurlOk},
      {CURLE_OPERATION_TIMEDOUT, 200, true, false, kCurlTimedOut},  // a time-out stays one
      {CURLE_ABORTED_BY_CALLBACK, 200, false, false, kCurlCancelled},
      {CURLE_RECV_ERROR, 200, true, false, kCurlCancelled},  // any failure after a cancel
      {CURLE_COULDNT_CONNECT, 200, true, false, kCurlCancelled},
      {CURLE_COULDNT_RESOLVE_PROXY, 200, false, false, kCurlNoConnection},
      {CURLE_COULDNT_RESOLVE_HOST, 200, false, false, kCurlNoConnection},
      {CURLE_COULDNT_CONNECT, 200, false, false, kCurlNoConnection},
      {CURLE_GOT_NOTHING, 200, false, false, kCurlFailed},
      {CURLE_PEER_FAILED_VERIFICATION, 200, false, false, kCurlFailed},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.expected, MapCurlResult(c.code, c.http, c.cancelled, c.fileFailed)) << c.code << " " << c.http;
}

// ---- the bytes on the wire --------------------------------------------------------

TEST_F(CurlHelperTest, HeaderLinesGoOutExactlyAsWritten) {
  RawCaptureServer peer;
  m_curl.SetHeader("v:2");
  m_curl.SetHeader("User-Agent:ostrel");
  EXPECT_EQ(kCurlOk, m_curl.Request_URL_GET(("http://127.0.0.1:" + std::to_string(peer.Port()) + "/x").c_str(), 10));
  std::string request = peer.Request();
  EXPECT_EQ(0u, request.find("GET /x HTTP/1.1\r\n")) << request;
  EXPECT_NE(std::string::npos, request.find("\r\nv:2\r\n")) << request;
  EXPECT_NE(std::string::npos, request.find("\r\nUser-Agent:ostrel\r\n")) << request;
  EXPECT_EQ(request.find("User-Agent"), request.rfind("User-Agent")) << request;
}

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

TEST_F(CurlHelperTest, StreamPostOfAFileThatCannotBeReadSendsNothing) {
  LogCapture log;
  EXPECT_EQ(E_FAIL, m_curl.PostMutiForm(Url("/test/echo").c_str(), PathIn("missing").c_str(), 10));
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOL:NULL != reader.fp"));
  EXPECT_EQ(E_FAIL, m_curl.PostMutiForm(Url("/test/echo").c_str(), Root().c_str(), 10));
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOL:S_OK == hr"));
  EXPECT_TRUE(Service().Requests("/test/echo").empty());
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

TEST_F(CurlHelperTest, FormPartsAreSentInOrderBeforeTheExtraOnes) {
  std::string file = PathIn("f.txt");
  WriteFileBytes(file, "file body");
  m_curl.AddFormPart(kFormCopyName, "first", kFormCopyContents, "1 2");
  m_curl.AddFormPart(kFormCopyName, "typed", kFormCopyContents, "{}", kFormContentType, "application/json");
  std::vector<FormPart> extra = {{kFormCopyName, "FileCont", kFormFile, file, 0, ""}};
  EXPECT_EQ(kCurlOk, m_curl.PostMutiForm(Url("/test/echo").c_str(), &extra, 10));
  auto log = Service().Requests("/test/echo");
  ASSERT_EQ(1u, log.size());
  ASSERT_EQ(3u, log[0].parts.size());
  EXPECT_EQ("first", log[0].parts[0].name);
  EXPECT_EQ("1 2", log[0].parts[0].data);
  EXPECT_EQ("", log[0].parts[0].contentType);
  EXPECT_EQ("typed", log[0].parts[1].name);
  EXPECT_EQ("application/json", log[0].parts[1].contentType);
  EXPECT_EQ("FileCont", log[0].parts[2].name);
  EXPECT_EQ("f.txt", log[0].parts[2].filename);
  EXPECT_EQ("file body", log[0].parts[2].data);
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
  EXPECT_TRUE(log.Contains("CCurlHelper: the reply is over the cap of 1048576 bytes")) << log.All();
}

TEST_F(CurlHelperTest, AGzipBombFailsWithinTheCap) {
  // 512 MiB of zeros in about 512 KiB of gzip, against the default cap of 64 MiB.
  std::string bomb = GzipOfZeros(size_t(512) << 20);
  ASSERT_LT(bomb.size(), 1u << 20);
  Service().Inject(R"({"path":"/bomb","body_base64":")" + Base64(bomb) + R"(","headers":["Content-Encoding: gzip"]})");
  long before = PeakRssKb();
  LogCapture log;
  EXPECT_EQ(kCurlFailed, Get("/bomb", 60));
  EXPECT_EQ("", m_curl.GetResponseText());
  EXPECT_TRUE(log.Contains("CCurlHelper: the inflated reply is over the cap of 67108864 bytes")) << log.All();
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

TEST_F(CurlHelperTest, WithoutATimeOutAStalledTransferStillEnds) {
  CurlPolicy policy;
  policy.lowSpeedTimeSec = 1;
  CCurlHelper guarded(policy);
  ASSERT_TRUE(guarded.Init());
  EXPECT_EQ(kCurlTimedOut, guarded.Request_URL_GET(Url("/test/sleep?s=60").c_str(), 0));
}

TEST_F(CurlHelperTest, DownloadWriteAndOpenFailuresAreTransferFailures) {
  LogCapture log;
  m_curl.Reset(false);
  EXPECT_EQ(kCurlFailed, m_curl.SimpleDownLoadFile(Url("/test/bytes?n=100000").c_str(), "/dev/full", 10));
  EXPECT_TRUE(log.Contains("CCurlHelper::SimpleDownLoadFile: writing the file failed")) << log.All();
  m_curl.Reset(false);
  EXPECT_EQ(kCurlFailed, m_curl.SimpleDownLoadFile(Url("/test/bytes?n=10").c_str(), PathIn("no/such/dir/f").c_str(), 10));
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOL:file"));
  EXPECT_TRUE(Service().Requests("/test/bytes").size() == 1u) << "a failed open must not start the transfer";
}

TEST_F(CurlHelperTest, NoSignalIsSetAgainAfterEveryResetAndSigpipeIsIgnored) {
  std::vector<std::pair<CURLoption, std::string>> seen;
  m_curl.SetOptionHook([&](CURLoption o, const std::string& v) {
    seen.emplace_back(o, v);
    return CURLE_OK;
  });
  m_curl.Reset(false);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(CURLOPT_NOSIGNAL, seen[0].first);
  EXPECT_EQ("1", seen[0].second);
  seen.clear();
  EXPECT_EQ(kCurlOk, Get("/test/status/200"));
  auto has = [&](CURLoption o, const std::string& v) {
    for (const auto& [opt, val] : seen)
      if (opt == o && val == v) return true;
    return false;
  };
  EXPECT_TRUE(has(CURLOPT_NOSIGNAL, "1"));
  EXPECT_TRUE(has(CURLOPT_SSL_VERIFYPEER, "1"));
  EXPECT_TRUE(has(CURLOPT_PROTOCOLS_STR, "http,https"));
  EXPECT_TRUE(has(CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
  EXPECT_TRUE(has(CURLOPT_CONNECTTIMEOUT, "30"));
  struct sigaction sa {};
  ::sigaction(SIGPIPE, nullptr, &sa);
  EXPECT_EQ(SIG_IGN, sa.sa_handler);
}

TEST_F(CurlHelperTest, AFailedOptionStopsTheRequestBeforeTheTransfer) {
  LogCapture log;
  m_curl.SetOptionHook([](CURLoption o, const std::string&) {
    return o == CURLOPT_XFERINFOFUNCTION ? CURLE_UNKNOWN_OPTION : CURLE_OK;
  });
  EXPECT_EQ(kCurlFailed, Get("/test/echo"));
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOL:curlRet == CURLE_OK"));
  EXPECT_TRUE(Service().Requests("/test/echo").empty());
}

TEST_F(CurlHelperTest, SecretsInUrlsNeverReachTheLog) {
  LogCapture log;
  EXPECT_EQ(kCurlFailed, Get("/test/drop?token=SECRET1&fileKey=SECRET2&password=SECRET3&stub=visible"));
  EXPECT_FALSE(log.Contains("SECRET")) << log.All();
  EXPECT_TRUE(log.Contains("token=__token__&fileKey=__key__&password=__password__&stub=visible")) << log.All();
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
