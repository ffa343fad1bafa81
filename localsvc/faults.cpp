#include "faults.h"

#include "codec.h"

namespace localsvc {

bool FaultTable::Add(const nlohmann::json& desc, std::string* error) {
  try {
    if (!desc.is_object()) {
      *error = "a fault is a JSON object";
      return false;
    }
    std::string path = desc.value("path", "");
    if (path.empty() || path[0] != '/') {
      *error = "path must start with /";
      return false;
    }
    Fault f;
    f.remaining = desc.value("count", 1);
    f.delayMs = desc.value("delay_ms", 0);
    f.drop = desc.value("drop", false);
    if (desc.contains("status")) f.status = desc["status"].get<int>();
    if (desc.contains("word")) {
      f.body = "<?xml version=\"1.0\" encoding=\"utf-8\"?><nuvra result=\"" + desc["word"].get<std::string>() + "\"/>";
      f.contentType = "text/xml";
    }
    if (desc.contains("result")) f.resultWord = desc["result"].get<std::string>();
    if (desc.contains("body")) f.body = desc["body"].get<std::string>();
    if (desc.contains("body_base64")) {
      auto bytes = Base64Decode(desc["body_base64"].get<std::string>());
      if (!bytes) {
        *error = "body_base64 is not base64";
        return false;
      }
      f.body = *bytes;
    }
    if (desc.value("garbage", false)) f.body = "%%% not a document \x01\x7f\xfe <<<&&&";
    if (desc.contains("zeros")) f.body = std::string(desc["zeros"].get<size_t>(), '\0');
    f.contentType = desc.value("content_type", f.contentType);
    f.gzip = desc.value("gzip", false);
    if (desc.contains("headers")) f.headerLines = desc["headers"].get<std::vector<std::string>>();
    f.chunkBytes = desc.value("chunk", size_t(0));
    f.chunkMs = desc.value("chunk_ms", 0);
    if (f.remaining < 1 || f.delayMs < 0 || f.chunkMs < 0 || (f.status && (*f.status < 100 || *f.status > 999))) {
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
