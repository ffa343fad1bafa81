#include "service.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <memory>
#include <set>
#include <stdexcept>

#include "bounds.h"
#include "codec.h"
#include "connection.h"
#include "gates.h"
#include "stopflag.h"
#include "words.h"
#include "xmlmsg.h"

namespace localsvc {
namespace {

// Route patterns also match absolute-form targets ("http://host:port/path"), which
// clients send to a proxy: the service then answers as the origin would.
const std::string kAnyOrigin = "(?:[A-Za-z][A-Za-z0-9+.-]*://[^/]*)?";

// Splits the raw request target into path and query; drops the scheme and authority
// of an absolute-form target.
void SplitTarget(const std::string& target, RecordedRequest* rec) {
  std::string rest = target;
  size_t scheme = rest.find("://");
  if (!rest.empty() && rest[0] != '/' && scheme != std::string::npos) {
    size_t slash = rest.find('/', scheme + 3);
    rest = slash == std::string::npos ? "/" : rest.substr(slash);
    rec->proxied = true;
  }
  size_t q = rest.find('?');
  rec->path = rest.substr(0, q);
  rec->query = q == std::string::npos ? "" : rest.substr(q + 1);
}

RecordedRequest Record(const httplib::Request& req) {
  RecordedRequest rec;
  rec.method = req.method;
  rec.target = req.target;
  SplitTarget(req.target, &rec);
  for (const auto& [k, v] : req.headers) {
    // The library adds the connection's addresses as pseudo header lines.
    if (k == "LOCAL_ADDR" || k == "LOCAL_PORT" || k == "REMOTE_ADDR" || k == "REMOTE_PORT") continue;
    rec.headers.emplace_back(k, v);
  }
  return rec;
}

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Status";
  }
}

void DropConnectionOf(const httplib::Request& req, httplib::Response& res) {
  ShutdownConnection(FindConnectionSocket(req));
  res.status = 500;  // never reaches the client
}

// The whole body; a body over kLargestBody is cut off there and refused.
std::string ReadBody(const httplib::ContentReader& reader) {
  std::string body;
  bool whole = reader([&](const char* data, size_t n) {
    if (n > kLargestBody - body.size()) return false;
    body.append(data, n);
    return true;
  });
  Require(whole, "the body is larger than the service takes");
  return body;
}

void RefuseLargeBody(httplib::Response& res) {
  res.status = 413;
  res.set_header("Connection", "close");  // what is left of the body is never read
  res.set_content(JsonText({{"error", "the body is larger than the service takes"}}), "application/json");
}

}  // namespace

void Require(bool ok, const std::string& error) {
  if (!ok) throw std::runtime_error(error);
}

