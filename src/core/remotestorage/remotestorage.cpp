#include "core/remotestorage/remotestorage.h"

#include <strings.h>

#include <atomic>
#include <new>

#include "common/checks.h"
#include "common/tracestack.h"
#include "common/xmlhelper.h"
#include "core/remotestorage/clsfactory.h"
#include "core/remotestorage/remotefs.h"
#include "core/remotestorage/requestframe.h"
#include "core/remotestorage/serverresultmap.h"

namespace {

// Set once the service has answered the global version "3"; never cleared in use.
std::atomic<bool> g_globalVersion3{false};

// Logs a failed transfer: the expected ones (time-out, no connection, cancel) quietly.
void LogTransportFailure(HRESULT hr) {
  if (hr == E_CV_NETWORK_ERROR || hr == E_CV_NETWORK_ERROR2 || hr == E_CV_CURL_CANCEL)
    OSTREL_LOG(kLogTrace, "CHECK_COM hr = %x: hr", static_cast<unsigned>(hr));
  else
    OSTREL_LOG(kLogWarn, "ERROR_CHECK_COM hr = %x: hr", static_cast<unsigned>(hr));
}

// One request on a new transport: header as given (none when empty), body or GET.
HRESULT Exchange(const std::string& url, const std::string& header, const std::string* body,
                 TransportProgressCallback callback, void* context, std::string* reply, int32_t timeoutSec) {
  RefPtr<ITransport> transport;
  HRESULT hr = NewTransport(&transport, callback, context);
  if (FAILED(hr)) return hr;
  hr = transport->Request(url, header.empty() ? nullptr : &header, body, reply, timeoutSec, true);
  if (FAILED(hr)) LogTransportFailure(hr);
  return hr;
}

// Replaces *result with the reply read as XML; a reply that does not parse leaves it
// untouched (logged). A record used before never mixes old values with new ones.
HRESULT ParseReply(const std::string& reply, RecordTree* result) {
  RecordTree tree;
  HRESULT hr = ParseXmlToRecordTree(&tree, reply);
  if (FAILED(hr)) {
    OSTREL_LOG(kLogWarn, "%s",
               "ERROR_CHECK_BOOL:S_OK == hr && L\"CRemoteStorage::_HttpRequest() Process Xml Failed\"");
    return hr;
  }
  *result = std::move(tree);
  return S_OK;
}

bool EqualsIgnoreAsciiCase(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

}  // namespace

namespace remotestoragecontrol {
void ResetGlobalVersionFlag() { g_globalVersion3.store(false); }
}  // namespace remotestoragecontrol

HRESULT CreateRemoteStorage(IRemoteStorage** ppObj, FileEnv* env) {
  ASSERT(ppObj);
  if (ppObj == nullptr) return E_POINTER;
  CRemoteStorage* pRemoteStorage = new (std::nothrow) CRemoteStorage(env);
  ERROR_CHECK_BOOLEX(pRemoteStorage);
  pRemoteStorage->AddRef();
  *ppObj = pRemoteStorage;
  return S_OK;
}

HRESULT CRemoteStorage::Init() { return S_OK; }
HRESULT CRemoteStorage::UnInit() { return S_OK; }

HRESULT CRemoteStorage::_HttpRequest(const std::string& path, const std::string& header, const std::string* body,
                                     TransportProgressCallback callback, void* context, RecordTree* result,
                                     int32_t timeoutSec, bool push) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::_HttpRequest()", &hr, "szUri = %s", MaskSecrets(path).c_str());
  if (result == nullptr) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: pResult");
    return hr;
  }
  std::string url = push ? GetPushNotifyRoot(path) : GetServerRootUrl(path);
  std::string reply;
  hr = Exchange(url, header, body, callback, context, &reply, timeoutSec);
  if (FAILED(hr)) return hr;
  if (reply.empty()) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:!IsStrEmpty(bstrResultXml)");
    return hr = E_FAIL;
  }
  hr = ParseReply(reply, result);
  if (FAILED(hr)) return hr;
  std::string word = result->GetAttribute("result");
  if (word.empty()) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:!IsStrEmpty(strResultCode)");
    return hr = E_CV_SRV_SERVER_ERROR;
  }
  hr = ServerResultMap::Instance()[word];
  if (FAILED(hr)) {
    OSTREL_LOG(kLogError,
               "ERROR_CHECK_COM: hr = %x :L\"CRemoteStorage::_HttpRequest() Failed, URL = %s, Param = %s, "
               "ResultCode = '%s'\"",
               static_cast<unsigned>(hr), MaskSecrets(url).c_str(),
               body ? MaskSecrets(*body).c_str() : "(null)", word.c_str());
  }
  return hr;
}

HRESULT CRemoteStorage::_XmlRequest(const char* path, const RecordTree& request, TransportProgressCallback callback,
                                    void* context, RecordTree* result, int32_t timeoutSec) {
  std::string body;
  HRESULT hr = MakeRequestBody(request, &body);
  if (FAILED(hr)) return hr;
  return _HttpRequest(path, MakeRequestHeader(2), &body, callback, context, result, timeoutSec, false);
}

HRESULT CRemoteStorage::HttpRequest(const std::string& url, const std::string& header, const std::string* body,
                                    TransportProgressCallback callback, void* context, std::string* reply,
                                    int32_t timeoutSec) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::HttpRequest()", &hr, "szUri = %s", MaskSecrets(url).c_str());
  std::string text;
  hr = Exchange(url, header, body, callback, context, &text, timeoutSec);
  if (FAILED(hr)) return hr;
  if (text.empty()) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:!IsStrEmpty(bstrResultXml)");
    return hr = E_FAIL;
  }
  if (reply) *reply = std::move(text);
  return hr = S_OK;
}

HRESULT CRemoteStorage::CheckProxyServer(RecordTree* result) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE("CRemoteStorage::CheckProxyServer()", &hr);
  if (result == nullptr) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: pResult");
    return hr;
  }
  RefPtr<ITransport> transport;
  hr = NewTransport(&transport);
  if (FAILED(hr)) return hr;
  std::string header = MakeRequestHeader(2);
  std::string reply;
  hr = transport->Request(GetServerRootUrl("/xsvr/"), &header, nullptr, &reply, 5, true);
  ERROR_CHECK_COM(hr);
  hr = ParseReply(reply, result);
  if (FAILED(hr)) return hr;
  hr = EqualsIgnoreAsciiCase(result->GetAttribute("result"), "methodVersionNotMatch") ? S_OK : S_FALSE;
  return hr;
}

HRESULT CRemoteStorage::GetGlobalVersion(const std::string& token, std::string* version) {
  HRESULT hr = E_FAIL;
  if (token.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(szToken)");
  TRACE_SCOPE_DETAIL("CRemoteStorage::GetGlobalVersion()", &hr, "szToken = %s", "__token__");
  if (version == nullptr) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: pVersion");
    return hr;
  }
  if (g_globalVersion3.load()) {
    *version = "3";
    return hr = S_OK;
  }
  RMT_FS::GlobalVersionGetter getter;
  getter.m_strToken = token;
  hr = getter.Perform(this);
  ERROR_CHECK_COM(hr);
  *version = getter.m_strGlobalVersion;
  if (*version == "3") g_globalVersion3.store(true);
  return hr = S_OK;
}
