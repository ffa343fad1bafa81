// ITransport: one HTTP exchange with the service. Remote storage creates a transport
// for each request (CreateTransport), uses it once and releases it. A transport
// applies the user's proxy and speed settings before every transfer, reports
// progress to a callback that may cancel, turns the transfer status into a result
// code and reports whether the network was usable to the network-state tracker.
#pragma once

#include <cstdint>
#include <string>

#include "common/unknown.h"

// Progress of a running transfer: libcurl's byte counts and the transfer's average
// speed in bytes per second. Returning exactly E_FAIL cancels the transfer; any other
// value lets it go on. Runs on the transferring thread.
using TransportProgressCallback = HRESULT (*)(void* context, double dlTotal, double dlNow, double ulTotal,
                                              double ulNow, double speed);

class ITransport : public IUnknown {
 public:
  static constexpr IID kIID = GuidFromString("{81905341-6561-41B7-AB0B-9318208E6A8C}");

  // Stores the callback (may be null) and its context. S_OK.
  virtual HRESULT SetProgressCallback(TransportProgressCallback callback, void* context) = 0;

  // A GET, or a POST when body is given (an empty body too). header: lines
  // "name:value" joined by '&' (may be null). *reply (may be null) receives the reply
  // text on success and failure alike. A POST answered with an HTTP status other than
  // 200 and 504 succeeds (the caller checks the service's word); a GET gets
  // E_CV_SRV_SERVER_ERROR for it; 504 and time-outs give E_CV_NETWORK_ERROR.
  // timeoutSec 0 means none. With reportNetworkState the outcome goes to the tracker.
  virtual HRESULT Request(const std::string& url, const std::string* header, const std::string* body,
                          std::string* reply, int32_t timeoutSec, bool reportNetworkState) = 0;

  // Downloads into localPath (its folder is created), following redirections; a
  // non-empty body makes it a POST. E_FAIL for an empty path. The file keeps what was
  // written also after a failure.
  virtual HRESULT Download(const std::string& url, const std::string& localPath, const std::string& header,
                           const std::string& body, int32_t timeoutSec) = 0;

  // A multipart form POST: the fields of formFields ("name=value&...", values
  // percent-decoded) as text parts in order, then the file as the part "FileCont".
  // Any 2xx status succeeds; *reply receives the reply text only on success.
  virtual HRESULT Upload(const std::string& url, const std::string& localPath, const std::string& header,
                         const std::string& formFields, std::string* reply, int32_t timeoutSec) = 0;

  // A POST whose body is the file's raw content, sent without the header lines and
  // without libcurl's Accept, Expect and Content-Type lines. E_FAIL when the file
  // cannot be read. Any 2xx status succeeds; *reply receives the text only on success.
  virtual HRESULT PostStream(const std::string& url, const std::string& localPath, const std::string& header,
                             std::string* reply, int32_t timeoutSec) = 0;

  // Stops a running transfer within about a second (it ends with E_CV_CURL_CANCEL).
  // Any thread may call it; a cancel before a transfer starts is forgotten.
  virtual HRESULT Cancel(bool unused) = 0;

  // Bytes per second for the next transfers; 0 is unlimited.
  virtual HRESULT SetSpeedLimit(uint32_t send, uint32_t receive) = 0;

 protected:
  ~ITransport() = default;
};
