// The fixture of the event centre's tests with fakes: a signed-in sync centre that
// hands out a scripted remote storage, a recording local storage and a task manager,
// and a heartbeat policy whose pauses go to a recording clock.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/eventcenter/eventcenter.h"
#include "core/taskmgr/taskmgr.h"
#include "eventfakes.h"
#include "support/enginefakes.h"
#include "support/testenv.h"

class EventCenterFixture : public OstrelTest {
 protected:
  static constexpr char kToken[] = "tok-4f1c9a7e52d8";

  void SetUp() override {
    OstrelTest::SetUp();
    ASSERT_EQ(S_OK, CreateTaskMgr(m_taskMgr.Receive()));
    m_sync->SignIn("alice", kToken);
    m_sync->Register(m_remote.get());
    m_sync->Register(m_store.get());
    m_sync->Register(m_taskMgr.get());
  }

  // Pauses recorded by m_pauses, the default lengths otherwise.
  HeartbeatPolicy RecordedPauses() {
    HeartbeatPolicy policy;
    policy.clock = &m_pauses;
    return policy;
  }
  // An initialised event centre on m_sync.
  RefPtr<IEventCenter> Make(const HeartbeatPolicy& policy) {
    RefPtr<IEventCenter> center;
    EXPECT_EQ(S_OK, CreateEventCenter(center.Receive(), policy));
    EXPECT_EQ(S_OK, center->Init(m_sync.get()));
    return center;
  }

  PauseRecorder m_pauses;  // declared first: outlives every heartbeat
  RefPtr<FakeSyncCenter> m_sync{new FakeSyncCenter()};
  RefPtr<ScriptedPushStorage> m_remote{new ScriptedPushStorage()};
  RefPtr<VersionRecorder> m_store{new VersionRecorder()};
  RefPtr<ITaskMgr> m_taskMgr;
};
