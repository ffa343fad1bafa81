// The thread stand-ins: a manual-reset event wakes every waiter and stays set, stop
// waits end on Stop, and a worker not joined in time is abandoned, then joined once
// it ends.
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

TEST_F(WorkerThreadTest, EventStaysSetUntilReset) {
  struct Case { bool initial; std::string ops; bool set; };  // ops: S = Set, R = Reset
  for (const Case& c : {Case{false, "", false}, {false, "SS", true}, {false, "SR", false},
                        {false, "SRS", true}, {true, "", true}, {true, "RR", false}}) {
    CEvent event(c.initial);
    for (char op : c.ops) op == 'S' ? event.Set() : event.Reset();
    SCOPED_TRACE(c.ops + (c.initial ? " from set" : " from clear"));
    EXPECT_EQ(event.IsSet(), c.set);
    EXPECT_EQ(event.Wait(milliseconds(0)), c.set);
  }
}

TEST_F(WorkerThreadTest, OneSetWakesEveryWaiterWhateverItsBound) {
  CEvent event, anyReturned;
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (milliseconds bound : {kWaitForever, WaitFromMs(0xFFFFFFFFu), kLong, milliseconds::max() - kLong}) {
    waiters.emplace_back([&, bound] {
      if (event.Wait(bound)) ++woken;
      anyReturned.Set();
    });
  }
  // No waiter may return before the Set (an overflowing deadline would end at once).
  EXPECT_FALSE(anyReturned.Wait(kGiveUp));
  event.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 4);
}

TEST_F(WorkerThreadTest, StopFlagEndsPausesEarly) {
  CStopFlag flag;
  EXPECT_TRUE(flag.WaitFor(milliseconds(0))) << "a pause that ran its course";
  std::thread stopper([&] { flag.Stop(); });
  EXPECT_FALSE(flag.WaitFor(kWaitForever));
  stopper.join();
  EXPECT_FALSE(flag.WaitFor(kLong)) << "once stopped, pauses end at once";
}

TEST_F(WorkerThreadTest, JoinsFinishedThreadAndRefusesSecondStart) {
  CEvent gate;
  int runs = 0;
  CWorkerThread worker;
  EXPECT_TRUE(worker.Join(kGiveUp)) << "nothing started";
  ASSERT_TRUE(worker.Start([&] { gate.Wait(); ++runs; }));
  EXPECT_FALSE(worker.Start([&] { ++runs; })) << "one thread at a time";
  gate.Set();
  EXPECT_TRUE(worker.Join());
  EXPECT_TRUE(worker.Finished());
  EXPECT_FALSE(worker.Started());
  ASSERT_TRUE(worker.Start([&] { ++runs; })) << "a joined worker starts again";
  EXPECT_TRUE(worker.Join());
  {
    CWorkerThread scoped;  // its destructor joins: the write below is ordered by it
    ASSERT_TRUE(scoped.Start([&] { runs += 10; }));
  }
  EXPECT_EQ(runs, 12);
}

TEST_F(WorkerThreadTest, TimedJoinAbandonsAndTheThreadIsJoinedOnceItEnds) {
  auto gate = std::make_shared<CEvent>();
  auto steps = std::make_shared<std::atomic<int>>(0);  // shared: outlives the worker
  auto worker = std::make_unique<CWorkerThread>();
  ASSERT_TRUE(worker->Start([gate, steps] { gate->Wait(); ++*steps; }));
  EXPECT_FALSE(worker->Join(kGiveUp));
  worker.reset();
  gate->Set();
  EXPECT_EQ(JoinAbandonedThreads(kLong), 0u);
  EXPECT_EQ(steps->load(), 1);
}

TEST_F(WorkerThreadTest, WorkerReleasedByItsOwnThreadIsAbandonedNotJoined) {
  auto worker = std::make_shared<CWorkerThread>();
  auto released = std::make_shared<CEvent>();
  CEvent gate;
  ASSERT_TRUE(worker->Start([owner = worker, released, &gate]() mutable {
    gate.Wait();
    owner.reset();  // the last owner: the destructor runs on the thread itself
    released->Set();
  }));
  worker.reset();
  gate.Set();
  released->Wait();
  EXPECT_EQ(JoinAbandonedThreads(kLong), 0u);
}

}  // namespace
