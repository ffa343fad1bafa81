// The file sync manager against the test's own local service, every component real: the
// remote storage aimed at the service (direct, unlimited), the task manager running the
// real file tasks (ticking every millisecond) behind a ScriptedTaskMgr that only counts
// the task ends, the local storage, and the shell adapter over a ScriptedMainWindow.
// The account "ann" is signed in with a small quota (kQuota). Every transport writes
// through a file system whose first write can be waited for, and may be given a short
// time-out in place of the one each request asks for.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "core/filesystem/filesyncmgr.h"
#include "core/remotestorage/clsfactory.h"
#include "core/remotestorage/remotestorage.h"
#include "core/remotestorage/transport/transport.h"
#include "core/taskmgr/task/createfiletask.h"
#include "filesystemrig.h"
#include "scriptedtaskmgr.h"
#include "shell/shelladapter.h"
#include "support/filefault.h"
#include "support/fsseed.h"
#include "support/scriptedmainwindow.h"
#include "support/serviceclient.h"

// A transport whose transfers time out after ShortTimeouts seconds (when not 0) in place
// of what their callers ask for.
class ShortTimeoutTransport final : public CUnknownImpl<ITransport> {
 public:
  ShortTimeoutTransport(RefPtr<ITransport> real, int32_t seconds) : m_real(std::move(real)), m_seconds(seconds) {}
  HRESULT SetProgressCallback(TransportProgressCallback callback, void* context) override {
    return m_real->SetProgressCallback(callback, context);
  }
  HRESULT Request(const std::string& url, const std::string* header, const std::string* body, std::string* reply,
                  int32_t timeoutSec, bool reportNetworkState) override {
    return m_real->Request(url, header, body, reply, Cut(timeoutSec), reportNetworkState);
  }
  HRESULT Download(const std::string& url, const std::string& localPath, const std::string& header,
                   const std::string& body, int32_t timeoutSec) override {
    return m_real->Download(url, localPath, header, body, Cut(timeoutSec));
  }
  HRESULT Upload(const std::string& url, const std::string& localPath, const std::string& header,
                 const std::string& formFields, std::string* reply, int32_t timeoutSec) override {
    return m_real->Upload(url, localPath, header, formFields, reply, Cut(timeoutSec));
  }
  HRESULT PostStream(const std::string& url, const std::string& localPath, const std::string& header,
                     std::string* reply, int32_t timeoutSec) override {
    return m_real->PostStream(url, localPath, header, reply, Cut(timeoutSec));
  }
  HRESULT Cancel(bool unused) override { return m_real->Cancel(unused); }
  HRESULT SetSpeedLimit(uint32_t send, uint32_t receive) override { return m_real->SetSpeedLimit(send, receive); }
  HRESULT SetDownloadLimit(uint64_t maxBytes) override { return m_real->SetDownloadLimit(maxBytes); }

 private:
  int32_t Cut(int32_t timeoutSec) const { return m_seconds ? m_seconds : timeoutSec; }
  RefPtr<ITransport> m_real;
  const int32_t m_seconds;
};

class SyncServiceRig : public FileSystemRig<LocalServiceTest> {
 protected:
  static constexpr int64_t kQuota = 64 * 1024;

  // The service keeps its state in the test's folder, so that a restart keeps the account.
  std::vector<std::string> ServiceArgs() override { return {"--state", PathIn("service-state")}; }

