// Direct access to the socket of the connection a request arrived on, for the faults
// that the HTTP library cannot express: a connection closed without a reply, and a
// reply written byte for byte (header lines exactly as given).
#pragma once

#include <string_view>

namespace httplib {
struct Request;
}

namespace localsvc {

// The descriptor of the connection that carries req, found by its local and remote
// ports; -1 when none matches. The descriptor stays owned by the HTTP library: callers
// may shut it down, never close it.
int FindConnectionSocket(const httplib::Request& req);

// Writes every byte; false on a failed write.
bool SendAll(int fd, std::string_view bytes);

// Ends both directions of the connection, so that the client reads end of stream and
// the library's own reply is discarded.
void ShutdownConnection(int fd);

// Shuts down every connection accepted on the local port (not the listening socket),
// so that workers waiting on kept-alive connections end at once.
void ShutdownAllConnections(int localPort);

}  // namespace localsvc
