// The task factory of the file tasks: the task that runs a record of the task names
// "UpdateNewFile", "UpdateFile" and "DownloadFile".
#pragma once

#include "core/interfaces/itask.h"
#include "core/taskmgr/task/filetaskoptions.h"

class TaskDataBase;

// A new task for the record (borrowed: it must outlive the task), or null, with an
// assertion line, for a null record, a task name without a file task, or a record of
// another kind than its name calls for. The caller owns the task and deletes it after
// Execute.
ITask* CreateFileTask(TaskDataBase* pTaskData, const FileTaskOptions& options = FileTaskOptions());

// The task manager's factory (TaskMgrOptions::taskFactory) making file tasks with
// options.
TaskFactory FileTaskFactory(const FileTaskOptions& options);
