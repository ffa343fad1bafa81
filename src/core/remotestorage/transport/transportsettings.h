// Where a transport reads the user's proxy and speed settings, and the system proxy.
// The proxy is read anew for every transfer and the speed limits when a transport is
// set up (each request of the remote storage sets up its own), so that a change takes
// effect at the next request.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/resultcodes.h"

// Proxy kinds of the setting ProxyServerType.
inline constexpr int32_t kProxyUnset = -1;  // treated as kProxySystem
inline constexpr int32_t kProxySystem = 1;
inline constexpr int32_t kProxyHttp = 2;
inline constexpr int32_t kProxySocks4 = 3;
inline constexpr int32_t kProxySocks5 = 4;
// Any other kind, 0 among them, connects directly.

struct ProxySettings {
  std::string host;
  std::string port;
  std::string userName;
  std::string password;
  int32_t type = kProxyUnset;
};

// The system's proxy for http.
struct SystemProxy {
  bool found = false;
  std::string host;
  std::string port;
  std::string noProxy;  // hosts that bypass it, as in no_proxy
};

struct TransportSettings {
  std::function<void(ProxySettings*)> loadProxy;
  std::function<uint32_t()> uploadSpeed;    // bytes per second, 0 = unlimited
  std::function<uint32_t()> downloadSpeed;  // bytes per second, 0 = unlimited
  std::function<HRESULT(SystemProxy*)> systemProxy;
};

// The user's settings and the environment's proxy.
TransportSettings DefaultTransportSettings();

// Direct connections without speed limits, whatever the user's settings and the
// environment say (the settings tests and benchmarks run with).
TransportSettings DirectTransportSettings();

// The system proxy from the environment: http_proxy (lower case only, as libcurl reads
// it) as "[scheme://][user:password@]host[:port][/]", port 80 when none is given, and
// no_proxy. S_OK with found false when http_proxy is unset or empty; E_FAIL when it
// names no host.
HRESULT GetEnvironmentProxy(SystemProxy* proxy);
