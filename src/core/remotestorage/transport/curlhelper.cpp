#include "core/remotestorage/transport/curlhelper.h"

#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>

#include "common/checks.h"
#include "common/gzipbuffer.h"
#include "common/log.h"
#include "common/strhelper.h"
#include "common/utf8.h"
#include "platform/posixfile.h"

namespace {

// The code an operation continues with after an exception inside it.
constexpr CURLcode kExceptionCode = static_cast<CURLcode>(87);

// libcurl's global set-up is not thread-safe, so it runs once before the first handle.
// Writes to a connection the peer closed must fail, not end the process.
void GlobalInitOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    curl_global_init(CURL_GLOBAL_ALL);
    ::signal(SIGPIPE, SIG_IGN);
  });
}

std::string UrlForLog(const char* url) { return url ? MaskUrlForLog(url) : std::string(); }

bool InRange2xx(long code) { return code >= 200 && code <= 299; }

// The file of a form part, read by libcurl through the callbacks below the way it
// reads a file it opens itself: a file that could not be opened fails its first read,
// a read error ends the data (as fread does), and only a regular file can be rewound.
struct FormFile {
  FileEnv* env;
  int fd;  // -1 when the file could not be opened
};

constexpr size_t kCurlReadError = static_cast<size_t>(-1);

size_t FormFileRead(char* buffer, size_t size, size_t count, void* arg) {
  auto* file = static_cast<FormFile*>(arg);
  if (file->fd < 0) return kCurlReadError;
  ssize_t n = file->env->Read(file->fd, buffer, size * count);
  return n < 0 ? 0 : static_cast<size_t>(n);
}

int FormFileSeek(void* arg, curl_off_t offset, int origin) {
  auto* file = static_cast<FormFile*>(arg);
  return file->env->Seek(file->fd, static_cast<off_t>(offset), origin) < 0 ? CURL_SEEKFUNC_CANTSEEK
                                                                            : CURL_SEEKFUNC_OK;
}

void FormFileFree(void* arg) {
  auto* file = static_cast<FormFile*>(arg);
  if (file->fd >= 0) file->env->Close(file->fd);
  delete file;
}

// The content type libcurl gives a file part: by the extension of its name, else
// application/octet-stream.
const char* FormFileContentType(const std::string& name) {
  static const std::pair<std::string_view, const char*> kTypes[] = {
      {".gif", "image/gif"},      {".jpg", "image/jpeg"}, {".jpeg", "image/jpeg"},     {".png", "image/png"},
      {".svg", "image/svg+xml"},  {".txt", "text/plain"}, {".htm", "text/html"},       {".html", "text/html"},
      {".pdf", "application/pdf"}, {".xml", "application/xml"},
  };
  for (const auto& [extension, type] : kTypes)
    if (name.size() >= extension.size() &&
        strcasecmp(name.c_str() + name.size() - extension.size(), extension.data()) == 0)
      return type;
  return "application/octet-stream";
}

void LogFormException(const char* url) {
  OSTREL_LOG(kLogError, "%s", "*ASSERT*: 0");
  OSTREL_LOG(kLogError, "PostMutiForm Raise Exception! szURL = %s", url ? UrlForLog(url).c_str() : "NULL");
}

}  // namespace

std::string MaskUrlForLog(const std::string& url) {
  size_t q = url.find('?');
  if (q == std::string::npos) return url;
  std::string out = url.substr(0, q + 1);
  size_t pos = q + 1;
  while (pos <= url.size()) {
    size_t amp = url.find('&', pos);
    std::string item = url.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
    size_t eq = item.find('=');
    if (eq != std::string::npos) {
      std::string name = item.substr(0, eq);
      std::string lower = ToLowerAscii(name);
      if (lower.find("token") != std::string::npos)
        item = name + "=__token__";
      else if (lower.find("password") != std::string::npos || lower == "pwd")
        item = name + "=__password__";
      else if (lower.find("key") != std::string::npos)
        item = name + "=__key__";
    }
    out += item;
    if (amp == std::string::npos) break;
    out += '&';
    pos = amp + 1;
  }
  return out;
}

