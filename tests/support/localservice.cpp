#include "support/localservice.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <strings.h>
#include <thread>

#include <nlohmann/json.hpp>

#include "support/textcodec.h"

namespace {

constexpr int kWaitMs = 30000;

int ConnectLoopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval tv{kWaitMs / 1000, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Content-Length of a request or reply head, or -1.
long long ContentLength(const std::string& head) {
  size_t pos = 0;
  while ((pos = head.find("\r\n", pos)) != std::string::npos) {
    pos += 2;
    if (strncasecmp(head.c_str() + pos, "Content-Length:", 15) == 0) return std::atoll(head.c_str() + pos + 15);
  }
  return -1;
}

}  // namespace

HttpReply HttpExchange(int port, const std::string& method, const std::string& target, const std::string& body,
                       const std::vector<std::string>& headerLines) {
  HttpReply reply;
  int fd = ConnectLoopback(port);
  if (fd < 0) return reply;
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                        "\r\nConnection: close\r\n";
  for (const auto& line : headerLines) request += line + "\r\n";
  if (!body.empty() || method == "POST") request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  request += "\r\n" + body;
  std::string received;
  if (SendAll(fd, request)) {
    char buf[65536];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof(buf), 0)) > 0) received.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  size_t end = received.find("\r\n\r\n");
  if (end == std::string::npos || received.compare(0, 9, "HTTP/1.1 ") != 0) return reply;
  reply.head = received.substr(0, end + 2);
  reply.body = received.substr(end + 4);
  reply.status = std::atoi(received.c_str() + 9);
  long long length = ContentLength(reply.head);
  reply.ok = length < 0 || static_cast<long long>(reply.body.size()) == length;
  return reply;
}

bool RecordedRequest::HasHeader(const std::string& name) const {
  for (const auto& [k, v] : headers)
    if (strcasecmp(k.c_str(), name.c_str()) == 0) return true;
  return false;
}

std::string RecordedRequest::Header(const std::string& name) const {
  for (const auto& [k, v] : headers)
    if (strcasecmp(k.c_str(), name.c_str()) == 0) return v;
  return "";
}

LocalService::~LocalService() { Stop(); }

bool LocalService::Start(const std::vector<std::string>& args) {
  if (m_pid > 0) Stop();
  m_args = args;
  std::vector<std::string> all = {OSTREL_LOCALSVC_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2: " << std::strerror(errno);
    return false;
  }
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec. The service ends with us.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  if (pid < 0) {
    ::close(pipeFds[0]);
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return false;
  }
  m_pid = pid;

  std::string line;
  while (line.find('\n') == std::string::npos) {
    pollfd p{pipeFds[0], POLLIN, 0};
    if (::poll(&p, 1, kWaitMs) <= 0) break;
    char buf[256];
    ssize_t n = ::read(pipeFds[0], buf, sizeof(buf));
    if (n <= 0) break;
    line.append(buf, static_cast<size_t>(n));
  }
  ::close(pipeFds[0]);
  const std::string prefix = "listening on 127.0.0.1:";
  if (line.compare(0, prefix.size(), prefix) != 0) {
    ADD_FAILURE() << "the local service did not start: \"" << line << "\"";
    Stop();
    return false;
  }
  m_port = std::atoi(line.c_str() + prefix.size());
  m_lastPort = m_port;
  return true;
}

bool LocalService::Kill() {
  if (m_pid <= 0) return false;
  ::kill(m_pid, SIGKILL);
  int status = 0;
  while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
  }
  m_pid = -1;
  m_port = 0;
  return true;
}

bool LocalService::Restart() {
  if (m_pid > 0) {
    EXPECT_EQ(0, Stop()) << "the local service did not exit cleanly before its restart";
  }
  std::vector<std::string> args = m_args;
  args.insert(args.end(), {"--port", std::to_string(m_lastPort)});
  return Start(args);
}