std::string JsonText(const nlohmann::json& j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string QueryValue(const std::string& query, const std::string& key, const std::string& def) {
  size_t pos = 0;
  while (pos <= query.size()) {
    size_t amp = query.find('&', pos);
    std::string item = query.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
    size_t eq = item.find('=');
    if (item.substr(0, eq) == key) return eq == std::string::npos ? "" : item.substr(eq + 1);
    if (amp == std::string::npos) break;
    pos = amp + 1;
  }
  return def;
}

Service::Service(ServiceOptions options) : m_options(std::move(options)), m_log(m_options.logBounds) {
  if (!m_options.tlsCert.empty())
    m_server = std::make_unique<httplib::SSLServer>(m_options.tlsCert.c_str(), m_options.tlsKey.c_str());
  else
    m_server = std::make_unique<httplib::Server>();
  int threads = m_options.threads;
  m_server->new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
  m_server->set_tcp_nodelay(true);
  // A body is taken into memory only up to kLargestBody, but one that a route only
  // counts may be of any size. The readers of POST bodies cut off what they keep
  // themselves; every other request's body is read whole, so it must announce a length
  // within the bound.
  m_server->set_payload_max_length(std::numeric_limits<size_t>::max());
  m_server->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    const bool post = req.method == "POST";
    const bool counted = post && std::any_of(m_countedRoutes.begin(), m_countedRoutes.end(),
                                             [&](const std::regex& r) { return std::regex_match(req.path, r); });
    const bool within = req.has_header("Content-Length")
                            ? req.get_header_value<uint64_t>("Content-Length") <= kLargestBody
                            : post || !req.has_header("Transfer-Encoding");
    if (counted || within) return httplib::Server::HandlerResponse::Unhandled;
    RefuseLargeBody(res);
    return httplib::Server::HandlerResponse::Handled;
  });
  if (!m_options.stateDir.empty()) OpenState();
  if (!m_options.globalVersion.empty()) m_store.SetGlobalVersion(m_options.globalVersion);
  for (const auto& spec : m_options.accounts) {
    size_t colon = spec.find(':');
    Account a;
    a.login = spec.substr(0, colon);
    a.password = colon == std::string::npos ? "" : spec.substr(colon + 1);
    Session session;
    std::string error;
    if (m_setupError.empty() && (!m_state || !m_store.HasLogin(a.login)) && !m_store.AddAccount(a, &session, &error))
      m_setupError = "account \"" + a.login + "\": " + error;
  }
  if (m_state && m_setupError.empty()) StartState();
  AddControlRoutes();
  AddSeedRoutes();
  AddXferControlRoutes();
  AddTestRoutes();
  AddXferRoutes();
  AddFsRoutes();
  AddCatchAll();
}

Service::~Service() = default;

void Service::OpenState() {
  m_state = std::make_unique<StateDir>(m_options.statePolicy);
  StateMap records;
  std::string error;
  if (!m_state->Open(m_options.stateDir, &records, &m_stateNotes, &error) ||
      !m_xfer.Blocks().Restore(records, *m_state, &error) ||
      !m_store.Restore(records, *m_state, m_xfer.Blocks(), &error))
    m_setupError = "the state in " + m_options.stateDir + " cannot be used: " + error;
}

void Service::StartState() {
  std::set<std::string> blobs;
  m_xfer.Blocks().BlobNames(&blobs);
  m_store.WholeBlobNames(&blobs);
  m_store.Persist(m_state.get());
  m_xfer.Blocks().Persist(m_state.get());
  std::vector<StateDir::Source> sources = {
      [this](const std::function<void(StateRecord)>& emit) { m_store.Snapshot(emit); },
      [this](const std::function<void(StateRecord)>& emit) { m_xfer.Blocks().Snapshot(emit); }};
  // A request that meets the failure answers 500 first (Run, Control); the service is
  // told once that reply went out (the server's logger runs after each reply).
  m_state->OnFailure([this](bool onSyncThread) {
    if (onSyncThread)
      AnnounceStateFailure();
    else
      m_failureAfterReply = true;
  });
  m_server->set_logger([this](const httplib::Request&, const httplib::Response&) {
    if (m_failureAfterReply) AnnounceStateFailure();
  });
  std::string error;
  if (!m_state->Start(std::move(sources), blobs, &error))
    m_setupError = "the state in " + m_options.stateDir + " cannot be kept: " + error;
}

std::string Service::StateFailure() const { return m_state ? m_state->FailureReason() : ""; }

void Service::OnStateFailure(std::function<void()> fn) { m_onStateFailure = std::move(fn); }

void Service::AnnounceStateFailure() {
  if (m_onStateFailure && !m_failureAnnounced.exchange(true)) m_onStateFailure();
}

void Service::Run(const RouteFn& fn, const httplib::Request& req, const RecordedRequest& rec, httplib::Response& res) {
  fn(req, rec, res);
  if (!StateFailed()) return;
  res.status = 500;
  res.set_content(JsonText({{"error", "the state cannot be kept: " + m_state->FailureReason()}}), "application/json");
}

