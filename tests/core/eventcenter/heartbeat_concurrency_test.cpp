// The heartbeat's thread with fakes: what an answer writes, which replies write nothing,
// the back-off after failed polls, and Stop ending a pause or a held poll at once.
#include <gtest/gtest.h>

#include "core/eventcenter/eventcenter.h"
#include "eventcenterfixture.h"
#include "support/logcapture.h"

namespace {

using namespace std::chrono_literals;
using Writes = std::vector<std::string>;
using Pauses = std::vector<int64_t>;

class HeartbeatThreadTest : public EventCenterFixture {
 protected:
  // Starts center, waits until its poll holds (every scripted outcome is then used up
  // and dispatched) and stops it.
  void RunScript(IEventCenter* center) {
    ASSERT_EQ(S_OK, center->Start());
    EXPECT_TRUE(m_remote->WaitHeld());
    UnderWatchdog([center] { EXPECT_EQ(S_OK, center->Stop()); });
  }
};

TEST_F(HeartbeatThreadTest, AnAnswerMovesBothCacheVersions) {
  m_remote->Answer(S_OK, PushReply("57", "12"));
  RefPtr<IEventCenter> center = Make(RecordedPauses());
  RunScript(center.get());
  EXPECT_EQ((Writes{"adopt 57 12"}), m_store->Writes());
  // Each poll asks for the signed-in user's changes; the token is never sent.
  const auto polls = m_remote->Polls();
  ASSERT_EQ(2u, polls.size());
  for (const auto& poll : polls) {
    EXPECT_EQ("u1", poll.userId);
    EXPECT_EQ("", poll.token);
    EXPECT_EQ("", poll.taskName);
    EXPECT_TRUE(poll.hadCallback);
  }
  EXPECT_EQ(S_OK, center->UnInit());
}

TEST_F(HeartbeatThreadTest, RepliesWithoutTwoValidVersionsWriteNothing) {
  const struct {
    const char* what;
    const char* opVer;
    const char* shareVer;
    bool writes;
  } rows[] = {
      {"both valid", "8", "3", true},
      {"zero", "0", "0", true},
      {"2^53, the largest", "9007199254740992", "1", true},
      {"leading zeros", "007", "03", true},
      {"no opVer", nullptr, "3", false},
      {"no shareVer", "8", nullptr, false},
      {"empty opVer", "", "3", false},
      {"empty shareVer", "8", "", false},
      {"negative", "-8", "3", false},
      {"plus sign", "+8", "3", false},
      {"leading space", " 8", "3", false},
      {"trailing space", "8", "3 ", false},
      {"2^53 + 1", "9007199254740993", "3", false},
      {"past 64 bits", "8", "99999999999999999999", false},
      {"hexadecimal", "0x10", "3", false},
      {"exponent", "1e3", "3", false},
      {"fraction", "8.0", "3", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    RefPtr<VersionRecorder> store(new VersionRecorder());
    RefPtr<ScriptedPushStorage> remote(new ScriptedPushStorage());
    RefPtr<FakeSyncCenter> sync(new FakeSyncCenter());
    sync->SignIn("alice", kToken);
    sync->Register(remote.get());
    sync->Register(store.get());
    sync->Register(m_taskMgr.get());
    remote->Answer(S_OK, PushReply(row.opVer, row.shareVer));
    RefPtr<IEventCenter> center;
    ASSERT_EQ(S_OK, CreateEventCenter(center.Receive(), RecordedPauses()));
    ASSERT_EQ(S_OK, center->Init(sync.get()));
    ASSERT_EQ(S_OK, center->Start());
    EXPECT_TRUE(remote->WaitHeld());
    UnderWatchdog([&] { EXPECT_EQ(S_OK, center->Stop()); });
    const Writes expected = row.writes ? Writes{"adopt " + std::to_string(std::stoll(row.opVer)) + " " +
                                                std::to_string(std::stoll(row.shareVer))}
                                       : Writes{};
    EXPECT_EQ(expected, store->Writes());
  }
}

TEST_F(HeartbeatThreadTest, AReplyWithoutDeviceIdStillWrites) {
  m_remote->Answer(S_OK, PushReply("4", "2", nullptr));
  RefPtr<IEventCenter> center = Make(RecordedPauses());
  LogCapture log;
  RunScript(center.get());
  EXPECT_TRUE(log.Contains("*ASSERT*: !IsStrEmpty(strDeviceIdRemote)"));
  EXPECT_EQ((Writes{"adopt 4 2"}), m_store->Writes());
}

TEST_F(HeartbeatThreadTest, FailedPollsBackOffAndAnAnswerStartsOver) {
  const HRESULT failures[] = {E_CV_NETWORK_ERROR, E_CV_SRV_SERVER_ERROR, E_FAIL, E_CV_NETWORK_ERROR3};
  for (int i = 0; i < 12; ++i) m_remote->Answer(failures[i % 4]);
  m_remote->Answer(S_OK, PushReply("1", "1"));
  m_remote->Answer(E_CV_NETWORK_ERROR);
  m_remote->Answer(S_OK, PushReply(nullptr, nullptr));  // unreadable: counts as a failure
  m_remote->Answer(E_CV_NETWORK_ERROR);
  m_remote->Answer(S_OK, PushReply("2", "2"));
  RefPtr<IEventCenter> center = Make(RecordedPauses());
  LogCapture log;
  RunScript(center.get());
  EXPECT_EQ((Pauses{200,                                                                      // before the first poll
                    200, 400, 800, 1600, 3200, 6400, 12800, 25600, 51200, 60000, 60000, 60000,  // 12 failures
                    200,                                                                      // answer
                    200, 400, 800,                                                            // 3 failures
                    200}),                                                                    // answer
            m_pauses.Pauses());
  EXPECT_EQ((Writes{"adopt 1 1", "adopt 2 2"}), m_store->Writes());
  EXPECT_GE(log.Count("CHECK_COM hr = 80044001: hr"), 3) << "a failed poll is logged";
}

TEST_F(HeartbeatThreadTest, PacingFollowsThePolicy) {
  m_remote->Answer(E_FAIL);
  m_remote->Answer(E_FAIL);
  m_remote->Answer(E_FAIL);
  m_remote->Answer(S_OK, PushReply("1", "1"));
  HeartbeatPolicy policy = RecordedPauses();
  policy.firstPollDelay = 0ms;  // no pause at all
  policy.pollPause = 1500ms;
  policy.backoff = {1000ms, 3.0, 5000ms};
  RefPtr<IEventCenter> center = Make(policy);
  RunScript(center.get());
  EXPECT_EQ((Pauses{1000, 3000, 5000, 1500}), m_pauses.Pauses());
}

// Real pauses of an hour: Stop must end each of them at once.
TEST_F(HeartbeatThreadTest, StopEndsAPauseAtOnce) {
  const struct {
    const char* what;
    bool firstDelayLong;
    HRESULT outcome;
    size_t polls;
  } rows[] = {
      {"before the first poll", true, S_OK, 0},
      {"after an answer", false, S_OK, 1},
      {"after a failed poll", false, E_CV_NETWORK_ERROR, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    RefPtr<ScriptedPushStorage> remote(new ScriptedPushStorage());
    RefPtr<FakeSyncCenter> sync(new FakeSyncCenter());
    sync->SignIn("alice", kToken);
    sync->Register(remote.get());
    sync->Register(m_store.get());
    sync->Register(m_taskMgr.get());
    remote->Answer(row.outcome, PushReply("1", "1"));
    HeartbeatPolicy policy;
    policy.firstPollDelay = row.firstDelayLong ? 1h : 0ms;
    policy.pollPause = 1h;
    policy.backoff.initialDelay = 1h;
    RefPtr<IEventCenter> center;
    ASSERT_EQ(S_OK, CreateEventCenter(center.Receive(), policy));
    ASSERT_EQ(S_OK, center->Init(sync.get()));
    ASSERT_EQ(S_OK, center->Start());
    if (row.polls) {
      EXPECT_TRUE(remote->WaitPolls(row.polls));
    }
    UnderWatchdog([&] { EXPECT_EQ(S_OK, center->Stop()); });
    EXPECT_EQ(row.polls, remote->Polls().size());
  }
}

TEST_F(HeartbeatThreadTest, StopDuringAHeldPollWritesNothing) {
  // The reply arrives just as the stop cancels the poll: it is not written.
  m_remote->HoldThenAnswer(S_OK, PushReply("9", "9"));
  RefPtr<IEventCenter> center = Make(RecordedPauses());
  RunScript(center.get());
  EXPECT_EQ(Writes{}, m_store->Writes());
  EXPECT_EQ(1u, m_remote->Polls().size());
  EXPECT_EQ((Pauses{200}), m_pauses.Pauses()) << "no pause follows the stopped poll";
}

TEST_F(HeartbeatThreadTest, UnInitWithoutStopAssertsTwice) {
  RefPtr<IEventCenter> center = Make(RecordedPauses());
  ASSERT_EQ(S_OK, center->Start());
  EXPECT_TRUE(m_remote->WaitHeld());
  LogCapture log;
  EXPECT_EQ(S_OK, center->UnInit());
  EXPECT_EQ(1, log.Count("*ASSERT*: m_bShouldStop"));
  EXPECT_EQ(1, log.Count("*ASSERT*: !m_hWorkThread"));
  EXPECT_EQ(2, log.Count("*ASSERT*"));
  UnderWatchdog([&] { EXPECT_EQ(S_OK, center->Stop()); });
}

TEST_F(HeartbeatThreadTest, StartingTwiceKeepsOneThread) {
  RefPtr<IEventCenter> center = Make(RecordedPauses());
  ASSERT_EQ(S_OK, center->Start());
  EXPECT_EQ(S_OK, center->Start());
  EXPECT_TRUE(m_remote->WaitHeld());
  UnderWatchdog([&] { EXPECT_EQ(S_OK, center->Stop()); });
  EXPECT_EQ(1u, m_remote->Polls().size());
}

// The thread keeps what it uses: the remote storage and the local storage live on
// while it runs, whoever else lets them go, and an event centre released without Stop
// stops its thread first.
TEST_F(HeartbeatThreadTest, TheThreadHoldsWhatItUses) {
  auto remoteAlive = std::make_shared<std::atomic<bool>>(false);
  auto storeAlive = std::make_shared<std::atomic<bool>>(false);
  RefPtr<ScriptedPushStorage> remote(new ScriptedPushStorage(remoteAlive));
  RefPtr<FakeLocalStorage> store(new FakeLocalStorage(storeAlive));
  remote->Answer(E_CV_NETWORK_ERROR);
  RefPtr<FakeSyncCenter> sync(new FakeSyncCenter());
  sync->SignIn("alice", kToken);
  sync->Register(remote.get());
  sync->Register(store.get());
  sync->Register(m_taskMgr.get());
  RefPtr<IEventCenter> center;
  ASSERT_EQ(S_OK, CreateEventCenter(center.Receive(), RecordedPauses()));
  ASSERT_EQ(S_OK, center->Init(sync.get()));
  ASSERT_EQ(S_OK, center->Start());
  ScriptedPushStorage* held = remote.get();
  EXPECT_TRUE(held->WaitHeld());
  sync = nullptr;
  remote = nullptr;
  store = nullptr;
  EXPECT_TRUE(*remoteAlive);
  EXPECT_TRUE(*storeAlive);
  UnderWatchdog([&] { center = nullptr; });
  EXPECT_FALSE(*remoteAlive);
  EXPECT_FALSE(*storeAlive);
}

}  // namespace
