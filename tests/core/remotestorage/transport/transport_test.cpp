// CTransport against the local service: result codes of every kind of request by HTTP
// status, the user's proxy and the system proxy, uploads, downloads, failed options,
// cancel, and what reaches the network-state tracker.
#include "core/remotestorage/transport/transport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "common/registry.h"
#include "core/remotestorage/transport/networkstate.h"
#include "support/localservice.h"
#include "support/logcapture.h"
#include "transporttestutil.h"

namespace {

class TransportTest : public LocalServiceTest {
 protected:
  void TearDown() override {
    CNetworkState::GetInstance().Disable();
    LocalServiceTest::TearDown();
  }

  RefPtr<CTransport> Make(const TransportSettings& settings = DirectTransportSettings()) {
    RefPtr<CTransport> t(new CTransport(settings, CurlPolicy()));
    EXPECT_EQ(S_OK, t->Init());
    return t;
  }
  std::string Url(const std::string& path) { return Service().Url(path); }
  std::string ClosedUrl() { return "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/"; }

  // Enables the tracker with a fake sync centre.
  RefPtr<FakeSyncCenter> Track() {
    RefPtr<FakeSyncCenter> center(new FakeSyncCenter);
    CNetworkState::GetInstance().Enable(center.get(), Url("/api_server/"));
    return center;
  }
};

TEST_F(TransportTest, ResultCodesByKindOfRequestAndStatus) {
  const HRESULT kOk = S_OK, kSrv = E_CV_SRV_SERVER_ERROR, kTime = E_CV_NETWORK_ERROR, kFail = E_CV_NETWORK_ERROR3;
  struct Case {
    const char* path;
    HRESULT get, post;
    HRESULT filePost;  // multipart upload and stream post: 2xx only
    HRESULT download;
  } cases[] = {
      {"/test/status/200", kOk, kOk, kOk, kOk},
      {"/test/status/201", kSrv, kOk, kOk, kSrv},
      {"/test/status/299", kSrv, kOk, kOk, kSrv},
      {"/test/status/302", kSrv, kOk, kFail, kSrv},
      {"/test/status/404", kSrv, kOk, kFail, kSrv},
      {"/test/status/500", kSrv, kOk, kFail, kSrv},
      {"/test/status/504", kTime, kTime, kFail, kTime},
      {"/test/drop", kFail, kFail, kFail, kFail},
  };
  auto t = Make();
  const std::string file = PathIn("f"), target = PathIn("d");
  WriteFileBytes(file, "content");
  const std::string header = "v:2&User-Agent:ostrel", body = "<x/>";
  auto hasWord = [](const std::string& text) { return text.find("result=\"ok\"") != std::string::npos; };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string path = c.path;
    const bool answered = path != "/test/drop";
    // A request's reply text comes back on failure too.
    for (const std::string* post : {static_cast<const std::string*>(nullptr), &body}) {
      std::string reply = "untouched";
      EXPECT_EQ(post ? c.post : c.get, t->Request(Url(path), &header, post, &reply, 10, false));
      EXPECT_EQ(answered, hasWord(reply));
    }
    // A file post leaves the reply alone on failure and logs a status out of range.
    for (bool stream : {false, true}) {
      LogCapture log;
      std::string reply = "untouched";
      EXPECT_EQ(c.filePost, stream ? t->PostStream(Url(path), file, header, &reply, 10)
                                   : t->Upload(Url(path), file, header, "", &reply, 10));
      EXPECT_EQ(c.filePost == S_OK, hasWord(reply));
      if (c.filePost != S_OK) {
        EXPECT_EQ("untouched", reply);
        EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOL:S_OK == hr")) << log.All();
      }
      if (answered && c.filePost != S_OK) {
        EXPECT_EQ(1, log.Count("GetInfo Error Or Response Code Not In Range 200~300, Response Code:" +
                               path.substr(13)))
            << log.All();
      }
    }
    // A download keeps what arrived, a failed body too.
    LogCapture log;
    EXPECT_EQ(c.download, t->Download(Url(path), target, header, "", 10));
    EXPECT_EQ(answered, hasWord(ReadFileBytes(target)));
    if (c.download == kSrv) {
      EXPECT_TRUE(log.Contains("ERROR_CHECK_COM:hrhr = 80041011, MSG: DownLoad File Failed!")) << log.All();
    }
  }
  EXPECT_EQ(E_CV_NETWORK_ERROR2, t->Request(ClosedUrl(), nullptr, nullptr, nullptr, 5, false));
  EXPECT_EQ(E_CV_NETWORK_ERROR2, t->PostStream(ClosedUrl(), file, "", nullptr, 5));
  // The transport is reusable after every outcome.
  EXPECT_EQ(S_OK, t->Request(Url("/test/status/200"), nullptr, nullptr, nullptr, 10, false));
}

