#include "platform/clock.h"

#include <thread>

namespace {

class SystemClock final : public Clock {
 public:
  WallTime Now() override { return std::chrono::system_clock::now(); }
  Ticks Steady() override { return std::chrono::steady_clock::now(); }
  void SleepFor(std::chrono::milliseconds d) override {
    if (d.count() <= 0) {
      std::this_thread::yield();
      return;
    }
    std::this_thread::sleep_for(d);
  }
};

}  // namespace

Clock* Clock::System() {
  static SystemClock* clock = new SystemClock();  // immortal: used by late static destructors
  return clock;
}

LocalTime ToLocalTime(Clock::WallTime t) {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
  time_t secs = static_cast<time_t>(ns / 1000000000);
  int64_t rem = ns % 1000000000;
  if (rem < 0) {
    rem += 1000000000;
    --secs;
  }
  struct tm tm {};
  localtime_r(&secs, &tm);
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                   tm.tm_sec,         tm.tm_yday,    static_cast<int>(rem)};
}
