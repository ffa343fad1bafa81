// ITask: one file task (an upload or a download of one file), made from its task
// record by a task factory and run by the task manager, on the caller's thread or on
// an executer's. Not reference-counted: whoever made it destroys it after Execute. The
// record stays the caller's; the task only borrows it.
#pragma once

#include <cstdint>
#include <functional>

#include "common/resultcodes.h"
#include "core/interfaces/itransport.h"

class ILocalStorage;
class IRemoteStorage;
class TaskDataBase;

class ITask {
 public:
  virtual ~ITask() = default;

  // Keeps the storages, the progress function (may be null), two values the task
  // hands on unread, and the progress context. S_OK.
  virtual HRESULT Init(ILocalStorage* localStorage, IRemoteStorage* remoteStorage,
                       TransportProgressCallback progress, int64_t value1, int64_t value2, void* context) = 0;
  // Runs the task once; its result.
  virtual HRESULT Execute() = 0;
  // Sets the task's cancel flag: a transfer under way then ends with E_CV_CURL_CANCEL.
  // Any thread may call it, while Execute runs or not. waitMs is not used. S_OK.
  virtual HRESULT Cancel(uint32_t waitMs) = 0;
  // The record the task was made from.
  virtual TaskDataBase* GetTaskData() = 0;
};

// Makes the task for a record, or null when the record's task name has none. The
// caller owns the task.
using TaskFactory = std::function<ITask*(TaskDataBase* record)>;
