#include "platform/wakefd.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "platform/event.h"

CWakeFd::CWakeFd() {
  m_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (m_fd < 0) m_error = errno;
}

CWakeFd::~CWakeFd() {
  if (m_fd >= 0) ::close(m_fd);
}

void CWakeFd::Signal() {
  if (m_fd < 0) return;
  const uint64_t one = 1;
  ssize_t n;
  do {
    n = ::write(m_fd, &one, sizeof one);
  } while (n < 0 && errno == EINTR);
  // EAGAIN means the counter is at its maximum: it is signalled all the same.
}

void CWakeFd::Clear() {
  if (m_fd < 0) return;
  uint64_t count = 0;
  ssize_t n;
  do {
    n = ::read(m_fd, &count, sizeof count);
  } while (n < 0 && errno == EINTR);
}

CWakeFd::WaitResult CWakeFd::Wait(int fd, std::chrono::milliseconds timeout) const {
  WaitResult result;
  struct pollfd fds[2] = {{m_fd, POLLIN, 0}, {fd, POLLIN, 0}};
  int ms = -1;
  if (timeout != kWaitForever) {
    const auto limit = std::chrono::milliseconds(INT32_MAX);
    ms = timeout <= std::chrono::milliseconds::zero() ? 0 : static_cast<int>(timeout > limit ? limit.count() : timeout.count());
  }
  int n;
  do {
    n = ::poll(fds, 2, ms);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    result.error = errno;
    return result;
  }
  result.woken = (fds[0].revents & POLLIN) != 0;
  result.readable = (fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
  return result;
}
