// How long and how a connection waits while another connection or process holds the
// data-base lock. One policy belongs to each connection; statements and queries keep a
// copy of the policy in force when they were created. BusyPauseLock: a lock of the
// caller's that a busy execution lets go while it pauses.
#pragma once

#include <chrono>

class Clock;

struct BusyPolicy {
  // Longest total wait of one operation (one statement execution, one row step)
  // before it fails with SQLITE_BUSY.
  std::chrono::milliseconds maxWait{60000};
  // Pause before the first retry; it doubles on every retry up to maxPause.
  std::chrono::milliseconds firstPause{1};
  std::chrono::milliseconds maxPause{10};
  // A busy line is logged on the first retry, every logEvery-th retry and the last one.
  int logEvery = 100;
  // Source of time and of the pauses; null means the system clock. Must outlive every
  // connection, statement and query that uses the policy.
  Clock* clock = nullptr;
};

// A lock of the caller's that an execution lets go during its pauses between re-runs of
// a busy first step (never during a wait inside a step), so that the threads waiting for
// that lock go on meanwhile. Unlock is called before each such pause and Relock after
// it, on the executing thread; Relock returns with the lock held again.
class BusyPauseLock {
 public:
  virtual void Unlock() = 0;
  virtual void Relock() = 0;

 protected:
  ~BusyPauseLock() = default;
};
