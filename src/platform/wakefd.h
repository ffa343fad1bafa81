// A wake-up for a thread that waits on a descriptor (an eventfd): Signal, from any
// thread, makes the waiter's current or next Wait return woken, until Clear. This is
// how the folder watcher's worker thread, waiting for changes, is told to stop.
//
// Signal and Clear may be called from any thread at any time; Wait from one thread at
// a time. The descriptor is close-on-exec and is closed by the destructor.
#pragma once

#include <chrono>

class CWakeFd {
 public:
  // Makes the eventfd. Valid() is false, with the error in Error(), when the system
  // refuses (EMFILE, ENFILE, ENOMEM).
  CWakeFd();
  ~CWakeFd();
  CWakeFd(const CWakeFd&) = delete;
  CWakeFd& operator=(const CWakeFd&) = delete;

  bool Valid() const { return m_fd >= 0; }
  int Error() const { return m_error; }

  void Signal();
  // Takes back every Signal made so far.
  void Clear();

  struct WaitResult {
    bool woken = false;     // signalled (and not cleared)
    bool readable = false;  // fd is readable (or at end, or in error: a read will say)
    int error = 0;          // errno of poll when it failed; then neither of the above
  };
  // Waits until fd is readable, the wake-up is signalled, or timeout has passed
  // (kWaitForever: no bound; zero: no wait). Both flags may be set at once.
  WaitResult Wait(int fd, std::chrono::milliseconds timeout) const;

 private:
  int m_fd = -1;
  int m_error = 0;
};
