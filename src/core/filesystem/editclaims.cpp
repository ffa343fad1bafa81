#include "core/filesystem/editclaims.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "common/log.h"
#include "common/sha1.h"
#include "common/strhelper.h"

std::string CEditClaims::EntryName(const std::string& path) {
  return kEntryPrefix + Sha1Hex(path.data(), path.size());
}

void CEditClaims::SetFolder(const std::string& tempFolder) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_folder = WithoutTrailingSlash(tempFolder);
}

HRESULT CEditClaims::Hold(const std::string& path) {
  int err = 0;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_held.find(path);
    if (it != m_held.end()) {
      ++it->second.count;
      return S_OK;
    }
    if (m_folder.empty()) {
      err = ENOENT;
    } else {
      // Taken under the lock: two claims of this process exclude each other too, so a
      // second hold made meanwhile would read ours as another process's.
      auto claim = std::make_unique<CTempClaim>(m_env);
      if (claim->TryClaim(JoinPath(m_folder, EntryName(path)))) {
        m_held.emplace(path, Held{1, std::move(claim)});
        return S_OK;
      }
      err = errno;
    }
  }
  if (err == EWOULDBLOCK) return E_CV_LOCAL_IN_EDIT;
  // Told after the lock: a log line may wait for other processes.
  OSTREL_LOG(kLogWarn, "CEditClaims: %s cannot be claimed in the temp folder: %s", path.c_str(), std::strerror(err));
  return E_FAIL;
}

void CEditClaims::Drop(const std::string& path) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_held.find(path);
  if (it == m_held.end() || --it->second.count > 0) return;
  // Ended under the lock, so that a hold made meanwhile never finds our own claim.
  it->second.claim->Release();
  m_held.erase(it);
  m_dropped.notify_all();
}

bool CEditClaims::HeldHere(const std::string& path) {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_held.count(path) != 0;
}

bool CEditClaims::WaitUntilDropped(const std::string& path) {
  std::unique_lock<std::mutex> guard(m_lock);
  m_dropped.wait(guard, [&] { return m_stopped || m_held.count(path) == 0; });
  return !m_stopped;
}

void CEditClaims::Stop() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_stopped = true;
  m_dropped.notify_all();
}

void CEditClaims::ReleaseAll() {
  std::lock_guard<std::mutex> guard(m_lock);
  for (auto& [path, held] : m_held) held.claim->Release();
  m_held.clear();
  m_dropped.notify_all();
}
