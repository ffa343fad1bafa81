// One CRemoteStorage used by many threads at once: each request has its own transport,
// and the global-version flag is set and read without a data race.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/config.h"
#include "core/interfaces/createtaskdata.h"
#include "core/remotestorage/recordingtransport.h"
#include "core/remotestorage/remotestorage.h"
#include "support/testenv.h"

namespace {

using RemoteStorageConcurrencyTest = OstrelTest;

TEST_F(RemoteStorageConcurrencyTest, ThreadsShareOneObject) {
  CConfig::Instance().Init(Root());
  remotestoragecontrol::ResetGlobalVersionFlag();
  TransportRecorder net;
  net.SetDefault(S_OK, "<nuvra result=\"ok\"><globalVersion>3</globalVersion><opVer>5</opVer></nuvra>");
  RefPtr<IRemoteStorage> rs;
  ASSERT_EQ(S_OK, CreateRemoteStorage(rs.Receive()));
  constexpr int kThreads = 6, kRounds = 20;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      TaskDataPtr<TaskData_GetRemoteOptVer> t(CreateTaskData_GetMaxVer("T" + std::to_string(i)));
      for (int r = 0; r < kRounds; ++r) {
        RecordTree reply;
        std::string version;
        if (rs->GetMaxVers(*t, nullptr, nullptr, &reply) != S_OK || reply.GetValue("opVer") != "5") ++failures[i];
        if (rs->GetGlobalVersion("T", &version) != S_OK || version != "3") ++failures[i];
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int f : failures) EXPECT_EQ(0, f);
  EXPECT_EQ(0, net.Alive());
  EXPECT_GE(net.Count(), size_t(kThreads * kRounds) + 1);
  remotestoragecontrol::ResetGlobalVersionFlag();
}

}  // namespace