int LocalService::Stop() {
  if (m_pid <= 0) return -1;
  pid_t pid = m_pid;
  m_pid = -1;
  m_port = 0;
  ::kill(pid, SIGTERM);
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) {
    pollfd p{pidfd, POLLIN, 0};
    if (::poll(&p, 1, kWaitMs) <= 0) {
      ADD_FAILURE() << "the local service did not end on SIGTERM";
      ::kill(pid, SIGKILL);
    }
    ::close(pidfd);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string LocalService::Root() const { return "http://127.0.0.1:" + std::to_string(m_port); }

std::string LocalService::Url(const std::string& pathAndQuery) const { return Root() + pathAndQuery; }

HttpReply LocalService::Control(const std::string& method, const std::string& target, const std::string& body,
                                 std::initializer_list<int> accepted) {
  std::vector<std::string> headers;
  if (!body.empty()) headers.push_back("Content-Type: application/json");
  HttpReply r = HttpExchange(m_port, method, target, body, headers);
  bool expected = r.ok && r.status / 100 == 2;
  for (int status : accepted) expected = expected || (r.ok && r.status == status);
  if (!expected) {
    // Seeds may carry megabytes of base64: the message shows their start.
    constexpr size_t kShown = 400;
    std::string sent = body.size() > kShown ? body.substr(0, kShown) + "..." : body;
    ADD_FAILURE() << "the local service refused the control request " << method << " " << target
                  << (sent.empty() ? "" : " " + sent) << " -> "
                  << (r.ok ? "status " + std::to_string(r.status) : "no complete reply") << ": " << r.body.substr(0, kShown);
  }
  return r;
}

void LocalService::Inject(const std::string& json) { Control("POST", "/test/inject", json); }

std::vector<RecordedRequest> LocalService::Requests(const std::string& path) {
  std::vector<RecordedRequest> out;
  HttpReply r = Control("GET", path.empty() ? "/test/log" : "/test/log?path=" + path);
  if (!r.ok || r.status / 100 != 2) return out;
  nlohmann::json j = nlohmann::json::parse(r.body, nullptr, false);
  if (j.is_discarded()) {
    ADD_FAILURE() << "the request log is not JSON";
    return out;
  }
  for (const auto& e : j["requests"]) {
    RecordedRequest rec{e["method"], e["target"], e["path"], e["query"], e["proxied"], {},
                        Base64Decode(e["body_base64"].get<std::string>()), e["body_size"]};
    for (const auto& h : e["headers"]) rec.headers.emplace_back(h[0], h[1]);
    for (const auto& p : e["parts"]) {
      rec.parts.push_back({p["name"], p["filename"], p["content_type"], Base64Decode(p["data_base64"].get<std::string>())});
    }
    out.push_back(std::move(rec));
  }
  return out;
}

void LocalService::Reset() { Control("POST", "/test/reset"); }

bool LocalService::AwaitRequests(const std::string& path, size_t count) {
  const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    if (Requests(path).size() >= count) return true;
    if (std::chrono::steady_clock::now() >= guard) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void LocalService::Release(const std::string& name) {
  Control("POST", "/test/release", nlohmann::json({{"hold", name}}).dump());
}

void LocalServiceTest::SetUp() {
  OstrelTest::SetUp();
  ASSERT_TRUE(m_service.Start(ServiceArgs()));
}

void LocalServiceTest::TearDown() {
  if (m_service.Running()) {
    EXPECT_EQ(0, m_service.Stop()) << "the local service did not exit cleanly";
  }
  OstrelTest::TearDown();
}

RawCaptureServer::RawCaptureServer(std::string reply) : m_reply(std::move(reply)) {
  m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (m_listenFd < 0 || ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::listen(m_listenFd, 4) != 0 || ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ADD_FAILURE() << "cannot listen on loopback: " << std::strerror(errno);
    return;
  }
  m_port = ntohs(addr.sin_port);
  m_thread = std::thread([this] { Serve(); });
}

RawCaptureServer::~RawCaptureServer() {
  if (m_listenFd >= 0) ::shutdown(m_listenFd, SHUT_RDWR);
  if (m_thread.joinable()) m_thread.join();
  if (m_listenFd >= 0) ::close(m_listenFd);
}

std::string RawCaptureServer::Request() {
  if (m_thread.joinable()) m_thread.join();
  return m_request;
}

void RawCaptureServer::Serve() {
  pollfd p{m_listenFd, POLLIN, 0};
  if (::poll(&p, 1, kWaitMs) <= 0 || !(p.revents & POLLIN)) return;
  int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  timeval tv{kWaitMs / 1000, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  std::string data;
  char buf[65536];
  size_t headEnd = std::string::npos;
  bool continued = false;
  for (;;) {
    if (headEnd == std::string::npos) {
      headEnd = data.find("\r\n\r\n");
      if (headEnd != std::string::npos) headEnd += 4;
    }
    if (headEnd != std::string::npos) {
      std::string head = data.substr(0, headEnd);
      long long length = ContentLength(head);
      if (length < 0 || data.size() >= headEnd + static_cast<size_t>(length)) break;
      if (!continued && strcasestr(head.c_str(), "\r\nExpect: 100-continue") != nullptr) {
        SendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n");
        continued = true;
      }
    }
    ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  m_request = data;
  SendAll(fd, m_reply);
  ::shutdown(fd, SHUT_WR);
  // Read what the client still sends, so that closing does not reset the connection.
  while (::recv(fd, buf, sizeof(buf), 0) > 0) {
  }
  ::close(fd);
}