CCurlHelper::CCurlHelper(CurlPolicy policy, FileEnv* env) : m_policy(policy), m_env(env) {}

CCurlHelper::~CCurlHelper() {
  _ReleaseRequestResources();
  if (m_fd >= 0) m_env->Close(m_fd);
  if (m_hCURL) curl_easy_cleanup(m_hCURL);
}

bool CCurlHelper::Init() {
  if (m_hCURL) return true;
  GlobalInitOnce();
  m_hCURL = curl_easy_init();
  ERROR_CHECK_BOOL_FLAG(m_hCURL);
  SetOpt(CURLOPT_NOSIGNAL, 1L);
  return true;
}

HRESULT CCurlHelper::SetOptRaw(CURLoption option, const std::string& text,
                               const std::function<CURLcode(CURL*)>& apply) {
  CURLcode curlRet = CURLE_OK;
  if (m_optionHook) curlRet = m_optionHook(option, text);
  if (curlRet == CURLE_OK) curlRet = m_hCURL ? apply(m_hCURL) : CURLE_FAILED_INIT;
  ERROR_CHECK_BOOL(curlRet == CURLE_OK);
  return S_OK;
}

HRESULT CCurlHelper::SetOpt(CURLoption option, long value) {
  return SetOptRaw(option, std::to_string(value), [&](CURL* h) { return curl_easy_setopt(h, option, value); });
}

HRESULT CCurlHelper::SetOpt(CURLoption option, const char* value) {
  return SetOptRaw(option, value ? value : "(null)", [&](CURL* h) { return curl_easy_setopt(h, option, value); });
}

HRESULT CCurlHelper::GetInfoRaw(const std::function<CURLcode(CURL*)>& query) {
  CURLcode curlRet = m_hCURL ? query(m_hCURL) : CURLE_FAILED_INIT;
  ERROR_CHECK_BOOL(curlRet == CURLE_OK);
  return S_OK;
}

void CCurlHelper::Reset(bool keepOptions) {
  m_cancel.exchange(0);
  m_reply.clear();
  if (m_reply.capacity() > (size_t(1) << 20)) std::string().swap(m_reply);
  m_text.clear();
  m_textReady = false;
  m_replyHeaders.clear();
  m_overCap = false;
  m_ioFailed = false;
  m_overLimit = false;
  if (keepOptions) return;
  if (m_hCURL) {
    curl_easy_reset(m_hCURL);
    SetOpt(CURLOPT_NOSIGNAL, 1L);
  }
  m_header.clear();
  m_body.clear();
  m_formParts.clear();
}

void CCurlHelper::SetHeader(const char* szHeader) {
  ASSERT(szHeader);
  if (!szHeader) return;
  if (!m_header.empty()) m_header += '&';
  m_header += szHeader;
}

void CCurlHelper::SetPostField(const char* szPostField) {
  ASSERT(szPostField);
  if (!szPostField) return;
  if (!m_body.empty()) m_body += '&';
  m_body += szPostField;
}

void CCurlHelper::AddFormPart(int32_t nameOption, const std::string& name, int32_t contentOption,
                              const std::string& content, int32_t typeOption, const std::string& type) {
  m_formParts.push_back({nameOption, name, contentOption, content, typeOption, type});
}

HRESULT CCurlHelper::SetSpeedLimit(uint64_t send, uint64_t receive) {
  if (!m_hCURL) return E_FAIL;
  // 0 is libcurl's "unlimited"; it is set too, so that a limit of an earlier transfer
  // on this handle never stays in force.
  if (FAILED(SetOpt(CURLOPT_MAX_SEND_SPEED_LARGE, static_cast<long>(send)))) return E_FAIL;
  if (FAILED(SetOpt(CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<long>(receive)))) return E_FAIL;
  return S_OK;
}

double CCurlHelper::GetSpeed(bool download) {
  curl_off_t speed = 0;
  if (!m_hCURL) return 0;
  if (curl_easy_getinfo(m_hCURL, download ? CURLINFO_SPEED_DOWNLOAD_T : CURLINFO_SPEED_UPLOAD_T, &speed) != CURLE_OK)
    return 0;
  return static_cast<double>(speed);
}