TEST_F(TransportTest, RequestSendsHeaderLinesAndBodyAsGiven) {
  auto t = Make();
  RawCaptureServer peer;
  std::string header = "v:2&User-Agent:ostrel", body = "<?xml version=\"1.0\" encoding=\"utf-8\" ?><nuvra><a>1</a></nuvra>";
  EXPECT_EQ(S_OK, t->Request("http://127.0.0.1:" + std::to_string(peer.Port()) + "/xsvr/dir/", &header, &body,
                             nullptr, 10, false));
  std::string request = peer.Request();
  EXPECT_EQ(0u, request.find("POST /xsvr/dir/ HTTP/1.1\r\n")) << request;
  EXPECT_NE(std::string::npos, request.find("\r\nv:2\r\nUser-Agent:ostrel\r\n")) << request;
  EXPECT_EQ(request.find("User-Agent"), request.rfind("User-Agent")) << "libcurl adds no second one: " << request;
  EXPECT_NE(std::string::npos, request.find("\r\n\r\n" + body)) << request;
  EXPECT_EQ(request.size(), request.find("\r\n\r\n") + 4 + body.size());
}

TEST_F(TransportTest, AFailedOptionIsLoggedAndAFailedProxyOptionSkipsTheSpeedLimits) {
  LogCapture log;
  for (CURLoption failOn : {CURLOPT_PROXY, CURLOPT_MAX_RECV_SPEED_LARGE}) {
    auto t = Make();
    std::vector<CURLoption> set;
    t->Curl().SetOptionHook([&](CURLoption o, const std::string&) {
      set.push_back(o);
      return o == failOn ? CURLE_UNKNOWN_OPTION : CURLE_OK;
    });
    t->SetSpeedLimit(100, 100);
    EXPECT_EQ(S_OK, t->Request(Url("/test/status/200"), nullptr, nullptr, nullptr, 10, false));
    EXPECT_EQ(failOn == CURLOPT_PROXY ? 0 : 1, std::count(set.begin(), set.end(), CURLOPT_MAX_SEND_SPEED_LARGE));
  }
  EXPECT_TRUE(log.Contains("ERROR_CHECK_COM hr = 80004005: hr")) << log.All();
  EXPECT_TRUE(log.Contains("ERROR_CHECK_COM: hr = 80004005 MSG: curl设置速率失败")) << log.All();
}

