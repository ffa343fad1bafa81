#include "core/remotestorage/transport/transport.h"

#include <new>

#include "common/checks.h"
#include "common/filehelper.h"
#include "common/log.h"
#include "common/strhelper.h"
#include "core/remotestorage/transport/formfields.h"
#include "core/remotestorage/transport/networkstate.h"

namespace {

// The folder that will hold the file, with every missing level. New levels get the
// usual 0777 less the umask, like the file (0666 less the umask): downloads are the
// user's files. A folder that cannot be made fails the open of the file.
void EnsureParentFolder(FileEnv* env, const std::string& path) {
  std::string parent = GetParentPath(path);
  if (!parent.empty()) EnsureDirectory(parent, 0777, env);
}

}  // namespace

CTransport::CTransport(TransportSettings settings, CurlPolicy policy, FileEnv* env)
    : m_env(env), m_curl(policy, env), m_settings(std::move(settings)) {}

HRESULT CTransport::Init() {
  m_sendLimit = m_settings.uploadSpeed ? m_settings.uploadSpeed() : 0;
  m_receiveLimit = m_settings.downloadSpeed ? m_settings.downloadSpeed() : 0;
  return m_curl.Init() ? S_OK : E_FAIL;
}

HRESULT CTransport::SetProgressCallback(TransportProgressCallback callback, void* context) {
  m_callback = callback;
  m_context = context;
  m_curl.SetProgressHandler(&CTransport::_OnProgress, this);
  return S_OK;
}

void CTransport::_OnProgress(void* p, double dlTotal, double dlNow, double ulTotal, double ulNow) {
  auto* self = static_cast<CTransport*>(p);
  double speed = self->m_curl.GetSpeed(dlTotal > 0.1);
  if (!self->m_callback) return;
  if (self->m_callback(self->m_context, dlTotal, dlNow, ulTotal, ulNow, speed) == E_FAIL) self->m_curl.Cancel();
}

void CTransport::_ApplyProxy() {
  ProxySettings proxy;
  if (m_settings.loadProxy) m_settings.loadProxy(&proxy);
  int32_t kind = proxy.type == kProxyUnset ? kProxySystem : proxy.type;
  HRESULT hr = S_OK;
  auto step = [&hr](HRESULT r) {
    if (SUCCEEDED(hr)) hr = r;
  };
  if (kind == kProxySystem) {
    SystemProxy system;
    if (m_settings.systemProxy && SUCCEEDED(m_settings.systemProxy(&system)) && system.found) {
      step(m_curl.SetOpt(CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP)));
      step(m_curl.SetOpt(CURLOPT_PROXY, system.host + ":" + system.port));
      step(m_curl.SetOpt(CURLOPT_NOPROXY, system.noProxy));
    } else {
      step(m_curl.SetOpt(CURLOPT_PROXY, ""));
    }
  } else if (kind == kProxyHttp || kind == kProxySocks4 || kind == kProxySocks5) {
    long type = kind == kProxyHttp ? CURLPROXY_HTTP : kind == kProxySocks4 ? CURLPROXY_SOCKS4 : CURLPROXY_SOCKS5;
    step(m_curl.SetOpt(CURLOPT_PROXYTYPE, type));
    step(m_curl.SetOpt(CURLOPT_PROXY, proxy.host + ":" + proxy.port));
    // The user's own proxy serves every host, whatever no_proxy says.
    step(m_curl.SetOpt(CURLOPT_NOPROXY, ""));
    if (!proxy.userName.empty()) {
      // Separate options, so that a ':' in the user name cannot move the split.
      step(m_curl.SetOpt(CURLOPT_PROXYUSERNAME, proxy.userName));
      step(m_curl.SetOpt(CURLOPT_PROXYPASSWORD, proxy.password));
    }
  } else {
    step(m_curl.SetOpt(CURLOPT_PROXY, ""));
  }
  if (FAILED(hr)) {
    OSTREL_LOG(kLogWarn, "ERROR_CHECK_COM hr = %x: hr", static_cast<unsigned>(hr));
    return;
  }
  hr = m_curl.SetSpeedLimit(m_sendLimit, m_receiveLimit);
  if (FAILED(hr)) OSTREL_LOG(kLogError, "ERROR_CHECK_COM: hr = %x MSG: %s", static_cast<unsigned>(hr), "curl设置速率失败");
}

void CTransport::_BeginTransfer(const std::string& header) {
  m_curl.Reset(false);
  _ApplyProxy();
  if (!header.empty()) m_curl.SetHeader(header.c_str());
}

HRESULT CTransport::_PostOutcome(int32_t status, std::string* reply) {
  TransportStatusToHr(&status);
  if (status == S_OK) {
    if (reply) *reply = m_curl.GetResponseText();
  } else {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOL:S_OK == hr");
  }
  return status;
}

