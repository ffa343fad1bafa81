#include "platform/dispatcher.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

struct Owner {
  std::thread::id thread;
  bool mainThread;
  CDispatcher* dispatcher;
};

// Every live dispatcher with its owning thread, in order of construction.
std::mutex& OwnersLock() {
  static auto* lock = new std::mutex;  // never destroyed: dispatchers may outlive statics
  return *lock;
}
std::vector<Owner>& Owners() {
  static auto* owners = new std::vector<Owner>;
  return *owners;
}

}  // namespace

CDispatcher::CDispatcher() : m_owner(std::this_thread::get_id()) {
  const bool mainThread = ::syscall(SYS_gettid) == ::getpid();
  std::lock_guard<std::mutex> guard(OwnersLock());
  Owners().push_back({m_owner, mainThread, this});
}

CDispatcher::~CDispatcher() {
  std::lock_guard<std::mutex> guard(OwnersLock());
  auto& owners = Owners();
  owners.erase(std::remove_if(owners.begin(), owners.end(), [this](const Owner& o) { return o.dispatcher == this; }),
               owners.end());
}

CDispatcher* CDispatcher::OfCurrentThread() {
  const std::thread::id self = std::this_thread::get_id();
  std::lock_guard<std::mutex> guard(OwnersLock());
  const auto& owners = Owners();
  for (auto it = owners.rbegin(); it != owners.rend(); ++it)
    if (it->thread == self) return it->dispatcher;
  return nullptr;
}

CDispatcher* CDispatcher::OfMainThread() {
  std::lock_guard<std::mutex> guard(OwnersLock());
  const auto& owners = Owners();
  for (auto it = owners.rbegin(); it != owners.rend(); ++it)
    if (it->mainThread) return it->dispatcher;
  return nullptr;
}

bool CDispatcher::Post(std::function<void()> work) {
  if (!work) return false;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_queue.push_back(Item{std::move(work), 0});
  }
  m_ready.notify_one();
  return true;
}

void CDispatcher::Quit(int exitCode) {
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_queue.push_back(Item{nullptr, exitCode});
  }
  m_ready.notify_one();
}

bool CDispatcher::Take(Item* item, bool wait) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (wait) m_ready.wait(lock, [this] { return !m_queue.empty(); });
  if (m_queue.empty()) return false;
  *item = std::move(m_queue.front());
  m_queue.pop_front();
  return true;
}

int CDispatcher::Run() {
  for (;;) {
    Item item;
    Take(&item, true);
    if (!item.work) return item.exitCode;
    item.work();
  }
}

size_t CDispatcher::RunPending() {
  size_t budget = QueuedCount();
  size_t ran = 0;
  for (size_t i = 0; i < budget; ++i) {
    Item item;
    if (!Take(&item, false)) break;
    if (!item.work) break;
    item.work();
    ++ran;
  }
  return ran;
}

size_t CDispatcher::QueuedCount() {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_queue.size();
}
