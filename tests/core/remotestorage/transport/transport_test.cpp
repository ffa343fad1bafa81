// CTransport against the local service: result codes, proxy kinds and speed limits
// as set on the handle, the HTTP proxy with credentials, uploads, downloads, stream
// posts, cancel, and what reaches the network-state tracker.
#include "core/remotestorage/transport/transport.h"

#include <gtest/gtest.h>

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

  RefPtr<CTransport> Make(const TransportSettings& settings = DirectTransportSettings(), CurlPolicy policy = CurlPolicy()) {
    RefPtr<CTransport> t(new CTransport(settings, policy));
    EXPECT_EQ(S_OK, t->Init());
    return t;
  }
  std::string Url(const std::string& path) { return Service().Url(path); }

  // Enables the tracker with a fake sync centre and sets its last state to the flag.
  RefPtr<FakeSyncCenter> Track() {
    RefPtr<FakeSyncCenter> center(new FakeSyncCenter);
    CNetworkState::GetInstance().Enable(center.get(), Url("/api_server/"));
    return center;
  }
};

// The options a transport set on its handle, in order.
struct OptionLog {
  std::vector<std::pair<CURLoption, std::string>> options;
  CURLoption failOn = CURLOPT_LASTENTRY;

  void Attach(CTransport* t) {
    t->Curl().SetOptionHook([this](CURLoption o, const std::string& v) {
      options.emplace_back(o, v);
      return o == failOn ? CURLE_UNKNOWN_OPTION : CURLE_OK;
    });
  }
  // The last value set for the option, or "-" when it was never set.
  std::string Last(CURLoption o) const {
    std::string v = "-";
    for (const auto& [opt, val] : options)
      if (opt == o) v = val;
    return v;
  }
};

TEST_F(TransportTest, RequestResultCodes) {
  auto t = Make();
  std::string header = "v:2&User-Agent:ostrel", body = "<x/>", reply;
  struct Case {
    const char* path;
    bool post;
    HRESULT expected;
  } cases[] = {
      {"/test/status/200", false, S_OK},
      {"/test/status/404", false, E_CV_SRV_SERVER_ERROR},
      {"/test/status/504", false, E_CV_NETWORK_ERROR},
      {"/test/status/404", true, S_OK},
      {"/test/status/500", true, S_OK},
      {"/test/status/504", true, E_CV_NETWORK_ERROR},
      {"/test/drop", false, E_CV_NETWORK_ERROR3},
      {"/test/drop", true, E_CV_NETWORK_ERROR3},
      {"/test/sleep?s=30", false, E_CV_NETWORK_ERROR},
  };
  for (const auto& c : cases) {
    reply = "untouched";
    EXPECT_EQ(c.expected, t->Request(Url(c.path), &header, c.post ? &body : nullptr, &reply, 1, false)) << c.path;
    // The reply text comes back on failure too.
    if (std::string(c.path).find("status") != std::string::npos) {
      EXPECT_NE(std::string::npos, reply.find("result=\"ok\"")) << c.path;
    }
  }
  EXPECT_EQ(E_CV_NETWORK_ERROR2,
            t->Request("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/", nullptr, nullptr, nullptr, 5, false));
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
  EXPECT_NE(std::string::npos, request.find("\r\n\r\n" + body)) << request;
  EXPECT_EQ(request.size(), request.find("\r\n\r\n") + 4 + body.size());
}

