#include "core/remotestorage/transport/transportsettings.h"

#include <cstdlib>

#include "common/checks.h"
#include "common/registry.h"

TransportSettings DefaultTransportSettings() {
  TransportSettings s;
  s.loadProxy = [](ProxySettings* p) {
    *p = ProxySettings();
    uint32_t type = static_cast<uint32_t>(kProxyUnset);
    LoadProxySettings(&p->host, &p->port, &p->userName, &p->password, &type);
    p->type = static_cast<int32_t>(type);
  };
  s.uploadSpeed = [] { return GetUploadSpeed(); };
  s.downloadSpeed = [] { return GetDownloadSpeed(); };
  s.systemProxy = GetEnvironmentProxy;
  return s;
}

TransportSettings DirectTransportSettings() {
  TransportSettings s;
  s.loadProxy = [](ProxySettings* p) {
    *p = ProxySettings();
    p->type = 0;
  };
  s.uploadSpeed = [] { return uint32_t(0); };
  s.downloadSpeed = [] { return uint32_t(0); };
  s.systemProxy = [](SystemProxy* p) {
    *p = SystemProxy();
    return S_OK;
  };
  return s;
}

HRESULT GetEnvironmentProxy(SystemProxy* proxy) {
  *proxy = SystemProxy();
  const char* value = std::getenv("http_proxy");
  if (!value || !*value) return S_OK;
  std::string s = value;
  size_t scheme = s.find("://");
  if (scheme != std::string::npos) s = s.substr(scheme + 3);
  s = s.substr(0, s.find('/'));
  size_t at = s.rfind('@');
  if (at != std::string::npos) s = s.substr(at + 1);
  std::string host = s, port = "80";
  if (!s.empty() && s[0] == '[') {  // [IPv6]:port
    size_t close = s.find(']');
    host = s.substr(0, close == std::string::npos ? std::string::npos : close + 1);
    if (close != std::string::npos && close + 1 < s.size() && s[close + 1] == ':') port = s.substr(close + 2);
  } else if (size_t colon = s.find(':'); colon != std::string::npos) {
    host = s.substr(0, colon);
    port = s.substr(colon + 1);
  }
  ERROR_CHECK_BOOLEX(!host.empty());
  if (port.empty()) port = "80";
  proxy->found = true;
  proxy->host = host;
  proxy->port = port;
  const char* noProxy = std::getenv("no_proxy");
  proxy->noProxy = noProxy ? noProxy : "";
  return S_OK;
}
