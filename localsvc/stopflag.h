// The service's stop flag: set once when the service is asked to end, so that every
// wait inside a request handler (delays, trickles, long holds) ends early and the
// worker threads can be joined.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace localsvc {

class StopFlag {
 public:
  static StopFlag& Get();

  void Set();
  bool IsSet();
  // Waits for d, cut to kLongestWait (bounds.h). True when the whole time passed,
  // false as soon as the flag is set.
  bool WaitFor(std::chrono::milliseconds d);

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_set = false;
};

}  // namespace localsvc
