// Transfers and the tracker across threads: a cancel from another thread ends a
// transfer within about a second, parallel transports do not disturb each other, and
// reports are not held up by a page fetch.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/remotestorage/transport/networkstate.h"
#include "core/remotestorage/transport/transport.h"
#include "support/localservice.h"
#include "transporttestutil.h"

namespace {


class TransportConcurrencyTest : public LocalServiceTest {
 protected:
  void TearDown() override {
    CNetworkState::GetInstance().Disable();
    LocalServiceTest::TearDown();
  }
  RefPtr<CTransport> Make() {
    RefPtr<CTransport> t(new CTransport(DirectTransportSettings()));
    EXPECT_EQ(S_OK, t->Init());
    return t;
  }
};

// Set once by the progress callback, waited for by the test.
struct Started {
  std::mutex mutex;
  std::condition_variable cv;
  bool started = false;

  static HRESULT Callback(void* p, double, double, double, double, double) {
    auto* s = static_cast<Started*>(p);
    {
      std::lock_guard<std::mutex> lock(s->mutex);
      s->started = true;
    }
    s->cv.notify_all();
    return S_OK;
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [this] { return started; });
  }
};

TEST_F(TransportConcurrencyTest, CancelFromAnotherThreadEndsTheTransfer) {
  // A body that keeps coming, and one that never starts (libcurl then calls progress
  // about once a second); neither would end on its own for minutes.
  for (const char* path : {"/test/trickle?n=100000000&chunk=10&ms=50", "/test/sleep?s=120"}) {
    auto t = Make();
    Started started;
    t->SetProgressCallback(&Started::Callback, &started);
    HRESULT hr = S_OK;
    std::thread worker([&] { hr = t->Request(Service().Url(path), nullptr, nullptr, nullptr, 0, false); });
    started.Wait();
    t->Cancel(false);
    worker.join();
    EXPECT_EQ(E_CV_CURL_CANCEL, hr) << path;
  }
}

TEST_F(TransportConcurrencyTest, ParallelTransfersStayApart) {
  constexpr int kThreads = 6;
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      ITransport* raw = nullptr;
      HRESULT hr = CreateTransportWith(DirectTransportSettings(), &raw);
      RefPtr<ITransport> t = RefPtr<ITransport>::Adopt(raw);
      if (FAILED(hr)) return;
      std::string body = "body-" + std::to_string(i), reply;
      for (int k = 0; k < 5; ++k) {
        if (t->Request(Service().Url("/test/echo?t=" + std::to_string(i)), nullptr, &body, &reply, 10, true) == S_OK &&
            reply.find("\"query\":\"t=" + std::to_string(i) + "\"") != std::string::npos)
          ++ok;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(kThreads * 5, ok.load());
}

TEST_F(TransportConcurrencyTest, ReportsAreNotHeldUpByAPageFetch) {
  RefPtr<TrackerSyncCenter> center(new TrackerSyncCenter);
  CNetworkState& tracker = CNetworkState::GetInstance();
  tracker.Enable(center.get(), Service().Url("/api_server/"));
  Service().Inject(R"({"path":"/api_server/","delay_ms":60000})");
  tracker.UpdateNetworkState(true);
  std::atomic<bool> fetchDone{false};
  std::thread fetcher([&] {
    for (int i = 0; i < 4; ++i) tracker.UpdateNetworkState(false);  // the fourth fetches the page
    fetchDone = true;
  });
  // The fetch is under way once the service has recorded it.
  while (Service().Requests("/api_server/").empty()) std::this_thread::yield();
  tracker.UpdateNetworkState(true);
  EXPECT_FALSE(fetchDone.load()) << "the report waited for the page fetch";
  auto calls = center->Calls();
  ASSERT_EQ(3u, calls.size());
  EXPECT_FALSE(calls[2].set);
  // Ending the service ends the held fetch.
  EXPECT_EQ(0, Service().Stop());
  fetcher.join();
  EXPECT_TRUE(fetchDone.load());
}

}  // namespace
