// The rig of the marker tests: a file sync manager (FileSyncRig) whose notices run on
// a thread of their own that runs a dispatcher (the UI thread), and a shell adapter
// that records every marker handed to it, with the time the manager's clock had slept
// by then and whether it came on the UI thread. A drag marker made as a barrier
// proves that every change made before it has been handled.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "filesyncrig.h"
#include "filenotifymonitor/watchrig.h"
#include "platform/dispatcher.h"
#include "platform/event.h"

inline constexpr std::chrono::seconds kMarkerGuard{60};  // a guard against a hang, never a wait for time

// A thread that owns a dispatcher and runs it until destruction. The dispatcher
// outlives the thread, and with it every post to it.
class UiThread {
 public:
  UiThread() : m_thread([this] { Main(); }) { m_ready.Wait(); }
  ~UiThread() {
    m_dispatcher->Quit(0);
    m_thread.join();
    m_dispatcher.reset();
  }
  UiThread(const UiThread&) = delete;
  UiThread& operator=(const UiThread&) = delete;

  CDispatcher* Dispatcher() { return m_dispatcher.get(); }
  std::thread::id Id() const { return m_thread.get_id(); }
  // Runs fn on the UI thread after everything posted before; whether it ran in time.
  bool Call(const std::function<void()>& fn) {
    auto done = std::make_shared<CEvent>();
    m_dispatcher->Post([fn, done] {
      fn();
      done->Set();
    });
    return done->Wait(kMarkerGuard);
  }

 private:
  void Main() {
    m_dispatcher = std::make_unique<CDispatcher>();  // owned by this thread
    m_ready.Set();
    m_dispatcher->Run();
  }

  std::unique_ptr<CDispatcher> m_dispatcher;
  CEvent m_ready;
  std::thread m_thread;
};

// One marker handed to the shell adapter.
struct HandedMarker {
  std::string path;
  int64_t sleptMs = 0;  // what the manager's clock had slept when it came
  bool onUiThread = false;
};

class MarkerShell final : public CUnknownImpl<IShellAdapter> {
 public:
  MarkerShell(FakeClock* clock, std::thread::id uiThread) : m_clock(clock), m_ui(uiThread) {}

  HRESULT OnDragDataFile(const std::string& path) override {
    std::function<void(const std::string&)> hook;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_handed.push_back({path, m_clock->TotalSlept().count(), std::this_thread::get_id() == m_ui});
      hook = onHandOver;
    }
    m_changed.notify_all();
    if (hook) hook(path);
    return S_OK;
  }
  // Every marker handed on, barriers left out.
  std::vector<HandedMarker> Handed() {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<HandedMarker> out;
    for (const auto& m : m_handed)
      if (m.path.find(".barrier") == std::string::npos) out.push_back(m);
    return out;
  }
  std::vector<std::string> HandedPaths() {
    std::vector<std::string> paths;
    for (const auto& m : Handed()) paths.push_back(m.path);
    return paths;
  }
  // Waits (up to the guard) until path has been handed on.
  bool WaitFor(const std::string& path) {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_changed.wait_for(guard, kMarkerGuard, [&] {
      for (const auto& m : m_handed)
        if (m.path == path) return true;
      return false;
    });
  }
  // Makes a drag marker in folder and waits until it is handed on.
  bool Barrier(const std::string& folder) {
    static std::atomic<int> n{0};
    const std::string path = folder + "/.barrier_ostrel_dragdata_" + std::to_string(++n);
    CreateEmpty(path);
    return WaitFor(path);
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_handed.clear();
  }

  // Called after each hand-over is recorded, on the caller's thread.
  std::function<void(const std::string&)> onHandOver;

  HRESULT SetMainWindow(IMainWindow*) override { return S_OK; }
  HRESULT UnInit() override { return S_OK; }
  HRESULT ShowMessage(const std::string&, const std::string&) override { return S_OK; }
  int32_t ShowWizard(const std::string&, const std::string&, const std::string&, const std::string&, int32_t,
                     const std::string&, int32_t) override {
    return -1;
  }
  HRESULT ShowNotify(const std::string&, const std::string&, uint32_t, uint32_t) override { return S_OK; }
  ShellProcess ShellOpen(const std::string&) override { return kShellOpenFailed; }
  HRESULT ForceUpgrade() override { return S_OK; }
  std::string PickFolder(const std::string&) override { return std::string(); }

 private:
  FakeClock* const m_clock;
  const std::thread::id m_ui;
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<HandedMarker> m_handed;
};

class MarkerRig : public FileSyncRig {
 protected:
  void SetUp() override {
    FileSyncRig::SetUp();
    m_shell = RefPtr<MarkerShell>(new MarkerShell(&m_clock, m_ui.Id()));
    m_center->Register(m_shell.get());  // in place of the rig's shell adapter
    m_home = Root();                    // holds the sync folder, PathIn("sync")
    m_outside = MakeTempFolder("outside");
  }
  void TearDown() override {
    FileSyncRig::TearDown();
    RemoveTree(m_outside);
  }

  // The manager's options: notices on the UI thread, the test's folder watched.
  FileSyncOptions WatchOptions() {
    FileSyncOptions options = Options();
    options.notify.dispatcher = m_ui.Dispatcher();
    options.notify.roots = {m_home};
    return options;
  }

  // Starts the manager and waits until every folder of the watched tree root is
  // watched (an item made in a folder the start-up walk has not reached yet may be
  // missed within the clock tick the watch began in).
  void StartWatching(FileSyncOptions options, const std::string& root) {
    LogCapture log;
    StartManager(std::move(options));
    ASSERT_TRUE(log.WaitFor({"CFileNotifyRevicer::On_WatchStarted:err=0, path=" + root}, kMarkerGuard));
  }
  void StartWatching() { StartWatching(WatchOptions(), m_home); }

  UiThread m_ui;
  RefPtr<MarkerShell> m_shell;
  std::string m_home;
  std::string m_outside;  // a folder nobody watches
};
