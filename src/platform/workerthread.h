// A worker thread with a timed join, in place of a thread handle that is waited for
// and, when the wait times out, terminated. Linux has no safe way to end one thread,
// so a thread that is not joined in time is abandoned instead: it runs on, and it must
// own (by shared_ptr) everything it touches after that point. Abandoned threads are
// joined at process end, within a bound (JoinAbandonedThreads, registered with atexit
// by the first abandon); those still running then are left to the process's end.
//
// Every member may be called from any number of threads at once (two callers that stop
// one component at the same time both wait for its thread), except the destructor, which
// runs when no other caller is left.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/event.h"

class CWorkerThread {
 public:
  CWorkerThread() = default;
  // Joins without bound a thread that has been neither joined nor abandoned. Run on the
  // thread itself (fn let go of the last owner), it abandons the thread instead, which
  // then ends as usual. An abandoned thread is not waited for.
  ~CWorkerThread();
  CWorkerThread(const CWorkerThread&) = delete;
  CWorkerThread& operator=(const CWorkerThread&) = delete;

  // Runs fn on a new thread. False when one was started before (and not joined or
  // abandoned), when fn is empty, or when the system cannot make a thread. fn must not
  // throw: an exception that leaves it ends the process (std::terminate). What fn holds
  // is released before the thread counts as finished.
  bool Start(std::function<void()> fn);
  // True while a started thread has been neither joined nor abandoned.
  bool Started() const;
  // True once the thread's function has returned.
  bool Finished() const;
  // Waits up to timeout (kWaitForever: no bound) for the thread's function to return:
  // true, and the thread is joined (by this caller or another). When it has not
  // returned by then the thread is abandoned (see above): false. Each caller waits
  // within its own timeout, also for a thread another caller has abandoned already.
  // True at once when no thread was started. Called on the thread itself, it cannot
  // wait for it and abandons it at once: false.
  bool Join(std::chrono::milliseconds timeout = kWaitForever);

 private:
  mutable std::mutex m_mutex;  // the three below; never held while waiting
  std::thread m_thread;
  std::thread::id m_id;            // of the thread started last
  std::shared_ptr<CEvent> m_done;  // set when its function returns
};

// Joins every abandoned thread that ends within bound (kWaitForever: no bound), one
// bound for all of them; the others stay abandoned. Called at process end; tests call
// it to see abandoned threads finish. Returns how many are still running. Calls are
// serialised; an abandoned thread that calls it is not waited for itself.
size_t JoinAbandonedThreads(std::chrono::milliseconds bound);

// Sets how long the process-end join waits (default 5 s). Threads still running
// after it are detached and left to the process's end.
void SetAbandonedThreadJoinBound(std::chrono::milliseconds bound);
