// One per watched tree: stands between the watcher's worker thread and the receiver.
// Its operations, called on the worker thread, turn each change into a
// CChangeNotification and post it to the dispatcher; there, DispatchNotification
// filters it and calls the receiver. So the receiver is only ever called on the
// thread that runs the dispatcher, in the order the changes were posted, and the
// worker thread never waits for it.
//
// A notification reaches the receiver only while the gate is open (see
// CDispatchGate): once the watcher has closed it, queued notifications are dropped
// when the dispatcher runs them. The receiver must outlive the gate's closing; the
// dispatcher must outlive the worker thread. Queued notifications keep this object
// alive (shared ownership), never the receiver.
#pragma once

#include <memory>
#include <string>

#include "core/filesystem/filenotifymonitor/directorychangehandler.h"
#include "core/filesystem/filenotifymonitor/dispatchgate.h"

class CDispatcher;

// One change on its way from the worker thread to the receiver.
struct CChangeNotification {
  ChangeKind kind = ChangeKind::kAdded;
  std::string path;        // kinds 5 to 7: the watched tree's folder
  std::string secondPath;  // the new path of a rename; else empty
  int error = 0;           // kinds 5 and 6
};

class CDelayedDirectoryChangeHandler : public CDirectoryChangeHandler,
                                       public std::enable_shared_from_this<CDelayedDirectoryChangeHandler> {
 public:
  // dispatcher and realHandler are borrowed (see above).
  CDelayedDirectoryChangeHandler(CDispatcher* dispatcher, CDirectoryChangeHandler* realHandler,
                                 std::shared_ptr<CDispatchGate> gate, std::string directory);

  // Worker thread: each posts one notification. Nothing is posted once the gate is
  // closed.
  void On_FileAdded(const std::string& path) override;
  void On_FileRemoved(const std::string& path) override;
  void On_FileNameChanged(const std::string& oldPath, const std::string& newPath) override;
  void On_FileModified(const std::string& path) override;
  void On_ReadDirectoryChangesError(int error, const std::string& directory) override;
  void On_WatchStarted(int error, const std::string& directory) override;
  void On_WatchStopped(const std::string& directory) override;

  // Dispatcher thread. Kinds 5 to 7 always pass; kinds 1 to 4 pass when the
  // receiver's On_FilterChange lets them. Then calls the receiver's operation for
  // the kind. An exception from the receiver is caught and logged; dispatching goes on.
  void DispatchNotification(const CChangeNotification& notification);

  const std::string& Directory() const { return m_directory; }

 private:
  void Post(CChangeNotification notification);
  void CallReceiver(const CChangeNotification& notification);

  CDispatcher* const m_dispatcher;
  CDirectoryChangeHandler* const m_pRealHandler;
  const std::shared_ptr<CDispatchGate> m_gate;
  const std::string m_directory;
};
