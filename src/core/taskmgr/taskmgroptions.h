// What the task manager's creator may set in place of the defaults: the task factory
// and the times the manager waits, so that tests run it in milliseconds.
#pragma once

#include <chrono>

#include "core/interfaces/itask.h"

struct TaskMgrOptions {
  // Makes the file tasks ("UpdateNewFile", "UpdateFile", "DownloadFile"); empty: no
  // name has a task, and such records fail with E_FAIL.
  TaskFactory taskFactory;
  // How often the background manager reaps ended tasks and starts a waiting one.
  // kWaitForever: never by itself (a test then calls Tick).
  std::chrono::milliseconds tickPeriod{1000};
  // The least time Stop and CancelTask wait for one running task to end.
  std::chrono::milliseconds minStopWait{2000};
};