TEST_F(TransportTest, TheUsersHttpProxyWithCredentials) {
  struct Case {
    std::string user, password, expectedAuth;
  } cases[] = {
      {"user", "p@ss:word", "Basic " + Base64Encode("user:p@ss:word")},
      {"user", "", "Basic " + Base64Encode("user:")},
      {"", "ignored", ""},
  };
  for (const auto& c : cases) {
    Service().Reset();
    ASSERT_EQ(S_OK, SaveProxySettings("127.0.0.1", std::to_string(Service().Port()), c.user, c.password, kProxyHttp));
    RefPtr<ITransport> t;
    ASSERT_EQ(S_OK, CreateTransport(t.Receive()));
    // The origin's name resolves nowhere: only the proxy can answer.
    EXPECT_EQ(S_OK, t->Request("http://origin.invalid/test/echo?x=1", nullptr, nullptr, nullptr, 10, false));
    auto log = Service().Requests("/test/echo");
    ASSERT_EQ(1u, log.size());
    EXPECT_TRUE(log[0].proxied);
    EXPECT_EQ("x=1", log[0].query);
    EXPECT_EQ(c.expectedAuth, log[0].Header("Proxy-Authorization")) << c.user;
    // A change takes effect at the next transfer of the same transport.
    ASSERT_EQ(S_OK, SaveProxySettings("", "", "", "", 0));
    EXPECT_EQ(E_CV_NETWORK_ERROR2, t->Request("http://origin.invalid/test/echo", nullptr, nullptr, nullptr, 10, false));
  }
}

TEST_F(TransportTest, SystemProxyComesFromTheEnvironmentAndDirectIgnoresIt) {
  int32_t kind = kProxyUnset;
  TransportSettings s = DirectTransportSettings();
  s.loadProxy = [&kind](ProxySettings* p) {
    *p = ProxySettings();
    p->type = kind;
    p->userName = "u";  // never sent to the system proxy
    p->password = "p";
  };
  s.systemProxy = GetEnvironmentProxy;
  std::string proxy = "http://127.0.0.1:" + std::to_string(Service().Port()) + "/";
  ::setenv("http_proxy", proxy.c_str(), 1);
  ::unsetenv("no_proxy");
  auto t = Make(s);
  // The system kinds take http_proxy, never with the stored credentials; direct and
  // unknown kinds connect directly, where the origin's name resolves nowhere.
  for (int32_t k : {kProxyUnset, kProxySystem, 0, 5}) {
    kind = k;
    Service().Reset();
    const bool proxied = k == kProxyUnset || k == kProxySystem;
    EXPECT_EQ(proxied ? S_OK : E_CV_NETWORK_ERROR2,
              t->Request("http://origin.invalid/test/echo", nullptr, nullptr, nullptr, 10, false))
        << k;
    auto log = Service().Requests("/test/echo");
    ASSERT_EQ(proxied ? 1u : 0u, log.size()) << k;
    if (proxied) {
      EXPECT_TRUE(log[0].proxied);
      EXPECT_FALSE(log[0].HasHeader("Proxy-Authorization"));
    }
  }
  // no_proxy sends the host directly.
  kind = kProxyUnset;
  ::setenv("no_proxy", "origin.invalid", 1);
  EXPECT_EQ(E_CV_NETWORK_ERROR2, t->Request("http://origin.invalid/test/echo", nullptr, nullptr, nullptr, 10, false));
  // Without http_proxy the connection is direct, even for kind -1.
  ::unsetenv("http_proxy");
  ::unsetenv("no_proxy");
  EXPECT_EQ(E_CV_NETWORK_ERROR2, t->Request("http://origin.invalid/test/echo", nullptr, nullptr, nullptr, 10, false));
  EXPECT_EQ(S_OK, t->Request(Url("/test/echo"), nullptr, nullptr, nullptr, 10, false));
}

TEST(EnvironmentProxyTest, ParsesHttpProxy) {
  struct Case {
    const char* value;
    HRESULT hr;
    bool found;
    const char* host;
    const char* port;
  } cases[] = {
      {nullptr, S_OK, false, "", ""},
      {"", S_OK, false, "", ""},
      {"http://10.0.0.1:3128/", S_OK, true, "10.0.0.1", "3128"},
      {"proxy", S_OK, true, "proxy", "80"},
      {"http://user:pa@ss@proxy.lan:8080", S_OK, true, "proxy.lan", "8080"},
      {"[::1]:8888", S_OK, true, "[::1]", "8888"},
      {"http://:3128", E_FAIL, false, "", ""},
  };
  for (const auto& c : cases) {
    if (c.value)
      ::setenv("http_proxy", c.value, 1);
    else
      ::unsetenv("http_proxy");
    ::setenv("no_proxy", "localhost", 1);
    SystemProxy p;
    EXPECT_EQ(c.hr, GetEnvironmentProxy(&p)) << (c.value ? c.value : "(unset)");
    EXPECT_EQ(c.found, p.found);
    EXPECT_EQ(c.host, p.host);
    EXPECT_EQ(c.port, p.port);
    if (c.found) {
      EXPECT_EQ("localhost", p.noProxy);
    }
  }
  ::unsetenv("http_proxy");
  ::unsetenv("no_proxy");
}

