#include "transfers.h"

#include <climits>

#include "filecodec.h"

namespace localsvc {

std::string Transfers::Open(Ticket ticket) {
  std::string stub = NewStub();
  std::lock_guard<std::mutex> lock(m_mutex);
  m_tickets.emplace(stub, std::move(ticket));
  return stub;
}

std::optional<Ticket> Transfers::Get(const std::string& stub) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_tickets.find(stub);
  if (it == m_tickets.end()) return std::nullopt;
  return it->second;
}

bool Transfers::Update(const std::string& stub, const std::function<void(Ticket&)>& fn) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_tickets.find(stub);
  if (it == m_tickets.end()) return false;
  fn(it->second);
  return true;
}

void Transfers::Record(CheckRecord check) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_checks.push_back(std::move(check));
}

nlohmann::json Transfers::Checks() {
  std::lock_guard<std::mutex> lock(m_mutex);
  nlohmann::json out = nlohmann::json::array();
  for (const auto& c : m_checks)
    out.push_back({{"step", c.step},
                   {"stub", c.stub},
                   {"fileId", c.fileId},
                   {"index", c.index},
                   {"word", c.word},
                   {"reason", c.reason},
                   {"format", c.format}});
  return out;
}

void Transfers::CorruptOnce(const std::string& fileId, int index, int count) {
  std::lock_guard<std::mutex> lock(m_mutex);
  int& armed = m_corrupt[{fileId, index}];
  armed = count > INT_MAX - armed ? INT_MAX : armed + count;
}

bool Transfers::TakeCorrupt(const std::string& fileId, int index) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_corrupt.find({fileId, index});
  if (it == m_corrupt.end()) return false;
  if (--it->second == 0) m_corrupt.erase(it);
  return true;
}

void Transfers::AddMetadataHook(MetadataHook hook) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_metadataHooks.push_back(std::move(hook));
}

std::optional<MetadataHook> Transfers::TakeMetadataHook(const std::string& path) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (auto it = m_metadataHooks.begin(); it != m_metadataHooks.end(); ++it) {
    if (it->path != path) continue;
    MetadataHook hook = *it;
    if (--it->remaining == 0) m_metadataHooks.erase(it);
    return hook;
  }
  return std::nullopt;
}

void Transfers::SetThumbnail(const std::string& fileId, std::string package) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_thumbnails[fileId] = std::move(package);
}

std::optional<std::string> Transfers::Thumbnail(const std::string& fileId) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_thumbnails.find(fileId);
  if (it == m_thumbnails.end()) return std::nullopt;
  return it->second;
}

void Transfers::ResetHooks() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_checks.clear();
  m_corrupt.clear();
  m_metadataHooks.clear();
  m_thumbnails.clear();
}

}  // namespace localsvc
