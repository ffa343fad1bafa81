// The event centre's set-up and the parts that run without its thread: what Init needs
// from the sync centre, the dispatch's writes, the back-off's delays and the heartbeat's
// refusals.
#include "core/eventcenter/eventcenter.h"

#include <gtest/gtest.h>

#include "core/eventcenter/eventdispatch.h"
#include "core/eventcenter/heartbeat.h"
#include "core/eventcenter/heartbeatpolicy.h"
#include "eventcenterfixture.h"
#include "support/logcapture.h"

namespace {

using namespace std::chrono_literals;

class EventCenterTest : public EventCenterFixture {};

TEST_F(EventCenterTest, InitNeedsAUserAndTheThreeComponents) {
  struct Row {
    const char* what;
    bool signedIn, remote, local, taskMgr;
    HRESULT expected;
    const char* line;  // a line Init writes, or null
  };
  const Row rows[] = {
      {"everything present", true, true, true, true, S_OK, nullptr},
      {"nobody signed in", false, true, true, true, E_FAIL, "*ASSERT*: !IsStrEmpty(bstrToken)"},
      {"no remote storage", true, false, true, true, E_FAIL, "ERROR_CHECK_COM hr = 80004005: hr"},
      {"no local storage", true, true, false, true, E_FAIL, "Init EventDispatch Failed!"},
      {"no task manager", true, true, true, false, E_FAIL, "Init EventDispatch Failed!"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RefPtr<FakeSyncCenter> sync(new FakeSyncCenter());
    if (row.signedIn) sync->SignIn("alice", kToken);
    if (row.remote) sync->Register(m_remote.get());
    if (row.local) sync->Register(m_store.get());
    if (row.taskMgr) sync->Register(m_taskMgr.get());
    RefPtr<IEventCenter> center;
    ASSERT_EQ(S_OK, CreateEventCenter(center.Receive(), RecordedPauses()));
    LogCapture log;
    EXPECT_EQ(row.expected, center->Init(sync.get()));
    if (row.line) {
      EXPECT_TRUE(log.Contains(row.line)) << log.All();
    }
    // A centre whose Init failed cannot start a poll.
    if (FAILED(row.expected)) {
      EXPECT_EQ(E_FAIL, center->Start());
    }
    EXPECT_EQ(S_OK, center->Stop());
    EXPECT_EQ(S_OK, center->UnInit());
  }
  RefPtr<IEventCenter> center;
  ASSERT_EQ(S_OK, CreateEventCenter(center.Receive()));
  EXPECT_EQ(E_FAIL, center->Init(nullptr));
  EXPECT_TRUE(m_remote->Polls().empty());
}

TEST_F(EventCenterTest, CreateRefusesANullSlot) {
  EXPECT_EQ(E_FAIL, CreateEventCenter(nullptr));
  EXPECT_EQ(E_FAIL, CreateEventDispatch(nullptr));
}

TEST_F(EventCenterTest, UnInitAfterStopAssertsNothing) {
  RefPtr<IEventCenter> center = Make(RecordedPauses());
  LogCapture log;
  EXPECT_EQ(S_OK, center->Stop());
  EXPECT_EQ(S_OK, center->UnInit());
  EXPECT_EQ(0, log.Count("*ASSERT*")) << log.All();
}

TEST_F(EventCenterTest, DispatchHandsBothVersionsToTheStoreAsTheServices) {
  RefPtr<IEventDispatch> dispatch;
  ASSERT_EQ(S_OK, CreateEventDispatch(dispatch.Receive()));
  EXPECT_EQ(E_FAIL, dispatch->XSpaceChange(5, 3, 0)) << "no local storage before Init";
  RefPtr<IEventCenter> center;
  ASSERT_EQ(S_OK, CreateEventCenter(center.Receive()));
  ASSERT_EQ(S_OK, dispatch->Init(center.get(), m_sync.get()));
  EXPECT_EQ(S_OK, dispatch->XSpaceChange(7, 4, 99));
  // An answer behind the stored version is the service's all the same: never the
  // never-lower setters.
  EXPECT_EQ(S_OK, dispatch->XSpaceChange(6, 9, 0));
  EXPECT_EQ((std::vector<std::string>{"adopt 7 4", "adopt 6 9"}), m_store->Writes());
  EXPECT_EQ(6, m_store->GetCurCacheVesion(0));
  EXPECT_EQ(9, m_store->GetCurShareCacheVesion(0));
  // UnInit keeps the store: a write still on its way is not lost to a released object.
  EXPECT_EQ(S_OK, dispatch->UnInit());
  EXPECT_EQ(S_OK, dispatch->XSpaceChange(8, 9, 0));
}

TEST_F(EventCenterTest, DispatchInitWithoutAnEventCentreAsserts) {
  RefPtr<IEventDispatch> dispatch;
  ASSERT_EQ(S_OK, CreateEventDispatch(dispatch.Receive()));
  LogCapture log;
  EXPECT_EQ(S_OK, dispatch->Init(nullptr, m_sync.get()));
  EXPECT_TRUE(log.Contains("*ASSERT*: pEvnetCenter"));
  EXPECT_EQ(E_FAIL, dispatch->Init(nullptr, nullptr));
}

TEST(BackoffDelayTest, DoublesFromTheFirstDelayUpToTheCap) {
  const BackoffPolicy standard;
  const struct {
    int failures;
    int64_t ms;
  } rows[] = {{0, 0},      {1, 200},     {2, 400},     {3, 800},     {9, 51200},
              {10, 60000}, {11, 60000},  {64, 60000},  {1000, 60000}, {-1, 0}};
  for (const auto& row : rows) EXPECT_EQ(row.ms, BackoffDelay(standard, row.failures).count()) << row.failures;

  BackoffPolicy tripling{1000ms, 3.0, 5000ms};
  EXPECT_EQ(1000, BackoffDelay(tripling, 1).count());
  EXPECT_EQ(3000, BackoffDelay(tripling, 2).count());
  EXPECT_EQ(5000, BackoffDelay(tripling, 3).count());
  BackoffPolicy flat{300ms, 1.0, 60000ms};
  EXPECT_EQ(300, BackoffDelay(flat, 500).count());
  BackoffPolicy huge{1000ms, 1e300, 60000ms};
  EXPECT_EQ(60000, BackoffDelay(huge, 5).count()) << "an overflowing product stays at the cap";
}

class HeartbeatTest : public EventCenterFixture {};

TEST_F(HeartbeatTest, InitRefusesWhatAPollCannotRunWith) {
  RefPtr<IEventDispatch> dispatch;
  ASSERT_EQ(S_OK, CreateEventDispatch(dispatch.Receive()));
  const struct {
    const char* what;
    std::string token, userId;
    bool remote, dispatch;
    HRESULT expected;
    const char* line;
  } rows[] = {
      {"no token", "", "u1", true, true, E_INVALIDARG, "*ASSERT*: !IsStrEmpty(szToken)"},
      {"no user id", kToken, "", true, true, E_INVALIDARG, "*ASSERT*: !IsStrEmpty(szUserId)"},
      {"no remote storage", kToken, "u1", false, true, E_POINTER, "*ASSERT*: pRemoteStorage && pEventDispatch"},
      {"no dispatch", kToken, "u1", true, false, E_POINTER, "*ASSERT*: pRemoteStorage && pEventDispatch"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    CHeartbeat heartbeat(RecordedPauses());
    LogCapture log;
    EXPECT_EQ(row.expected, heartbeat.Init(row.token, row.userId, row.remote ? m_remote.get() : nullptr,
                                           row.dispatch ? dispatch.get() : nullptr));
    EXPECT_TRUE(log.Contains(row.line)) << log.All();
    EXPECT_EQ(E_FAIL, heartbeat.StartWork()) << "a heartbeat without a successful Init does not start";
  }
  EXPECT_TRUE(m_remote->Polls().empty());
}

TEST_F(HeartbeatTest, DoesNotStartAgainAfterStop) {
  RefPtr<IEventDispatch> dispatch;
  ASSERT_EQ(S_OK, CreateEventDispatch(dispatch.Receive()));
  CHeartbeat heartbeat(RecordedPauses());
  ASSERT_EQ(S_OK, heartbeat.Init(kToken, "u1", m_remote.get(), dispatch.get()));
  EXPECT_EQ(S_OK, heartbeat.StopWork());
  LogCapture log;
  EXPECT_EQ(E_FAIL, heartbeat.StartWork());
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOLEX:!m_bShouldStop"));
  EXPECT_EQ(S_OK, heartbeat.UnInit());
  EXPECT_EQ(0, log.Count("*ASSERT*"));
  EXPECT_TRUE(m_remote->Polls().empty());
}

}  // namespace
