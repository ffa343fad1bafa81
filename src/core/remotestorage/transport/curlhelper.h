// CCurlHelper: one libcurl easy handle and the system's HTTP transfers on it (GET,
// POST of a text body, download into a file, multipart form POST, POST of a file's
// raw content). It collects the reply and its header lines, turns the reply into
// text (inflating a gzip reply), passes libcurl's progress to a handler, honours a
// cancel flag and reduces every outcome to a transfer status.
//
// Transfers are guarded beyond what callers ask for: server certificates are
// verified, only http and https are spoken (also on redirections, at most 10), replies
// kept in memory are capped before and after inflation, a connection must come up
// within the connect time-out, and a transfer without a time-out still ends when it
// stalls (CurlPolicy).
//
// The local files of the transfers (the download's file, the posted file, a form's
// file parts) are opened, read and written through the FileEnv given at construction;
// libcurl never opens them itself.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/resultcodes.h"
#include "platform/fileenv.h"

// Transfer status of a request operation (CurlStatus). The GET and download
// operations give E_CV_SRV_SERVER_ERROR instead for an HTTP status other than 200
// (504 gives kCurlTimedOut); the stream post gives E_FAIL when its file cannot be read.
using CurlStatus = int32_t;
inline constexpr CurlStatus kCurlOk = 0;
inline constexpr CurlStatus kCurlTimedOut = 1;
inline constexpr CurlStatus kCurlCancelled = 2;
inline constexpr CurlStatus kCurlNoConnection = 3;  // proxy or host not resolved, no connection
inline constexpr CurlStatus kCurlFailed = 4;        // any other failure

// Options of a form part, with libcurl's form option numbers.
inline constexpr int32_t kFormCopyName = 1;      // CURLFORM_COPYNAME
inline constexpr int32_t kFormCopyContents = 4;  // CURLFORM_COPYCONTENTS: a text part
inline constexpr int32_t kFormFile = 10;         // CURLFORM_FILE: the content is a file path
inline constexpr int32_t kFormContentType = 14;  // CURLFORM_CONTENTTYPE

// One part of a multipart form POST.
struct FormPart {
  int32_t nameOption = kFormCopyName;
  std::string name;
  int32_t contentOption = kFormCopyContents;
  std::string content;      // the value, or the path of the file to send
  int32_t typeOption = 0;   // 0: no content type of its own
  std::string type;
};

// The guards of every transfer.
struct CurlPolicy {
  long connectTimeoutSec = 30;
  // A transfer without a time-out ends when fewer than lowSpeedLimit bytes per second
  // move for lowSpeedTimeSec seconds.
  long lowSpeedLimit = 1;
  long lowSpeedTimeSec = 300;
  // Replies kept in memory: at most this many bytes as received and after inflation.
  size_t replyCap = size_t(64) << 20;
  long maxRedirects = 10;
};

// Called on every libcurl progress call with libcurl's four byte counts.
using CurlProgressHandler = void (*)(void* context, double dlTotal, double dlNow, double ulTotal, double ulNow);

class CCurlHelper {
 public:
  // env must outlive the object.
  explicit CCurlHelper(CurlPolicy policy = CurlPolicy(), FileEnv* env = FileEnv::Default());
  ~CCurlHelper();
  CCurlHelper(const CCurlHelper&) = delete;
  CCurlHelper& operator=(const CCurlHelper&) = delete;

  // Makes the easy handle once (libcurl's global set-up and ignoring SIGPIPE happen
  // once per process first). False when no handle can be made.
  bool Init();

  // curl_easy_setopt; E_FAIL with "ERROR_CHECK_BOOL:curlRet == CURLE_OK" on failure.
  // Integers must be passed as long (curl_off_t is long here).
  HRESULT SetOpt(CURLoption option, long value);
  HRESULT SetOpt(CURLoption option, const char* value);
  HRESULT SetOpt(CURLoption option, const std::string& value) { return SetOpt(option, value.c_str()); }
  template <class T>
  HRESULT SetOpt(CURLoption option, T* pointer) {
    return SetOptRaw(option, "pointer", [&](CURL* h) { return curl_easy_setopt(h, option, pointer); });
  }
  // curl_easy_getinfo, the same way.
  template <class T>
  HRESULT GetInfo(CURLINFO info, T* out) {
    return GetInfoRaw([&](CURL* h) { return curl_easy_getinfo(h, info, out); });
  }

