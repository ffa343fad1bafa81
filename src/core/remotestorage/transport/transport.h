// CTransport: the ITransport of the service client, one libcurl handle per object.
//
// Threads. The object has no lock: Init, the transfers, SetProgressCallback,
// SetSpeedLimit and SetDownloadLimit come from one thread at a time and never while a
// transfer runs. Cancel only sets a flag (atomic) and may come from any thread at any
// time; its caller holds a reference, so the object outlives the call. Separate
// transports may transfer at the same time: they share libcurl's process-wide set-up
// (made once, before the first handle) and the network-state tracker, which takes
// reports from every thread.
//
// Cancel. Every transfer clears the flag during its set-up, before anything is sent
// (Download first thing; Request and Upload after the proxy and header set-up;
// PostStream after opening its file): a Cancel made before that point, even by another
// thread while the call is starting, is lost and the transfer runs to its end. From
// then until the transfer returns, a Cancel stops it at libcurl's next progress call
// and it returns E_CV_CURL_CANCEL, unless libcurl reported a time-out first, or a
// write or read of the local file failed (Download, PostStream), or the status line of
// Request's reply said 504: those keep their codes. A cancelled transfer counts as a
// usable network. A Cancel after the end stays set, unseen, until the next transfer
// clears it.
//
// Settings. The proxy is read from the settings at every transfer, the speed limits
// once by Init (SetSpeedLimit replaces them); both are applied as a transfer begins,
// and a proxy option that cannot be set leaves that transfer's speed limits unset.
// The settings' functions run on the calling thread.
//
// Failure. No method throws. Request, Download and Upload start from a fully reset
// handle, so a failure leaves nothing that changes the next transfer; PostStream keeps
// the options an earlier transfer on the object set (following redirections after a
// Download, for one): run it on a fresh transport. What a failure leaves behind:
// Request's *reply holds what text arrived (maybe none); Download's file keeps what
// was written and the folders made for it stay; Upload's and PostStream's *reply is
// untouched. Download reports a local file that cannot be opened, written or closed,
// a reply that passes the download limit (SetDownloadLimit, kept until changed), and
// Upload a file part that cannot be opened, as E_CV_NETWORK_ERROR3, which the tracker
// counts as an unusable network; PostStream reports a file it cannot open as E_FAIL,
// before sending anything.
//
// Files. Every local file is opened, read and written through the FileEnv given at
// construction and closed before the transfer returns; a download is created 0666 and
// its new folders 0777, less the umask.
#pragma once

#include <cstdint>
#include <string>

#include "common/unknown.h"
#include "core/interfaces/itransport.h"
#include "core/remotestorage/transport/curlhelper.h"
#include "core/remotestorage/transport/transportsettings.h"

class CTransport final : public CUnknownImpl<ITransport> {
 public:
  // The transfers' local files go through env, which must outlive the object.
  explicit CTransport(TransportSettings settings, CurlPolicy policy = CurlPolicy(),
                      FileEnv* env = FileEnv::Default());

  // Reads the speed limits and makes the libcurl handle. E_FAIL without a handle;
  // every transfer then fails.
  HRESULT Init();

  HRESULT SetProgressCallback(TransportProgressCallback callback, void* context) override;
  HRESULT Request(const std::string& url, const std::string* header, const std::string* body, std::string* reply,
                  int32_t timeoutSec, bool reportNetworkState) override;
  HRESULT Download(const std::string& url, const std::string& localPath, const std::string& header,
                   const std::string& body, int32_t timeoutSec) override;
  HRESULT Upload(const std::string& url, const std::string& localPath, const std::string& header,
                 const std::string& formFields, std::string* reply, int32_t timeoutSec) override;
  HRESULT PostStream(const std::string& url, const std::string& localPath, const std::string& header,
                     std::string* reply, int32_t timeoutSec) override;
  HRESULT Cancel(bool unused) override;
  HRESULT SetSpeedLimit(uint32_t send, uint32_t receive) override;
  HRESULT SetDownloadLimit(uint64_t maxBytes) override;

  // The handle, for tests that watch the options set on it.
  CCurlHelper& Curl() { return m_curl; }

 private:
  ~CTransport() override = default;
  // Proxy, then speed limits, on the handle; a failed proxy option skips the limits.
  // The transfer goes on in every case.
  void _ApplyProxy();
  // Full reset of the handle, then _ApplyProxy, then the header text when not empty.
  void _BeginTransfer(const std::string& header);
  // The result code of an upload or stream post; on S_OK the reply text goes to
  // *reply (may be null), otherwise the failure is logged and *reply is not touched.
  HRESULT _PostOutcome(int32_t status, std::string* reply);
  static void _OnProgress(void* self, double dlTotal, double dlNow, double ulTotal, double ulNow);

  FileEnv* m_env;
  CCurlHelper m_curl;
  TransportProgressCallback m_callback = nullptr;
  void* m_context = nullptr;
  uint32_t m_sendLimit = 0;
  uint32_t m_receiveLimit = 0;
  uint64_t m_downloadLimit = 0;
  TransportSettings m_settings;
};

// A new transport on the user's settings, with one reference in *transport; the
// pointer is stored also when Init fails, so the caller releases it either way.
HRESULT CreateTransport(ITransport** transport);
// The same on given settings (tests, benchmarks), its files reached through env.
HRESULT CreateTransportWith(const TransportSettings& settings, ITransport** transport,
                            CurlPolicy policy = CurlPolicy(), FileEnv* env = FileEnv::Default());

// Rewrites a transfer status as a result code: 0 S_OK, 1 E_CV_NETWORK_ERROR,
// 2 E_CV_CURL_CANCEL, 3 E_CV_NETWORK_ERROR2, 4 E_CV_NETWORK_ERROR3; any other value
// stays as it is (with an assertion line).
void TransportStatusToHr(int32_t* value);

// Tells the network-state tracker whether the network was usable: it was unless hr is
// one of the transport failures E_CV_NETWORK_ERROR..E_CV_SHA1_MISMATCH.
void ReportNetworkState(HRESULT hr);