TEST_F(TransportTest, UploadSendsDecodedFieldsInOrderBeforeTheFile) {
  std::string file = PathIn("sub/{0A1B}");
  RunCommand("mkdir -p " + ShellQuote(PathIn("sub")));
  std::string content = RandomBytes(100000, 9);
  WriteFileBytes(file, content);
  auto t = Make();
  std::string reply;
  EXPECT_EQ(S_OK, t->Upload(Url("/test/echo?stub=S"), file, "v:2&User-Agent:ostrel", "a=1%202&b=x", &reply, 30));
  EXPECT_NE(std::string::npos, reply.find("\"multipart\":true"));
  auto log = Service().Requests("/test/echo");
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ("2", log[0].Header("v"));
  ASSERT_EQ(3u, log[0].parts.size());
  EXPECT_EQ("a", log[0].parts[0].name);
  EXPECT_EQ("1 2", log[0].parts[0].data);
  EXPECT_EQ("b", log[0].parts[1].name);
  EXPECT_EQ("x", log[0].parts[1].data);
  const auto& filePart = log[0].parts.back();
  EXPECT_EQ("FileCont", filePart.name);
  EXPECT_EQ("{0A1B}", filePart.filename);
  EXPECT_EQ("application/octet-stream", filePart.contentType);
  EXPECT_EQ(content, filePart.data);
}

TEST_F(TransportTest, MissingArgumentsAreLoggedAndMissingFilesFail) {
  LogCapture log;
  auto t = Make();
  std::string file = PathIn("f"), reply = "untouched";
  WriteFileBytes(file, "x");
  EXPECT_EQ(S_OK, t->Upload(Url("/test/status/201"), file, "", "", &reply, 10));
  EXPECT_TRUE(log.Contains("*ASSERT*: szHeader && wcslen(szHeader)"));
  reply = "untouched";
  EXPECT_EQ(E_FAIL, t->Upload(Url("/test/echo"), "", "v:2", "", &reply, 10));
  EXPECT_EQ(E_FAIL, t->Download(Url("/test/echo"), "", "", "", 10));
  EXPECT_EQ(2, log.Count("ERROR_CHECK_BOOLEX:szLocal && wcslen(szLocal)"));
  EXPECT_EQ(E_CV_NETWORK_ERROR3, t->Upload(Url("/test/echo"), PathIn("missing"), "v:2", "", &reply, 10));
  EXPECT_EQ(E_FAIL, t->PostStream(Url("/test/echo"), PathIn("missing"), "", &reply, 10));
  EXPECT_EQ("untouched", reply);
  t->PostStream("", file, "", &reply, 10);
  EXPECT_EQ(2, log.Count("*ASSERT*: !IsStrEmpty(strURL)"));
}

TEST_F(TransportTest, DownloadFollowsRedirectionsIntoANewFolderAsCurlDoes) {
  auto t = Make();
  const std::string url = Url("/test/redirect?n=2&to=/test/bytes%3Fn%3D300000%26seed%3D5");
  const std::string target = PathIn("a/b/c/file.bin"), peer = PathIn("peer.bin");
  EXPECT_EQ(S_OK, t->Download(url, target, "v:2", "", 10));
  ASSERT_EQ(0, RunCommand("curl -s -L -o " + ShellQuote(peer) + " '" + url + "'"));
  EXPECT_EQ(300000u, ReadFileBytes(target).size());
  EXPECT_EQ(ReadFileBytes(peer), ReadFileBytes(target));
}

