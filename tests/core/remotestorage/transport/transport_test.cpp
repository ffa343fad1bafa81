// CTransport against the local service: result codes of every kind of request by HTTP
// status, the user's proxy and the system proxy, uploads, downloads, failed options,
// cancel, and what reaches the network-state tracker.
#include "core/remotestorage/transport/transport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include <nlohmann/json.hpp>

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
  RefPtr<TrackerSyncCenter> Track() {
    RefPtr<TrackerSyncCenter> center(new TrackerSyncCenter);
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
      {"/test/status/299", kSrv, kOk, kOk, kSrv},
      {"/test/status/302", kSrv, kOk, kFail, kSrv},
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
  auto t = Make(s);
  // The system kinds take http_proxy, with or without scheme or credentials (neither
  // they nor the stored ones are sent); direct and unknown kinds, and a variable
  // without a host, connect directly, where the origin's name resolves nowhere.
  const std::string port = std::to_string(Service().Port()), at = "127.0.0.1:" + port;
  struct Case {
    int32_t kind;
    std::string httpProxy;
    bool proxied;
  } cases[] = {
      {kProxyUnset, "http://" + at + "/", true}, {kProxySystem, at, true},
      {kProxyUnset, "http://user:pa@ss@" + at, true}, {kProxyUnset, "http://:" + port, false},
      {0, "http://" + at, false}, {5, "http://" + at, false},
  };
  ::unsetenv("no_proxy");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.kind) + " " + c.httpProxy);
    kind = c.kind;
    ::setenv("http_proxy", c.httpProxy.c_str(), 1);
    Service().Reset();
    EXPECT_EQ(c.proxied ? S_OK : E_CV_NETWORK_ERROR2,
              t->Request("http://origin.invalid/test/echo", nullptr, nullptr, nullptr, 10, false));
    auto log = Service().Requests("/test/echo");
    ASSERT_EQ(c.proxied ? 1u : 0u, log.size());
    if (c.proxied) {
      EXPECT_TRUE(log[0].proxied);
      EXPECT_FALSE(log[0].HasHeader("Proxy-Authorization"));
    }
  }
  // no_proxy sends the host directly.
  kind = kProxyUnset;
  ::setenv("http_proxy", ("http://" + at).c_str(), 1);
  ::setenv("no_proxy", "origin.invalid", 1);
  EXPECT_EQ(E_CV_NETWORK_ERROR2, t->Request("http://origin.invalid/test/echo", nullptr, nullptr, nullptr, 10, false));
  // An IPv6 proxy keeps its brackets.
  ::setenv("http_proxy", "[::1]:8888", 1);
  SystemProxy p;
  EXPECT_EQ(S_OK, GetEnvironmentProxy(&p));
  EXPECT_EQ("[::1]", p.host);
  EXPECT_EQ("8888", p.port);
  // Without http_proxy the connection is direct, even for kind -1.
  ::unsetenv("http_proxy");
  ::unsetenv("no_proxy");
  EXPECT_EQ(E_CV_NETWORK_ERROR2, t->Request("http://origin.invalid/test/echo", nullptr, nullptr, nullptr, 10, false));
  EXPECT_EQ(S_OK, t->Request(Url("/test/echo"), nullptr, nullptr, nullptr, 10, false));
}