bool Service::Valid(std::string* error) const {
  if (!m_setupError.empty()) {
    *error = m_setupError;
    return false;
  }
  if (m_server->is_valid()) return true;
  *error = m_options.tlsCert.empty() ? "the server cannot be set up"
                                      : "the certificate or key cannot be loaded";
  return false;
}

int Service::Bind() {
  if (m_options.port == 0)
    m_port = m_server->bind_to_any_port("127.0.0.1");
  else
    m_port = m_server->bind_to_port("127.0.0.1", m_options.port) ? m_options.port : -1;
  return m_port;
}

bool Service::Serve() {
  {
    std::lock_guard<std::mutex> guard(m_serveMutex);
    if (StopFlag::Get().IsSet()) return true;
    m_serving = true;
  }
  bool ok = m_server->listen_after_bind();
  {
    std::lock_guard<std::mutex> guard(m_serveMutex);
    m_serving = false;
  }
  m_serveEnded.notify_all();
  return ok;
}

void Service::Stop() {
  StopFlag::Get().Set();
  Gates::Get().Stop();
  m_store.Stop();
  // The server ignores stop() until its loop runs, so a stop that comes right after
  // Serve began is repeated until Serve has returned.
  std::unique_lock<std::mutex> lock(m_serveMutex);
  do {
    m_server->stop();
    // Workers wait on kept-alive connections until their time-out; end those now.
    if (m_port > 0) ShutdownAllConnections(m_port);
  } while (!m_serveEnded.wait_for(lock, std::chrono::milliseconds(20), [this] { return !m_serving; }));
  // Serving has ended and its workers with it: nothing changes the state any more.
  if (m_state) m_state->Close();
}

void Service::Get(const std::string& pattern, RouteFn fn) {
  m_server->Get(kAnyOrigin + pattern, [this, fn](const httplib::Request& req, httplib::Response& res) {
    RecordedRequest rec = Record(req);
    rec.body = req.body;
    rec.bodySize = req.body.size();
    Dispatch(req, rec, res, fn);
  });
}

void Service::Post(const std::string& pattern, RouteFn fn, BodyMode mode) {
  if (mode == BodyMode::kCount) m_countedRoutes.emplace_back(kAnyOrigin + pattern);
  m_server->Post(kAnyOrigin + pattern, [this, fn, mode](const httplib::Request& req, httplib::Response& res,
                                                         const httplib::ContentReader& reader) {
    RecordedRequest rec = Record(req);
    bool keep = mode == BodyMode::kKeep;
    bool tooLarge = false;  // a kept body is cut off at kLargestBody
    auto within = [&](size_t n) { return !(tooLarge = keep && n > kLargestBody - rec.bodySize); };
    if (req.is_multipart_form_data()) {
      rec.multipart = true;
      reader(
          [&](const httplib::MultipartFormData& part) {
            rec.parts.push_back({part.name, part.filename, part.content_type, "", 0});
            return true;
          },
          [&](const char* data, size_t n) {
            if (rec.parts.empty() || !within(n)) return false;
            if (keep) rec.parts.back().data.append(data, n);
            rec.parts.back().size += n;
            rec.bodySize += n;
            return true;
          });
    } else {
      reader([&](const char* data, size_t n) {
        if (!within(n)) return false;
        if (keep) rec.body.append(data, n);
        rec.bodySize += n;
        return true;
      });
    }
    if (tooLarge) return RefuseLargeBody(res);
    Dispatch(req, rec, res, fn);
  });
}

void Service::Dispatch(const httplib::Request& req, RecordedRequest& rec, httplib::Response& res,
                       const RouteFn& fn) {
  rec.seq = m_log.Add(rec);
  if (auto fault = m_faults.Take(rec.path)) {
    ApplyFault(*fault, req, rec, res, fn);
    return;
  }
  Run(fn, req, rec, res);
}

