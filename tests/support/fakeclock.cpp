#include "support/fakeclock.h"

FakeClock::FakeClock(int64_t epochSeconds)
    : m_wall(std::chrono::system_clock::time_point(std::chrono::seconds(epochSeconds))),
      m_ticks(std::chrono::steady_clock::time_point(std::chrono::hours(1))) {}

Clock::WallTime FakeClock::Now() {
  std::lock_guard<std::mutex> g(m_mutex);
  return m_wall;
}

Clock::Ticks FakeClock::Steady() {
  std::lock_guard<std::mutex> g(m_mutex);
  return m_ticks;
}

void FakeClock::SleepFor(std::chrono::milliseconds d) {
  std::lock_guard<std::mutex> g(m_mutex);
  m_wall += d;
  m_ticks += d;
  m_slept += d;
  ++m_sleeps;
}

void FakeClock::Advance(std::chrono::nanoseconds d) {
  std::lock_guard<std::mutex> g(m_mutex);
  m_wall += std::chrono::duration_cast<std::chrono::system_clock::duration>(d);
  m_ticks += d;
}

void FakeClock::SetNow(int64_t epochSeconds, int64_t nanoseconds) {
  std::lock_guard<std::mutex> g(m_mutex);
  m_wall = std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::seconds(epochSeconds) +
                                                                      std::chrono::nanoseconds(nanoseconds)));
}

std::chrono::milliseconds FakeClock::TotalSlept() {
  std::lock_guard<std::mutex> g(m_mutex);
  return m_slept;
}

int FakeClock::SleepCount() {
  std::lock_guard<std::mutex> g(m_mutex);
  return m_sleeps;
}
