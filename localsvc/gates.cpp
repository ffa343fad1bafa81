#include "gates.h"

#include "bounds.h"

namespace localsvc {

Gates& Gates::Get() {
  static Gates gates;
  return gates;
}

bool Gates::Pass(const std::string& name) {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_cv.wait_for(lock, kLongestWait, [&] { return m_stopped || m_open.count(name) != 0; });
  return !m_stopped && m_open.count(name) != 0;
}

void Gates::Open(const std::string& name) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open.insert(name);
  }
  m_cv.notify_all();
}

void Gates::CloseAll() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_open.clear();
}

void Gates::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopped = true;
  }
  m_cv.notify_all();
}

}  // namespace localsvc