void Service::ApplyFault(const Fault& fault, const httplib::Request& req, const RecordedRequest& rec,
                         httplib::Response& res, const RouteFn& fn) {
  if (fault.delayMs > 0 && !StopFlag::Get().WaitFor(std::chrono::milliseconds(fault.delayMs))) {
    DropConnectionOf(req, res);
    return;
  }
  if (!fault.hold.empty() && !Gates::Get().Pass(fault.hold)) {
    DropConnectionOf(req, res);
    return;
  }
  if (fault.drop) {
    DropConnectionOf(req, res);
    return;
  }
  if (fault.body) {
    res.status = 200;
    res.set_content(*fault.body, fault.contentType.empty() ? "application/octet-stream" : fault.contentType);
  } else {
    Run(fn, req, rec, res);
    if (fault.resultWord && !StateFailed()) res.set_content(ReplaceResultWord(res.body, *fault.resultWord), kXmlType);
  }
  if (fault.status) res.status = *fault.status;
  if (fault.excess && !fault.gzip && fault.headerLines.empty()) {
    SendWithExcess(fault, rec.seq, res);
    return;
  }
  if (fault.chunkBytes > 0 && !fault.gzip && fault.headerLines.empty()) {
    auto body = std::make_shared<std::string>(std::move(res.body));
    std::string type = res.get_header_value("Content-Type");
    res.body.clear();
    res.headers.erase("Content-Type");
    size_t chunk = fault.chunkBytes;
    auto pause = std::chrono::milliseconds(fault.chunkMs);
    res.set_content_provider(body->size(), type.empty() ? "application/octet-stream" : type,
                             [body, chunk, pause](size_t offset, size_t length, httplib::DataSink& sink) {
                               if (offset > 0 && !StopFlag::Get().WaitFor(pause)) return false;
                               return sink.write(body->data() + offset, std::min(chunk, length));
                             });
    return;
  }
  if (!fault.gzip && fault.headerLines.empty()) return;

  // A reply written byte for byte: status line, the content type, the given header
  // lines exactly as written, the length, then the connection is closed.
  std::string body = fault.gzip ? GzipCompress(res.body) : res.body;
  std::string raw = "HTTP/1.1 " + std::to_string(res.status) + " " + Reason(res.status) + "\r\n";
  std::string type = res.get_header_value("Content-Type");
  if (!type.empty()) raw += "Content-Type: " + type + "\r\n";
  if (fault.headerLines.empty()) raw += "Content-Encoding: gzip\r\n";
  for (const auto& line : fault.headerLines) raw += line + "\r\n";
  raw += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  raw += body;
  int fd = FindConnectionSocket(req);
  if (fd >= 0) SendAll(fd, raw);
  ShutdownConnection(fd);
  res.status = 500;  // the library's own reply fails on the closed connection
}

void Service::SendWithExcess(const Fault& fault, uint64_t seq, httplib::Response& res) {
  auto body = std::make_shared<std::string>(std::move(res.body));
  std::string type = res.get_header_value("Content-Type");
  res.body.clear();
  res.headers.erase("Content-Type");
  const uint64_t total = body->size() + *fault.excess;
  const size_t piece = fault.chunkBytes > 0 ? fault.chunkBytes : size_t(64) << 10;
  const auto pause = std::chrono::milliseconds(fault.chunkMs);
  RequestLog* log = &m_log;
  log->AddReplySent(seq, 0);
  res.set_chunked_content_provider(
      type.empty() ? "application/octet-stream" : type,
      [body, total, piece, pause, seq, log](size_t offset, httplib::DataSink& sink) {
        if (offset >= total) {
          sink.done();
          return true;
        }
        if (offset > 0 && pause.count() > 0 && !StopFlag::Get().WaitFor(pause)) return false;
        if (StopFlag::Get().IsSet()) return false;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(piece, total - offset));
        std::string bytes(n, 'x');
        if (offset < body->size()) body->copy(bytes.data(), std::min(n, body->size() - offset), offset);
        if (!sink.write(bytes.data(), n)) return false;
        log->AddReplySent(seq, n);
        return true;
      });
}

