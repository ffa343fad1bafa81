// The data-base lock of one CDB: a re-entrant mutex (Lockable) that tells the calling
// thread how often it holds it, so that an operation knows whether it runs under an
// outer hold of its own thread (CDB::Lock(), an open transaction) that it must keep.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

class CDBLock {
 public:
  CDBLock() = default;
  CDBLock(const CDBLock&) = delete;
  CDBLock& operator=(const CDBLock&) = delete;

  void lock() {
    m_mutex.lock();
    Took();
  }
  bool try_lock() {
    if (!m_mutex.try_lock()) return false;
    Took();
    return true;
  }
  // Only by a thread that holds the lock.
  void unlock() {
    if (--m_levels == 0) m_owner.store(std::thread::id(), std::memory_order_relaxed);
    m_mutex.unlock();
  }

  // How often the calling thread holds the lock: 0 when it does not.
  int HeldLevels() const {
    return m_owner.load(std::memory_order_relaxed) == std::this_thread::get_id() ? m_levels : 0;
  }

 private:
  void Took() {
    if (m_levels++ == 0) m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
  }

  std::recursive_mutex m_mutex;
  // The holder and its count, written by the holder only. Another thread compares the
  // holder with itself and never reads the count.
  std::atomic<std::thread::id> m_owner{};
  int m_levels = 0;
};