void CCurlHelper::SetProgressHandler(CurlProgressHandler handler, void* context) {
  m_progressHandler = handler;
  m_progressContext = context;
}

// ---- option groups --------------------------------------------------------------

bool CCurlHelper::_SetHttpHeader() {
  if (m_header.empty()) return true;
  curl_slist_free_all(m_plist);
  m_plist = nullptr;
  size_t pos = 0;
  for (;;) {
    size_t amp = m_header.find('&', pos);
    std::string piece = m_header.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
    curl_slist* grown = curl_slist_append(m_plist, piece.c_str());
    if (!grown) {
      OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOL:m_plist");
      return false;
    }
    m_plist = grown;
    if (amp == std::string::npos) break;
    pos = amp + 1;
  }
  return Set(CURLOPT_HTTPHEADER, m_plist);
}

bool CCurlHelper::_SetHttpPostField() {
  if (m_body.empty()) return true;
  // libcurl keeps a pointer to the body (not a copy); m_body lives until the next reset.
  return Set(CURLOPT_POSTFIELDS, m_body.c_str()) &&
         Set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<long>(m_body.size()));
}

bool CCurlHelper::_SetHeaderAndBody(bool withBody) {
  if (!_SetHttpHeader()) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOL:_SetHttpHeader()");
    return false;
  }
  if (withBody && !_SetHttpPostField()) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOL:_SetHttpPostField()");
    return false;
  }
  return true;
}

bool CCurlHelper::_SetGuards(long timeoutSec) {
  bool ok = Set(CURLOPT_NOSIGNAL, 1L) && Set(CURLOPT_PROTOCOLS_STR, "http,https") &&
            Set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https") && Set(CURLOPT_MAXREDIRS, m_policy.maxRedirects) &&
            Set(CURLOPT_CONNECTTIMEOUT, m_policy.connectTimeoutSec) && Set(CURLOPT_TIMEOUT, timeoutSec);
  if (timeoutSec == 0)
    ok = ok && Set(CURLOPT_LOW_SPEED_LIMIT, m_policy.lowSpeedLimit) && Set(CURLOPT_LOW_SPEED_TIME, m_policy.lowSpeedTimeSec);
  else
    ok = ok && Set(CURLOPT_LOW_SPEED_LIMIT, 0L) && Set(CURLOPT_LOW_SPEED_TIME, 0L);
  return ok && Set(CURLOPT_SSL_VERIFYPEER, 1L) && Set(CURLOPT_SSL_VERIFYHOST, 2L);
}

bool CCurlHelper::_SetProgress() {
  return Set(CURLOPT_NOPROGRESS, 0L) && Set(CURLOPT_XFERINFODATA, this) &&
         Set(CURLOPT_XFERINFOFUNCTION, &CCurlHelper::_ProgressProc);
}

bool CCurlHelper::_SetReplyCollection(bool withHeaders) {
  bool ok = Set(CURLOPT_WRITEFUNCTION, &CCurlHelper::_WriteProc) && Set(CURLOPT_WRITEDATA, this);
  if (withHeaders)
    return ok && Set(CURLOPT_HEADERFUNCTION, &CCurlHelper::_HeaderProc) && Set(CURLOPT_HEADERDATA, this);
  // Both cleared: with header data but no function, libcurl would give the header
  // lines to the write function.
  return ok && Set(CURLOPT_HEADERFUNCTION, static_cast<curl_write_callback>(nullptr)) &&
         Set(CURLOPT_HEADERDATA, static_cast<void*>(nullptr));
}

