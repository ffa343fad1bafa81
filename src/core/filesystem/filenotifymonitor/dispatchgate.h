// The gate between queued notifications and their receiver. Notifications wait in a
// dispatcher's queue; the gate decides, as each one runs, whether it still reaches
// the receiver. Once Close has returned, nothing passes any more and nothing that
// passed is still running (except on the closing thread itself, which may be inside
// a pass), so the receiver may be destroyed then.
//
// Every member may be called from any thread. Pass does not hold the gate's lock while
// fn runs; Close waits for passes on other threads without holding it. A thread that
// closes the gate must not hold a lock that a running pass takes.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class CDispatchGate {
 public:
  // Runs fn when the gate is open: true. False, fn not run, once it is closed.
  bool Pass(const std::function<void()>& fn);
  // Closes the gate for good and waits until every pass running on another thread
  // has returned.
  void Close();
  bool IsOpen();

 private:
  std::mutex m_mutex;
  std::condition_variable m_passEnded;
  bool m_open = true;
  std::vector<std::thread::id> m_passing;  // one entry per pass in progress
};
