// A transport that records every request and answers with scripted replies, installed
// into CClsFactory for the life of a TransportRecorder. No network is touched.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/unknown.h"
#include "core/interfaces/itransport.h"
#include "core/remotestorage/clsfactory.h"

struct RecordedCall {
  std::string url;
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
    HRESULT SetProgressCallback(TransportProgressCallback callback, void*) override {
      m_hasCallback = callback != nullptr;
      return S_OK;
    }
    HRESULT Request(const std::string& url, const std::string* header, const std::string* body, std::string* reply,
                    int32_t timeoutSec, bool reportNetworkState) override {
      std::lock_guard<std::mutex> lock(m_state->mutex);
      RecordedCall call;
      call.url = url;
      call.hasHeader = header != nullptr;
      if (header) call.header = *header;
      call.hasBody = body != nullptr;
      if (body) call.body = *body;
      call.timeoutSec = timeoutSec;
      call.reportNetworkState = reportNetworkState;
      call.hasCallback = m_hasCallback;
      m_state->calls.push_back(call);
      ScriptedReply next = m_state->fallback;
      if (!m_state->queue.empty()) {
        next = m_state->queue.front();
        m_state->queue.pop_front();
      }
      if (reply) *reply = next.text;
      return next.hr;
    }
    HRESULT Download(const std::string&, const std::string&, const std::string&, const std::string&,
                     int32_t) override {
      return E_NOTIMPL;
    }
    HRESULT Upload(const std::string&, const std::string&, const std::string&, const std::string&, std::string*,
                   int32_t) override {
      return E_NOTIMPL;
    }
    HRESULT PostStream(const std::string&, const std::string&, const std::string&, std::string*,
                       int32_t) override {
      return E_NOTIMPL;
    }
    HRESULT Cancel(bool) override { return S_OK; }
    HRESULT SetSpeedLimit(uint32_t, uint32_t) override { return S_OK; }

   private:
    ~Transport() override {
      std::lock_guard<std::mutex> lock(m_state->mutex);
      --m_state->alive;
    }
    std::shared_ptr<State> m_state;
    bool m_hasCallback = false;
  };

  std::shared_ptr<State> m_state;
  TransportCreateFn m_previous;
};
