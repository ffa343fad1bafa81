// Stopping the folder watch while changes pour in: StopMonitor, from another thread
// or from inside the callback, returns; no callback runs after it; the worker thread
// and every descriptor of the watch are gone.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "core/filesystem/filenotifymonitor/filenotifyrevicer.h"
#include "platform/event.h"
#include "support/testenv.h"
#include "watchrig.h"

namespace {

constexpr int kTimedOut = -1;

class FileNotifyStopTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    // A sanitizer's helper thread starts with the first thread the test makes: let it
    // start before the threads are counted.
    std::thread([] {}).join();
  }
  // Creates and deletes files in folder until stopped.
  void StartWriter(const std::string& folder) {
    m_writer = std::thread([this, folder] {
      for (int i = 0; !m_stopWriting.load(); ++i) {
        const std::string path = folder + "/w" + std::to_string(i % 50);
        int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        if (fd >= 0) ::close(fd);
        ::unlink(path.c_str());
      }
    });
  }
  void StopWriter() {
    m_stopWriting = true;
    if (m_writer.joinable()) m_writer.join();
  }
  // Runs the dispatcher until something quits it; a watchdog quits it after bound.
  static int RunDispatcher(CDispatcher& dispatcher, std::chrono::milliseconds bound = std::chrono::seconds(60)) {
    CEvent done;
    std::thread watchdog([&] {
      if (!done.Wait(bound)) dispatcher.Quit(kTimedOut);
    });
    const int code = dispatcher.Run();
    done.Set();
    watchdog.join();
    return code;
  }

  std::atomic<bool> m_stopWriting{false};
  std::thread m_writer;
};

TEST_F(FileNotifyStopTest, StopFromAnotherThreadWhileChangesPourInLeavesNothingBehind) {
  const int fdsBefore = OpenDescriptorCount();
  const int threadsBefore = ThreadCount();
  CDispatcher dispatcher;
  const std::string home = PathIn("home");
  MakeFolder(home + "/busy");
  {
    RecordingRevicer revicer(&dispatcher);
    std::atomic<bool> stopReturned{false};
    int lateCallbacks = 0;  // dispatcher thread only
    CEvent enoughSeen;
    revicer.onChange = [&](const Change&) {
      if (stopReturned.load()) ++lateCallbacks;
      if (revicer.RawCount() == 300) enoughSeen.Set();
    };
    ASSERT_EQ(revicer.Start({home}), S_OK);
    ASSERT_TRUE(revicer.WaitStarted({home}));
    EXPECT_EQ(ThreadCount(), threadsBefore + 1) << "one worker thread";
    StartWriter(home + "/busy");
    HRESULT stopResult = E_UNEXPECTED;
    std::thread stopper([&] {
      if (enoughSeen.Wait(std::chrono::seconds(60))) {
        stopResult = revicer.StopMonitor();
        stopReturned = true;
      }
      dispatcher.Quit(0);
    });
    EXPECT_EQ(RunDispatcher(dispatcher), 0);
    stopper.join();
    EXPECT_EQ(stopResult, S_OK);
    const size_t seen = revicer.RawCount();
    dispatcher.RunPending();  // what was still queued is dropped
    StopWriter();
    EXPECT_EQ(lateCallbacks, 0);
    EXPECT_EQ(revicer.RawCount(), seen);
    EXPECT_EQ(ThreadCount(), threadsBefore) << "the worker thread is gone";
    EXPECT_EQ(OpenDescriptorCount(), fdsBefore) << "the inotify and wake-up descriptors are closed";
  }
}

TEST_F(FileNotifyStopTest, StopFromInsideTheCallbackReturnsAndDropsTheRest) {
  const int threadsBefore = ThreadCount();
  const int fdsBefore = OpenDescriptorCount();
  CDispatcher dispatcher;
  const std::string home = PathIn("home");
  RecordingRevicer revicer(&dispatcher);
  HRESULT stopResult = E_UNEXPECTED;
  revicer.onChange = [&](const Change&) {
    if (revicer.RawCount() == 1) {
      stopResult = revicer.StopMonitor();
      dispatcher.Quit(0);
    }
  };
  ASSERT_EQ(revicer.Start({home}), S_OK);
  ASSERT_TRUE(revicer.WaitStarted({home}));
  for (int i = 0; i < 20; ++i) CreateEmpty(home + "/f" + std::to_string(i));
  EXPECT_EQ(RunDispatcher(dispatcher), 0);
  EXPECT_EQ(stopResult, S_OK);
  dispatcher.RunPending();
  EXPECT_EQ(revicer.RawCount(), 1u) << "the changes queued behind the first are dropped";
  EXPECT_EQ(ThreadCount(), threadsBefore);
  EXPECT_EQ(OpenDescriptorCount(), fdsBefore);
}

TEST_F(FileNotifyStopTest, TwoThreadsStoppingAtOnceBothReturn) {
  const int threadsBefore = ThreadCount();
  const int fdsBefore = OpenDescriptorCount();
  CDispatcher dispatcher;
  const std::string home = PathIn("home");
  MakeFolder(home + "/busy");
  RecordingRevicer revicer(&dispatcher);
  CEvent someSeen;
  std::atomic<int> stopsReturned{0};
  int lateCallbacks = 0;
  revicer.onChange = [&](const Change&) {
    if (stopsReturned.load() > 0) ++lateCallbacks;
    if (revicer.RawCount() == 50) someSeen.Set();
  };
  ASSERT_EQ(revicer.Start({home}), S_OK);
  ASSERT_TRUE(revicer.WaitStarted({home}));
  StartWriter(home + "/busy");
  CEvent go;
  auto stop = [&] {
    go.Wait(std::chrono::seconds(60));
    revicer.StopMonitor();  // one of the two may find the watch stopped already
    if (++stopsReturned == 2) dispatcher.Quit(0);
  };
  std::thread a(stop), b(stop);
  std::thread starter([&] {
    someSeen.Wait(std::chrono::seconds(60));
    go.Set();
  });
  EXPECT_EQ(RunDispatcher(dispatcher), 0);
  a.join();
  b.join();
  starter.join();
  StopWriter();
  dispatcher.RunPending();
  EXPECT_EQ(lateCallbacks, 0);
  EXPECT_EQ(ThreadCount(), threadsBefore);
  EXPECT_EQ(OpenDescriptorCount(), fdsBefore);
}

}  // namespace