void Service::AddControlRoutes() {
  // Control endpoints: neither recorded nor subject to faults.
  m_server->Get("/test/log", [this](const httplib::Request& req, httplib::Response& res) {
    std::string path = req.has_param("path") ? req.get_param_value("path") : "";
    res.set_content(JsonText(m_log.ToJson(path)), "application/json");
  });
  // POST handlers that read their body themselves are matched before the others, so
  // the control routes read theirs the same way to stay ahead of the catch-all.
  m_server->Post("/test/reset", [this](const httplib::Request&, httplib::Response& res,
                                       const httplib::ContentReader&) {
    m_log.Clear();
    m_faults.Clear();
    Gates::Get().CloseAll();
    m_xfer.ResetHooks();
    res.set_content("{}", "application/json");
  });
  m_server->Post("/test/inject", [this](const httplib::Request&, httplib::Response& res,
                                       const httplib::ContentReader& reader) {
    std::string error;
    bool ok = false;
    try {
      nlohmann::json desc = nlohmann::json::parse(ReadBody(reader));
      if (desc.is_array()) {
        ok = true;
        for (const auto& one : desc) ok = ok && m_faults.Add(one, &error);
      } else {
        ok = m_faults.Add(desc, &error);
      }
    } catch (const std::exception& e) {
      error = e.what();
    }
    res.status = ok ? 200 : 400;
    res.set_content(ok ? "{}" : JsonText({{"error", error}}), "application/json");
  });
  Control("/test/release", [](const nlohmann::json& in) {
    Require(in.contains("hold") && in["hold"].is_string() && !in["hold"].get<std::string>().empty(),
            "hold names a gate");
    Gates::Get().Open(in["hold"].get<std::string>());
    return nlohmann::json::object();
  });
}

void Service::Control(const std::string& path, ControlFn fn) {
  m_server->Post(path, [this, fn](const httplib::Request&, httplib::Response& res,
                                  const httplib::ContentReader& reader) {
    try {
      std::string body = ReadBody(reader);
      nlohmann::json in = body.empty() ? nlohmann::json::object() : nlohmann::json::parse(body);
      Require(in.is_object(), "the body is a JSON object");
      nlohmann::json out = fn(in);
      Require(!StateFailed(), "the state cannot be kept");
      res.set_content(JsonText(out), "application/json");
    } catch (const std::exception& e) {
      res.status = StateFailed() ? 500 : 400;
      res.set_content(JsonText({{"error", e.what()}}), "application/json");
    }
  });
}

void Service::Api(const std::string& path, std::vector<const char*> required, bool needsToken, ApiFn fn) {
  Post(path, [this, required, needsToken, fn](const httplib::Request& req, const RecordedRequest& rec,
                                                httplib::Response& res) {
    XmlReply reply(words::kOk);
    Params params;
    std::string version = req.get_header_value("v");
    bool ok = (version == "2" || version == "3") && ParseRequest(rec.body, &params);
    for (const char* name : required) ok = ok && params.count(name) > 0;
    std::string userId;
    if (!ok) {
      reply.SetWord(words::kClientBadParams);
    } else if (std::string word = needsToken ? m_store.Authenticate(Param(params, "token"), &userId) : words::kOk;
               word != words::kOk) {
      reply.SetWord(word);
    } else {
      fn(params, userId, req, reply);
    }
    res.set_content(reply.Text(), kXmlType);
  });
}

void Service::AddCatchAll() {
  auto notFound = [](const httplib::Request&, const RecordedRequest&, httplib::Response& res) {
    res.status = 404;
    res.set_content("not found", "text/plain");
  };
  Get(".*", notFound);
  Post(".*", notFound);
}

}  // namespace localsvc
