// The message loop of one thread, in place of a window thread's message queue: any
// thread posts work, and the owning thread runs it, one item at a time, in the order
// of posting. Work posted from one thread runs in the order that thread posted it;
// work from different threads runs in the order the posts took the queue's lock.
//
// The owning thread is the one that constructs the dispatcher. Run and RunPending
// must be called on it; Post and Quit may be called from any thread. The dispatcher
// must outlive every thread that may post to it. It may be destroyed on any thread. Work runs outside the queue's lock,
// so it may post again (that item runs after everything already queued).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class CDispatcher {
 public:
  CDispatcher();
  ~CDispatcher();
  CDispatcher(const CDispatcher&) = delete;
  CDispatcher& operator=(const CDispatcher&) = delete;

  // Queues work for the owning thread. An empty function is ignored (false).
  bool Post(std::function<void()> work);

  // Queues the end of the loop: Run returns exitCode once it reaches this point of
  // the queue. Work posted after it stays queued for the next Run.
  void Quit(int exitCode);

  // Runs queued work, waiting for more, until it reaches a Quit; returns its code.
  // Owning thread only.
  int Run();

  // Runs the work queued now (not what it posts itself) without waiting and
  // returns how many items ran. A Quit met on the way is consumed and ends the
  // call early. Owning thread only.
  size_t RunPending();

  // True on the owning thread.
  bool IsOwnerThread() const { return std::this_thread::get_id() == m_owner; }

  // The dispatcher the calling thread owns (the one it constructed last that still
  // exists), or null when it owns none. A component started on a thread hands its
  // notices to this thread through it.
  static CDispatcher* OfCurrentThread();
  // The dispatcher the process's main thread owns (as OfCurrentThread would answer
  // there), or null: the application's main loop, for a component started elsewhere.
  static CDispatcher* OfMainThread();

  // Items waiting (work and quits).
  size_t QueuedCount();

 private:
  struct Item {
    std::function<void()> work;  // empty for a quit
    int exitCode = 0;
  };
  // Takes the next item, waiting for one when wait is set. False when none.
  bool Take(Item* item, bool wait);

  const std::thread::id m_owner;
  std::mutex m_mutex;
  std::condition_variable m_ready;
  std::deque<Item> m_queue;
};