TEST_F(TransportTest, ProxyKindsAsSetOnTheHandle) {
  struct Case {
    int32_t type;
    bool systemFound;
    std::string user, password;
    std::string proxyType, proxy, noProxy, userName, passwordOpt;
  } cases[] = {
      {-1, false, "", "", "-", "", "-", "-", "-"},
      {1, false, "", "", "-", "", "-", "-", "-"},
      {-1, true, "", "", "0", "sys.proxy:3128", "localhost,.lan", "-", "-"},
      {1, true, "u", "p", "0", "sys.proxy:3128", "localhost,.lan", "-", "-"},  // no credentials for it
      {2, true, "", "", "0", "px:8080", "", "-", "-"},
      {2, false, "user", "", "0", "px:8080", "", "user", ""},
      {2, false, "us:er", "p:w", "0", "px:8080", "", "us:er", "p:w"},
      {3, false, "u", "p", "4", "px:8080", "", "u", "p"},
      {4, false, "", "", "5", "px:8080", "", "-", "-"},
      {0, true, "u", "p", "-", "", "-", "-", "-"},
      {5, true, "", "", "-", "", "-", "-", "-"},
  };
  for (const auto& c : cases) {
    TransportSettings s = DirectTransportSettings();
    s.loadProxy = [&c](ProxySettings* p) {
      p->type = c.type;
      p->host = "px";
      p->port = "8080";
      p->userName = c.user;
      p->password = c.password;
    };
    s.systemProxy = [&c](SystemProxy* p) {
      p->found = c.systemFound;
      p->host = "sys.proxy";
      p->port = "3128";
      p->noProxy = "localhost,.lan";
      return S_OK;
    };
    auto t = Make(s);
    OptionLog log;
    log.Attach(t.get());
    t->Request("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/", nullptr, nullptr, nullptr, 5, false);
    std::string label = "type " + std::to_string(c.type);
    EXPECT_EQ(c.proxyType, log.Last(CURLOPT_PROXYTYPE)) << label;
    EXPECT_EQ(c.proxy, log.Last(CURLOPT_PROXY)) << label;
    EXPECT_EQ(c.noProxy, log.Last(CURLOPT_NOPROXY)) << label;
    EXPECT_EQ(c.userName, log.Last(CURLOPT_PROXYUSERNAME)) << label;
    EXPECT_EQ(c.passwordOpt, log.Last(CURLOPT_PROXYPASSWORD)) << label;
  }
}

TEST_F(TransportTest, SpeedLimitsZeroMeansNoneAndAFailedProxyOptionSkipsThem) {
  auto unlimited = Make();
  OptionLog a;
  a.Attach(unlimited.get());
  EXPECT_EQ(S_OK, unlimited->Request(Url("/test/status/200"), nullptr, nullptr, nullptr, 10, false));
  EXPECT_EQ("0", a.Last(CURLOPT_MAX_SEND_SPEED_LARGE));
  EXPECT_EQ("0", a.Last(CURLOPT_MAX_RECV_SPEED_LARGE));

  unlimited->SetSpeedLimit(1234, 5678);
  EXPECT_EQ(S_OK, unlimited->Request(Url("/test/status/200"), nullptr, nullptr, nullptr, 10, false));
  EXPECT_EQ("1234", a.Last(CURLOPT_MAX_SEND_SPEED_LARGE));
  EXPECT_EQ("5678", a.Last(CURLOPT_MAX_RECV_SPEED_LARGE));

  // The user's settings by default: 1 MiB/s each way.
  TransportSettings defaults = DirectTransportSettings();
  defaults.uploadSpeed = DefaultTransportSettings().uploadSpeed;
  defaults.downloadSpeed = DefaultTransportSettings().downloadSpeed;
  auto limited = Make(defaults);
  OptionLog b;
  b.Attach(limited.get());
  limited->Request(Url("/test/status/200"), nullptr, nullptr, nullptr, 10, false);
  EXPECT_EQ("1048576", b.Last(CURLOPT_MAX_SEND_SPEED_LARGE));
  EXPECT_EQ("1048576", b.Last(CURLOPT_MAX_RECV_SPEED_LARGE));

  LogCapture log;
  auto failing = Make();
  OptionLog c;
  c.failOn = CURLOPT_PROXY;
  c.Attach(failing.get());
  failing->SetSpeedLimit(100, 100);
  EXPECT_EQ(S_OK, failing->Request(Url("/test/status/200"), nullptr, nullptr, nullptr, 10, false));
  EXPECT_EQ("-", c.Last(CURLOPT_MAX_SEND_SPEED_LARGE));
  EXPECT_TRUE(log.Contains("ERROR_CHECK_COM hr = 80004005: hr")) << log.All();

  auto speedFails = Make();
  OptionLog d;
  d.failOn = CURLOPT_MAX_RECV_SPEED_LARGE;
  d.Attach(speedFails.get());
  EXPECT_EQ(S_OK, speedFails->Request(Url("/test/status/200"), nullptr, nullptr, nullptr, 10, false));
  EXPECT_TRUE(log.Contains("ERROR_CHECK_COM: hr = 80004005 MSG: curl设置速率失败")) << log.All();
}

