// The thread stand-ins: a manual-reset event, a stop flag, and a worker thread abandoned when a timed join gives up.
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/workerthread.h"
#include "support/testenv.h"

namespace {

using std::chrono::milliseconds;
constexpr milliseconds kGiveUp{20};                       // for waits that must time out
constexpr milliseconds kLong = std::chrono::minutes(10);  // for waits that must not

class WorkerThreadTest : public OstrelTest {};

TEST_F(WorkerThreadTest, EventStaysSetUntilResetAndStopEndsPausesForGood) {
  struct Case { bool initial; std::string ops; bool set; };  // ops: S = Set, R = Reset
  for (const Case& c : {Case{false, "", false}, {false, "SS", true}, {false, "SR", false}, {false, "SRS", true},
                        {true, "", true}, {true, "RR", false}}) {
    CEvent event(c.initial);
    for (char op : c.ops) op == 'S' ? event.Set() : event.Reset();
    SCOPED_TRACE(c.ops + (c.initial ? " from set" : " from clear"));
    EXPECT_EQ(event.IsSet(), c.set);
    EXPECT_EQ(event.Wait(milliseconds(0)), c.set);
  }
  CStopFlag flag;
  EXPECT_TRUE(flag.WaitFor(milliseconds(0))) << "a pause that ran its course";
  std::thread stopper([&] { flag.Stop(); });
  EXPECT_FALSE(flag.WaitFor(kWaitForever)) << "a pause that Stop ended";
  stopper.join();
  EXPECT_FALSE(flag.WaitFor(kLong)) << "once stopped, pauses end at once";
}

TEST_F(WorkerThreadTest, OneSetWakesEveryWaiterWhateverItsBound) {
  CEvent event, anyReturned;
  std::vector<std::thread> waiters;
  for (milliseconds bound : {kWaitForever, WaitFromMs(0xFFFFFFFFu), kLong, milliseconds::max() - kLong}) {
    waiters.emplace_back([&, bound] {
      EXPECT_TRUE(event.Wait(bound));
      anyReturned.Set();
    });
  }
  EXPECT_FALSE(anyReturned.Wait(kGiveUp)) << "a waiter returned before the Set: an overflowing deadline?";
  event.Set();
  for (auto& t : waiters) t.join();
}

TEST_F(WorkerThreadTest, JoinsFinishedThreadAndRefusesSecondStart) {
  CEvent gate;
  int runs = 0;
  auto worker = std::make_unique<CWorkerThread>();
  EXPECT_TRUE(worker->Join(kGiveUp)) << "nothing started";
  ASSERT_TRUE(worker->Start([&] { gate.Wait(); }));
  EXPECT_FALSE(worker->Start([&] { ++runs; })) << "one thread at a time";
  gate.Set();
  EXPECT_TRUE(worker->Join());
  EXPECT_TRUE(worker->Finished());
  EXPECT_FALSE(worker->Started());
  ASSERT_TRUE(worker->Start([&] { ++runs; })) << "a joined worker starts again";
  worker.reset();  // its destructor joins: the write is ordered before the check below
  EXPECT_EQ(runs, 1);
}

TEST_F(WorkerThreadTest, TimedOutOrSelfReleasedWorkerIsAbandonedAndJoinedOnceItEnds) {
  auto gate = std::make_shared<CEvent>(), released = std::make_shared<CEvent>();  // shared: they outlive the owners
  auto steps = std::make_shared<std::atomic<int>>(0);
  auto timedOut = std::make_unique<CWorkerThread>();
  ASSERT_TRUE(timedOut->Start([gate, steps] {
    gate->Wait();
    ++*steps;
  }));
  EXPECT_FALSE(timedOut->Join(kGiveUp));
  timedOut.reset();
  auto selfReleased = std::make_shared<CWorkerThread>();
  ASSERT_TRUE(selfReleased->Start([owner = selfReleased, gate, released]() mutable {
    gate->Wait();
    owner.reset();  // the last owner: its destructor runs on the thread itself
    released->Set();
  }));
  selfReleased.reset();
  gate->Set();
  released->Wait();
  EXPECT_EQ(JoinAbandonedThreads(kLong), 0u);
  EXPECT_EQ(steps->load(), 1);
}

TEST_F(WorkerThreadTest, JoinersAtOnceEachWaitWithinTheirOwnBound) {
  // Two owners stopping one component at once: each returns by its own bound, and a
  // thread one of them gave up on is still waited for by the other.
  for (milliseconds second : {kGiveUp, kLong}) {
    SCOPED_TRACE(second == kGiveUp ? "one joiner gives up" : "both wait");
    auto gate = std::make_shared<CEvent>();
    CWorkerThread worker;
    ASSERT_TRUE(worker.Start([gate] { gate->Wait(); }));
    CEvent secondReturned;
    std::thread first([&] { EXPECT_TRUE(worker.Join(kLong)); });
    std::thread other([&] {
      EXPECT_EQ(worker.Join(second), second == kLong);
      secondReturned.Set();
    });
    if (second == kGiveUp) {
      EXPECT_TRUE(secondReturned.Wait(kLong)) << "the shorter bound ended its wait";
    }
    gate->Set();
    first.join();
    other.join();
    EXPECT_TRUE(worker.Finished());
    EXPECT_FALSE(worker.Started());
  }
  EXPECT_EQ(JoinAbandonedThreads(kLong), 0u);
}

}  // namespace
