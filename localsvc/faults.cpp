#include "faults.h"

#include <algorithm>
#include <climits>

#include "bounds.h"
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
    int64_t count = 0, status = 0, zeros = 0, chunk = 0, excess = 0;
    if (!JsonWholeAt(desc, "count", 1, 1, INT_MAX, &count, error) ||
        !JsonWholeAt(desc, "status", 200, 100, 999, &status, error) ||
        !JsonWholeAt(desc, "delay_ms", 0, 0, INT64_MAX, &f.delayMs, error) ||
        !JsonWholeAt(desc, "zeros", 0, 0, INT64_MAX, &zeros, error) ||
        !JsonWholeAt(desc, "chunk", 0, 0, INT64_MAX, &chunk, error) ||
        !JsonWholeAt(desc, "chunk_ms", 0, 0, INT64_MAX, &f.chunkMs, error) ||
        !JsonWholeAt(desc, "excess", 0, 0, INT64_MAX, &excess, error))
      return false;
    f.remaining = static_cast<int>(count);
    f.drop = desc.value("drop", false);
    f.hold = desc.value("hold", "");
    if (desc.contains("status")) f.status = static_cast<int>(status);
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
    if (desc.contains("zeros")) f.body = std::string(static_cast<size_t>(std::min(zeros, kLargestSize)), '\0');
    f.contentType = desc.value("content_type", f.contentType);
    f.gzip = desc.value("gzip", false);
    if (desc.contains("headers")) f.headerLines = desc["headers"].get<std::vector<std::string>>();
    f.chunkBytes = static_cast<size_t>(std::min(chunk, kLargestSize));
    if (desc.contains("excess")) f.excess = static_cast<size_t>(std::min(excess, kLargestSize));
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
