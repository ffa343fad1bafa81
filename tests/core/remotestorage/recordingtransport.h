// A transport that records every request and answers with scripted replies, installed
// into CClsFactory for the life of a TransportRecorder. No network is touched.
//
// Every kind of exchange takes the next scripted reply: a download writes its text into
// the local file (a text longer than the download limit fails the download as the
// transport does, the file cut at the limit), every other kind hands the text back.
// Progress is never reported.
#pragma once

#include <deque>
#include <fstream>
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
  std::string header;
  bool hasBody = false;  // false: a GET
  std::string body;
  int32_t timeoutSec = -1;
  bool reportNetworkState = false;
  uint64_t downloadLimit = 0;  // a download's limit; 0: none
};

class TransportRecorder {
  struct Reply {
    HRESULT hr;
    std::string text;
  };
  struct State {
    std::mutex mutex;
    std::vector<RecordedCall> calls;
    std::deque<Reply> queue;
    Reply fallback{S_OK, "<?xml version=\"1.0\"?><nuvra result=\"ok\"/>"};
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
    HRESULT SetProgressCallback(TransportProgressCallback, void*) override { return S_OK; }
    HRESULT Request(const std::string& url, const std::string* header, const std::string* body, std::string* reply,
                    int32_t timeoutSec, bool reportNetworkState) override {
      Reply next = Take({url, header ? *header : "", body != nullptr, body ? *body : "", timeoutSec, reportNetworkState});
      if (reply) *reply = next.text;
      return next.hr;
    }
    HRESULT Download(const std::string& url, const std::string& localPath, const std::string& header,
                     const std::string& body, int32_t timeoutSec) override {
      Reply next = Take({url, header, !body.empty(), body, timeoutSec, false, m_downloadLimit});
      const bool over = m_downloadLimit != 0 && next.text.size() > m_downloadLimit;
      std::ofstream(localPath, std::ios::binary | std::ios::trunc) << (over ? next.text.substr(0, m_downloadLimit) : next.text);
      return over ? E_CV_NETWORK_ERROR3 : next.hr;
    }
    HRESULT Upload(const std::string& url, const std::string&, const std::string& header,
                   const std::string& formFields, std::string* reply, int32_t timeoutSec) override {
      return Answer(Take({url, header, true, formFields, timeoutSec, false}), reply);
    }
    HRESULT PostStream(const std::string& url, const std::string&, const std::string& header, std::string* reply,
                       int32_t timeoutSec) override {
      return Answer(Take({url, header, true, "", timeoutSec, false}), reply);
    }
    HRESULT Cancel(bool) override { return S_OK; }
    HRESULT SetSpeedLimit(uint32_t, uint32_t) override { return S_OK; }
    HRESULT SetDownloadLimit(uint64_t maxBytes) override {
      m_downloadLimit = maxBytes;
      return S_OK;
    }

   private:
    ~Transport() override {
      std::lock_guard<std::mutex> lock(m_state->mutex);
      --m_state->alive;
    }
    Reply Take(RecordedCall call) {
      std::lock_guard<std::mutex> lock(m_state->mutex);
      m_state->calls.push_back(std::move(call));
      if (m_state->queue.empty()) return m_state->fallback;
      Reply next = m_state->queue.front();
      m_state->queue.pop_front();
      return next;
    }
    static HRESULT Answer(const Reply& next, std::string* reply) {
      if (reply && next.hr == S_OK) *reply = next.text;
      return next.hr;
    }
    std::shared_ptr<State> m_state;
    uint64_t m_downloadLimit = 0;
  };

  std::shared_ptr<State> m_state;
  TransportCreateFn m_previous;
};
