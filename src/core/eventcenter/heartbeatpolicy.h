// How the heartbeat paces its long polls: the pause before the first poll, the pause
// after a poll that answered, the back-off after polls that failed, and the clock that
// makes the pauses.
#pragma once

#include <chrono>

class Clock;

// Exponential back-off after failures in a row: the first failure pauses initialDelay,
// every further one multiplyFactor times the pause before, never more than
// maximumBackoff. A success starts the count over.
struct BackoffPolicy {
  std::chrono::milliseconds initialDelay{200};
  double multiplyFactor = 2.0;
  std::chrono::milliseconds maximumBackoff{60000};
};

// The pause after `failures` failures in a row (0 for none): initialDelay times
// multiplyFactor^(failures - 1), capped at maximumBackoff (also when the product
// overflows); never negative.
std::chrono::milliseconds BackoffDelay(const BackoffPolicy& policy, int failures);

struct HeartbeatPolicy {
  // Pause between the start of the thread and the first poll.
  std::chrono::milliseconds firstPollDelay{200};
  // Pause after a poll that answered, before the next one.
  std::chrono::milliseconds pollPause{200};
  // Pause after a poll that failed.
  BackoffPolicy backoff;
  // Null: every pause waits in real time and ends as soon as a stop is asked. A clock
  // given here makes each pause with its SleepFor instead (tests: a fake clock returns
  // at once); the stop is then seen when that returns. Must outlive the heartbeat's
  // thread.
  Clock* clock = nullptr;
};
