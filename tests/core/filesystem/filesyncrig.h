// The rig of the file sync manager's and the transfers' tests: the real local storage
// in the test's folder, the real shell adapter over an EditorWindow, a real task
// manager (ticking every millisecond) whose file tasks are FakeFileTasks behind a
// ScriptedTaskMgr, a scripted remote storage, and a file sync manager (StartManager) or
// a whole file system (MakeFacade) on them. The watch of opened files ticks only when a
// test calls CheckEditedFiles, on the rig's fake clock.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <string>

#include "common/sha1.h"
#include "core/filesystem/filesyncmgr.h"
#include "core/filesystem/transfers.h"
#include "editorwindow.h"
#include "fakefiletasks.h"
#include "filesystemrig.h"
#include "scriptedtaskmgr.h"
#include "shell/shelladapter.h"
#include "support/fakeclock.h"
#include "support/logcapture.h"

class FileSyncRig : public FileSystemRig<OstrelTest> {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    OpenStore();
    // A forced upgrade (methodVersionNotMatch) tells the user but never ends the test.
    shellcontrol::SetProcessExit([](int) {});
    shellcontrol::ResetForceUpgrade();
    filesystemcontrol::ResetOversizeNotice();
    ASSERT_EQ(CreateShellAdapter(m_adapter.Receive()), S_OK);
    m_adapter->SetMainWindow(&m_window);
    m_center->Register(m_adapter.get());  // in place of the rig's prompting adapter
    m_center->SignIn("ann", "session-token");
    m_recording = new RecordingRemoteStorage;
    m_remote = RefPtr<IRemoteStorage>(m_recording);
    ASSERT_EQ(ScriptedTaskMgr::StartOverReal(m_tasks.Factory(), m_center.get(), m_store.get(), m_remote.get(), &m_scripted),
              S_OK);
    m_taskMgr = RefPtr<ITaskMgr>(m_scripted.get());
  }
  void TearDown() override {
    if (m_mgr) m_mgr->UnInit();
    if (m_fs) m_fs->UnInit();
    if (m_scripted) m_scripted->Stop(0xFFFFFFFF);
    m_mgr.reset();
    m_scripted = nullptr;
    CloseStore();
    shellcontrol::SetProcessExit(nullptr);
    OstrelTest::TearDown();
  }

  // The options of the tests: no watch thread (CheckEditedFiles is called), the rig's
  // clock and the default release wait of 5000 ms.
  FileSyncOptions Options() {
    FileSyncOptions options;
    options.watchPeriod = kWaitForever;
    options.clock = &m_clock;
    return options;
  }
  void StartManager(FileSyncOptions options) {
    m_mgr = std::make_shared<CFileSyncMgr>(std::move(options));
    ASSERT_EQ(m_mgr->Init(m_center.get(), m_store.get(), m_remote.get(), m_scripted.get()), S_OK);
  }
  void StartManager() { StartManager(Options()); }
  // A file system on the rig's components (its Init learns the versions 5 and 7).
  void MakeFacade(FileSyncOptions options) {
    m_recording->Queue("GetMaxVers", S_OK, VersionsReply());
    ASSERT_EQ(CreateFileSystem(m_fs.Receive(), options), S_OK);
    ASSERT_EQ(m_fs->Init(m_center.get(), m_store.get(), m_remote.get(), m_scripted.get()), S_OK);
  }
  void MakeFacade() { MakeFacade(Options()); }

  static RecordTree VersionsReply() {
    RecordTree reply("nuvra");
    reply.AddValue("opVer", "5");
    reply.AddValue("shareVer", "7");
    return reply;
  }

  // The local storage's path of a relative path in the sync folder.
  std::string Sync(const std::string& rel) { return m_store->GetFullPath(rel); }
  // A file of the user's (in folder parentId) that the store has listed and the service
  // holds with that content and version.
  CFileItemRecord SeedItem(const std::string& fileId, const std::string& parentId, const std::string& name,
                           const std::string& content, int64_t fileVer, ItemSpace space = ItemSpace::MyFile) {
    CFileItemRecord item;
    item.strSvrId = fileId;
    item.strParentId = parentId;
    item.strName = name;
    item.size = static_cast<int64_t>(content.size());
    item.fileVer = fileVer;
    item.strSha1 = Sha1Hex(content.data(), content.size());
    item.strLocalCTime = "2024-03-05 10:00:00";
    item.strLocalMTime = "2024-03-05 11:00:00";
    EXPECT_EQ(m_store->AddOrUpdateFileItem(item, space), S_OK);
    m_tasks.SetRemote(fileId, content, fileVer);
    return item;
  }
  // The service answers "GetFileInfo" with this version for every file.
  void ServiceVersion(int64_t fileVer) {
    m_scripted->SetAnswer("GetFileInfo", [fileVer](TaskDataBase&, RecordTree* reply) {
      reply->AddValue("fileVer", std::to_string(fileVer));
      return S_OK;
    });
  }
  static bool Writable(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && (st.st_mode & 0222) != 0;
  }
  static std::string Sha1Of(const std::string& bytes) { return Sha1Hex(bytes.data(), bytes.size()); }
  std::vector<std::string> Notices() { return m_window.Texts("ShowNotify"); }
  std::vector<std::string> Messages() { return m_window.Texts("ShowMessage"); }

  EditorWindow m_window;
  FakeClock m_clock;
  FakeFileTasks m_tasks;
  RefPtr<IShellAdapter> m_adapter;
  RecordingRemoteStorage* m_recording = nullptr;  // m_remote
  RefPtr<ScriptedTaskMgr> m_scripted;
  std::shared_ptr<CFileSyncMgr> m_mgr;
};
