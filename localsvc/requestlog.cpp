#include "requestlog.h"

#include <algorithm>

#include "codec.h"

namespace localsvc {

nlohmann::json ToJson(const RecordedRequest& r) {
  nlohmann::json j;
  j["seq"] = r.seq;
  j["method"] = r.method;
  j["target"] = r.target;
  j["path"] = r.path;
  j["query"] = r.query;
  j["proxied"] = r.proxied;
  nlohmann::json headers = nlohmann::json::array();
  for (const auto& [k, v] : r.headers) headers.push_back({k, v});
  j["headers"] = headers;
  j["body_base64"] = Base64Encode(std::string_view(r.body).substr(0, kLogBodyCap));
  j["body_size"] = r.bodySize;
  j["multipart"] = r.multipart;
  nlohmann::json parts = nlohmann::json::array();
  for (const auto& p : r.parts) {
    parts.push_back({{"name", p.name},
                     {"filename", p.filename},
                     {"content_type", p.contentType},
                     {"data_base64", Base64Encode(std::string_view(p.data).substr(0, kLogBodyCap))},
                     {"size", p.size}});
  }
  j["parts"] = parts;
  if (r.replySent) j["reply_sent"] = *r.replySent;
  return j;
}

namespace {

// The bytes a record keeps of its body and parts.
size_t KeptBytes(const RecordedRequest& r) {
  size_t n = r.body.size();
  for (const auto& p : r.parts) n += p.data.size();
  return n;
}

}  // namespace

RequestLog::RequestLog(RequestLogBounds bounds) : m_bounds(bounds) {}

uint64_t RequestLog::Add(const RecordedRequest& r) {
  RecordedRequest copy = r;
  size_t budget = m_bounds.bodyBytes;
  auto cut = [&budget](std::string& bytes) {
    if (bytes.size() > std::min(kLogBodyCap, budget)) bytes.resize(std::min(kLogBodyCap, budget));
    budget -= bytes.size();
  };
  cut(copy.body);
  for (auto& p : copy.parts) cut(p.data);
  const size_t kept = KeptBytes(copy);
  std::lock_guard<std::mutex> lock(m_mutex);
  copy.seq = m_next++;
  m_records.push_back(std::move(copy));
  m_bodyBytes += kept;
  while (m_records.size() > std::max<size_t>(1, m_bounds.requests) || m_bodyBytes > m_bounds.bodyBytes) {
    m_bodyBytes -= KeptBytes(m_records.front());
    m_records.pop_front();
    ++m_dropped;
  }
  return m_records.back().seq;
}

void RequestLog::AddReplySent(uint64_t seq, uint64_t n) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (auto it = m_records.rbegin(); it != m_records.rend(); ++it) {
    if (it->seq != seq) continue;
    it->replySent = it->replySent.value_or(0) + n;
    return;
  }
}

nlohmann::json RequestLog::ToJson(const std::string& pathFilter) {
  nlohmann::json list = nlohmann::json::array();
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& r : m_records)
    if (pathFilter.empty() || r.path == pathFilter) list.push_back(localsvc::ToJson(r));
  return nlohmann::json{{"requests", list}, {"dropped", m_dropped}};
}

void RequestLog::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_records.clear();
  m_bodyBytes = 0;
  m_dropped = 0;
}

}  // namespace localsvc
