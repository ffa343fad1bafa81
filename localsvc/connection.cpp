#include "connection.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include <httplib.h>

namespace localsvc {
namespace {

int PortOf(const sockaddr_storage& a) {
  if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
  return -1;
}

// Calls visit(fd, local port, peer port) for each connected socket of the process until
// it returns true; that descriptor is returned, or -1.
int FindConnected(const std::function<bool(int fd, int localPort, int peerPort)>& visit) {
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return -1;
  int found = -1;
  while (dirent* e = ::readdir(dir)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    int fd = std::atoi(e->d_name);
    if (fd == ::dirfd(dir)) continue;
    sockaddr_storage local{}, peer{};
    socklen_t localLen = sizeof(local), peerLen = sizeof(peer);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0) continue;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0) continue;
    if (visit(fd, PortOf(local), PortOf(peer))) {
      found = fd;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

}  // namespace

int FindConnectionSocket(const httplib::Request& req) {
  return FindConnected([&](int, int localPort, int peerPort) {
    return localPort == req.local_port && peerPort == req.remote_port;
  });
}

void ShutdownAllConnections(int localPort) {
  FindConnected([localPort](int fd, int local, int) {
    if (local == localPort) ::shutdown(fd, SHUT_RDWR);
    return false;
  });
}

bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void ShutdownConnection(int fd) {
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

}  // namespace localsvc
