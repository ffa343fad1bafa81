// A clock for tests: time stands still until a test advances it or code under test
// sleeps, and sleeping returns at once after advancing both times.
#pragma once

#include <chrono>
#include <mutex>

#include "platform/clock.h"

class FakeClock final : public Clock {
 public:
  // Starts at the given wall time (UTC seconds since the epoch); default 2024-03-05 10:00:00 UTC.
  explicit FakeClock(int64_t epochSeconds = 1709632800);

  WallTime Now() override;
  Ticks Steady() override;
  void SleepFor(std::chrono::milliseconds d) override;

  void Advance(std::chrono::nanoseconds d);
  void SetNow(int64_t epochSeconds, int64_t nanoseconds = 0);

  // Total time slept and number of sleeps since construction.
  std::chrono::milliseconds TotalSlept();
  int SleepCount();

 private:
  std::mutex m_mutex;
  WallTime m_wall;
  Ticks m_ticks;
  std::chrono::milliseconds m_slept{0};
  int m_sleeps = 0;
};