  // Clears the cancel flag, the reply and its headers. Without keepOptions also every
  // option of the handle (NOSIGNAL is set again), the header and body texts and the
  // form parts.
  void Reset(bool keepOptions);

  // Appends one header line ("name:value", sent exactly as written); lines are joined
  // by '&' in the header text. A null text is logged and ignored.
  void SetHeader(const char* header);
  // Appends a piece of the request body, joined by '&'. A null text is logged and ignored.
  void SetPostField(const char* field);
  void AddFormPart(int32_t nameOption, const std::string& name, int32_t contentOption, const std::string& content,
                   int32_t typeOption = 0, const std::string& type = std::string());

  // Bytes per second; 0 leaves that direction unlimited. E_FAIL without a handle or
  // when an option fails.
  HRESULT SetSpeedLimit(uint64_t send, uint64_t receive);
  // The transfer's average speed in bytes per second; 0 when unknown.
  double GetSpeed(bool download);

  // The request operations. url may be null: the URL kept in the handle's options
  // then stands (after a full reset there is none and the transfer fails); timeoutSec
  // 0 means no time-out (the stall guard applies). The reply stays readable through
  // GetResponseText until the next operation or reset.
  CurlStatus Request_URL_GET(const char* url, long timeoutSec);
  // Sends the body text as it stands (an empty body too); does not check the HTTP status.
  CurlStatus Request_URL_POST(const char* url, long timeoutSec);
  // Writes the reply body into the file (created or emptied, 0666 less the umask);
  // follows redirections. A failed transfer leaves what was written. With maxBytes
  // (0: no limit) a reply that announces a longer body fails before the body, and one
  // that brings more fails as the piece that would pass the limit arrives, that piece
  // unwritten: kCurlFailed, logged.
  CurlStatus SimpleDownLoadFile(const char* url, const char* localPath, long timeoutSec, uint64_t maxBytes = 0);
  // A multipart form of the object's parts, then of extraParts; success needs an HTTP
  // status of 200..299.
  CurlStatus PostMutiForm(const char* url, const std::vector<FormPart>* extraParts, long timeoutSec);
  CurlStatus PostMutiForm(const char* url, std::nullptr_t, long timeoutSec) {
    return PostMutiForm(url, static_cast<const std::vector<FormPart>*>(nullptr), timeoutSec);
  }
  // The file's content as the raw body, with libcurl's Accept, Expect and Content-Type
  // lines removed (the header text is not sent). E_FAIL when the file cannot be opened
  // or measured; success needs an HTTP status of 200..299.
  CurlStatus PostMutiForm(const char* url, const char* localPath, long timeoutSec);

  // The reply as text: inflated when the reply's headers say gzip (the first
  // "Content-Encoding:" in exact case, value from the second character after the colon
  // exactly "gzip"), cut at the first NUL byte, invalid UTF-8 replaced by U+FFFD.
  const std::string& GetResponseText();
  // The reply as received (not inflated, not cut).
  const std::string& ReplyBytes() const { return m_reply; }
  // The final response's header lines, as received.
  const std::string& ReplyHeaders() const { return m_replyHeaders; }

  void SetProgressHandler(CurlProgressHandler handler, void* context);
  // Asks the running transfer to stop: a wait for the service ends at once. Any thread
  // may call it; every reset forgets it.
  void Cancel();

  // Test seam: sees every option as it is set (pointers as "pointer"); a result other
  // than CURLE_OK fails the option without setting it.
  using OptionHook = std::function<CURLcode(CURLoption option, const std::string& value)>;
  void SetOptionHook(OptionHook hook) { m_optionHook = std::move(hook); }

 private:
  HRESULT SetOptRaw(CURLoption option, const std::string& text, const std::function<CURLcode(CURL*)>& apply);
  HRESULT GetInfoRaw(const std::function<CURLcode(CURL*)>& query);
  bool Set(CURLoption option, long value) { return SUCCEEDED(SetOpt(option, value)); }
  bool Set(CURLoption option, const char* value) { return SUCCEEDED(SetOpt(option, value)); }
  template <class T>
  bool Set(CURLoption option, T* pointer) {
    return SUCCEEDED(SetOpt(option, pointer));
  }

