#include "core/componentfactory.h"

#include <atomic>
#include <memory>
#include <utility>

#include "core/eventcenter/eventcenter.h"
#include "core/filesystem/filesystem.h"
#include "core/localstorage/localstorage.h"
#include "core/remotestorage/remotestorage.h"
#include "core/synccenter.h"
#include "core/taskmgr/task/createfiletask.h"
#include "core/taskmgr/taskmgr.h"

CoreComponentFactory RealCoreComponents(std::function<ISyncCenter*()> syncCenter) {
  CoreComponentFactory factory;
  factory.createLocalStorage = [](ILocalStorage** pp) { return CreateLocalStorage(pp); };
  factory.createRemoteStorage = [](IRemoteStorage** pp) { return CreateRemoteStorage(pp); };
  factory.createTaskMgr = [syncCenter = std::move(syncCenter)](ITaskMgr** pp) {
    TaskMgrOptions options;
    options.taskFactory = [syncCenter](TaskDataBase* record) {
      FileTaskOptions taskOptions;
      taskOptions.syncCenter = syncCenter ? syncCenter() : nullptr;
      return CreateFileTask(record, taskOptions);
    };
    return CreateTaskMgr(pp, options);
  };
  factory.createFileSystem = [](IFileSystem** pp) { return CreateFileSystem(pp); };
  factory.createEventCenter = [](IEventCenter** pp) { return CreateEventCenter(pp); };
  return factory;
}

HRESULT CreateSyncCenter(ISyncCenter** ppObj) {
  // The centre's file tasks reach it through this slot, filled once it exists (before
  // any sign-in can make its task manager). It holds no reference: the centre owns the
  // factory that holds the slot.
  auto center = std::make_shared<std::atomic<ISyncCenter*>>(nullptr);
  HRESULT hr = CreateSyncCenter(ppObj, RealCoreComponents([center] { return center->load(); }));
  if (SUCCEEDED(hr) && ppObj) center->store(*ppObj);
  return hr;
}
