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
  struct State {
    std::mutex mutex;
    std::vector<RecordedCall> calls;
    std::deque<ScriptedReply> queue;
    ScriptedReply fallback{S_OK, "<?xml version=\"1.0\"?><nuvra result=\"ok\"/>"};
    HRESULT createResult = S_OK;
    int alive = 0;
  };
  template <class F>
  auto Locked(F f) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return f(*m_state);
  }

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
  void Queue(HRESULT hr, std::string text) { Locked([&](State& s) { s.queue.push_back({hr, std::move(text)}); }); }
  void SetDefault(HRESULT hr, std::string text) { Locked([&](State& s) { s.fallback = {hr, std::move(text)}; }); }
  // Makes transport creation fail with hr (S_OK restores it).
  void FailCreation(HRESULT hr) { Locked([&](State& s) { s.createResult = hr; }); }
  // Forgets the recorded calls and the queued replies.
  void Clear() {
    Locked([](State& s) {
      s.calls.clear();
      s.queue.clear();
    });
  }
  RecordedCall Last() {
    return Locked([](State& s) { return s.calls.empty() ? RecordedCall() : s.calls.back(); });
  }
  std::vector<RecordedCall> Calls() {
    return Locked([](State& s) { return s.calls; });
  }
  size_t Count() {
    return Locked([](State& s) { return s.calls.size(); });
  }
  // Transports still alive (every request must release its own).
  int Alive() {
    return Locked([](State& s) { return s.alive; });
  }

 private:
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
      RecordedCall call = Call("download", url, &header, body.empty() ? nullptr : &body, timeoutSec, localPath);
      ScriptedReply next = Take(std::move(call));
      std::ofstream(localPath, std::ios::binary | std::ios::trunc) << next.text;
      return Cancelled(next.text.size(), true) ? E_CV_CURL_CANCEL : next.hr;
    }
    HRESULT Upload(const std::string& url, const std::string& localPath, const std::string& header,
                   const std::string& formFields, std::string* reply, int32_t timeoutSec) override {
      ScriptedReply next = Take(Call("upload", url, &header, &formFields, timeoutSec, localPath));
      if (reply && next.hr == S_OK) *reply = next.text;
      return next.hr;
    }
    HRESULT PostStream(const std::string& url, const std::string& localPath, const std::string& header,
                       std::string* reply, int32_t timeoutSec) override {
      RecordedCall call = Call("stream", url, &header, nullptr, timeoutSec, localPath);
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
    // The call as recorded; a file that is sent (not a download target) is read now.
    RecordedCall Call(const char* kind, const std::string& url, const std::string* header, const std::string* body,
                      int32_t timeoutSec, const std::string& localPath = "") {
      RecordedCall call;
      call.kind = kind;
      call.url = url;
      call.localPath = localPath;
      if (!localPath.empty() && call.kind != "download") {
        std::ifstream in(localPath, std::ios::binary);
        call.sent.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      }
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
      if (m_state->queue.empty()) return m_state->fallback;
      ScriptedReply next = m_state->queue.front();
      m_state->queue.pop_front();
      return next;
    }
    // One progress report half-way through a transfer of size bytes.
    bool Cancelled(size_t size, bool download) {
      if (m_callback == nullptr) return false;
      double total = static_cast<double>(size), half = total / 2;
      HRESULT hr = download ? m_callback(m_context, total, half, 0, 0, 0) : m_callback(m_context, 0, 0, total, half, 0);
      return hr == E_FAIL;
    }
    std::shared_ptr<State> m_state;
    TransportProgressCallback m_callback = nullptr;
    void* m_context = nullptr;
  };

  std::shared_ptr<State> m_state;
  TransportCreateFn m_previous;
};