TEST_F(TransportTest, UploadSendsDecodedFieldsInOrderBeforeTheFile) {
  std::string file = PathIn("sub/{0A1B}");
  RunCommand("mkdir -p " + ShellQuote(PathIn("sub")));
  std::string content = RandomBytes(100000, 9);
  WriteFileBytes(file, content);
  auto t = Make();
  std::string reply;
  // Values are percent-decoded; a last field without a value is dropped, an empty one
  // before it kept.
  EXPECT_EQ(S_OK, t->Upload(Url("/test/echo?stub=S"), file, "v:2&User-Agent:ostrel", "a=1%202&b=&c", &reply, 30));
  EXPECT_NE(std::string::npos, reply.find("\"multipart\":true"));
  auto log = Service().Requests("/test/echo");
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ("2", log[0].Header("v"));
  std::vector<std::pair<std::string, std::string>> parts;
  for (const auto& part : log[0].parts) parts.emplace_back(part.name, part.data);
  EXPECT_EQ((decltype(parts){{"a", "1 2"}, {"b", ""}, {"FileCont", content}}), parts);
  EXPECT_EQ("{0A1B}", log[0].parts.back().filename);
  EXPECT_EQ("application/octet-stream", log[0].parts.back().contentType);
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
  // A stream post of a file that cannot be read sends nothing.
  EXPECT_EQ(E_FAIL, t->PostStream(Url("/test/echo"), PathIn("missing"), "", &reply, 10));
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOL:NULL != reader.fp"));
  EXPECT_EQ(E_FAIL, t->PostStream(Url("/test/echo"), Root(), "", &reply, 10));
  EXPECT_TRUE(Service().Requests("/test/echo").empty());
  EXPECT_EQ(E_CV_NETWORK_ERROR3, t->Upload(Url("/test/echo"), PathIn("missing"), "v:2", "", &reply, 10));
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

// A download limit stops a reply that announces more before its body, and one that
// announces nothing as it passes the limit, before the passing bytes are written;
// replies of exactly the limit, and any reply without a limit, go through whole.
TEST_F(TransportTest, DownloadLimitStopsAReplyThatPassesIt) {
  const std::string unannounced = "/t/unannounced";  // answered by the fault alone
  struct Case {
    const char* name;
    std::string path;
    uint64_t excess;  // unannounced replies: 1000 bytes and this many more
    uint64_t limit;
    HRESULT hr;
    const char* logged;  // the limit's line
  } cases[] = {
      {"announced, the limit", "/test/bytes?n=1000&seed=3", 0, 1000, S_OK, ""},
      {"announced, a byte more", "/test/bytes?n=1001&seed=3", 0, 1000, E_CV_NETWORK_ERROR3, "announces more"},
      {"unannounced, the limit", unannounced, 0, 1000, S_OK, ""},
      {"unannounced, a byte more", unannounced, 1, 1000, E_CV_NETWORK_ERROR3, "brings more"},
      {"unannounced, far more", unannounced, 8 << 20, 1000, E_CV_NETWORK_ERROR3, "brings more"},
      {"no limit", unannounced, 8 << 20, 0, S_OK, ""},
  };
  const std::string target = PathIn("d");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto t = Make();
    if (c.path == unannounced)
      Service().Inject(nlohmann::json{{"path", c.path}, {"body", std::string(1000, 'b')}, {"excess", c.excess}}.dump());
    LogCapture log;
    t->SetDownloadLimit(c.limit);
    EXPECT_EQ(c.hr, t->Download(Url(c.path), target, "v:2", "", 10));
    const uint64_t size = ReadFileBytes(target).size();
    if (c.hr == S_OK) {
      EXPECT_EQ(c.path == unannounced ? 1000 + c.excess : 1000, size);
    } else {
      EXPECT_LE(size, c.limit);
      EXPECT_TRUE(log.Contains(std::string("CCurlHelper::SimpleDownLoadFile: the reply ") + c.logged +
                               " than the limit of 1000 bytes"))
          << log.All();
    }
  }
  // The limit holds for the transport's next downloads until it is lifted.
  auto t = Make();
  t->SetDownloadLimit(10);
  EXPECT_EQ(E_CV_NETWORK_ERROR3, t->Download(Url("/test/bytes?n=11"), target, "", "", 10));
  EXPECT_EQ(E_CV_NETWORK_ERROR3, t->Download(Url("/test/bytes?n=11"), target, "", "", 10));
  t->SetDownloadLimit(0);
  EXPECT_EQ(S_OK, t->Download(Url("/test/bytes?n=11"), target, "", "", 10));
}

TEST_F(TransportTest, WhatReachesTheTracker) {
  auto center = Track();
  auto t = Make();
  std::string file = PathIn("f");
  WriteFileBytes(file, "x");
  std::string closed = ClosedUrl();
  struct Progress {
    int calls = 0;
    double lastSpeed = -1;
  } progress;
  struct Step {
    std::function<HRESULT()> run;
    HRESULT expected;
    bool usable;
  } steps[] = {
      {[&] { return t->Request(Url("/test/status/200"), nullptr, nullptr, nullptr, 10, true); }, S_OK, true},
      {[&] { return t->Request(closed, nullptr, nullptr, nullptr, 10, true); }, E_CV_NETWORK_ERROR2, false},
      {[&] { return t->Download(Url("/test/echo"), "", "", "", 10); }, E_FAIL, true},
      {[&] { return t->PostStream(closed, file, "", nullptr, 10); }, E_CV_NETWORK_ERROR2, false},
      {[&] {  // a callback returning E_FAIL cancels; a cancelled transfer counts as a usable network
         t->SetProgressCallback(
             [](void* p, double, double dlNow, double, double, double speed) -> HRESULT {
               auto* c = static_cast<Progress*>(p);
               ++c->calls;
               c->lastSpeed = speed;
               return dlNow > 0 ? E_FAIL : S_OK;
             },
             &progress);
         HRESULT hr = t->Request(Url("/test/trickle?n=1000000&chunk=1000&ms=10"), nullptr, nullptr, nullptr, 60, true);
         t->SetProgressCallback(nullptr, nullptr);
         t->Cancel(true);  // asked for before the next transfer starts: forgotten
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
  EXPECT_GT(progress.calls, 0);
  EXPECT_GE(progress.lastSpeed, 0);
  // A request that does not ask for the report leaves the tracker alone.
  t->Request(closed, nullptr, nullptr, nullptr, 10, false);
  EXPECT_EQ(expectedCalls, center->CallCount());
}

}  // namespace