  bool _SetHttpHeader();
  bool _SetHttpPostField();
  // _SetHttpHeader, then with withBody _SetHttpPostField; each failure is logged with
  // its own line.
  bool _SetHeaderAndBody(bool withBody);
  // Runs the transfer when ready, else gives CURLE_FAILED_INIT without sending; a
  // failed transfer is traced with the URL as it may be logged.
  CURLcode _Perform(bool ready, const char* url);
  // The transfer on a multi handle of its own, waiting at most kPollMs at a time, so
  // that a Cancel wakes it at once and a progress callback that asks to stop is heard
  // within kPollMs even while the service sends nothing.
  CURLcode _PerformCancellable();
  static constexpr int kPollMs = 50;
  // A finished transfer whose HTTP status cannot be read or lies outside 200..299 is
  // logged and continues as the exception code (status 4).
  CURLcode _Require2xx(CURLcode code);
  bool _SetGuards(long timeoutSec);
  bool _SetProgress();
  bool _SetReplyCollection(bool withHeaders);
  bool _BuildForm(const std::vector<FormPart>& parts);
  CurlStatus _MapCurlResult(CURLcode code, long httpCode);
  CurlStatus _Finish(CURLcode code, long httpCode, bool decodeReply);
  void _ReleaseRequestResources();
  void _DecodeReply();

  static size_t _WriteProc(char* data, size_t size, size_t count, void* self);
  static size_t _HeaderProc(char* data, size_t size, size_t count, void* self);
  static size_t _FileWriteProc(char* data, size_t size, size_t count, void* self);
  static size_t _ReadProc(char* data, size_t size, size_t count, void* self);
  static int _ProgressProc(void* self, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t ulTotal, curl_off_t ulNow);

  CurlPolicy m_policy;
  FileEnv* m_env;
  std::string m_reply;         // reply bytes
  std::string m_replyHeaders;  // the final response's header lines
  CURL* m_hCURL = nullptr;
  CurlProgressHandler m_progressHandler = nullptr;
  void* m_progressContext = nullptr;
  std::string m_text;  // the decoded reply
  bool m_textReady = false;
  std::string m_header;  // header lines joined by '&'
  std::string m_body;    // body pieces joined by '&'
  std::vector<FormPart> m_formParts;
  std::atomic<long> m_cancel{0};
  std::mutex m_multiLock;      // m_multi, and a Cancel's wake-up of it
  CURLM* m_multi = nullptr;    // of the transfer running now
  curl_slist* m_plist = nullptr;
  curl_slist* m_streamList = nullptr;
  curl_mime* m_mime = nullptr;
  int m_fd = -1;               // the download's file or the stream post's file
  bool m_ioFailed = false;     // a write or read of that file failed
  bool m_overCap = false;      // the reply passed the cap
  uint64_t m_downloadLimit = 0;  // the running download's limit; 0: none
  uint64_t m_downloaded = 0;     // bytes it wrote so far
  bool m_overLimit = false;      // its reply passed the limit
  OptionHook m_optionHook;
};

// The status of a finished transfer, decided in this order: an HTTP code other than
// 200 (504: kCurlTimedOut, else E_CV_SRV_SERVER_ERROR); a failed read or write of the
// local file: kCurlFailed; CURLE_OK: kCurlOk; a time-out: kCurlTimedOut; an abort by
// the progress function: kCurlCancelled; any failure after a cancel: kCurlCancelled;
// no proxy or host name, no connection: kCurlNoConnection; anything else: kCurlFailed
// (logged). So a time-out that meets a cancel is a time-out.
CurlStatus MapCurlResult(CURLcode code, long httpCode, bool cancelled, bool localFileFailed);

// True when the reply's header lines say gzip: the first "Content-Encoding:" (exact
// case, anywhere in the lines), its value taken from the second character after the
// colon up to the line's end, is exactly "gzip".
bool IsGzipReply(std::string_view headers);

// The reply as text: inflated when IsGzipReply (zlib or gzip framing; what a damaged
// stream gave is used), cut at the first NUL byte, invalid UTF-8 replaced by U+FFFD.
// False, with *text empty, when the inflated reply reaches cap bytes or memory runs out.
bool DecodeReplyText(std::string_view headers, std::string_view bytes, size_t cap, std::string* text);

// The URL as it may be logged: values of query parameters that carry secrets (names
// holding "token", "password" or "key", ignoring case) are replaced by placeholders.
std::string MaskUrlForLog(const std::string& url);
