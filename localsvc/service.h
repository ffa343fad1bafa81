// The local service: one HTTP server on a loopback port that records every request,
// applies the faults tests arm, and answers the test endpoints and the storage
// service's file-system API (fsroutes.cpp) over the state of an ItemStore, which tests
// seed through the control endpoints of seedroutes.cpp, and the file transfers
// (xferroutes.cpp) over the contents of Transfers, seeded and inspected through the
// control endpoints of xfercontrol.cpp.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "faults.h"
#include "itemstore.h"
#include "requestlog.h"
#include "statedir.h"
#include "transfers.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace localsvc {

class XmlReply;

struct ServiceOptions {
  int port = 0;             // 0: any free port
  std::string dataDir;      // files served under /test/files/
  std::string tlsCert;      // with tlsKey: serve https
  std::string tlsKey;
  int threads = 64;
  // How long a push poll holds when no version moves; 0: until one moves.
  int64_t pushHoldMs = 25000;
  // The answer of getGlobalVersion; "" keeps the one of the state folder, else "2".
  std::string globalVersion;
  // Accounts made at start, each "user:password" (one whose user name the state
  // folder holds is kept as it is there).
  std::vector<std::string> accounts;
  // The folder the state is kept in across restarts; "" keeps it in memory only.
  std::string stateDir;
  StatePolicy statePolicy;
  RequestLogBounds logBounds;
};

class Service {
 public:
  explicit Service(ServiceOptions options);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // False with a reason when the server cannot be set up (bad certificate, a malformed
  // account).
  bool Valid(std::string* error) const;
  // Binds 127.0.0.1; returns the port, or -1.
  int Bind();
  // Serves until Stop. False when serving ended by a failure.
  bool Serve();
  // Ends Serve from another thread; in-flight waits end early. Then syncs and closes
  // the state folder.
  void Stop();

  // What opening the state folder dropped (a torn end of the journal), for the
  // operator; "" when nothing.
  const std::string& StateNotes() const { return m_stateNotes; }
  // "" unless the state folder could not be written; then why. From then on every
  // request answers HTTP 500.
  std::string StateFailure() const;
  // fn runs once when the state folder cannot be written any more: after the reply to
  // the request that met the failure went out, or at once when no request met it. Set
  // before serving.
  void OnStateFailure(std::function<void()> fn);

  // Handlers get the request as recorded (raw path and query, whole body or parts).
  using RouteFn =
      std::function<void(const httplib::Request&, const RecordedRequest&, httplib::Response&)>;

 private:
  enum class BodyMode { kKeep, kCount };
  void Get(const std::string& pattern, RouteFn fn);
  void Post(const std::string& pattern, RouteFn fn, BodyMode mode = BodyMode::kKeep);
  void Dispatch(const httplib::Request& req, RecordedRequest& rec, httplib::Response& res,
                const RouteFn& fn);
  void ApplyFault(const Fault& fault, const httplib::Request& req, const RecordedRequest& rec,
                  httplib::Response& res, const RouteFn& fn);
  // Sends the reply made so far in chunked encoding followed by the fault's excess
  // bytes, counting what goes out in the log entry seq.
  void SendWithExcess(const Fault& fault, uint64_t seq, httplib::Response& res);
  // A control endpoint (neither recorded nor faulted): a POST of a JSON object (an
  // empty body reads as {}) answered with what fn makes of it. A body that is no JSON
  // object, or an exception from fn (see Require), answers 400 with {"error": "..."};
  // a change the state folder could not keep answers 500 the same way.
  using ControlFn = std::function<nlohmann::json(const nlohmann::json&)>;
  void Control(const std::string& path, ControlFn fn);
  // An endpoint of the file-system API: a POST whose header "v" is 2 or 3 and whose
  // body is an XML document holding every required parameter (else clientBadParams);
  // with needsToken the parameter "token" must name a user (else the word of
  // ItemStore::Authenticate). fn sets the reply's word and values; the XML reply goes out
  // with HTTP 200.
  using ApiFn = std::function<void(const std::map<std::string, std::string>& params, const std::string& userId,
                                   const httplib::Request& req, XmlReply& reply)>;
  void Api(const std::string& path, std::vector<const char*> required, bool needsToken, ApiFn fn);
  void AddControlRoutes();
  void AddTestRoutes();
  void AddFsRoutes();
  void AddXferRoutes();
  void AddXferControlRoutes();
  // "http://" or "https://" and the host the request named (this service's address
  // when it named none): the base of the URLs the transfer replies hand out.
  std::string BaseUrl(const httplib::Request& req) const;
  void AddSeedRoutes();
  void AddCatchAll();
  // Reads the state folder into the stores; sets m_setupError when it cannot be used.
  void OpenState();
  // Starts keeping the stores' changes in the state folder.
  void StartState();
  // Runs a route; a change it made that the state folder could not keep turns its
  // reply into HTTP 500.
  void Run(const RouteFn& fn, const httplib::Request& req, const RecordedRequest& rec, httplib::Response& res);
  bool StateFailed() const { return m_state && m_state->Failed(); }
  // Runs m_onStateFailure, once.
  void AnnounceStateFailure();

  ServiceOptions m_options;
  int m_port = -1;
  std::unique_ptr<httplib::Server> m_server;
  // Patterns of the POST routes that only count their body (set up before serving).
  std::vector<std::regex> m_countedRoutes;
  RequestLog m_log;
  FaultTable m_faults;
  ItemStore m_store;
  Transfers m_xfer;
  // After the stores, so that it ends (and its sync thread, which reads them) first.
  std::unique_ptr<StateDir> m_state;
  std::string m_stateNotes;
  std::function<void()> m_onStateFailure;   // set before serving
  std::atomic<bool> m_failureAfterReply{false};  // a request met the failure
  std::atomic<bool> m_failureAnnounced{false};   // m_onStateFailure ran
  std::string m_setupError;
  std::mutex m_serveMutex;               // guards m_serving
  std::condition_variable m_serveEnded;  // signalled when Serve returns
  bool m_serving = false;
};

// Refuses a control request: throws error for Control to answer with 400.
void Require(bool ok, const std::string& error);

// j as compact JSON text. Its strings may hold any bytes: those that are not UTF-8 come
// out as U+FFFD, so the text is always JSON.
std::string JsonText(const nlohmann::json& j);

// The value of key in a raw query ("a=1&b=2"), without percent-decoding, or def.
std::string QueryValue(const std::string& query, const std::string& key, const std::string& def);

}  // namespace localsvc
