#include "core/filesystem/downloadmarker.h"

#include <fcntl.h>

#include <cerrno>

#include "common/log.h"

void CDownloadMarkers::Acquire(const std::string& destination) {
  const std::string marker = MarkerPath(destination);
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_held.find(marker);
  if (it != m_held.end()) {
    ++it->second;
    return;
  }
  const int fd = m_env->Open(marker, O_RDWR | O_CREAT | O_EXCL, 0666);
  if (fd < 0) {
    // EEXIST: someone else's file of that name, which stays as it is.
    if (errno != EEXIST) OSTREL_LOG(kLogWarn, "the download marker %s cannot be made (errno %d)", marker.c_str(), errno);
    return;
  }
  m_env->Close(fd);
  m_held.emplace(marker, 1);
}

void CDownloadMarkers::Release(const std::string& destination) {
  const std::string marker = MarkerPath(destination);
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_held.find(marker);
  if (it == m_held.end() || --it->second > 0) return;
  m_held.erase(it);
  if (!m_env->Unlink(marker) && errno != ENOENT)
    OSTREL_LOG(kLogWarn, "the download marker %s cannot be removed (errno %d)", marker.c_str(), errno);
}
