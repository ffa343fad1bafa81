#include "watchrig.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <ctime>
#include <thread>

#include <gtest/gtest.h>

#include "platform/event.h"

namespace {

constexpr int kPumpDone = 0;
constexpr int kPumpTimedOut = -1;
const char* const kBarrierName = ".barrier-";

bool IsBarrier(const Change& c) { return c.path.find(kBarrierName) != std::string::npos; }

int CountEntries(const char* folder) {
  DIR* dir = ::opendir(folder);
  if (!dir) return -1;
  int n = 0;
  while (const struct dirent* e = ::readdir(dir))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
  ::closedir(dir);
  return n;
}

}  // namespace

RecordingRevicer::RecordingRevicer(CDispatcher* dispatcher, DirectoryWatchOptions options)
    : CFileNotifyRevicer(std::move(options)), m_dispatcher(dispatcher) {}

HRESULT RecordingRevicer::Start(const std::vector<std::string>& roots, const std::vector<std::string>& excluded) {
  FileNotifySettings settings{roots, excluded};
  HRESULT hr = Init(settings, m_dispatcher, &RecordingRevicer::Callback, this);
  if (FAILED(hr)) return hr;
  return StartMonitor();
}

HRESULT RecordingRevicer::Prepare() {
  return Init(FileNotifySettings{{"/unused"}, {}}, m_dispatcher, &RecordingRevicer::Callback, this);
}

bool RecordingRevicer::WaitStarted(const std::vector<std::string>& roots) {
  PumpUntil([&] {
    for (const auto& r : roots)
      if (!started.count(r) && !ended.count(r)) return false;
    return true;
  });
  for (const auto& r : roots)
    if (!started.count(r) || started[r] != 0) return false;
  return true;
}

bool RecordingRevicer::PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds bound) {
  if (pred()) return true;
  m_until = pred;
  CEvent finished;
  std::thread watchdog([&] {
    if (!finished.Wait(bound)) m_dispatcher->Quit(kPumpTimedOut);
  });
  const int code = m_dispatcher->Run();
  finished.Set();
  watchdog.join();
  m_until = nullptr;
  return code == kPumpDone && pred();
}

void RecordingRevicer::Check() {
  if (m_until && m_until()) {
    m_until = nullptr;
    m_dispatcher->Quit(kPumpDone);
  }
}

bool RecordingRevicer::Barrier(const std::string& folder) {
  static std::atomic<int> barriers{0};  // unique across receivers
  const std::string path = folder + "/" + kBarrierName + std::to_string(++barriers);
  m_barrier = path;
  m_barrierSeen = false;
  CreateEmpty(path);
  return PumpUntil([&] { return m_barrierSeen; });
}

std::vector<Change> RecordingRevicer::Changes() const {
  std::vector<Change> out;
  for (const Change& c : m_changes)
    if (!IsBarrier(c)) out.push_back(c);
  return out;
}

int RecordingRevicer::CountOf(const Change& change) const {
  return static_cast<int>(std::count(m_changes.begin(), m_changes.end(), change));
}

int RecordingRevicer::Callback(uint32_t action, const char* path, const char* newPath, void* context) {
  auto* self = static_cast<RecordingRevicer*>(context);
  EXPECT_TRUE(self->m_dispatcher->IsOwnerThread()) << "the callback runs on the dispatcher's thread";
  Change change{action, path ? path : "", newPath ? newPath : ""};
  EXPECT_EQ(newPath != nullptr, action == kFileActionRenamed) << change;
  self->m_changes.push_back(change);
  if (change == Added(self->m_barrier)) self->m_barrierSeen = true;
  if (self->onChange) self->onChange(change);
  self->Check();
  return 0;
}

void RecordingRevicer::On_ReadDirectoryChangesError(int error, const std::string& directory) {
  CFileNotifyRevicer::On_ReadDirectoryChangesError(error, directory);
  ended[directory] = error;
  Check();
}

void RecordingRevicer::On_WatchStarted(int error, const std::string& directory) {
  CFileNotifyRevicer::On_WatchStarted(error, directory);
  started[directory] = error;
  Check();
}

void RecordingRevicer::On_WatchStopped(const std::string& directory) {
  CFileNotifyRevicer::On_WatchStopped(directory);
  ++stopped;
  Check();
}

void MakeFolder(const std::string& path) {
  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << path << ": " << std::strerror(errno);
}

void CreateEmpty(const std::string& path) {
  int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_RDONLY | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
  ::close(fd);
}

void WriteAndClose(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fd);
}

void MoveTo(const std::string& from, const std::string& to) {
  ASSERT_EQ(::rename(from.c_str(), to.c_str()), 0) << from << " -> " << to << ": " << std::strerror(errno);
}

void DeleteFile(const std::string& path) {
  ASSERT_EQ(::unlink(path.c_str()), 0) << path << ": " << std::strerror(errno);
}

void DeleteFolder(const std::string& path) {
  ASSERT_EQ(::rmdir(path.c_str()), 0) << path << ": " << std::strerror(errno);
}

void MakeLink(const std::string& target, const std::string& link) {
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0) << link << ": " << std::strerror(errno);
}

void WaitUntilFileClockPasses(const std::string& path) {
  struct stat st {};
  ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
  // At most one tick of the coarse clock (a few milliseconds).
  for (;;) {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    if (now.tv_sec > st.st_ctim.tv_sec || (now.tv_sec == st.st_ctim.tv_sec && now.tv_nsec > st.st_ctim.tv_nsec)) return;
    std::this_thread::yield();
  }
}

// Less the listing's own descriptor.
int OpenDescriptorCount() { return CountEntries("/proc/self/fd") - 1; }

int ThreadCount() { return CountEntries("/proc/self/task"); }

int KernelWatchCount(int inotifyFd) {
  std::ifstream in("/proc/self/fdinfo/" + std::to_string(inotifyFd));
  int n = 0;
  for (std::string line; std::getline(in, line);) n += line.rfind("inotify wd:", 0) == 0;
  return n;
}

long MaxQueuedEvents() {
  std::ifstream in("/proc/sys/fs/inotify/max_queued_events");
  long n = -1;
  in >> n;
  return n;
}