TEST_F(TransportTest, HttpProxyWithCredentials) {
  struct Case {
    std::string user, password, expectedAuth;
  } cases[] = {
      {"user", "p@ss:word", "Basic " + Base64("user:p@ss:word")},
      {"user", "", "Basic " + Base64("user:")},
      {"", "ignored", ""},
  };
  for (const auto& c : cases) {
    Service().Reset();
    TransportSettings s = DirectTransportSettings();
    int port = Service().Port();
    s.loadProxy = [&c, port](ProxySettings* p) {
      *p = ProxySettings();
      p->type = kProxyHttp;
      p->host = "127.0.0.1";
      p->port = std::to_string(port);
      p->userName = c.user;
      p->password = c.password;
    };
    auto t = Make(s);
    std::string reply;
    // The origin's name resolves nowhere: only the proxy can answer.
    EXPECT_EQ(S_OK, t->Request("http://origin.invalid/test/echo?x=1", nullptr, nullptr, &reply, 10, false));
    auto log = Service().Requests("/test/echo");
    ASSERT_EQ(1u, log.size());
    EXPECT_TRUE(log[0].proxied);
    EXPECT_EQ("x=1", log[0].query);
    EXPECT_EQ(c.expectedAuth, log[0].Header("Proxy-Authorization")) << c.user;
  }
}

