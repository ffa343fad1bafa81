// A transport that records every request and answers with scripted replies, installed
// into CClsFactory for the life of a TransportRecorder. No network is touched.
//
// Every kind of exchange takes the next scripted reply: Request hands its text back; a
// Download writes the text into the local file (also when the reply is a failure, as a
// broken transfer leaves what arrived); Upload and PostStream record the file they send
// and hand the text back on success. Download and PostStream report progress once,
// half-way, to the installed callback and end with E_CV_CURL_CANCEL when it answers
// E_FAIL.
#pragma once

#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/unknown.h"
#include "core/interfaces/itransport.h"
#include "core/remotestorage/clsfactory.h"

struct RecordedCall {
  std::string kind = "request";  // "request", "download", "upload" or "stream"
  std::string url;
  std::string localPath;  // download target, or the file sent
  std::string sent;       // the content of the file sent
  bool hasHeader = false;
  std::string header;
  bool hasBody = false;  // false: a GET
  std::string body;
  int32_t timeoutSec = -1;
  bool reportNetworkState = false;
  bool hasCallback = false;
};

struct ScriptedReply {
  HRESULT hr = S_OK;
  std::string text;
};

class TransportRecorder {
 public:
  TransportRecorder() : m_state(std::make_shared<State>()) {
    std::shared_ptr<State> state = m_state;
    m_previous = CClsFactory::GetInstance().SetTransportCreator([state](ITransport** out) {
      std::lock_guard<std::mutex> lock(state->mutex);
      if (FAILED(state->createResult)) return state->createResult;
      *out = new Transport(state);
      (*out)->AddRef();
      return S_OK;
    });
  }
  ~TransportRecorder() { CClsFactory::GetInstance().SetTransportCreator(m_previous); }
  TransportRecorder(const TransportRecorder&) = delete;
  TransportRecorder& operator=(const TransportRecorder&) = delete;

  // The reply of the next request; when none is queued, the default reply answers.
  void Queue(HRESULT hr, std::string text) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->queue.push_back({hr, std::move(text)});
  }
  void SetDefault(HRESULT hr, std::string text) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->fallback = {hr, std::move(text)};
  }
  // Makes transport creation fail with hr (S_OK restores it).
  void FailCreation(HRESULT hr) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->createResult = hr;
  }
  // Forgets the recorded calls and the queued replies.
  void Clear() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->calls.clear();
    m_state->queue.clear();
  }
  RecordedCall Last() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->calls.empty() ? RecordedCall() : m_state->calls.back();
  }
  std::vector<RecordedCall> Calls() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->calls;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->calls.size();
  }
  // Transports still alive (every request must release its own).
  int Alive() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->alive;
  }

 private:
  struct State {
    std::mutex mutex;
    std::vector<RecordedCall> calls;
    std::deque<ScriptedReply> queue;
    ScriptedReply fallback{S_OK, "<?xml version=\"1.0\"?><nuvra result=\"ok\"/>"};
    HRESULT createResult = S_OK;
    int alive = 0;
  };

  class Transport final : public CUnknownImpl<ITransport> {
   public:
    explicit Transport(std::shared_ptr<State> state) : m_state(std::move(state)) { ++m_state->alive; }
    HRESULT SetProgressCallback(TransportProgressCallback callback, void* context) override {
      m_callback = callback;
      m_context = context;
      return S_OK;
    }
    HRESULT Request(const std::string& url, const std::string* header, const std::string* body, std::string* reply,
                    int32_t timeoutSec, bool reportNetworkState) override {
      RecordedCall call = Call("request", url, header, body, timeoutSec);
      call.reportNetworkState = reportNetworkState;
      ScriptedReply next = Take(std::move(call));
      if (reply) *reply = next.text;
      return next.hr;
    }
    HRESULT Download(const std::string& url, const std::string& localPath, const std::string& header,
                     const std::string& body, int32_t timeoutSec) override {
      RecordedCall call = Call("download", url, &header, body.empty() ? nullptr : &body, timeoutSec);
      call.localPath = localPath;
      ScriptedReply next = Take(std::move(call));
      std::ofstream(localPath, std::ios::binary | std::ios::trunc) << next.text;
      if (Cancelled(next.text.size(), true)) return E_CV_CURL_CANCEL;
      return next.hr;
    }
    HRESULT Upload(const std::string& url, const std::string& localPath, const std::string& header,
                   const std::string& formFields, std::string* reply, int32_t timeoutSec) override {
      RecordedCall call = Call("upload", url, &header, &formFields, timeoutSec);
      call.localPath = localPath;
      call.sent = ReadAll(localPath);
      ScriptedReply next = Take(std::move(call));
      if (reply && next.hr == S_OK) *reply = next.text;
      return next.hr;
    }
    HRESULT PostStream(const std::string& url, const std::string& localPath, const std::string& header,
                       std::string* reply, int32_t timeoutSec) override {
      RecordedCall call = Call("stream", url, &header, nullptr, timeoutSec);
      call.localPath = localPath;
      call.sent = ReadAll(localPath);
      size_t size = call.sent.size();
      ScriptedReply next = Take(std::move(call));
      if (Cancelled(size, false)) return E_CV_CURL_CANCEL;
      if (reply && next.hr == S_OK) *reply = next.text;
      return next.hr;
    }
    HRESULT Cancel(bool) override { return S_OK; }
    HRESULT SetSpeedLimit(uint32_t, uint32_t) override { return S_OK; }

   private:
    ~Transport() override {
      std::lock_guard<std::mutex> lock(m_state->mutex);
      --m_state->alive;
    }
    RecordedCall Call(const char* kind, const std::string& url, const std::string* header, const std::string* body,
                      int32_t timeoutSec) {
      RecordedCall call;
      call.kind = kind;
      call.url = url;
      call.hasHeader = header != nullptr;
      if (header) call.header = *header;
      call.hasBody = body != nullptr;
      if (body) call.body = *body;
      call.timeoutSec = timeoutSec;
      call.hasCallback = m_callback != nullptr;
      return call;
    }
    ScriptedReply Take(RecordedCall call) {
      std::lock_guard<std::mutex> lock(m_state->mutex);
      m_state->calls.push_back(std::move(call));
      ScriptedReply next = m_state->fallback;
      if (!m_state->queue.empty()) {
        next = m_state->queue.front();
        m_state->queue.pop_front();
      }
      return next;
    }
    // One progress report half-way through a transfer of size bytes.
    bool Cancelled(size_t size, bool download) {
      if (m_callback == nullptr) return false;
      double half = static_cast<double>(size) / 2;
      double total = static_cast<double>(size);
      HRESULT hr = download ? m_callback(m_context, total, half, 0, 0, 0) : m_callback(m_context, 0, 0, total, half, 0);
      return hr == E_FAIL;
    }
    static std::string ReadAll(const std::string& path) {
      std::ifstream in(path, std::ios::binary);
      return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::shared_ptr<State> m_state;
    TransportProgressCallback m_callback = nullptr;
    void* m_context = nullptr;
  };

  std::shared_ptr<State> m_state;
  TransportCreateFn m_previous;
};
