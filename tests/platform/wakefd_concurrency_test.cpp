// The wake-up of a thread that waits on a descriptor: a Signal ends the wait, from
// this thread or another, until Clear takes it back; a readable descriptor ends it
// as well.
#include "platform/wakefd.h"

#include <fcntl.h>
#include <unistd.h>

#include <thread>

#include "platform/event.h"
#include "support/testenv.h"

namespace {

class WakeFdTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    ASSERT_EQ(::pipe2(m_pipe, O_CLOEXEC), 0);
  }
  void TearDown() override {
    ::close(m_pipe[0]);
    ::close(m_pipe[1]);
    OstrelTest::TearDown();
  }
  int m_pipe[2] = {-1, -1};
};

TEST_F(WakeFdTest, ASignalEndsTheWaitUntilItIsCleared) {
  CWakeFd wake;
  ASSERT_TRUE(wake.Valid());
  CWakeFd::WaitResult r = wake.Wait(m_pipe[0], std::chrono::milliseconds::zero());
  EXPECT_FALSE(r.woken);
  EXPECT_FALSE(r.readable);
  wake.Signal();
  wake.Signal();
  r = wake.Wait(m_pipe[0], std::chrono::milliseconds::zero());
  EXPECT_TRUE(r.woken);
  EXPECT_FALSE(r.readable);
  wake.Clear();
  EXPECT_FALSE(wake.Wait(m_pipe[0], std::chrono::milliseconds::zero()).woken) << "one Clear takes back both";
  ASSERT_EQ(::write(m_pipe[1], "x", 1), 1);
  r = wake.Wait(m_pipe[0], std::chrono::milliseconds::zero());
  EXPECT_FALSE(r.woken);
  EXPECT_TRUE(r.readable);
}

TEST_F(WakeFdTest, ASignalFromAnotherThreadEndsAWaitWithoutBound) {
  CWakeFd wake;
  ASSERT_TRUE(wake.Valid());
  CEvent waiting;
  CWakeFd::WaitResult r;
  std::thread waiter([&] {
    waiting.Set();
    r = wake.Wait(m_pipe[0], kWaitForever);
  });
  ASSERT_TRUE(waiting.Wait());
  wake.Signal();  // before or during the wait: either way it ends
  waiter.join();
  EXPECT_TRUE(r.woken);
  EXPECT_FALSE(r.readable);
  EXPECT_EQ(r.error, 0);
}

}  // namespace
