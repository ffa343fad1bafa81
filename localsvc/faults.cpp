#include "faults.h"

#include "codec.h"

namespace localsvc {

bool FaultTable::Add(const nlohmann::json& spec, std::string* error) {
  try {
    if (!spec.is_object()) {
      *error = "a fault is a JSON object";
      return false;
    }
    std::string path = spec.value("path", "");
    if (path.empty() || path[0] != '/') {
      *error = "path must start with /";
      return false;
    }
    Fault f;
    f.remaining = spec.value("count", 1);
    f.delayMs = spec.value("delay_ms", 0);
    f.drop = spec.value("drop", false);
    if (spec.contains("status")) f.status = spec["status"].get<int>();
    if (spec.contains("word")) {
      f.body = "<?xml version=\"1.0\" encoding=\"utf-8\"?><nuvra result=\"" + spec["word"].get<std::string>() + "\"/>";
      f.contentType = "text/xml";
    }
    if (spec.contains("body")) f.body = spec["body"].get<std::string>();
    if (spec.contains("body_base64")) {
      auto bytes = Base64Decode(spec["body_base64"].get<std::string>());
      if (!bytes) {
        *error = "body_base64 is not base64";
        return false;
      }
      f.body = *bytes;
    }
    if (spec.value("garbage", false)) f.body = "%%% not a document \x01\x7f\xfe <<<&&&";
    if (spec.contains("zeros")) f.body = std::string(spec["zeros"].get<size_t>(), '\0');
    f.contentType = spec.value("content_type", f.contentType);
    f.gzip = spec.value("gzip", false);
    if (spec.contains("headers")) f.headerLines = spec["headers"].get<std::vector<std::string>>();
    if (f.remaining < 1 || f.delayMs < 0 || (f.status && (*f.status < 100 || *f.status > 999))) {
      *error = "count, delay_ms or status out of range";
      return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults[path].push_back(std::move(f));
    return true;
  } catch (const std::exception& e) {
    *error = e.what();
    return false;
  }
}

std::optional<Fault> FaultTable::Take(const std::string& path) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_faults.find(path);
  if (it == m_faults.end() || it->second.empty()) return std::nullopt;
  Fault f = it->second.front();
  if (--it->second.front().remaining == 0) it->second.pop_front();
  if (it->second.empty()) m_faults.erase(it);
  return f;
}

void FaultTable::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_faults.clear();
}

}  // namespace localsvc
