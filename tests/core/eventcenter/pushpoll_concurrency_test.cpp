// The event centre against the local service through a real remote storage: changes
// made by other clients arrive through the held push poll, Stop ends a held poll, and a
// service that fails every poll is polled at the back-off's pace.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "common/config.h"
#include "common/registry.h"
#include "core/eventcenter/eventcenter.h"
#include "core/interfaces/createtaskdata.h"
#include "core/remotestorage/remotestorage.h"
#include "core/taskmgr/taskmgr.h"
#include "eventfakes.h"
#include "support/enginefakes.h"
#include "support/fsseed.h"
#include "support/localservice.h"
#include "support/serviceclient.h"
#include "support/logcapture.h"

namespace {

using namespace std::chrono_literals;

class PushPollTest : public LocalServiceTest {
 protected:
  // A poll answers only when a version moves.
  std::vector<std::string> ServiceArgs() override { return {"--push-hold-ms", "0"}; }

  void SetUp() override {
    LocalServiceTest::SetUp();
    AimClientAtService(Service(), Root());
    ASSERT_EQ(S_OK, CreateRemoteStorage(m_remote.Receive()));
    ASSERT_EQ(S_OK, CreateTaskMgr(m_taskMgr.Receive()));
    // FakeSyncCenter's user id is "u1".
    m_token = FsControl(Service(), "/test/fs/account", {{"user", "alice"}, {"password", "pw"}, {"userId", "u1"}})
                  .value("token", "");
    ASSERT_FALSE(m_token.empty());
    m_sync->SignIn("alice", m_token);
    m_sync->Register(m_remote.get());
    m_sync->Register(m_store.get());
    m_sync->Register(m_taskMgr.get());
  }

  RefPtr<IEventCenter> Make(const HeartbeatPolicy& policy) {
    RefPtr<IEventCenter> center;
    EXPECT_EQ(S_OK, CreateEventCenter(center.Receive(), policy));
    EXPECT_EQ(S_OK, center->Init(m_sync.get()));
    return center;
  }
  // Waits (at most 30 s) until the service holds n polls; a version moved before that
  // would not wake them.
  bool WaitHeldPolls(int n) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (FsState(Service()).value("heldPolls", -1) != n) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::yield();
    }
    return true;
  }
  nlohmann::json AliceVersions() { return FsState(Service(), "u1"); }

  PauseRecorder m_pauses;
  RefPtr<FakeSyncCenter> m_sync{new FakeSyncCenter()};
  RefPtr<VersionRecorder> m_store{new VersionRecorder()};
  RefPtr<IRemoteStorage> m_remote;
  RefPtr<ITaskMgr> m_taskMgr;
  std::string m_token;
};

TEST_F(PushPollTest, ChangesOfOtherClientsReachTheLocalStorage) {
  LogCapture log;
  HeartbeatPolicy policy;
  policy.firstPollDelay = 0ms;
  RefPtr<IEventCenter> center = Make(policy);
  ASSERT_EQ(S_OK, center->Start());

  // An item another device made.
  ASSERT_TRUE(WaitHeldPolls(1));
  FsControl(Service(), "/test/fs/item", {{"userId", "u1"}, {"name", "from-laptop.txt"}, {"size", 3}});
  nlohmann::json v = AliceVersions();
  EXPECT_TRUE(m_store->WaitForVersions(v["opVer"].get<int64_t>(), v["shareVer"].get<int64_t>()));

  // A folder made through the service by another session of the same user.
  ASSERT_TRUE(WaitHeldPolls(1));
  const std::string otherToken = FsControl(Service(), "/test/fs/token", {{"userId", "u1"}}).value("token", "");
  TaskDataPtr<TaskData_DirectoryAdd> folder(CreateTaskData_CreateDirectory(otherToken, "", "Docs"));
  RecordTree reply;
  ASSERT_EQ(S_OK, m_remote->NewFolder(*folder, nullptr, nullptr, &reply));
  v = AliceVersions();
  EXPECT_TRUE(m_store->WaitForVersions(v["opVer"].get<int64_t>(), v["shareVer"].get<int64_t>()));

  // A share from another user moves the share version.
  ASSERT_TRUE(WaitHeldPolls(1));
  const nlohmann::json bob = FsAccount(Service(), "bob");
  const std::string bobFile =
      FsControl(Service(), "/test/fs/item", {{"userId", bob["userId"]}, {"name", "plan.txt"}}).value("fileId", "");
  FsControl(Service(), "/test/fs/share", {{"fileId", bobFile}, {"to", "u1"}});
  v = AliceVersions();
  ASSERT_GT(v["shareVer"].get<int64_t>(), 0);
  EXPECT_TRUE(m_store->WaitForVersions(v["opVer"].get<int64_t>(), v["shareVer"].get<int64_t>()));
  EXPECT_EQ(v["opVer"].get<int64_t>(), m_store->GetCurCacheVesion(-1));
  EXPECT_EQ(v["shareVer"].get<int64_t>(), m_store->GetCurShareCacheVesion(-1));

  UnderWatchdog([&] { EXPECT_EQ(S_OK, center->Stop()); });
  EXPECT_EQ(S_OK, center->UnInit());
  // Every poll asked for alice's changes, and none carried a token.
  for (const RecordedRequest& request : Service().Requests("/sync/get")) {
    EXPECT_EQ("uid=u1", request.query);
    EXPECT_EQ(std::string::npos, request.target.find(m_token));
  }
  ASSERT_TRUE(log.Contains("CRemoteStorage::PushNotify()")) << "the log was captured";
  for (const std::string& secret : {m_token, otherToken})
    EXPECT_EQ(std::string::npos, log.All().find(secret)) << "the token reached the log";
}

TEST_F(PushPollTest, StopEndsAHeldPollAndNothingIsWrittenAfter) {
  HeartbeatPolicy policy;
  policy.firstPollDelay = 0ms;
  RefPtr<IEventCenter> center = Make(policy);
  ASSERT_EQ(S_OK, center->Start());
  ASSERT_TRUE(WaitHeldPolls(1));
  UnderWatchdog([&] { EXPECT_EQ(S_OK, center->Stop()); });
  FsControl(Service(), "/test/fs/versions", {{"userId", "u1"}, {"opVer", 40}, {"shareVer", 41}});
  EXPECT_EQ(std::vector<std::string>{}, m_store->Writes());
  EXPECT_EQ(1u, Service().Requests("/sync/get").size());
  EXPECT_EQ(S_OK, center->UnInit());
}

TEST_F(PushPollTest, AFailingServiceIsPolledAtTheBackOffsPace) {
  // Six polls fail at once in three ways; the seventh holds.
  Service().Inject(R"([{"path": "/sync/get", "count": 2, "drop": true},
                       {"path": "/sync/get", "count": 2, "status": 500, "body": "down"},
                       {"path": "/sync/get", "count": 2, "word": "clientTokenExpired"}])");
  HeartbeatPolicy policy;
  policy.clock = &m_pauses;
  RefPtr<IEventCenter> center = Make(policy);
  ASSERT_EQ(S_OK, center->Start());
  ASSERT_TRUE(WaitHeldPolls(1));
  UnderWatchdog([&] { EXPECT_EQ(S_OK, center->Stop()); });
  EXPECT_EQ((std::vector<int64_t>{200, 200, 400, 800, 1600, 3200, 6400}), m_pauses.Pauses());
  EXPECT_EQ(7u, Service().Requests("/sync/get").size());
  EXPECT_EQ(std::vector<std::string>{}, m_store->Writes());
}

}  // namespace
