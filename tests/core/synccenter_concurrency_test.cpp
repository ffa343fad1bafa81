// The sync centre read from other threads while it works: state records posted and
// taken by several threads at once (each queued record delivered exactly once), and
// component look-ups and user information asked for while the UI thread signs users
// in and out.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/synccentertest.h"

namespace {

class SyncCenterConcurrencyTest : public SyncCenterTest {};

TEST_F(SyncCenterConcurrencyTest, EachQueuedRecordIsDeliveredOnceWhileOverridesComeAndGo) {
  constexpr int kWriters = 3, kReaders = 3, kPerWriter = 300;
  std::atomic<int> delivered{0};
  std::mutex seenMutex;
  std::map<std::string, int> seen;
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < kPerWriter; ++i) {
        NuvraState record;
        record.kind = kNuvraStateConflict;
        record.originPath = std::to_string(w) + "/" + std::to_string(i);
        m_center->PostState(&record, true);
        NuvraState lost;
        lost.kind = i % 2 ? kNuvraStateNetworkLost : 0;
        m_center->SetOverrideState(&lost);
      }
    });
  }
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&] {
      while (delivered.load() < kWriters * kPerWriter) {
        NuvraState state;
        m_center->GetState(&state);
        if (state.kind != kNuvraStateConflict) {
          std::this_thread::yield();
          continue;
        }
        ++delivered;
        std::lock_guard<std::mutex> guard(seenMutex);
        ++seen[state.originPath];
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(size_t(kWriters * kPerWriter), seen.size());
  for (const auto& [path, count] : seen) EXPECT_EQ(1, count) << path;
  m_center->ClearOverrideState();
  EXPECT_EQ(kNuvraStateCreated, StateKind());
}

TEST_F(SyncCenterConcurrencyTest, LookUpsFromOtherThreadsSeeWholeComponentsWhileUsersComeAndGo) {
  std::atomic<bool> done{false};
  std::atomic<int> handedOut{0};
  std::vector<std::thread> readers;
  const IID ids[] = {IEventCenter::kIID, IFileSystem::kIID, ILocalStorage::kIID, IRemoteStorage::kIID,
                     ITaskMgr::kIID, IShellAdapter::kIID};
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!done) {
        for (const IID& iid : ids) {
          void* object = nullptr;
          if (m_center->GetInterface(iid, &object) != S_OK) continue;
          // A component handed out stays whole until its reference goes.
          auto* unknown = static_cast<IUnknown*>(object);
          void* again = nullptr;
          if (unknown->QueryInterface(iid, &again) == S_OK) {
            static_cast<IUnknown*>(again)->Release();
            ++handedOut;
          }
          unknown->Release();
        }
        std::string token, userId;
        if (m_center->GetUserInfo(nullptr, &token, &userId, nullptr) == S_OK) {
          EXPECT_FALSE(userId.empty());
        }
        NuvraState state;
        m_center->GetState(&state);
        std::this_thread::yield();
      }
    });
  }
  for (int round = 0; round < 10; ++round) {
    ASSERT_EQ(S_OK, m_center->Login("ann@example.test", "pw", kLoginModeMyComputer));
    ASSERT_EQ(S_OK, m_center->UnBind());
  }
  done = true;
  for (std::thread& t : readers) t.join();
  EXPECT_GT(handedOut.load(), 0);
  EXPECT_EQ(0, m_fakes.Alive());
}

}  // namespace
