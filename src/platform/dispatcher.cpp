#include "platform/dispatcher.h"

CDispatcher::CDispatcher() : m_owner(std::this_thread::get_id()) {}

CDispatcher::~CDispatcher() = default;

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