  void SetUp() override {
    LocalServiceTest::SetUp();
    AimClientAtService(Service(), Root());
    remotestoragecontrol::ResetGlobalVersionFlag();
    shellcontrol::ResetForceUpgrade();
    m_previousCreator = CClsFactory::GetInstance().SetTransportCreator([this](ITransport** transport) {
      RefPtr<ITransport> real;
      const HRESULT hr = CreateTransportWith(DefaultTransportSettings(), real.Receive(), CurlPolicy(), &m_wire);
      if (FAILED(hr)) return hr;
      *transport = new ShortTimeoutTransport(std::move(real), m_shortTimeout.load());
      (*transport)->AddRef();
      return S_OK;
    });
    const nlohmann::json ann =
        FsControl(Service(), "/test/fs/account", {{"user", "ann"}, {"password", "pw-ann"}, {"total", kQuota}});
    ASSERT_TRUE(ann.is_object());
    m_token = ann["token"].get<std::string>();
    m_userId = ann["userId"].get<std::string>();

    OpenStore();
    ASSERT_EQ(CreateShellAdapter(m_adapter.Receive()), S_OK);
    m_adapter->SetMainWindow(&m_window);
    m_center->Register(m_adapter.get());  // in place of the rig's prompting adapter
    m_center->SignIn("ann", m_token);
    ASSERT_EQ(CreateRemoteStorage(m_remote.Receive()), S_OK);

    FileTaskOptions tasks;
    tasks.syncCenter = m_center.get();
    ASSERT_EQ(ScriptedTaskMgr::StartOverReal(FileTaskFactory(tasks), m_center.get(), m_store.get(), m_remote.get(), &m_scripted),
              S_OK);
    m_taskMgr = RefPtr<ITaskMgr>(m_scripted.get());

    FileSyncOptions sync;
    sync.watchPeriod = kWaitForever;
    m_mgr = std::make_shared<CFileSyncMgr>(sync);
    ASSERT_EQ(m_mgr->Init(m_center.get(), m_store.get(), m_remote.get(), m_scripted.get()), S_OK);
  }
  void TearDown() override {
    if (m_mgr) m_mgr->UnInit();
    if (m_scripted) m_scripted->Stop(0xFFFFFFFF);
    m_mgr.reset();
    m_scripted = nullptr;
    CloseStore();
    m_wire.Clear();
    CClsFactory::GetInstance().SetTransportCreator(m_previousCreator);
    remotestoragecontrol::ResetGlobalVersionFlag();
    shellcontrol::SetProcessExit(nullptr);
    LocalServiceTest::TearDown();
  }

  // A file of ann's root on the service, as another device would have uploaded it (one
  // encoded file); its fileId.
  std::string SeedFile(const std::string& name, const std::string& content) {
    return FsSeedFile(Service(), m_userId, name, content, "whole")["fileId"].get<std::string>();
  }

  // From now on every transfer times out after seconds (0: after what it asks for).
  void ShortTimeouts(int32_t seconds) { m_shortTimeout = seconds; }

  // From now on the first write into a file whose path contains pathPart, through a
  // transport, is reported to WaitWritten.
  void WatchWrites(const std::string& pathPart) {
    {
      std::lock_guard<std::mutex> guard(m_writeLock);
      m_written = false;
    }
    m_wire.SetHook([this, pathPart](FileOp op, const std::string& path) {
      if (op == FileOp::kWrite && path.find(pathPart) != std::string::npos) {
        std::lock_guard<std::mutex> guard(m_writeLock);
        m_written = true;
        m_writeChanged.notify_all();
      }
      return 0;
    });
  }
  // Whether such a write came (waits up to a guard against a hang, never for time to pass).
  bool WaitWritten() {
    std::unique_lock<std::mutex> guard(m_writeLock);
    return m_writeChanged.wait_for(guard, std::chrono::seconds(30), [this] { return m_written; });
  }

  // The finished task of that cloud path (the last one), or an empty row.
  TaskListEntry Finished(const std::string& fullPath) {
    std::vector<TaskListEntry> rows;
    EXPECT_EQ(m_scripted->GetTaskList(true, &rows), S_OK);
    TaskListEntry found;
    for (const TaskListEntry& row : rows)
      if (row.strFullPath == fullPath) found = row;
    return found;
  }

  ScriptedMainWindow m_window;
  RefPtr<IShellAdapter> m_adapter;
  RefPtr<ScriptedTaskMgr> m_scripted;
  std::shared_ptr<CFileSyncMgr> m_mgr;
  FaultFileEnv m_wire;  // the transports' file system
  std::string m_token, m_userId;

 private:
  TransportCreateFn m_previousCreator;
  std::atomic<int32_t> m_shortTimeout{0};
  std::mutex m_writeLock;
  std::condition_variable m_writeChanged;
  bool m_written = false;
};
