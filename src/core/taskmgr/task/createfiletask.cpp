#include "core/taskmgr/task/createfiletask.h"

#include <new>
#include <string_view>

#include "common/checks.h"
#include "core/interfaces/taskdata.h"
#include "core/taskmgr/task/downloadfiletask.h"
#include "core/taskmgr/task/newfiletask.h"
#include "core/taskmgr/task/updatefiletask.h"

namespace {

// A task of class Task for a record of kind Record; null when the record is of
// another kind.
template <class Task, class Record>
ITask* Make(TaskDataBase* record, const FileTaskOptions& options) {
  auto* typed = dynamic_cast<Record*>(record);
  if (!typed) {
    OSTREL_LOG(kLogError, "*ASSERT*: CreateTask Failed: the record of %s is of another kind",
               record->TasksName().c_str());
    return nullptr;
  }
  return new (std::nothrow) Task(typed, options);
}

}  // namespace

ITask* CreateFileTask(TaskDataBase* pTaskData, const FileTaskOptions& options) {
  ASSERT(pTaskData);
  if (!pTaskData) return nullptr;
  const std::string_view name = pTaskData->TasksName();
  ITask* pTask = nullptr;
  if (name == "UpdateNewFile") {
    pTask = Make<NewFileTask, TaskData_NewFile>(pTaskData, options);
  } else if (name == "UpdateFile") {
    pTask = Make<UpdateFileTask, TaskData_UpdateFile>(pTaskData, options);
  } else if (name == "DownloadFile") {
    pTask = Make<DownloadFileTask, TaskData_DownloadFile>(pTaskData, options);
  } else {
    OSTREL_LOG(kLogError, "*ASSERT*: CreateTask Failed: No Task! TasksName() = %s", pTaskData->TasksName().c_str());
  }
  ASSERT(pTask);
  return pTask;
}

TaskFactory FileTaskFactory(const FileTaskOptions& options) {
  return [options](TaskDataBase* record) { return CreateFileTask(record, options); };
}