bool CCurlHelper::_BuildForm(const std::vector<FormPart>& parts) {
  if (!m_mime) m_mime = curl_mime_init(m_hCURL);
  if (!m_mime) return false;
  // As with the form functions the results of the part set-up are not looked at: a
  // file that cannot be read fails the transfer itself.
  for (const FormPart& part : parts) {
    curl_mimepart* p = curl_mime_addpart(m_mime);
    if (!p) return false;
    curl_mime_name(p, part.name.c_str());
    if (part.contentOption == kFormFile) {
      // Named after the file and typed by its name, as libcurl does for its own files.
      auto* file = new FormFile{m_env, m_env->Open(part.content, O_RDONLY, 0)};
      struct stat st {};
      bool regular = file->fd >= 0 && m_env->Fstat(file->fd, &st) && S_ISREG(st.st_mode);
      curl_mime_data_cb(p, regular ? static_cast<curl_off_t>(st.st_size) : -1, FormFileRead,
                        regular ? FormFileSeek : nullptr, FormFileFree, file);
      const std::string name = part.content.substr(part.content.rfind('/') + 1);
      curl_mime_filename(p, name.c_str());
      if (part.typeOption == 0) curl_mime_type(p, FormFileContentType(name));
    } else {
      curl_mime_data(p, part.content.data(), part.content.size());
    }
    if (part.typeOption != 0) curl_mime_type(p, part.type.c_str());
  }
  return true;
}

// ---- results ----------------------------------------------------------------------

void CCurlHelper::Cancel() {
  m_cancel.exchange(1);
  std::lock_guard<std::mutex> guard(m_multiLock);
  if (m_multi) curl_multi_wakeup(m_multi);
}

