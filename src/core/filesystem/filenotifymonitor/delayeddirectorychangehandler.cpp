#include "core/filesystem/filenotifymonitor/delayeddirectorychangehandler.h"

#include <exception>
#include <utility>

#include "common/log.h"
#include "platform/dispatcher.h"

CDelayedDirectoryChangeHandler::CDelayedDirectoryChangeHandler(CDispatcher* dispatcher,
                                                               CDirectoryChangeHandler* realHandler,
                                                               std::shared_ptr<CDispatchGate> gate,
                                                               std::string directory)
    : m_dispatcher(dispatcher), m_pRealHandler(realHandler), m_gate(std::move(gate)), m_directory(std::move(directory)) {}

void CDelayedDirectoryChangeHandler::Post(CChangeNotification notification) {
  if (!m_gate->IsOpen()) return;
  std::shared_ptr<CDelayedDirectoryChangeHandler> self = shared_from_this();
  m_dispatcher->Post([self, n = std::move(notification)] { self->DispatchNotification(n); });
}

void CDelayedDirectoryChangeHandler::On_FileAdded(const std::string& path) {
  Post({ChangeKind::kAdded, path, {}, 0});
}

void CDelayedDirectoryChangeHandler::On_FileRemoved(const std::string& path) {
  Post({ChangeKind::kRemoved, path, {}, 0});
}

void CDelayedDirectoryChangeHandler::On_FileNameChanged(const std::string& oldPath, const std::string& newPath) {
  Post({ChangeKind::kRenamed, oldPath, newPath, 0});
}

void CDelayedDirectoryChangeHandler::On_FileModified(const std::string& path) {
  Post({ChangeKind::kModified, path, {}, 0});
}

void CDelayedDirectoryChangeHandler::On_ReadDirectoryChangesError(int error, const std::string& directory) {
  Post({ChangeKind::kWatchError, directory, {}, error});
}

void CDelayedDirectoryChangeHandler::On_WatchStarted(int error, const std::string& directory) {
  Post({ChangeKind::kWatchStarted, directory, {}, error});
}

void CDelayedDirectoryChangeHandler::On_WatchStopped(const std::string& directory) {
  Post({ChangeKind::kWatchStopped, directory, {}, 0});
}

void CDelayedDirectoryChangeHandler::DispatchNotification(const CChangeNotification& notification) {
  m_gate->Pass([&] {
    try {
      CallReceiver(notification);
    } catch (const std::exception& e) {
      OSTREL_LOG(kLogError, "CDelayedDirectoryChangeHandler::DispatchNotification: the receiver failed: %s",
                 e.what());
    } catch (...) {
      OSTREL_LOG(kLogError, "%s", "CDelayedDirectoryChangeHandler::DispatchNotification: the receiver failed");
    }
  });
}

void CDelayedDirectoryChangeHandler::CallReceiver(const CChangeNotification& n) {
  CDirectoryChangeHandler* receiver = m_pRealHandler;
  switch (n.kind) {
    case ChangeKind::kAdded:
      if (receiver->On_FilterChange(n.kind, n.path, n.secondPath)) receiver->On_FileAdded(n.path);
      break;
    case ChangeKind::kRemoved:
      if (receiver->On_FilterChange(n.kind, n.path, n.secondPath)) receiver->On_FileRemoved(n.path);
      break;
    case ChangeKind::kModified:
      if (receiver->On_FilterChange(n.kind, n.path, n.secondPath)) receiver->On_FileModified(n.path);
      break;
    case ChangeKind::kRenamed:
      if (receiver->On_FilterChange(n.kind, n.path, n.secondPath)) receiver->On_FileNameChanged(n.path, n.secondPath);
      break;
    case ChangeKind::kWatchError:
      receiver->On_ReadDirectoryChangesError(n.error, n.path);
      break;
    case ChangeKind::kWatchStarted:
      receiver->On_WatchStarted(n.error, n.path);
      break;
    case ChangeKind::kWatchStopped:
      receiver->On_WatchStopped(n.path);
      break;
  }
}
