// The local service (localsvc/) as a test peer: started per test on its own free port,
// stopped with SIGTERM at the end, with helpers to arm faults and read back the
// requests it recorded. Also a minimal HTTP exchange of our own, so that tests of the
// client never depend on the client to talk to the service.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/testenv.h"

// One reply of HttpExchange. ok is false when no complete reply arrived.
struct HttpReply {
  bool ok = false;
  int status = 0;
  std::string head;  // status line and header lines, CRLFs included
  std::string body;
};

// One HTTP/1.1 exchange with 127.0.0.1:port over a fresh connection ("Connection:
// close"). headerLines are sent as written. Gives up after 30 s.
HttpReply HttpExchange(int port, const std::string& method, const std::string& target,
                       const std::string& body = "", const std::vector<std::string>& headerLines = {});

struct RecordedPart {
  std::string name;
  std::string filename;
  std::string contentType;
  std::string data;  // up to 1 MiB
};

// A request as the service recorded it. path and query come from the raw target
// without percent-decoding; a request sent to the service as a proxy (absolute-form
// target) has proxied set and the origin removed from path.
struct RecordedRequest {
  std::string method;
  std::string target;
  std::string path;
  std::string query;
  bool proxied = false;
  std::vector<std::pair<std::string, std::string>> headers;  // sorted by name
  std::string body;  // up to 1 MiB
  uint64_t bodySize = 0;
  std::vector<RecordedPart> parts;  // in the order sent

  bool HasHeader(const std::string& name) const;
  // The first value of the header (name compared ignoring case), or "".
  std::string Header(const std::string& name) const;
};

class LocalService {
 public:
  LocalService() = default;
  ~LocalService();
  LocalService(const LocalService&) = delete;
  LocalService& operator=(const LocalService&) = delete;

  // Starts the program with the extra arguments and waits (at most 30 s) until it
  // listens. False, with a test failure, when it does not. The service ends with the
  // thread that started it (call from the test's main thread). Inject, Requests and
  // Reset speak plain HTTP: they cannot reach a service started with --tls-cert.
  bool Start(const std::vector<std::string>& args = {});
  // Sends SIGTERM and waits (at most 30 s, then SIGKILL) for the exit. Returns the exit
  // status, or -1 when it was not running or ended by a signal.
  int Stop();
  bool Running() const { return m_pid > 0; }
  // Ends the service at once with SIGKILL, as a crash would, and reaps it. False when it
  // was not running.
  bool Kill();
  // Stops the service (SIGTERM, as Stop; a running one must exit with status 0) and
  // starts it again with the arguments of the last Start on the same port, so that a
  // client aimed at it reaches it again. False, with a test failure, when it does not
  // start.
  bool Restart();

  int Port() const { return m_port; }
  // "http://127.0.0.1:<port>" (no trailing slash).
  std::string Root() const;
  // Root() + pathAndQuery.
  std::string Url(const std::string& pathAndQuery) const;

  // One control request (a route under /test/; a JSON body, or none). A request that
  // gets no complete reply, or a status outside 200..299 that is not one of accepted,
  // fails the calling test (not fatally) with the method, route, status and reply body
  // in the message. The reply is returned in every case.
  HttpReply Control(const std::string& method, const std::string& target, const std::string& body = "",
                    std::initializer_list<int> accepted = {});
  // Arms faults: one JSON object or an array of them (see localsvc/faults.h). A fault
  // the service refuses fails the test.
  void Inject(const std::string& json);
  // The recorded requests, oldest first; with a path, only those to that path. A log
  // that cannot be read fails the test and gives none.
  std::vector<RecordedRequest> Requests(const std::string& path = "");
  // Forgets the recorded requests and the armed faults, and closes every gate; a
  // refusal fails the test.
  void Reset();
  // Waits until the log holds at least count requests to path (a request held at a
  // gate is in it already): true, or false after 30 s. Reads the log again and again;
  // it waits for the requests, not for time to pass.
  bool AwaitRequests(const std::string& path, size_t count = 1);
  // Opens the gate that faults armed with {"hold": name} hold requests at.
  void Release(const std::string& name);

 private:
  pid_t m_pid = -1;
  int m_port = 0;
  std::vector<std::string> m_args;  // of the last Start
  int m_lastPort = 0;               // of the last Start, kept by Stop and Kill
};

// OstrelTest with a local service of its own, started before each test and stopped
// after it (the stop must end with exit status 0).
class LocalServiceTest : public OstrelTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Extra command-line arguments for the service.
  virtual std::vector<std::string> ServiceArgs() { return {}; }
  LocalService& Service() { return m_service; }

 private:
  LocalService m_service;
};

// A one-connection HTTP peer that keeps the first request's bytes exactly as they
// arrived (head, then a body of Content-Length bytes), answers it with a fixed reply
// and closes. It answers "Expect: 100-continue" with 100 Continue.
class RawCaptureServer {
 public:
  explicit RawCaptureServer(std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
  ~RawCaptureServer();
  RawCaptureServer(const RawCaptureServer&) = delete;
  RawCaptureServer& operator=(const RawCaptureServer&) = delete;

  int Port() const { return m_port; }
  // The request's bytes; waits (at most 30 s) for the exchange to end. Call once.
  std::string Request();

 private:
  void Serve();

  std::string m_reply;
  int m_listenFd = -1;
  int m_port = 0;
  std::string m_request;  // written by the thread, read after joining it
  std::thread m_thread;
};
