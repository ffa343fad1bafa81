#include "platform/inotify.h"

#include <errno.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>
#include <unordered_set>

namespace {

class CSystemInotify : public CInotify {
 public:
  CSystemInotify(int fd, size_t maxWatches) : m_fd(fd), m_cap(maxWatches) {}
  ~CSystemInotify() override { ::close(m_fd); }

  int Fd() const override { return m_fd; }

  int AddWatch(const std::string& path, uint32_t mask) override {
    int wd = ::inotify_add_watch(m_fd, path.c_str(), mask);
    if (wd < 0) return -1;
    if (m_wds.count(wd) == 0) {
      if (m_wds.size() >= m_cap) {
        ::inotify_rm_watch(m_fd, wd);  // its IN_IGNORED names a wd nobody knows
        errno = ENOSPC;
        return -1;
      }
      m_wds.insert(wd);
    }
    return wd;
  }

  bool RemoveWatch(int wd) override {
    m_wds.erase(wd);
    return ::inotify_rm_watch(m_fd, wd) == 0;
  }

  ssize_t Read(void* buffer, size_t size) override {
    ssize_t n;
    do {
      n = ::read(m_fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
      ForEachInotifyRecord(buffer, static_cast<size_t>(n), [this](const InotifyRecord& r) {
        if (r.mask & IN_IGNORED) m_wds.erase(r.wd);
      });
    }
    return n;
  }

  size_t WatchCount() const override { return m_wds.size(); }

 private:
  const int m_fd;
  const size_t m_cap;
  std::unordered_set<int> m_wds;  // live watch descriptors
};

}  // namespace

std::unique_ptr<CInotify> OpenInotify(size_t maxWatches) {
  int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_unique<CSystemInotify>(fd, maxWatches);
}

bool ForEachInotifyRecord(const void* buffer, size_t size, const std::function<void(const InotifyRecord&)>& fn) {
  const char* p = static_cast<const char*>(buffer);
  size_t at = 0;
  while (at < size) {
    if (size - at < sizeof(struct inotify_event)) return false;
    struct inotify_event head;
    std::memcpy(&head, p + at, sizeof head);  // the buffer need not be aligned
    const size_t body = at + sizeof head;
    if (head.len > size - body) return false;
    InotifyRecord r;
    r.wd = head.wd;
    r.mask = head.mask;
    r.cookie = head.cookie;
    // The name is padded with NULs up to len; it may fill len without one.
    const char* name = p + body;
    r.name = std::string_view(name, ::strnlen(name, head.len));
    fn(r);
    at = body + head.len;
  }
  return true;
}
