// Named gates that a fault holds requests at ({"hold": NAME}, see faults.h) until a test
// opens them (POST /test/release {"hold": NAME}), so that a test orders what several
// clients do by events it sees in the request log, never by time passing.
#pragma once

#include <condition_variable>
#include <mutex>
#include <set>
#include <string>

namespace localsvc {

class Gates {
 public:
  static Gates& Get();

  // Waits until the gate is open, the service stops, or kLongestWait (bounds.h) passes.
  // True when the gate opened.
  bool Pass(const std::string& name);
  // Opens the gate: every request held there goes on, and so do later ones.
  void Open(const std::string& name);
  // Closes every gate (/test/reset).
  void CloseAll();
  // Lets every waiter go for good: the service stops.
  void Stop();

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::set<std::string> m_open;
  bool m_stopped = false;
};

}  // namespace localsvc
