#include "core/componentfactory.h"

#include "core/eventcenter/eventcenter.h"
#include "core/filesystem/filesystem.h"
#include "core/localstorage/localstorage.h"
#include "core/remotestorage/remotestorage.h"
#include "core/synccenter.h"
#include "core/taskmgr/taskmgr.h"

CoreComponentFactory RealCoreComponents() {
  CoreComponentFactory factory;
  factory.createLocalStorage = [](ILocalStorage** pp) { return CreateLocalStorage(pp); };
  factory.createRemoteStorage = [](IRemoteStorage** pp) { return CreateRemoteStorage(pp); };
  factory.createTaskMgr = [](ITaskMgr** pp) { return CreateTaskMgr(pp); };
  factory.createFileSystem = [](IFileSystem** pp) { return CreateFileSystem(pp); };
  factory.createEventCenter = [](IEventCenter** pp) { return CreateEventCenter(pp); };
  return factory;
}

HRESULT CreateSyncCenter(ISyncCenter** ppObj) { return CreateSyncCenter(ppObj, RealCoreComponents()); }
