#include "platform/workerthread.h"

#include <atomic>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <utility>
#include <vector>

namespace {

using std::chrono::milliseconds;

struct AbandonedThread {
  std::thread thread;
  std::shared_ptr<CEvent> done;
};

// The process-wide registry of abandoned threads. Never destroyed: the process-end
// join runs from atexit, and a joinable std::thread must never be destroyed.
struct Registry {
  // Serialises the joiners (JoinAbandonedThreads and the process-end handler); held
  // while they wait, so never taken by Abandon.
  std::mutex joinMutex;
  // Guards threads and atExitRegistered; held only briefly.
  std::mutex mutex;
  std::vector<AbandonedThread> threads;
  bool atExitRegistered = false;
  std::atomic<int64_t> atExitBoundMs{5000};
};

Registry& TheRegistry() {
  static Registry* registry = new Registry();  // immortal, see above
  return *registry;
}

// Requires registry.joinMutex. Joins every abandoned thread whose function returns
// within bound (one bound for all of them) and puts the others back; returns how many
// those are. The calling thread itself, if it is one of them, is never waited for.
size_t JoinAbandonedLocked(Registry& registry, milliseconds bound) {
  std::vector<AbandonedThread> taken;
  {
    std::lock_guard<std::mutex> guard(registry.mutex);
    taken.swap(registry.threads);
  }
  const auto start = std::chrono::steady_clock::now();
  const std::thread::id self = std::this_thread::get_id();
  std::vector<AbandonedThread> running;
  for (AbandonedThread& a : taken) {
    milliseconds left = bound;
    if (bound != kWaitForever) {
      const auto spent = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
      left = spent >= bound ? milliseconds::zero() : bound - spent;
    }
    if (a.thread.get_id() != self && a.done->Wait(left)) {
      a.thread.join();  // its function has returned: the thread is ending
    } else {
      running.push_back(std::move(a));
    }
  }
  const size_t stillRunning = running.size();
  if (!running.empty()) {
    std::lock_guard<std::mutex> guard(registry.mutex);
    for (AbandonedThread& a : running) registry.threads.push_back(std::move(a));
  }
  return stillRunning;
}

// At process end: joins what ends within the bound and leaves the rest to run until
// the process is gone.
void JoinAbandonedAtExit() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> joining(registry.joinMutex);
  JoinAbandonedLocked(registry, milliseconds(registry.atExitBoundMs.load()));
  std::lock_guard<std::mutex> guard(registry.mutex);
  for (AbandonedThread& a : registry.threads) a.thread.detach();
  registry.threads.clear();
}

void Abandon(std::thread thread, std::shared_ptr<CEvent> done) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  registry.threads.push_back(AbandonedThread{std::move(thread), std::move(done)});
  if (!registry.atExitRegistered) {
    // If registration fails the threads stay in the immortal registry, still running,
    // and the process ends without joining them.
    registry.atExitRegistered = std::atexit(JoinAbandonedAtExit) == 0;
  }
}

}  // namespace

CWorkerThread::~CWorkerThread() {
  std::thread thread;
  std::shared_ptr<CEvent> done;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_thread.joinable()) return;  // joined, abandoned, or never started
    thread = std::move(m_thread);
    done = m_done;
  }
  // On the thread itself (the last owner let go of the object from inside fn) there is
  // nothing to wait for: the thread is running this very code.
  if (thread.get_id() == std::this_thread::get_id()) {
    Abandon(std::move(thread), std::move(done));
    return;
  }
  thread.join();
}

bool CWorkerThread::Start(std::function<void()> fn) {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (m_thread.joinable() || !fn) return false;
  auto done = std::make_shared<CEvent>();
  try {
    m_thread = std::thread([fn = std::move(fn), done]() mutable noexcept {
      fn();
      fn = nullptr;  // what fn holds is released before it counts as finished
      done->Set();
    });
  } catch (const std::exception&) {
    return false;
  }
  m_id = m_thread.get_id();
  m_done = std::move(done);
  return true;
}

bool CWorkerThread::Started() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_thread.joinable();
}

bool CWorkerThread::Finished() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_done && m_done->IsSet();
}

bool CWorkerThread::Join(milliseconds timeout) {
  std::shared_ptr<CEvent> done;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_done) return true;  // never started
    if (m_id == std::this_thread::get_id()) {
      // On the thread itself there is nothing to wait for.
      if (m_thread.joinable()) Abandon(std::move(m_thread), m_done);
      return false;
    }
    done = m_done;
  }
  // The wait holds no lock, so that other callers wait within their own bounds.
  const bool ended = done->Wait(timeout);
  std::lock_guard<std::mutex> guard(m_mutex);
  // Another caller may have joined or abandoned it meanwhile, or started a new one.
  if (m_done == done && m_thread.joinable()) {
    if (ended) {
      m_thread.join();  // its function has returned: the thread is ending
    } else {
      Abandon(std::move(m_thread), m_done);
    }
  }
  return ended;
}

size_t JoinAbandonedThreads(milliseconds bound) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> joining(registry.joinMutex);
  return JoinAbandonedLocked(registry, bound);
}

void SetAbandonedThreadJoinBound(milliseconds bound) {
  TheRegistry().atExitBoundMs.store(bound < milliseconds::zero() ? 0 : bound.count());
}
