// A worker thread with a timed join, in place of a thread handle that is waited for
// and, when the wait times out, terminated. Linux has no safe way to end one thread,
// so a thread that is not joined in time is abandoned instead: it runs on, and it must
// own (by shared_ptr) everything it touches after that point. Abandoned threads are
// joined at process end, within a bound (JoinAbandonedThreads, registered with atexit
// by the first abandon); those still running then are left to the process's end.
//
// A CWorkerThread object is not thread-safe: one thread at a time uses it (its owner).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "platform/event.h"

class CWorkerThread {
 public:
  CWorkerThread() = default;
  // Joins without bound a thread that is still joinable. Run on the thread itself (fn
  // let go of the last owner), it abandons the thread instead, which then ends as usual.
  ~CWorkerThread();
  CWorkerThread(const CWorkerThread&) = delete;
  CWorkerThread& operator=(const CWorkerThread&) = delete;

  // Runs fn on a new thread. False when one was started before (and not joined or
  // abandoned), when fn is empty, or when the system cannot make a thread. fn must not
  // throw: an exception that leaves it ends the process (std::terminate). What fn holds
  // is released before the thread counts as finished.
  bool Start(std::function<void()> fn);
  // True while a started thread has been neither joined nor abandoned.
  bool Started() const { return m_thread.joinable(); }
  // True once the thread's function has returned.
  bool Finished() const { return m_done && m_done->IsSet(); }
  // Waits up to timeout (kWaitForever: no bound) for the thread's function to return
  // and joins the thread: true. When it has not returned by then the thread is
  // abandoned (see above): false. True at once when no thread was started. Called on
  // the thread itself, it cannot wait for it and abandons it at once: false.
  bool Join(std::chrono::milliseconds timeout = kWaitForever);

 private:
  std::thread m_thread;
  std::shared_ptr<CEvent> m_done;  // set when the function returns
};

// Joins every abandoned thread that ends within bound (kWaitForever: no bound), one
// bound for all of them; the others stay abandoned. Called at process end; tests call
// it to see abandoned threads finish. Returns how many are still running. Calls are
// serialised; an abandoned thread that calls it is not waited for itself.
size_t JoinAbandonedThreads(std::chrono::milliseconds bound);

// Sets how long the process-end join waits (default 5 s). Threads still running
// after it are detached and left to the process's end.
void SetAbandonedThreadJoinBound(std::chrono::milliseconds bound);
