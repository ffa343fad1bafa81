#include "core/filesystem/filenotifymonitor/directorychangewatcher.h"

#include <errno.h>
#include <sys/stat.h>

#include <utility>
#include <vector>

#include "common/log.h"
#include "core/filesystem/filenotifymonitor/changemonitor.h"
#include "core/filesystem/filenotifymonitor/delayeddirectorychangehandler.h"
#include "platform/event.h"
#include "platform/fileenv.h"
#include "platform/inotify.h"
#include "platform/wakefd.h"

namespace {

// Without the trailing "/" (but "/" itself).
std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

struct CDirectoryChangeWatcher::Command {
  bool watch = true;  // else unwatch
  std::string directory;
  uint32_t filter = 0;
  bool subtree = true;
  std::shared_ptr<CDelayedDirectoryChangeHandler> handler;
  int result = 0;  // WatchDirectory's result; for an unwatch 1 when it was watched
  CEvent done;
};

CDirectoryChangeWatcher::CDirectoryChangeWatcher(CDispatcher* dispatcher, DirectoryWatchOptions options)
    : m_dispatcher(dispatcher), m_options(std::move(options)) {
  if (!m_options.env) m_options.env = FileEnv::Default();
  for (std::string& folder : m_options.excluded) folder = WithoutTrailingSlash(folder);
}

CDirectoryChangeWatcher::~CDirectoryChangeWatcher() { Stop(); }

bool CDirectoryChangeWatcher::Running() {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_started && !m_stopped && !m_workerEnded;
}

int CDirectoryChangeWatcher::WatchDirectory(const std::string& directory, uint32_t filter,
                                            CDirectoryChangeHandler* handler, bool watchSubtree) {
  if (filter == 0) OSTREL_LOG(kLogError, "%s", "*ASSERT*: dwChangesToWatchFor != 0");
  if (directory.empty() || directory[0] != '/' || filter == 0 || !handler) return kWatchInvalidParameter;
  const std::string dir = WithoutTrailingSlash(directory);
  struct stat st {};
  int error = 0;
  if (!m_options.env->Lstat(dir, &st)) {
    error = errno;
    if (error == ENOENT || error == ENOTDIR) return kWatchBadPathName;
  } else if (!S_ISDIR(st.st_mode)) {
    error = ENOTDIR;  // never a link, even to a folder
  }
  if (error == 0) error = StartWorker();
  if (error == 0) {
    auto command = std::make_shared<Command>();
    command->directory = dir;
    command->filter = filter;
    command->subtree = watchSubtree;
    command->handler = std::make_shared<CDelayedDirectoryChangeHandler>(m_dispatcher, handler, m_gate, dir);
    error = Submit(command);
  }
  if (error != 0 && error != ECANCELED)
    OSTREL_LOG(kLogInfo, "CDirectoryChangeWatcher::WatchDirectory() -- Couldn't open directory for monitoring. %d\n, strDirToWatch=%s",
               error, dir.c_str());
  return error;
}

bool CDirectoryChangeWatcher::UnwatchDirectory(const std::string& directory) {
  if (directory.empty()) return false;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_started) return false;
  }
  auto command = std::make_shared<Command>();
  command->watch = false;
  command->directory = WithoutTrailingSlash(directory);
  return Submit(command) == 1;
}

int CDirectoryChangeWatcher::StartWorker() {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (m_stopped || m_workerEnded) return ECANCELED;
  if (m_started) return 0;
  std::shared_ptr<CInotify> inotify =
      m_options.openInotify ? m_options.openInotify(m_options.maxWatches) : OpenInotify(m_options.maxWatches);
  if (!inotify) return errno != 0 ? errno : EMFILE;
  auto wake = std::make_shared<CWakeFd>();
  if (!wake->Valid()) return wake->Error();
  if (!m_thread.Start([this, inotify, wake] { WorkerMain(inotify, wake); })) return kWatchNoThread;
  m_wake = wake;
  m_started = true;
  return 0;
}

int CDirectoryChangeWatcher::Submit(std::shared_ptr<Command> command) {
  std::shared_ptr<CWakeFd> wake;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_stopped || m_workerEnded || !m_wake) return ECANCELED;
    m_commands.push_back(command);
    wake = m_wake;
  }
  wake->Signal();
  command->done.Wait();
  return command->result;
}

void CDirectoryChangeWatcher::RunCommands(CChangeMonitor& monitor) {
  std::deque<std::shared_ptr<Command>> commands;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    commands.swap(m_commands);
  }
  for (const auto& command : commands) {
    if (command->watch) {
      command->result = monitor.AddTree(command->directory, command->filter, command->subtree, command->handler);
    } else {
      command->result = monitor.RemoveTree(command->directory) ? 1 : 0;
    }
    command->done.Set();
  }
}

void CDirectoryChangeWatcher::CancelCommands() {
  std::deque<std::shared_ptr<Command>> left;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_workerEnded = true;
    left.swap(m_commands);
  }
  for (const auto& command : left) {
    command->result = command->watch ? ECANCELED : 0;
    command->done.Set();
  }
}

void CDirectoryChangeWatcher::WorkerMain(std::shared_ptr<CInotify> inotify, std::shared_ptr<CWakeFd> wake) {
  {
    CChangeMonitor monitor(std::move(inotify), m_options, &m_stopRequested);
    while (!m_stopRequested.load()) {
      RunCommands(monitor);
      if (m_stopRequested.load()) break;
      if (monitor.Walking()) {
        // A long start-up walk lets changes, commands and a stop through between slices.
        monitor.WalkSome(m_options.walkSlice);
        if (wake->Wait(monitor.Fd(), std::chrono::milliseconds::zero()).readable) monitor.ReadChanges();
        continue;
      }
      const CWakeFd::WaitResult ready = wake->Wait(monitor.Fd(), monitor.NextWait());
      if (ready.error != 0) {
        OSTREL_LOG(kLogError, "CDirectoryChangeWatcher: waiting for changes failed, error %d", ready.error);
        monitor.EndAll(ready.error);
        break;
      }
      if (ready.woken) wake->Clear();  // commands taken at the top of the loop
      if (ready.readable) {
        monitor.ReadChanges();
      } else if (!ready.woken) {
        monitor.OnWaitTimedOut();
      }
    }
  }  // the monitor lets go of the inotify instance here
  CancelCommands();
}

void CDirectoryChangeWatcher::Stop() {
  m_gate->Close();
  std::shared_ptr<CWakeFd> wake;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_stopped = true;
    wake = m_wake;
  }
  m_stopRequested.store(true);
  if (wake) wake->Signal();
  m_thread.Join(kWaitForever);
  CancelCommands();
  std::lock_guard<std::mutex> guard(m_mutex);
  m_wake.reset();
}
