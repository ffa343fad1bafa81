#include "stopflag.h"

#include <algorithm>

#include "bounds.h"

namespace localsvc {

StopFlag& StopFlag::Get() {
  static StopFlag flag;
  return flag;
}

void StopFlag::Set() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_set = true;
  }
  m_cv.notify_all();
}

bool StopFlag::IsSet() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_set;
}

bool StopFlag::WaitFor(std::chrono::milliseconds d) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return !m_cv.wait_for(lock, std::min(d, kLongestWait), [this] { return m_set; });
}

}  // namespace localsvc
