// The creation functions of the five components a sign-in builds, in the order the
// sync centre creates them. Each stores a new object with one reference in its out
// pointer and returns S_OK, or returns a failure (a pointer it stored all the same
// is released by the caller). The remote storage's function also makes the
// short-lived remote storage of the sign-in request and of the proxy check.
#pragma once

#include <functional>

#include "common/resultcodes.h"

class IEventCenter;
class IFileSystem;
class ILocalStorage;
class IRemoteStorage;
class ISyncCenter;
class ITaskMgr;

struct CoreComponentFactory {
  std::function<HRESULT(ILocalStorage**)> createLocalStorage;
  std::function<HRESULT(IRemoteStorage**)> createRemoteStorage;
  std::function<HRESULT(ITaskMgr**)> createTaskMgr;
  std::function<HRESULT(IFileSystem**)> createFileSystem;
  std::function<HRESULT(IEventCenter**)> createEventCenter;
};

// The real components on the real file system: CreateLocalStorage,
// CreateRemoteStorage, CreateTaskMgr, CreateFileSystem and CreateEventCenter. The
// task manager runs the file tasks (CreateFileTask), which reach the shell adapter and
// the file-system facade through the sync centre syncCenter gives when a task is made
// (empty, or null from it: their questions count as answered with cancel). That sync
// centre must be alive whenever its task manager makes a task, as the one that
// created the task manager is.
CoreComponentFactory RealCoreComponents(std::function<ISyncCenter*()> syncCenter = {});
