// ITransport: one HTTP exchange with the service. Remote storage creates a transport
// for each request (CreateTransport), uses it once and releases it. A transport
// applies the user's proxy and speed settings before every transfer, reports
// progress to a callback that may cancel, turns the transfer status into a result
// code and reports whether the network was usable to the network-state tracker.
//
// Threads: a transfer (Request, Download, Upload, PostStream) runs on the thread that
// calls it and returns when it has ended. A transport runs one transfer at a time: its
// methods other than Cancel must not be called from two threads at once, nor while one
// of its transfers runs. Cancel may be called from any thread at any time by a caller
// that holds a reference. Separate transports may transfer at the same time.
//
// Ownership: string arguments are used only during the call; local files are opened
// and closed within the transfer. The progress callback's context stays the caller's.
// No method throws; every failure is a result code.
#pragma once

#include <cstdint>
#include <string>

#include "common/unknown.h"

// Progress of a running transfer: libcurl's byte counts and the transfer's average
// speed in bytes per second. Returning exactly E_FAIL cancels the transfer as Cancel
// does; any other value lets it go on. Runs on the transferring thread, about once a
// second and more often while data moves, from the start of the exchange to its end;
// it holds the transfer up while it runs and may call no method of the transport but
// Cancel. A caller whose stop must hold whenever it comes returns E_FAIL from here
// while its own stop flag is set (a Cancel made before the transfer is forgotten).
using TransportProgressCallback = HRESULT (*)(void* context, double dlTotal, double dlNow, double ulTotal,
                                              double ulNow, double speed);

class ITransport : public IUnknown {
 public:
  static constexpr IID kIID = GuidFromString("{81905341-6561-41B7-AB0B-9318208E6A8C}");

  // Stores the callback (may be null) and its context for the transfers that follow.
  // context is not owned: it must stay valid until the callback is replaced or the
  // transport released. S_OK.
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
  // written also after a failure (a cancelled or cut transfer's part, an error reply's
  // body); nothing is removed, the caller cleans up.
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

  // Stops a running transfer at its next progress call, within about a second; the
  // transfer then ends with E_CV_CURL_CANCEL, unless it timed out or a read or write
  // of its local file failed. Any thread may call it. A cancel before a transfer starts
  // is forgotten (also one that meets the transfer's own set-up), one after a
  // transfer ended has no effect. S_OK.
  virtual HRESULT Cancel(bool unused) = 0;

  // Bytes per second for the next transfers (not one that runs); 0 is unlimited.
  virtual HRESULT SetSpeedLimit(uint32_t send, uint32_t receive) = 0;

  // The most bytes the next downloads (not one that runs) may bring into their file;
  // 0, as at creation, is unlimited. A reply that announces a longer body fails before
  // the body, one that brings more fails as the first byte past the limit arrives,
  // with E_CV_NETWORK_ERROR3 (logged); the file then holds no more than maxBytes
  // bytes and stays for the caller, as after any failed download. S_OK.
  virtual HRESULT SetDownloadLimit(uint64_t maxBytes) = 0;

 protected:
  ~ITransport() = default;
};
