#include "platform/event.h"

namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

// The steady time timeout from now, or false when it lies past the clock's range
// (kWaitForever among them): such a wait has no bound.
bool DeadlineAfter(std::chrono::milliseconds timeout, SteadyTime* deadline) {
  const SteadyTime now = std::chrono::steady_clock::now();
  const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyTime::max() - now);
  if (timeout >= room) return false;
  *deadline = now + timeout;
  return true;
}

}  // namespace

// Waiters are woken under the lock: a waiter that returns may destroy the event at
// once, so the setter must not touch it after unlocking.
void CEvent::Set() {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_set = true;
  m_changed.notify_all();
}

void CEvent::Reset() {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_set = false;
}

bool CEvent::IsSet() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_set;
}

bool CEvent::Wait(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_set || timeout <= std::chrono::milliseconds::zero()) return m_set;
  SteadyTime deadline;
  if (!DeadlineAfter(timeout, &deadline)) {
    m_changed.wait(lock, [this] { return m_set; });
    return true;
  }
  return m_changed.wait_until(lock, deadline, [this] { return m_set; });
}