HRESULT CTransport::Request(const std::string& url, const std::string* header, const std::string* body,
                            std::string* reply, int32_t timeoutSec, bool reportNetworkState) {
  _BeginTransfer(header ? *header : std::string());
  int32_t status;
  if (body) {
    m_curl.SetPostField(body->c_str());
    status = m_curl.Request_URL_POST(url.c_str(), timeoutSec);
  } else {
    status = m_curl.Request_URL_GET(url.c_str(), timeoutSec);
  }
  long httpCode = 200;
  if (FAILED(m_curl.GetInfo(CURLINFO_RESPONSE_CODE, &httpCode))) httpCode = 200;
  if (httpCode == 504) status = kCurlTimedOut;
  TransportStatusToHr(&status);
  HRESULT hr = status;
  if (hr != S_OK) OSTREL_LOG(kLogWarn, "CHECK_BOOL:hr == S_OKMSG: %s", MaskUrlForLog(url).c_str());
  if (reply) *reply = m_curl.GetResponseText();
  if (reportNetworkState) ReportNetworkState(hr);
  return hr;
}

HRESULT CTransport::Download(const std::string& url, const std::string& localPath, const std::string& header,
                             const std::string& body, int32_t timeoutSec) {
  HRESULT hr = E_FAIL;
  if (localPath.empty()) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:szLocal && wcslen(szLocal)");
  } else {
    EnsureParentFolder(m_env, localPath);
    _BeginTransfer(header);
    if (!body.empty()) m_curl.SetPostField(body.c_str());
    int32_t status = m_curl.SimpleDownLoadFile(url.c_str(), localPath.c_str(), timeoutSec, m_downloadLimit);
    TransportStatusToHr(&status);
    hr = status;
    if (FAILED(hr))
      OSTREL_LOG(kLogWarn, "ERROR_CHECK_COM:hrhr = %x, MSG: %s", static_cast<unsigned>(hr), "DownLoad File Failed!");
  }
  ReportNetworkState(hr);
  return hr;
}

HRESULT CTransport::Upload(const std::string& url, const std::string& localPath, const std::string& header,
                           const std::string& formFields, std::string* reply, int32_t timeoutSec) {
  HRESULT hr = E_FAIL;
  if (header.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: szHeader && wcslen(szHeader)");
  if (localPath.empty()) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:szLocal && wcslen(szLocal)");
  } else {
    _BeginTransfer(header);
    for (const auto& [name, value] : SplitKeyValues(formFields))
      m_curl.AddFormPart(kFormCopyName, name, kFormCopyContents, DecodeFormValue(value));
    m_curl.AddFormPart(kFormCopyName, "FileCont", kFormFile, localPath);
    hr = _PostOutcome(m_curl.PostMutiForm(url.c_str(), nullptr, timeoutSec), reply);
  }
  ReportNetworkState(hr);
  return hr;
}

HRESULT CTransport::PostStream(const std::string& url, const std::string& localPath, const std::string& header,
                               std::string* reply, int32_t timeoutSec) {
  if (url.empty()) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(strURL)");
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(strURL)");
  }
  _ApplyProxy();
  m_curl.SetHeader(header.c_str());
  HRESULT hr = _PostOutcome(m_curl.PostMutiForm(url.c_str(), localPath.c_str(), timeoutSec), reply);
  ReportNetworkState(hr);
  return hr;
}

HRESULT CTransport::Cancel(bool) {
  m_curl.Cancel();
  return S_OK;
}

HRESULT CTransport::SetSpeedLimit(uint32_t send, uint32_t receive) {
  m_sendLimit = send;
  m_receiveLimit = receive;
  return S_OK;
}

HRESULT CTransport::SetDownloadLimit(uint64_t maxBytes) {
  m_downloadLimit = maxBytes;
  return S_OK;
}

HRESULT CreateTransport(ITransport** transport) { return CreateTransportWith(DefaultTransportSettings(), transport); }

HRESULT CreateTransportWith(const TransportSettings& settings, ITransport** transport, CurlPolicy policy,
                            FileEnv* env) {
  if (!transport) return E_POINTER;
  CTransport* pTransport = new (std::nothrow) CTransport(settings, policy, env);
  ERROR_CHECK_BOOLEX(pTransport);
  pTransport->AddRef();
  *transport = pTransport;
  return pTransport->Init();
}

void TransportStatusToHr(int32_t* value) {
  switch (*value) {
    case kCurlOk: *value = S_OK; break;
    case kCurlTimedOut: *value = E_CV_NETWORK_ERROR; break;
    case kCurlCancelled: *value = E_CV_CURL_CANCEL; break;
    case kCurlNoConnection: *value = E_CV_NETWORK_ERROR2; break;
    case kCurlFailed: *value = E_CV_NETWORK_ERROR3; break;
    default: OSTREL_LOG(kLogError, "%s", "*ASSERT*: 0"); break;
  }
}

void ReportNetworkState(HRESULT hr) {
  CNetworkState::GetInstance().UpdateNetworkState(!IsNetworkResult(hr));
}
