// The record of the latest requests the service answered, for tests to read back
// through GET /test/log. Bodies and part contents are kept up to kLogBodyCap bytes each;
// the full sizes are kept beside them. The log is bounded (RequestLogBounds): past
// either bound the oldest records are dropped first. Text fields keep the bytes as they
// came; in the log's JSON (JsonText) a byte that is not UTF-8 reads as U+FFFD.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace localsvc {

inline constexpr size_t kLogBodyCap = size_t(1) << 20;

// How much the log keeps at most.
struct RequestLogBounds {
  size_t requests = 10000;           // records (at least 1)
  size_t bodyBytes = size_t(64) << 20;  // body and part bytes kept, over all records
};

struct RecordedPart {
  std::string name;
  std::string filename;
  std::string contentType;
  std::string data;  // the part's bytes (all of them while handling; capped in the log)
  uint64_t size = 0;
};

// One request as it arrived. path and query are cut from the raw request target,
// without percent-decoding; for an absolute-form target (a request sent to the
// service as a proxy) the scheme and authority are removed and proxied is set.
struct RecordedRequest {
  uint64_t seq = 0;
  std::string method;
  std::string target;
  std::string path;
  std::string query;
  bool proxied = false;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  uint64_t bodySize = 0;
  bool multipart = false;
  std::vector<RecordedPart> parts;
  // The reply body bytes written to the connection, counted only for a reply sent with
  // the excess fault (faults.h); in the log's JSON as "reply_sent".
  std::optional<uint64_t> replySent;
};

nlohmann::json ToJson(const RecordedRequest& r);

class RequestLog {
 public:
  explicit RequestLog(RequestLogBounds bounds = {});

  // Stores a copy and returns its sequence number, from 1. The copy's body and parts
  // are cut to kLogBodyCap each and to the bound of body bytes together; older records
  // are dropped until both bounds hold.
  uint64_t Add(const RecordedRequest& r);
  // Adds n to the reply_sent count of the record seq (from 0 on the first call); a
  // record forgotten meanwhile is left alone.
  void AddReplySent(uint64_t seq, uint64_t n);
  // {"requests": every record kept, oldest first (with a path, only the records of
  // that path), "dropped": how many records the bounds dropped since the last Clear}.
  nlohmann::json ToJson(const std::string& pathFilter);
  void Clear();

 private:
  const RequestLogBounds m_bounds;
  std::mutex m_mutex;
  uint64_t m_next = 1;
  std::deque<RecordedRequest> m_records;
  size_t m_bodyBytes = 0;  // body and part bytes of m_records
  uint64_t m_dropped = 0;
};

}  // namespace localsvc