TEST_F(TransportTest, ACallbackReturningEFailCancels) {
  auto t = Make();
  struct Ctx {
    int calls = 0;
    double lastSpeed = -1;
  } ctx;
  t->SetProgressCallback(
      [](void* p, double, double dlNow, double, double, double speed) -> HRESULT {
        auto* c = static_cast<Ctx*>(p);
        ++c->calls;
        c->lastSpeed = speed;
        return dlNow > 0 ? E_FAIL : S_OK;
      },
      &ctx);
  EXPECT_EQ(E_CV_CURL_CANCEL,
            t->Request(Url("/test/trickle?n=1000000&chunk=1000&ms=10"), nullptr, nullptr, nullptr, 60, false));
  EXPECT_GT(ctx.calls, 0);
  EXPECT_GE(ctx.lastSpeed, 0);
  // A cancel asked for before a transfer starts is forgotten.
  t->SetProgressCallback(nullptr, nullptr);
  t->Cancel(true);
  EXPECT_EQ(S_OK, t->Request(Url("/test/status/200"), nullptr, nullptr, nullptr, 10, false));
}

TEST_F(TransportTest, WhatReachesTheTracker) {
  auto center = Track();
  auto t = Make();
  std::string file = PathIn("f");
  WriteFileBytes(file, "x");
  std::string closed = ClosedUrl();
  struct Step {
    std::function<HRESULT()> run;
    HRESULT expected;
    bool usable;
  } steps[] = {
      {[&] { return t->Request(Url("/test/status/200"), nullptr, nullptr, nullptr, 10, true); }, S_OK, true},
      {[&] { return t->Request(closed, nullptr, nullptr, nullptr, 10, true); }, E_CV_NETWORK_ERROR2, false},
      {[&] { return t->Download(Url("/test/echo"), "", "", "", 10); }, E_FAIL, true},
      {[&] { return t->PostStream(closed, file, "", nullptr, 10); }, E_CV_NETWORK_ERROR2, false},
      {[&] {  // a cancelled transfer counts as a usable network
         t->SetProgressCallback(
             [](void*, double, double dlNow, double, double, double) { return dlNow > 0 ? E_FAIL : S_OK; }, nullptr);
         HRESULT hr = t->Request(Url("/test/trickle?n=1000000&chunk=1000&ms=10"), nullptr, nullptr, nullptr, 60, true);
         t->SetProgressCallback(nullptr, nullptr);
         return hr;
       },
       E_CV_CURL_CANCEL, true},
      {[&] { return t->Request(Url("/test/status/404"), nullptr, nullptr, nullptr, 10, true); },
       E_CV_SRV_SERVER_ERROR, true},
      {[&] { return t->Upload(Url("/test/drop"), file, "v:2", "", nullptr, 10); }, E_CV_NETWORK_ERROR3, false},
      {[&] { return t->PostStream(Url("/test/echo"), PathIn("missing"), "", nullptr, 10); }, E_FAIL, true},
  };
  size_t expectedCalls = 0;
  bool last = false;
  for (size_t i = 0; i < std::size(steps); ++i) {
    EXPECT_EQ(steps[i].expected, steps[i].run()) << "step " << i;
    if (steps[i].usable != last) ++expectedCalls;
    last = steps[i].usable;
    auto calls = center->Calls();
    ASSERT_EQ(expectedCalls, calls.size()) << "step " << i;
    EXPECT_EQ(!steps[i].usable, calls.back().set) << "step " << i;
    if (calls.back().set) {
      EXPECT_EQ(kNuvraStateNetworkLost, calls.back().state.kind);
    }
  }
  // A request that does not ask for the report leaves the tracker alone.
  t->Request(closed, nullptr, nullptr, nullptr, 10, false);
  EXPECT_EQ(expectedCalls, center->CallCount());
}

}  // namespace
