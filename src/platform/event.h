// Thread stand-ins: a manual-reset event and a stop flag.
//
// CEvent: Set wakes every waiter and the event stays set until Reset. Every member may
// be called from any thread at any time.
//
// CStopFlag: set once, never cleared. WaitFor is a pause that ends early when the flag
// is set, so that a thread that pauses between steps stops as soon as it is asked to.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// A wait without bound.
inline constexpr std::chrono::milliseconds kWaitForever = std::chrono::milliseconds::max();

// A wait given in ms, with 0xFFFFFFFF (INFINITE) meaning no bound.
inline std::chrono::milliseconds WaitFromMs(uint32_t ms) {
  return ms == 0xFFFFFFFFu ? kWaitForever : std::chrono::milliseconds(ms);
}

class CEvent {
 public:
  explicit CEvent(bool initiallySet = false) : m_set(initiallySet) {}
  CEvent(const CEvent&) = delete;
  CEvent& operator=(const CEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // Waits until the event is set or timeout has passed on the steady clock
  // (kWaitForever, or any timeout past the clock's range: no bound; zero or less: no
  // wait). True when it is set.
  bool Wait(std::chrono::milliseconds timeout = kWaitForever) const;

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  bool m_set;
};

class CStopFlag {
 public:
  void Stop() { m_event.Set(); }
  bool IsStopped() const { return m_event.IsSet(); }
  // Pauses for d; false when the flag was set before or during the pause.
  bool WaitFor(std::chrono::milliseconds d) const { return !m_event.Wait(d); }

 private:
  CEvent m_event;
};
