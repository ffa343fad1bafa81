// The dispatcher: work posted from many threads runs on the owning thread, in each
// poster's order, and quits end the loop where they were queued.
#include "platform/dispatcher.h"

#include <memory>
#include <thread>
#include <vector>

#include "support/testenv.h"

namespace {

class DispatcherTest : public OstrelTest {};

TEST_F(DispatcherTest, PostsFromManyThreadsRunInOrderOnTheOwner) {
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  CDispatcher dispatcher;
  const std::thread::id owner = std::this_thread::get_id();
  std::vector<int> next(kThreads, 0);  // touched only on the owning thread
  int outOfOrder = 0, offThread = 0, ran = 0;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        dispatcher.Post([&, t, i] {
          if (std::this_thread::get_id() != owner || !dispatcher.IsOwnerThread()) ++offThread;
          if (next[t] != i) ++outOfOrder;
          next[t] = i + 1;
          ++ran;
        });
      }
    });
  }
  std::thread quitter([&] {
    for (auto& p : posters) p.join();
    dispatcher.Quit(7);
  });
  EXPECT_EQ(dispatcher.Run(), 7);
  quitter.join();
  EXPECT_EQ(ran, kThreads * kEach);
  EXPECT_EQ(outOfOrder, 0);
  EXPECT_EQ(offThread, 0);
  EXPECT_EQ(dispatcher.QueuedCount(), 0u);
}

TEST_F(DispatcherTest, QuitEndsTheLoopWhereItWasQueued) {
  CDispatcher dispatcher;
  std::vector<int> order;
  dispatcher.Post([&] { order.push_back(1); });
  dispatcher.Quit(2);
  dispatcher.Post([&] { order.push_back(3); });
  EXPECT_EQ(dispatcher.Run(), 2);
  EXPECT_EQ(order, (std::vector<int>{1}));
  EXPECT_EQ(dispatcher.QueuedCount(), 1u) << "work after the quit waits for the next loop";
  dispatcher.Quit(0x123456);
  EXPECT_EQ(dispatcher.Run(), 0x123456);
  EXPECT_EQ(order, (std::vector<int>{1, 3}));
}

TEST_F(DispatcherTest, EachThreadFindsTheDispatcherItOwnsAndTheMainThreads) {
  EXPECT_EQ(CDispatcher::OfCurrentThread(), nullptr) << "a thread that owns none";
  EXPECT_EQ(CDispatcher::OfMainThread(), nullptr);
  auto outer = std::make_unique<CDispatcher>();
  EXPECT_EQ(CDispatcher::OfCurrentThread(), outer.get());
  CDispatcher* seenByOther = outer.get();
  std::unique_ptr<CDispatcher> othersOwn;
  CDispatcher* othersFound = nullptr;
  CDispatcher* mainSeenByOther = nullptr;
  std::thread other([&] {
    seenByOther = CDispatcher::OfCurrentThread();
    mainSeenByOther = CDispatcher::OfMainThread();
    othersOwn = std::make_unique<CDispatcher>();
    othersFound = CDispatcher::OfCurrentThread();
  });
  other.join();
  EXPECT_EQ(seenByOther, nullptr) << "another thread's dispatcher is not found";
  EXPECT_EQ(mainSeenByOther, outer.get()) << "the tests run on the process's main thread";
  EXPECT_EQ(othersFound, othersOwn.get());
  EXPECT_EQ(CDispatcher::OfMainThread(), outer.get()) << "not the other thread's";
  EXPECT_EQ(CDispatcher::OfCurrentThread(), outer.get());
  {
    CDispatcher inner;
    EXPECT_EQ(CDispatcher::OfCurrentThread(), &inner) << "the one made last";
  }
  EXPECT_EQ(CDispatcher::OfCurrentThread(), outer.get()) << "again once the inner one is gone";
  std::thread destroyer([&] { outer.reset(); });  // destroyed on another thread
  destroyer.join();
  EXPECT_EQ(CDispatcher::OfCurrentThread(), nullptr);
  EXPECT_EQ(CDispatcher::OfMainThread(), nullptr);
  othersOwn.reset();
}

}  // namespace
