// Faults armed by tests (POST /test/inject) for the next requests to one path. Each
// fault is a JSON object:
//
//   path         the request path it applies to, without the query (required)
//   count        how many requests it applies to (default 1)
//   delay_ms     wait this long before anything else (ends early when the service stops)
//   hold         then wait at the gate of this name until a test opens it (POST
//                /test/release {"hold": NAME}; see gates.h); a service that stops, or an
//                hour that passes, drops the connection instead
//   drop         close the connection without a reply
//   status       the HTTP status of the reply
//   word         the reply body <?xml ...?><nuvra result="WORD"/> (the endpoint's
//                handler does not run: nothing changes)
//   result       the endpoint's handler runs (its changes stay), then its XML reply gets
//                this result word with every value kept
//   body         the reply body as text (may hold NUL characters)
//   body_base64  the reply body as base64
//   garbage      a reply body that is neither XML nor JSON
//   zeros        a reply body of this many zero bytes
//   gzip         compress the reply body (gzip framing); sends "Content-Encoding: gzip"
//                unless header lines are given
//   headers      reply header lines sent exactly as written (e.g. "Content-Encoding:gzip");
//                the reply is then written byte for byte and the connection closed
//   content_type the Content-Type of a replaced body
//   chunk, chunk_ms  send the reply body in pieces of chunk bytes, chunk_ms apart (the
//                first piece at once): a slow transfer to cancel in the middle
//   excess       a service that sends more than the file it announced: the reply body
//                (the endpoint's own or a replaced one) followed by this many more bytes
//                ('x'), all sent in chunked encoding, so no length is announced (in pieces
//                of chunk bytes, default 64 KiB, chunk_ms apart); 0 sends the body alone
//                that way. The request's log entry counts the body bytes the service got
//                to write to the connection ("reply_sent"), so a test sees how much of the
//                excess went out before the client broke off.
//
// Without a replacement body the endpoint's own handler makes the reply, and status,
// gzip and header lines apply to it. Faults for one path queue up in the order armed.
//
// Numbers are whole numbers (a fault with any other is refused): count from 1 to
// 2^31 - 1, status from 100 to 999; waits (delay_ms, chunk_ms) and sizes (zeros,
// chunk, excess) from 0, waits cut to an hour and sizes to 64 MiB (bounds.h).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace localsvc {

struct Fault {
  int remaining = 1;
  int64_t delayMs = 0;
  std::string hold;  // the gate to wait at; "" for none
  bool drop = false;
  std::optional<int> status;
  std::optional<std::string> body;
  std::optional<std::string> resultWord;
  std::string contentType;
  bool gzip = false;
  std::vector<std::string> headerLines;
  size_t chunkBytes = 0;
  int64_t chunkMs = 0;
  std::optional<size_t> excess;
};

class FaultTable {
 public:
  // Arms a fault; false with a reason for a malformed one.
  bool Add(const nlohmann::json& desc, std::string* error);
  // The fault that applies to this request of the path, if any (its count is used up).
  std::optional<Fault> Take(const std::string& path);
  void Clear();

 private:
  std::mutex m_mutex;
  std::map<std::string, std::deque<Fault>> m_faults;
};

}  // namespace localsvc
