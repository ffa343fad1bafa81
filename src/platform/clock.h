// The clock seam: wall time, a monotonic tick count and sleeping, behind one object so
// that tests replace all three and never sleep. Every time, tick period and pause of
// the engine is taken from a Clock.
#pragma once

#include <chrono>
#include <ctime>
#include <cstdint>

class Clock {
 public:
  using WallTime = std::chrono::system_clock::time_point;
  using Ticks = std::chrono::steady_clock::time_point;

  virtual ~Clock() = default;
  // Wall-clock time.
  virtual WallTime Now() = 0;
  // Monotonic time for elapsed-time measurement.
  virtual Ticks Steady() = 0;
  // Blocks the calling thread for d (a fake clock advances itself instead).
  virtual void SleepFor(std::chrono::milliseconds d) = 0;

  // The real clock; never destroyed.
  static Clock* System();
};

// Local calendar time of a wall time (localtime_r: the zone's rule for that date).
struct LocalTime {
  int year;        // four digits
  int month;       // 1..12
  int day;         // 1..31
  int hour, minute, second;
  int dayOfYear;   // 0..365
  int nanosecond;  // 0..999,999,999
};
LocalTime ToLocalTime(Clock::WallTime t);

// Milliseconds since an arbitrary start, from Steady().
inline int64_t TickMs(Clock& c) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(c.Steady().time_since_epoch()).count();
}