TEST_F(TransportTest, SystemProxyComesFromTheEnvironment) {
  TransportSettings s = DirectTransportSettings();
  s.loadProxy = [](ProxySettings* p) { *p = ProxySettings(); };  // kind -1: the system proxy
  s.systemProxy = GetEnvironmentProxy;
  std::string proxy = "http://127.0.0.1:" + std::to_string(Service().Port()) + "/";
  ::setenv("http_proxy", proxy.c_str(), 1);
  ::unsetenv("no_proxy");
  auto t = Make(s);
  EXPECT_EQ(S_OK, t->Request("http://origin.invalid/test/echo", nullptr, nullptr, nullptr, 10, false));
  ASSERT_EQ(1u, Service().Requests("/test/echo").size());
  EXPECT_TRUE(Service().Requests("/test/echo")[0].proxied);
  // no_proxy sends the host directly, where its name resolves nowhere.
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
      {"proxy:", S_OK, true, "proxy", "80"},
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

TEST_F(TransportTest, CreateTransportUsesTheUsersSettings) {
  // Nothing stored: the system proxy (none here) and 1 MiB/s each way.
  ::unsetenv("http_proxy");
  ITransport* raw = nullptr;
  ASSERT_EQ(S_OK, CreateTransport(&raw));
  RefPtr<CTransport> first(static_cast<CTransport*>(raw));
  raw->Release();
  OptionLog a;
  a.Attach(first.get());
  EXPECT_EQ(S_OK, first->Request(Url("/test/status/200"), nullptr, nullptr, nullptr, 10, false));
  EXPECT_EQ("", a.Last(CURLOPT_PROXY));
  EXPECT_EQ("1048576", a.Last(CURLOPT_MAX_SEND_SPEED_LARGE));
  EXPECT_EQ("1048576", a.Last(CURLOPT_MAX_RECV_SPEED_LARGE));

  // The stored values: an HTTP proxy with credentials and no limits.
  ASSERT_EQ(S_OK, SaveProxySettings("127.0.0.1", std::to_string(Service().Port()), "user", "secret", 2));
  ASSERT_EQ(S_OK, SetUploadSpeed(0));
  ASSERT_EQ(S_OK, SetDownloadSpeed(0));
  ASSERT_EQ(S_OK, CreateTransport(&raw));
  RefPtr<CTransport> second(static_cast<CTransport*>(raw));
  raw->Release();
  OptionLog b;
  b.Attach(second.get());
  EXPECT_EQ(S_OK, second->Request("http://origin.invalid/test/echo", nullptr, nullptr, nullptr, 10, false));
  EXPECT_EQ("0", b.Last(CURLOPT_MAX_SEND_SPEED_LARGE));
  EXPECT_EQ("0", b.Last(CURLOPT_MAX_RECV_SPEED_LARGE));
  auto log = Service().Requests("/test/echo");
  ASSERT_EQ(1u, log.size());
  EXPECT_TRUE(log[0].proxied);
  EXPECT_EQ("Basic " + Base64("user:secret"), log[0].Header("Proxy-Authorization"));
  // A change takes effect at the next transfer of the same transport.
  ASSERT_EQ(S_OK, SaveProxySettings("", "", "", "", 0));
  EXPECT_EQ(E_CV_NETWORK_ERROR2, second->Request("http://origin.invalid/test/echo", nullptr, nullptr, nullptr, 10, false));
}

TEST_F(TransportTest, UploadSendsDecodedFieldsInOrderBeforeTheFile) {
  std::string file = PathIn("sub/{0A1B}");
  RunCommand("mkdir -p " + ShellQuote(PathIn("sub")));
  std::string content = RandomBytes(100000, 9);
  WriteFileBytes(file, content);
  struct Case {
    std::string fields;
    std::vector<std::pair<std::string, std::string>> parts;
  } cases[] = {
      {"a=1%202&b=x", {{"a", "1 2"}, {"b", "x"}}},
      {"a=%zz&c=+1", {{"a", "?"}, {"c", "+1"}}},
      {"a=1&b", {{"a", "1"}}},
      {"", {}},
  };
  auto t = Make();
  for (const auto& c : cases) {
    Service().Reset();
    std::string reply;
    EXPECT_EQ(S_OK, t->Upload(Url("/test/echo?stub=S"), file, "v:2&User-Agent:ostrel", c.fields, &reply, 30));
    EXPECT_NE(std::string::npos, reply.find("\"multipart\":true"));
    auto log = Service().Requests("/test/echo");
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ("2", log[0].Header("v"));
    ASSERT_EQ(c.parts.size() + 1, log[0].parts.size()) << c.fields;
    for (size_t i = 0; i < c.parts.size(); ++i) {
      EXPECT_EQ(c.parts[i].first, log[0].parts[i].name);
      EXPECT_EQ(c.parts[i].second, log[0].parts[i].data);
    }
    const auto& filePart = log[0].parts.back();
    EXPECT_EQ("FileCont", filePart.name);
    EXPECT_EQ("{0A1B}", filePart.filename);
    EXPECT_EQ("application/octet-stream", filePart.contentType);
    EXPECT_EQ(content, filePart.data);
  }
}

TEST_F(TransportTest, UploadFailures) {
  LogCapture log;
  auto t = Make();
  std::string file = PathIn("f");
  WriteFileBytes(file, "x");
  std::string reply = "untouched";
  EXPECT_EQ(E_CV_NETWORK_ERROR3, t->Upload(Url("/test/status/302"), file, "v:2", "", &reply, 10));
  EXPECT_EQ("untouched", reply);
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOL:S_OK == hr"));
  EXPECT_EQ(S_OK, t->Upload(Url("/test/status/201"), file, "", "", &reply, 10));
  EXPECT_TRUE(log.Contains("*ASSERT*: szHeader && wcslen(szHeader)"));
  EXPECT_EQ(E_FAIL, t->Upload(Url("/test/echo"), "", "v:2", "", &reply, 10));
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOLEX:szLocal && wcslen(szLocal)"));
  EXPECT_EQ(E_CV_NETWORK_ERROR3, t->Upload(Url("/test/echo"), PathIn("missing"), "v:2", "", &reply, 10));
}

TEST_F(TransportTest, DownloadCreatesTheFolderAndKeepsWhatWasWritten) {
  auto t = Make();
  std::string target = PathIn("a/b/c/file.bin");
  EXPECT_EQ(S_OK, t->Download(Url("/test/redirect?to=/test/bytes%3Fn%3D12345%26seed%3D2"), target, "v:2", "", 10));
  EXPECT_EQ(12345u, ReadFileBytes(target).size());
  LogCapture log;
  EXPECT_EQ(E_CV_SRV_SERVER_ERROR, t->Download(Url("/test/status/404"), target, "", "", 10));
  EXPECT_NE(std::string::npos, ReadFileBytes(target).find("result"));
  EXPECT_TRUE(log.Contains("ERROR_CHECK_COM:hrhr = 80041011, MSG: DownLoad File Failed!")) << log.All();
  EXPECT_EQ(E_FAIL, t->Download(Url("/test/echo"), "", "", "", 10));
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOLEX:szLocal && wcslen(szLocal)"));
}

TEST_F(TransportTest, PostStreamSendsTheFileAlone) {
  auto t = Make();
  std::string file = PathIn("block");
  std::string content = RandomBytes(50000, 4);
  WriteFileBytes(file, content);
  std::string reply;
  EXPECT_EQ(S_OK, t->PostStream(Url("/test/echo?stub=S&index=1"), file, "v:2&User-Agent:ostrel", &reply, 10));
  auto log = Service().Requests("/test/echo");
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ(content, log[0].body);
  EXPECT_FALSE(log[0].HasHeader("v"));
  EXPECT_FALSE(log[0].HasHeader("User-Agent"));
  EXPECT_FALSE(log[0].HasHeader("Content-Type"));
  EXPECT_NE(std::string::npos, reply.find("\"body_size\":50000"));

  reply = "untouched";
  EXPECT_EQ(E_FAIL, t->PostStream(Url("/test/echo"), PathIn("missing"), "", &reply, 10));
  EXPECT_EQ(E_CV_NETWORK_ERROR3, t->PostStream(Url("/test/status/500"), file, "", &reply, 10));
  EXPECT_EQ("untouched", reply);
  LogCapture asserts;
  t->PostStream("", file, "", &reply, 10);
  EXPECT_EQ(2, asserts.Count("*ASSERT*: !IsStrEmpty(strURL)"));
}

TEST_F(TransportTest, ACallbackReturningEFailCancels) {
  auto center = Track();
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
  // A good request, then a failed connection: the tracker records the network as lost.
  t->Request(Url("/test/status/200"), nullptr, nullptr, nullptr, 5, true);
  t->Request("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/", nullptr, nullptr, nullptr, 5, true);
  EXPECT_EQ(E_CV_CURL_CANCEL, t->Request(Url("/test/trickle?n=1000000&chunk=1000&ms=10"), nullptr, nullptr, nullptr, 60, true));
  EXPECT_GT(ctx.calls, 0);
  EXPECT_GE(ctx.lastSpeed, 0);
  // A cancel counts as a usable network: the override set by the failure is cleared.
  auto calls = center->Calls();
  ASSERT_EQ(3u, calls.size());
  EXPECT_FALSE(calls[0].set);
  EXPECT_TRUE(calls[1].set);
  EXPECT_EQ(kNuvraStateNetworkLost, calls[1].state.kind);
  EXPECT_FALSE(calls[2].set);
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
  std::string closed = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/";
  struct Step {
    std::function<HRESULT()> run;
    HRESULT expected;
    bool usable;
  } steps[] = {
      {[&] { return t->Request(Url("/test/status/200"), nullptr, nullptr, nullptr, 10, true); }, S_OK, true},
      {[&] { return t->Request(closed, nullptr, nullptr, nullptr, 10, true); }, E_CV_NETWORK_ERROR2, false},
      {[&] { return t->Download(Url("/test/echo"), "", "", "", 10); }, E_FAIL, true},
      {[&] { return t->PostStream(closed, file, "", nullptr, 10); }, E_CV_NETWORK_ERROR2, false},
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
  }
  // A request that does not ask for the report leaves the tracker alone.
  t->Request(closed, nullptr, nullptr, nullptr, 10, false);
  EXPECT_EQ(expectedCalls, center->CallCount());
}

TEST_F(TransportTest, CreateTransportHandsOutOneReference) {
  ITransport* raw = nullptr;
  ASSERT_EQ(S_OK, CreateTransportWith(DirectTransportSettings(), &raw));
  ASSERT_NE(nullptr, raw);
  RefPtr<ITransport> t = RefPtr<ITransport>::Adopt(raw);
  void* same = nullptr;
  EXPECT_EQ(S_OK, t->QueryInterface(ITransport::kIID, &same));
  EXPECT_EQ(static_cast<void*>(raw), same);
  raw->Release();
  // Reusable after every outcome.
  EXPECT_EQ(E_CV_NETWORK_ERROR3, t->Request(Url("/test/drop"), nullptr, nullptr, nullptr, 10, false));
  EXPECT_EQ(S_OK, t->Request(Url("/test/status/200"), nullptr, nullptr, nullptr, 10, false));
}

}  // namespace
