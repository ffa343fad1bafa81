// How the background task manager holds a task record: shared by the manager's lists
// and the executer that runs it, and released (TaskDataBase::Release) with its last
// owner. The task-list entry of a record is a copy of its fields.
#pragma once

#include <memory>

#include "core/interfaces/itaskmgr.h"
#include "core/interfaces/taskdata.h"

using SharedTaskData = std::shared_ptr<TaskDataBase>;

// Takes over the caller's reference on record.
inline SharedTaskData ShareTaskData(TaskDataBase* record) { return SharedTaskData(record, TaskDataReleaser()); }

// The task-list entry of a record. The caller keeps the record from being written
// meanwhile (the executer's lock, or the manager's for a record no executer runs).
inline TaskListEntry EntryOf(const TaskDataBase& r) {
  return {r.strId, r.strFullPath, r.nDirection, r.taskState.eTaskStateType, r.taskState.hrResult,
          r.taskState.nDoneSize, r.taskState.nTotalSize, r.nOpenFlags};
}
