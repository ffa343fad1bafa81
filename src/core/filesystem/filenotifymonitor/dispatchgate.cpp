#include "core/filesystem/filenotifymonitor/dispatchgate.h"

#include <algorithm>

namespace {

// Leaves one pass of the calling thread, also when fn throws.
class PassScope {
 public:
  PassScope(std::mutex& mutex, std::condition_variable& ended, std::vector<std::thread::id>& passing)
      : m_mutex(mutex), m_ended(ended), m_passing(passing) {}
  ~PassScope() {
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      auto it = std::find(m_passing.begin(), m_passing.end(), std::this_thread::get_id());
      if (it != m_passing.end()) m_passing.erase(it);
    }
    m_ended.notify_all();
  }
  PassScope(const PassScope&) = delete;
  PassScope& operator=(const PassScope&) = delete;

 private:
  std::mutex& m_mutex;
  std::condition_variable& m_ended;
  std::vector<std::thread::id>& m_passing;
};

}  // namespace

bool CDispatchGate::Pass(const std::function<void()>& fn) {
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_open) return false;
    m_passing.push_back(std::this_thread::get_id());
  }
  PassScope scope(m_mutex, m_passEnded, m_passing);
  fn();
  return true;
}

void CDispatchGate::Close() {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(m_mutex);
  m_open = false;
  m_passEnded.wait(lock, [&] {
    return std::all_of(m_passing.begin(), m_passing.end(), [&](const std::thread::id& id) { return id == self; });
  });
}

bool CDispatchGate::IsOpen() {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_open;
}