CURLcode CCurlHelper::_PerformCancellable() {
  CURLM* multi = curl_multi_init();
  if (!multi) return CURLE_OUT_OF_MEMORY;
  if (curl_multi_add_handle(multi, m_hCURL) != CURLM_OK) {
    curl_multi_cleanup(multi);
    return CURLE_FAILED_INIT;
  }
  {
    std::lock_guard<std::mutex> guard(m_multiLock);
    m_multi = multi;
  }
  CURLcode code = CURLE_OK;
  for (;;) {
    int running = 0;
    CURLMcode mc = curl_multi_perform(multi, &running);
    if (mc != CURLM_OK) {
      code = mc == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_FAILED_INIT;
      break;
    }
    if (running == 0) {
      int left = 0;
      while (CURLMsg* msg = curl_multi_info_read(multi, &left))
        if (msg->msg == CURLMSG_DONE && msg->easy_handle == m_hCURL) code = msg->data.result;
      break;
    }
    if (m_cancel.load() != 0) {
      code = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    // Waits for the connection or libcurl's next timer, kPollMs at most, or a Cancel.
    mc = curl_multi_poll(multi, nullptr, 0, kPollMs, nullptr);
    if (mc != CURLM_OK) {
      code = CURLE_FAILED_INIT;
      break;
    }
  }
  {
    std::lock_guard<std::mutex> guard(m_multiLock);
    m_multi = nullptr;
  }
  curl_multi_remove_handle(multi, m_hCURL);
  curl_multi_cleanup(multi);
  return code;
}

CURLcode CCurlHelper::_Perform(bool ready, const char* url) {
  if (!ready) return CURLE_FAILED_INIT;
  CURLcode code = _PerformCancellable();
  if (code != CURLE_OK) OSTREL_LOG(kLogTrace, "CHECK_BOOL:curlRet == CURLE_OK MSG: %s", UrlForLog(url).c_str());
  return code;
}

CURLcode CCurlHelper::_Require2xx(CURLcode code) {
  if (code != CURLE_OK) return code;
  long responseCode = 0;
  if (SUCCEEDED(GetInfo(CURLINFO_RESPONSE_CODE, &responseCode)) && InRange2xx(responseCode)) return code;
  OSTREL_LOG(kLogWarn, "GetInfo Error Or Response Code Not In Range 200~300, Response Code:%d",
             static_cast<int>(responseCode));
  return kExceptionCode;
}

CurlStatus MapCurlResult(CURLcode code, long httpCode, bool cancelled, bool localFileFailed) {
  if (httpCode != 200) return httpCode == 504 ? kCurlTimedOut : E_CV_SRV_SERVER_ERROR;
  if (localFileFailed) {
    OSTREL_LOG(kLogWarn, "CCurlHelper Visit Network Failded. CURLcode = %d (local file error)", static_cast<int>(code));
    return kCurlFailed;
  }
  if (code == CURLE_OK) return kCurlOk;
  if (code == CURLE_OPERATION_TIMEDOUT) return kCurlTimedOut;
  if (code == CURLE_ABORTED_BY_CALLBACK) return kCurlCancelled;
  if (cancelled) return kCurlCancelled;
  if (code == CURLE_COULDNT_RESOLVE_PROXY || code == CURLE_COULDNT_RESOLVE_HOST || code == CURLE_COULDNT_CONNECT)
    return kCurlNoConnection;
  OSTREL_LOG(kLogWarn, "CCurlHelper Visit Network Failded. CURLcode = %d", static_cast<int>(code));
  return kCurlFailed;
}

CurlStatus CCurlHelper::_MapCurlResult(CURLcode code, long httpCode) {
  return MapCurlResult(code, httpCode, m_cancel.load() != 0, m_ioFailed);
}

void CCurlHelper::_ReleaseRequestResources() {
  // The handle keeps pointers to the lists and the form; they are taken back before
  // they are freed, so that a later transfer on kept options cannot reach them.
  if (m_plist || m_streamList) {
    if (m_hCURL) curl_easy_setopt(m_hCURL, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
    curl_slist_free_all(m_plist);
    curl_slist_free_all(m_streamList);
    m_plist = nullptr;
    m_streamList = nullptr;
  }
  if (m_mime) {
    if (m_hCURL) curl_easy_setopt(m_hCURL, CURLOPT_MIMEPOST, static_cast<curl_mime*>(nullptr));
    curl_mime_free(m_mime);
    m_mime = nullptr;
  }
}

CurlStatus CCurlHelper::_Finish(CURLcode code, long httpCode, bool decodeReply) {
  _ReleaseRequestResources();
  CurlStatus status = _MapCurlResult(code, httpCode);
  if (decodeReply) {
    _DecodeReply();
    if (m_overCap && status == kCurlOk) status = kCurlFailed;
  }
  return status;
}

bool IsGzipReply(std::string_view headers) {
  static constexpr std::string_view kName = "Content-Encoding:";
  size_t pos = headers.find(kName);
  if (pos == std::string_view::npos) return false;
  // The value starts at the second character after the colon (one blank assumed).
  size_t start = pos + kName.size() + 1;
  if (start >= headers.size()) return false;
  size_t end = headers.find("\r\n", start);
  return headers.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start) == "gzip";
}

bool DecodeReplyText(std::string_view headers, std::string_view bytes, size_t cap, std::string* text) {
  text->clear();
  try {
    std::string inflated;
    if (!bytes.empty() && IsGzipReply(headers)) {
      GzipBuffer gzip(1024);
      // Whatever was inflated is used, also when the stream stops early; output that
      // reaches the cap fails.
      if (!gzip.Inflate(bytes.data(), bytes.size(), &inflated, cap) && inflated.size() >= cap) {
        OSTREL_LOG(kLogWarn, "CCurlHelper: the inflated reply is over the cap of %zu bytes", cap);
        return false;
      }
      bytes = inflated;
    }
    bytes = bytes.substr(0, bytes.find('\0'));
    *text = ToValidUtf8(bytes);
    return true;
  } catch (const std::bad_alloc&) {
    text->clear();
    OSTREL_LOG(kLogWarn, "CCurlHelper: out of memory decoding a reply of %zu bytes", bytes.size());
    return false;
  }
}

void CCurlHelper::_DecodeReply() {
  if (m_textReady) return;
  m_textReady = true;
  if (!DecodeReplyText(m_replyHeaders, m_reply, m_policy.replyCap, &m_text)) m_overCap = true;
}

const std::string& CCurlHelper::GetResponseText() {
  _DecodeReply();
  return m_text;
}

// ---- callbacks --------------------------------------------------------------------

size_t CCurlHelper::_WriteProc(char* data, size_t size, size_t count, void* p) {
  auto* self = static_cast<CCurlHelper*>(p);
  size_t n = size * count;
  try {
    if (n > self->m_policy.replyCap - self->m_reply.size()) {
      if (!self->m_overCap)
        OSTREL_LOG(kLogWarn, "CCurlHelper: the reply is over the cap of %zu bytes", self->m_policy.replyCap);
      self->m_overCap = true;
      return 0;
    }
    // Grow geometrically, but never past the cap. (reserve on a non-empty string may
    // itself double the capacity, so the new buffer is sized from empty.)
    size_t need = self->m_reply.size() + n;
    if (need > self->m_reply.capacity()) {
      std::string grown;
      grown.reserve(std::min(std::max(need, 2 * self->m_reply.capacity()), self->m_policy.replyCap));
      grown.append(self->m_reply);
      self->m_reply.swap(grown);
    }
    self->m_reply.append(data, n);
    return n;
  } catch (...) {
    return 0;
  }
}

size_t CCurlHelper::_HeaderProc(char* data, size_t size, size_t count, void* p) {
  auto* self = static_cast<CCurlHelper*>(p);
  size_t n = size * count;
  try {
    // Only the final response counts: an interim (100) or redirecting response's lines
    // are dropped when the next status line arrives.
    if (n >= 5 && std::memcmp(data, "HTTP/", 5) == 0) self->m_replyHeaders.clear();
    if (n > self->m_policy.replyCap - self->m_replyHeaders.size()) return 0;
    self->m_replyHeaders.append(data, n);
    return n;
  } catch (...) {
    return 0;
  }
}

size_t CCurlHelper::_FileWriteProc(char* data, size_t size, size_t count, void* p) {
  auto* self = static_cast<CCurlHelper*>(p);
  size_t n = size * count, done = 0;
  if (self->m_downloadLimit != 0 && n > self->m_downloadLimit - self->m_downloaded) {
    OSTREL_LOG(kLogWarn, "CCurlHelper::SimpleDownLoadFile: the reply brings more than the limit of %llu bytes",
               static_cast<unsigned long long>(self->m_downloadLimit));
    self->m_overLimit = true;
    return 0;
  }
  self->m_downloaded += n;
  while (done < n) {
    ssize_t w = self->m_fd >= 0 ? self->m_env->Write(self->m_fd, data + done, n - done) : -1;
    if (w <= 0) {
      OSTREL_LOG(kLogWarn, "CCurlHelper::SimpleDownLoadFile: writing the file failed: %s", std::strerror(errno));
      self->m_ioFailed = true;
      return 0;
    }
    done += static_cast<size_t>(w);
  }
  return n;
}

size_t CCurlHelper::_ReadProc(char* data, size_t size, size_t count, void* p) {
  auto* self = static_cast<CCurlHelper*>(p);
  if (!self || self->m_fd < 0) return CURL_READFUNC_ABORT;
  ssize_t r = self->m_env->Read(self->m_fd, data, size * count);
  if (r < 0) {
    OSTREL_LOG(kLogWarn, "CCurlHelper::PostMutiForm: reading the file failed: %s", std::strerror(errno));
    self->m_ioFailed = true;
    return CURL_READFUNC_ABORT;
  }
  return static_cast<size_t>(r);
}

int CCurlHelper::_ProgressProc(void* p, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t ulTotal, curl_off_t ulNow) {
  auto* self = static_cast<CCurlHelper*>(p);
  if (self->m_progressHandler)
    self->m_progressHandler(self->m_progressContext, static_cast<double>(dlTotal), static_cast<double>(dlNow),
                            static_cast<double>(ulTotal), static_cast<double>(ulNow));
  return self->m_cancel.load() != 0 ? 1 : 0;
}

// ---- request operations ----------------------------------------------------------

CurlStatus CCurlHelper::Request_URL_GET(const char* url, long timeoutSec) {
  ASSERT(m_hCURL);
  Reset(true);
  long httpCode = 200;
  CURLcode code = CURLE_OK;
  try {
    // Without a body this is a GET, whatever an earlier transfer on kept options was.
    bool ok = (!url || Set(CURLOPT_URL, url)) && _SetHeaderAndBody(true) &&
              (!m_body.empty() || Set(CURLOPT_HTTPGET, 1L)) && _SetProgress() && _SetReplyCollection(true) &&
              _SetGuards(timeoutSec);
    code = _Perform(ok, url);
    if (code == CURLE_OK) GetInfo(CURLINFO_RESPONSE_CODE, &httpCode);
  } catch (...) {
    OSTREL_LOG(kLogError, "Request_URL_GET Raise Exception! szURL = %s", url ? UrlForLog(url).c_str() : "NULL");
    code = kExceptionCode;
  }
  return _Finish(code, httpCode, true);
}

CurlStatus CCurlHelper::Request_URL_POST(const char* url, long timeoutSec) {
  ASSERT(m_hCURL);
  Reset(true);
  CURLcode code = CURLE_OK;
  try {
    // An empty body is sent as an empty body; without it libcurl would read the body
    // from standard input.
    bool ok = (!url || Set(CURLOPT_URL, url)) && Set(CURLOPT_POST, 1L) && _SetHeaderAndBody(true) &&
              (!m_body.empty() || (Set(CURLOPT_POSTFIELDS, "") && Set(CURLOPT_POSTFIELDSIZE_LARGE, 0L))) &&
              _SetProgress() && _SetReplyCollection(true) && _SetGuards(timeoutSec);
    code = _Perform(ok, url);
  } catch (...) {
    OSTREL_LOG(kLogError, "Request_URL_POST Raise Exception! szURL = %s", url ? UrlForLog(url).c_str() : "NULL");
    code = kExceptionCode;
  }
  return _Finish(code, 200, true);
}

CurlStatus CCurlHelper::SimpleDownLoadFile(const char* url, const char* localPath, long timeoutSec,
                                           uint64_t maxBytes) {
  long httpCode = 200;
  CURLcode code = CURLE_OK;
  m_ioFailed = false;
  m_overLimit = false;
  m_downloadLimit = maxBytes;
  m_downloaded = 0;
  try {
    bool ok = (!url || Set(CURLOPT_URL, url)) && _SetHeaderAndBody(true);
    if (ok) {
      m_fd = m_env->Open(localPath ? localPath : "", O_WRONLY | O_CREAT | O_TRUNC, 0666);
      if (m_fd < 0) {
        OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOL:file");
        ok = false;
      }
    }
    // Written by our own function, so that a failed write stops the transfer.
    ok = ok && Set(CURLOPT_WRITEFUNCTION, &CCurlHelper::_FileWriteProc) && Set(CURLOPT_WRITEDATA, this) &&
         Set(CURLOPT_HEADERFUNCTION, static_cast<curl_write_callback>(nullptr)) &&
         Set(CURLOPT_HEADERDATA, static_cast<void*>(nullptr)) && (!m_body.empty() || Set(CURLOPT_HTTPGET, 1L)) &&
         Set(CURLOPT_FOLLOWLOCATION, 1L) && _SetProgress() && _SetGuards(timeoutSec) &&
         Set(CURLOPT_MAXFILESIZE_LARGE, static_cast<long>(maxBytes));
    code = _Perform(ok, url);
    if (code == CURLE_FILESIZE_EXCEEDED) {
      OSTREL_LOG(kLogWarn, "CCurlHelper::SimpleDownLoadFile: the reply announces more than the limit of %llu bytes",
                 static_cast<unsigned long long>(maxBytes));
      m_overLimit = true;
    }
    if (code == CURLE_OK && FAILED(GetInfo(CURLINFO_RESPONSE_CODE, &httpCode))) {
      OSTREL_LOG(kLogError, "%s", "*ASSERT*: !L\"CCurlHelper::SimpleDownLoadFile Failed!\"");
      code = kExceptionCode;
    }
  } catch (...) {
    OSTREL_LOG(kLogError, "SimpleDownLoadFile Raise Exception! szURL = %s, szLocal = %s",
               url ? UrlForLog(url).c_str() : "NULL", localPath ? localPath : "NULL");
    code = kExceptionCode;
  }
  if (m_fd >= 0) {
    if (!m_env->Close(m_fd)) {
      OSTREL_LOG(kLogWarn, "CCurlHelper::SimpleDownLoadFile: closing the file failed: %s", std::strerror(errno));
      m_ioFailed = true;
    }
    m_fd = -1;
  }
  m_downloadLimit = 0;
  if (m_overLimit) {
    // Stopped by the limit, which has logged it: whatever libcurl made of that.
    _ReleaseRequestResources();
    return kCurlFailed;
  }
  return _Finish(code, httpCode, false);
}

CurlStatus CCurlHelper::PostMutiForm(const char* url, const std::vector<FormPart>* extraParts, long timeoutSec) {
  ASSERT(m_hCURL);
  Reset(true);
  CURLcode code = CURLE_OK;
  try {
    bool ok = (!url || Set(CURLOPT_URL, url)) && _SetHeaderAndBody(false) && Set(CURLOPT_POST, 1L);
    bool anyPart = !m_formParts.empty() || (extraParts && !extraParts->empty());
    if (ok && anyPart) {
      ok = _BuildForm(m_formParts) && (!extraParts || _BuildForm(*extraParts)) && Set(CURLOPT_MIMEPOST, m_mime);
    } else if (ok) {
      ok = Set(CURLOPT_POSTFIELDS, "") && Set(CURLOPT_POSTFIELDSIZE_LARGE, 0L);
    }
    ok = ok && _SetProgress() && _SetReplyCollection(false) && _SetGuards(timeoutSec);
    code = _Require2xx(_Perform(ok, url));
  } catch (...) {
    LogFormException(url);
    code = kExceptionCode;
  }
  return _Finish(code, 200, true);
}

CurlStatus CCurlHelper::PostMutiForm(const char* url, const char* localPath, long timeoutSec) {
  ASSERT(m_hCURL);
  PosixFile source(m_env);
  if (!source.OpenRegularForRead(localPath ? localPath : "") && errno != EINVAL && errno != EISDIR) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOL:NULL != reader.fp");
    return E_FAIL;
  }
  if (!source.IsOpen()) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOL:S_OK == hr");
    return E_FAIL;
  }
  struct stat st {};
  if (!source.Stat(&st)) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOL:S_OK == hr");
    return E_FAIL;
  }
  int fd = source.Release();
  Reset(true);
  m_fd = fd;
  CURLcode code = CURLE_OK;
  try {
    bool ok = Set(CURLOPT_READFUNCTION, &CCurlHelper::_ReadProc) && Set(CURLOPT_READDATA, this) &&
              (!url || Set(CURLOPT_URL, url)) && _SetHeaderAndBody(false);
    // Three empty lines take libcurl's own Accept, Expect and Content-Type away; the
    // list replaces the one made from the header text.
    for (const char* line : {"Accept:", "Expect:", "Content-Type:"}) {
      curl_slist* grown = ok ? curl_slist_append(m_streamList, line) : nullptr;
      if (ok && !grown) OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOL:m_plist");
      ok = ok && grown;
      if (grown) m_streamList = grown;
    }
    // No body text: the body comes from the read function, for exactly the file's size.
    ok = ok && Set(CURLOPT_HTTPHEADER, m_streamList) && Set(CURLOPT_POSTFIELDS, static_cast<const char*>(nullptr)) &&
         Set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<long>(st.st_size)) && Set(CURLOPT_POST, 1L) &&
         _SetProgress() && _SetReplyCollection(false) && _SetGuards(timeoutSec);
    code = _Require2xx(_Perform(ok, url));
  } catch (...) {
    LogFormException(url);
    code = kExceptionCode;
  }
  if (m_hCURL) curl_easy_setopt(m_hCURL, CURLOPT_READDATA, static_cast<void*>(nullptr));
  m_env->Close(m_fd);
  m_fd = -1;
  return _Finish(code, 200, true);
}
