// The file sync manager with the real task manager running fake file tasks, the real
// local storage and the real shell adapter: how opens, downloads and uploads become
// tasks, what a task's end does (open and watch, the old copy, versions, read-only
// protection, markers) and what the user is told, and how an edit that never reached
// the service is kept safe before anything replaces it.
#include <sys/stat.h>

#include "filesyncrig.h"
#include "support/filefault.h"

namespace {

class FileSyncMgrTest : public FileSyncRig {
 protected:
  // The one row of the opened-file list, or an empty one.
  TaskListEntry OpenRow(const std::string& fileId) {
    std::vector<TaskListEntry> rows;
    EXPECT_EQ(m_mgr->GetOpenFileList(&rows), S_OK);
    for (const TaskListEntry& row : rows)
      if (row.strId == fileId) return row;
    return TaskListEntry();
  }
  std::string TrashFile(const std::string& name) { return PathIn("data/Trash/files/" + name); }
};

TEST_F(FileSyncMgrTest, AnOpenDownloadsInTheBackgroundThenOpensAndWatchesTheFile) {
  StartManager();
  SeedItem("F1", "P", "a.txt", "hello", 3);
  const std::string local = Sync("P/a.txt");
  ASSERT_EQ(m_mgr->OpenFile("F1", "\\P\\a.txt", local, ItemSpace::MyFile), S_OK);
  ASSERT_TRUE(m_scripted->WaitCallbacks(1));

  const auto added = m_scripted->AddedTasks();
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(added[0].taskName, "DownloadFile");
  EXPECT_TRUE(added[0].force);
  EXPECT_EQ(added[0].secondPath, local);
  EXPECT_EQ(ReadFileBytes(local), "hello");
  EXPECT_EQ(m_window.Texts("ShellOpen"), std::vector<std::string>{local});
  EXPECT_FALSE(FileExists(local + ".otl")) << "an open puts no marker";

  const TaskListEntry row = OpenRow("F1");
  EXPECT_EQ(row.strFullPath, "\\P\\a.txt");
  EXPECT_EQ(row.nDirection, 1);
  EXPECT_EQ(row.nOpenFlags, kOpenFlagForEdit);
  std::string localPath, fullPath;
  int64_t fileVer = 0;
  ASSERT_EQ(m_mgr->GetOpenFileInfo("F1", &localPath, &fullPath, &fileVer), S_OK);
  EXPECT_EQ(localPath, local);
  EXPECT_EQ(fullPath, "\\P\\a.txt");
  EXPECT_EQ(fileVer, 3);

  // Opening it again only says so.
  EXPECT_EQ(m_mgr->OpenFile("F1", "\\P\\a.txt", local, ItemSpace::MyFile), S_OK);
  EXPECT_EQ(Messages(), std::vector<std::string>{"文件“a.txt”已处于打开状态，不能重复打开。"});
  EXPECT_EQ(m_scripted->AddedTasks().size(), 1u);
}

TEST_F(FileSyncMgrTest, AnUnchangedCopyOfTheServicesVersionOpensWithoutADownload) {
  StartManager();
  const struct {
    const char* fileId;
    int64_t serviceVersion;
    bool downloads;
  } rows[] = {{"F1", 3, false}, {"F2", 4, true}};
  int callbacks = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fileId);
    SeedItem(row.fileId, "P", std::string(row.fileId) + ".txt", "cached", 3);
    const std::string local = Sync("P/" + std::string(row.fileId) + ".txt");
    ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(Sync("P"))), 0);
    WriteFileBytes(local, "cached");
    ASSERT_EQ(chmod(local.c_str(), 0444), 0);  // as the last close left it
    ServiceVersion(row.serviceVersion);
    ASSERT_EQ(m_mgr->OpenFile(row.fileId, std::string("\\P\\") + row.fileId + ".txt", local, ItemSpace::MyFile),
              S_OK);
    if (row.downloads) {
      ASSERT_TRUE(m_scripted->WaitCallbacks(++callbacks));
    }
    EXPECT_EQ(m_scripted->AddedOf("DownloadFile").size(), row.downloads ? 1u : 0u);
    EXPECT_TRUE(m_mgr->IsFileOpen(row.fileId));
    EXPECT_TRUE(Writable(local)) << "the file is the user's to edit again";
  }
  EXPECT_TRUE(m_window.Texts("ShowWizard").empty());
}

TEST_F(FileSyncMgrTest, AnEditThatNeverReachedTheServiceIsKeptBeforeTheDownload) {
  StartManager();
  const std::string aside = PathIn("aside");
  ASSERT_EQ(mkdir(aside.c_str(), 0700), 0);
  const struct {
    const char* what;
    const char* fileId;
    int button;          // of "另存...|放弃"
    const char* picked;  // nullptr: no picker; "": cancelled
    bool copied;
  } rows[] = {
      {"saved aside", "F1", 0, "aside", true},
      {"the picker cancelled", "F2", 0, "", false},
      {"given up", "F3", 1, nullptr, false},
  };
  int callbacks = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string name = std::string(row.fileId) + ".txt";
    SeedItem(row.fileId, "P", name, "v2 from the service", 2);
    const std::string local = Sync("P/" + name);
    ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(Sync("P"))), 0);
    WriteFileBytes(local, "my edit of " + name);
    m_window.Script().QueueWizardChoice(row.button);
    if (row.picked) m_window.Script().QueuePickedFolder(*row.picked ? PathIn(row.picked) : "");
    const int pickers = m_window.Script().CountOf("PickFolder");

    ASSERT_EQ(m_mgr->OpenFile(row.fileId, "\\P\\" + name, local, ItemSpace::MyFile), S_OK);
    ASSERT_TRUE(m_scripted->WaitCallbacks(++callbacks));

    const auto prompt = m_window.Script().Calls();
    bool asked = false;
    for (const auto& call : prompt) {
      if (call.op != "ShowWizard" ||
          call.prompt.text != "发现本地有一份修改未上传到服务器中，可能是上次文件上传失败导致，建议先另存出来。")
        continue;
      asked = true;
      EXPECT_EQ(call.prompt.caption, "Sepra便携版");
      EXPECT_EQ(call.prompt.buttons, (std::vector<std::string>{"另存...", "放弃"}));
      EXPECT_EQ(call.prompt.checkText, "记住我的选择");
    }
    EXPECT_TRUE(asked);
    EXPECT_EQ(m_window.Script().CountOf("PickFolder") - pickers, row.picked ? 1 : 0);
    EXPECT_EQ(FileExists(aside + "/" + name), row.copied);
    if (row.copied) {
      EXPECT_EQ(ReadFileBytes(aside + "/" + name), "my edit of " + name);
    }
    EXPECT_EQ(ReadFileBytes(TrashFile(name)), "my edit of " + name) << "the edit is in the user's trash";
    EXPECT_TRUE(FileExists(PathIn("data/Trash/info/" + name + ".trashinfo")));
    EXPECT_EQ(ReadFileBytes(local), "v2 from the service");
  }
  EXPECT_EQ(m_window.Texts("PickFolder"), (std::vector<std::string>{"另存为", "另存为"}));
}

TEST_F(FileSyncMgrTest, AnEditThatCannotGoToTheTrashStaysAndNothingIsDownloaded) {
  FaultFileEnv faults;
  faults.Fail(FileOp::kRename, "P/a.txt", EIO);
  FileSyncOptions options = Options();
  options.env = &faults;
  StartManager(options);
  SeedItem("F1", "P", "a.txt", "v2", 2);
  const std::string local = Sync("P/a.txt");
  ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(Sync("P"))), 0);
  WriteFileBytes(local, "my edit");
  m_window.Script().QueueWizardChoice(1);  // 放弃
  LogCapture log;

  EXPECT_EQ(m_mgr->OpenFile("F1", "\\P\\a.txt", local, ItemSpace::MyFile), E_FAIL);
  EXPECT_EQ(ReadFileBytes(local), "my edit");
  EXPECT_TRUE(m_scripted->AddedTasks().empty());
  EXPECT_FALSE(m_mgr->IsFileOpen("F1"));
  EXPECT_EQ(Notices(), std::vector<std::string>{"打开“a.txt”失败"});
  EXPECT_TRUE(log.Contains("cannot go to the trash"));
  EXPECT_FALSE(FileExists(TrashFile("a.txt")));

  // A plain download stops the same way and leaves no marker.
  m_window.Script().QueueWizardChoice(1);
  EXPECT_EQ(m_mgr->DownloadFile("F1", "\\P\\a.txt", local, true, ItemSpace::MyFile), E_FAIL);
  EXPECT_EQ(ReadFileBytes(local), "my edit");
  EXPECT_FALSE(FileExists(local + ".otl"));
  EXPECT_EQ(Notices().back(), "下载“a.txt”失败");
}

TEST_F(FileSyncMgrTest, EveryFailedTaskIsToldOnceWithItsText) {
  StartManager();
  const std::string source = PathIn("报告.doc");
  WriteFileBytes(source, "report");
  const char* kSession = "您的会话已经过期，为了您的安全，请重新登录Vendro。";
  const char* kNetwork = "网络链接出错，请检查网络是否顺畅。";
  const struct {
    HRESULT result;
    bool upload;
    const char* text;
    bool message;
  } rows[] = {
      {E_CV_SRV_METHOD_VERSION_NOT_MATCH, false, "当前Vendro版本太旧，请重启Vendro，Vendro会自动为您升级。", true},
      {E_CV_SRV_CLIENT_TOKEN_EXPIRED, true, kSession, true},
      {E_CV_SRV_CLIENT_NO_LOGIN, false, kSession, true},
      {E_CV_SRV_OVER_SPACE, true, "您的Sepra空间已满，当前操作失败。", false},
      {E_CV_TARGET_NOT_EXISTS, false, "当前文件不存在，请刷新后检查文件是否存在。", false},
      {E_CV_NETWORK_ERROR, false, kNetwork, false},
      {E_CV_NETWORK_ERROR2, true, kNetwork, false},
      {E_CV_NETWORK_ERROR3, false, kNetwork, false},
      {E_CV_SHA1_MISMATCH, true, kNetwork, false},
      {E_CV_CURL_CANCEL, true, "上传“报告.doc”被取消", false},
      {E_CV_CURL_CANCEL, false, "下载“报告.doc”被取消", false},
      {E_CV_TASK_FAILED, true, "上传“报告.doc”失败", false},
      {E_CV_LOCAL_LOCKED, false, "下载“报告.doc”失败", false},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << row.result << (row.upload ? " upload" : " download"));
    const std::string fileId = "F" + std::to_string(++n);
    SeedItem("kept" + fileId, "P", "kept.txt", "k", 1);
    m_tasks.SetResult(fileId, row.result);
    const int notices = m_window.Count("ShowNotify", row.text), messages = m_window.Count("ShowMessage", row.text);
    if (row.upload)
      ASSERT_EQ(m_mgr->UploadFile(fileId, "P", 3, "\\docs\\报告.doc", source, true), S_OK);
    else
      ASSERT_EQ(m_mgr->DownloadFile(fileId, "\\docs\\报告.doc", PathIn("out" + fileId), true, ItemSpace::MyFile), S_OK);
    ASSERT_TRUE(m_scripted->WaitCallbacks(n));
    EXPECT_EQ(m_window.Count("ShowNotify", row.text) - notices, 1);
    EXPECT_EQ(m_window.Count("ShowMessage", row.text) - messages, row.message ? 1 : 0);
    for (const auto& call : m_window.Script().Calls())
      if (call.op == "ShowNotify") {
        EXPECT_EQ(call.caption, "Sepra便携版");
      }
    // An expired session also forgets the cached listings.
    CFileItemRecord item;
    EXPECT_EQ(SUCCEEDED(m_store->GetItemInfo("kept" + fileId, &item, ItemSpace::MyFile)),
              std::string(row.text) != kSession);
  }
}

TEST_F(FileSyncMgrTest, AFailedOpenOffersTheCachedCopyReadOnly) {
  StartManager();
  const struct {
    const char* fileId;
    HRESULT result;
    int button;  // of "打开旧版本|取消"; -2: no question expected
    bool opened;
    const char* notice;
  } rows[] = {
      {"F1", E_CV_NETWORK_ERROR, 0, true, "正在为您只读打开缓存在您机器上的“F1.txt”文件。"},
      {"F2", E_CV_NETWORK_ERROR, 1, false, "网络链接出错，请检查网络是否顺畅。"},
      {"F3", E_CV_TARGET_NOT_EXISTS, -2, false, "当前文件不存在，请刷新后检查文件是否存在。"},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fileId);
    const std::string name = std::string(row.fileId) + ".txt";
    const std::string local = Sync("P/" + name);
    ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(Sync("P"))), 0);
    WriteFileBytes(local, "old copy");  // the store does not know it: no conflict question
    m_tasks.SetResult(row.fileId, row.result);
    if (row.button >= 0) m_window.Script().QueueWizardChoice(row.button);
    const int questions = m_window.Script().CountOf("ShowWizard");
    ASSERT_EQ(m_mgr->OpenFile(row.fileId, "\\P\\" + name, local, ItemSpace::MyFile), S_OK);
    ASSERT_TRUE(m_scripted->WaitCallbacks(++n));
    EXPECT_EQ(m_window.Script().CountOf("ShowWizard") - questions, row.button >= 0 ? 1 : 0);
    EXPECT_EQ(Notices().back(), row.notice);
    EXPECT_EQ(m_mgr->IsFileOpen(row.fileId), row.opened);
    EXPECT_EQ(Writable(local), !row.opened);
    if (row.opened) {
      EXPECT_EQ(OpenRow(row.fileId).nOpenFlags, kOpenFlagForEdit | kOpenFlagOpenedCached);
    }
  }
  for (const auto& call : m_window.Script().Calls()) {
    if (call.op != "ShowWizard") continue;
    EXPECT_EQ(call.prompt.buttons, (std::vector<std::string>{"打开旧版本", "取消"}));
    EXPECT_TRUE(call.prompt.text == "文件“F1.txt”下载失败，您希望打开缓存在您机器上的旧版本吗？" ||
                call.prompt.text == "文件“F2.txt”下载失败，您希望打开缓存在您机器上的旧版本吗？")
        << call.prompt.text;
  }

  // The old copy, even changed, is never uploaded when it is closed.
  ASSERT_EQ(chmod(Sync("P/F1.txt").c_str(), 0644), 0);
  WriteFileBytes(Sync("P/F1.txt"), "changed");
  m_clock.Advance(std::chrono::seconds(10));
  m_mgr->CheckEditedFiles();  // no program: the lock is followed
  m_clock.Advance(std::chrono::seconds(10));
  m_mgr->CheckEditedFiles();
  EXPECT_FALSE(m_mgr->IsFileOpen("F1"));
  EXPECT_TRUE(m_scripted->AddedOf("UpdateFile").empty());
}

TEST_F(FileSyncMgrTest, APlainDownloadHasItsMarkerOnlyWhileItRuns) {
  StartManager();
  m_tasks.SetRemote("F1", "one", 1);
  m_tasks.SetRemote("F2", "two", 1);
  m_tasks.SetResult("F2", E_CV_TASK_FAILED);
  const std::string first = PathIn("first.txt"), second = PathIn("second.txt");
  m_tasks.Hold("DownloadFile");
  ASSERT_EQ(m_mgr->DownloadFile("F1", "\\first.txt", first, true, ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_mgr->DownloadFile("F2", "\\second.txt", second, true, ItemSpace::MyFile), S_OK);
  ASSERT_TRUE(m_tasks.WaitWaiting(2));
  EXPECT_TRUE(FileExists(first + ".otl"));
  EXPECT_TRUE(FileExists(second + ".otl"));
  EXPECT_FALSE(m_scripted->AddedTasks()[0].force);
  m_tasks.Release("DownloadFile");
  ASSERT_TRUE(m_scripted->WaitCallbacks(2));
  EXPECT_EQ(ReadFileBytes(first), "one");
  EXPECT_FALSE(FileExists(first + ".otl"));
  EXPECT_FALSE(FileExists(second + ".otl")) << "a failed download leaves none either";
  EXPECT_FALSE(m_mgr->IsFileOpen("F1"));
  EXPECT_TRUE(m_window.Texts("ShellOpen").empty());

  // On this thread: the marker goes when the call returns.
  const std::string third = PathIn("third.txt");
  m_tasks.SetRemote("F3", "three", 1);
  EXPECT_EQ(m_mgr->DownloadFile("F3", "\\third.txt", third, false, ItemSpace::MyFile), S_OK);
  EXPECT_EQ(ReadFileBytes(third), "three");
  EXPECT_FALSE(FileExists(third + ".otl"));

  // A file of the marker's name that was there before is the user's and stays.
  WriteFileBytes(third + ".otl", "mine");
  EXPECT_EQ(m_mgr->DownloadFile("F3", "\\third.txt", third, true, ItemSpace::MyFile), S_OK);
  ASSERT_TRUE(m_scripted->WaitCallbacks(3));
  EXPECT_EQ(ReadFileBytes(third + ".otl"), "mine");
}

TEST_F(FileSyncMgrTest, AFileNoProgramCouldOpenIsNotWatched) {
  StartManager();
  SeedItem("F1", "P", "a.txt", "hello", 3);
  m_window.Script().SetShellOpenResult(kShellOpenFailed);
  ASSERT_EQ(m_mgr->OpenFile("F1", "\\P\\a.txt", Sync("P/a.txt"), ItemSpace::MyFile), S_OK);
  ASSERT_TRUE(m_scripted->WaitCallbacks(1));
  EXPECT_FALSE(m_mgr->IsFileOpen("F1"));
  EXPECT_EQ(Notices(), std::vector<std::string>{"打开“a.txt”失败"});
  // It may be opened again at once.
  m_window.Script().SetShellOpenResult(kShellNoProcess);
  ASSERT_EQ(m_mgr->OpenFile("F1", "\\P\\a.txt", Sync("P/a.txt"), ItemSpace::MyFile), S_OK);
  ASSERT_TRUE(m_scripted->WaitCallbacks(2));
  EXPECT_TRUE(m_mgr->IsFileOpen("F1"));
}

TEST_F(FileSyncMgrTest, AnUploadRecordsItsVersionAndProtectsOnlyCachedCopies) {
  StartManager();
  SeedItem("F1", "P", "a.txt", "v3", 3);
  const std::string cached = Sync("P/a.txt");
  ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(Sync("P"))), 0);
  WriteFileBytes(cached, "version four");
  const std::string outside = PathIn("mine.txt");
  WriteFileBytes(outside, "a new file");

  ASSERT_EQ(m_mgr->UploadFile("F1", "P", 3, "\\P\\a.txt", cached, true), S_OK);
  ASSERT_EQ(m_mgr->UploadFile("", "P", 0, "\\P\\mine.txt", outside, true), S_OK);
  ASSERT_TRUE(m_scripted->WaitCallbacks(2));
  const auto added = m_scripted->AddedTasks();
  ASSERT_EQ(added.size(), 2u);
  EXPECT_EQ(added[0].taskName, "UpdateFile");
  EXPECT_EQ(added[1].taskName, "UpdateNewFile");
  EXPECT_FALSE(added[0].force || added[1].force);

  CFileItemRecord item;
  ASSERT_EQ(m_store->GetItemInfo("F1", &item, ItemSpace::MyFile), S_OK);
  EXPECT_EQ(item.fileVer, 4);
  EXPECT_EQ(item.size, 12);
  EXPECT_EQ(item.strSha1, Sha1Of("version four"));
  EXPECT_FALSE(Writable(cached)) << "a synced cached copy is read-only";
  EXPECT_TRUE(Writable(outside)) << "the user's own file is left as it is";

  // Run on this thread: the tries of a transfer, and no task-end handling.
  m_tasks.SetResult("F9", E_CV_NETWORK_ERROR);
  EXPECT_EQ(m_mgr->UploadFile("F9", "P", 1, "\\P\\mine.txt", outside, false), E_CV_NETWORK_ERROR);
  EXPECT_EQ(m_tasks.RunsOf("UpdateFile").size(), 1u + 5u);
  EXPECT_TRUE(Notices().empty());
}

TEST_F(FileSyncMgrTest, TheTableAnswersForItsEntriesOnly) {
  StartManager();
  std::string a = "untouched", b = "untouched";
  int64_t v = -7;
  EXPECT_EQ(m_mgr->GetOpenFileInfo("none", &a, &b, &v), E_FAIL);
  EXPECT_EQ(a + b, "untoucheduntouched");
  EXPECT_EQ(v, -7);
  EXPECT_EQ(m_mgr->RemoveOpenFile("none"), S_OK);
  EXPECT_EQ(m_mgr->ReopenFile("none"), E_FAIL);
  EXPECT_TRUE(m_scripted->AddedTasks().empty());

  int n = 0;
  for (const char* id : {"F2", "F1"}) {
    SeedItem(id, "P", std::string(id) + ".txt", id, 3);
    ASSERT_EQ(m_mgr->OpenFile(id, std::string("\\P\\") + id + ".txt", Sync(std::string("P/") + id + ".txt"),
                              ItemSpace::MyFile),
              S_OK);
    ASSERT_TRUE(m_scripted->WaitCallbacks(++n));
  }
  std::vector<TaskListEntry> rows(1);  // appended to
  ASSERT_EQ(m_mgr->GetOpenFileList(&rows), S_OK);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1].strId, "F1");  // in id order
  EXPECT_EQ(rows[2].strId, "F2");
  EXPECT_EQ(m_mgr->GetOpenFileInfo("F1", nullptr, nullptr, nullptr), S_OK);

  // The current content goes up as a forced new version, the entry stays.
  WriteFileBytes(Sync("P/F1.txt"), "saved while open");
  ASSERT_EQ(m_mgr->ReopenFile("F1"), S_OK);
  ASSERT_TRUE(m_scripted->WaitCallbacks(++n));
  const auto uploads = m_scripted->AddedOf("UpdateFile");
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_TRUE(uploads[0].force);
  EXPECT_EQ(m_tasks.RunsOf("UpdateFile")[0].fileVer, "3");
  EXPECT_EQ(m_tasks.RemoteContent("F1"), "saved while open");
  EXPECT_TRUE(m_mgr->IsFileOpen("F1"));
  EXPECT_TRUE(Writable(Sync("P/F1.txt"))) << "a file still open is not protected";
  ASSERT_EQ(m_mgr->GetOpenFileInfo("F1", nullptr, nullptr, &v), S_OK);
  EXPECT_EQ(v, 4) << "the entry follows the version it uploaded";

  EXPECT_EQ(m_mgr->RemoveOpenFile("F2"), S_OK);
  EXPECT_FALSE(m_mgr->IsFileOpen("F2"));
  EXPECT_EQ(m_mgr->RemoveOpenFile(""), S_OK);
  rows.clear();
  ASSERT_EQ(m_mgr->GetOpenFileList(&rows), S_OK);
  EXPECT_TRUE(rows.empty());
}

TEST_F(FileSyncMgrTest, ARetriedTaskEndsThroughTheManagerAgain) {
  StartManager();
  m_tasks.SetRemote("F1", "one", 1);
  m_tasks.SetResult("F1", E_CV_SRV_OVER_SPACE);
  ASSERT_EQ(m_mgr->DownloadFile("F1", "\\a.txt", PathIn("a.txt"), true, ItemSpace::MyFile), S_OK);
  ASSERT_TRUE(m_scripted->WaitCallbacks(1));
  m_tasks.SetResult("F1", S_OK);
  EXPECT_EQ(m_mgr->RetryTask("F1"), S_OK);
  ASSERT_TRUE(m_scripted->WaitCallbacks(2));
  EXPECT_EQ(ReadFileBytes(PathIn("a.txt")), "one");
  EXPECT_EQ(m_window.Count("ShowNotify", "您的Sepra空间已满，当前操作失败。"), 1);
}

TEST_F(FileSyncMgrTest, AfterUnInitADownloadThatEndsOpensNoProgram) {
  StartManager();
  SeedItem("F1", "P", "a.txt", "hello", 3);
  m_tasks.Hold("DownloadFile");
  ASSERT_EQ(m_mgr->OpenFile("F1", "\\P\\a.txt", Sync("P/a.txt"), ItemSpace::MyFile), S_OK);
  ASSERT_TRUE(m_tasks.WaitWaiting(1));
  EXPECT_EQ(m_mgr->UnInit(), S_OK);
  EXPECT_EQ(m_mgr->UnInit(), S_OK);  // again: nothing more
  m_tasks.Release("DownloadFile");
  ASSERT_TRUE(m_scripted->WaitCallbacks(1));
  EXPECT_TRUE(m_window.Texts("ShellOpen").empty());
  EXPECT_FALSE(m_mgr->IsFileOpen("F1"));
}

TEST_F(FileSyncMgrTest, AnEditThatCouldNotBeSentStaysForTheNextOpenToFind) {
  FileSyncOptions options = Options();
  options.releaseWait = std::chrono::milliseconds(0);
  StartManager(options);
  SeedItem("F1", "P", "a.txt", "v1", 1);
  const std::string local = Sync("P/a.txt");
  m_window.SetOnShellOpen([](const std::string& path) { WriteFileBytes(path, "v1 and an edit"); });
  ASSERT_EQ(m_mgr->OpenFile("F1", "\\P\\a.txt", local, ItemSpace::MyFile), S_OK);
  ASSERT_TRUE(m_scripted->WaitCallbacks(1));
  m_window.SetOnShellOpen(nullptr);

  // The upload fails.
  m_tasks.SetResult("F1", E_CV_NETWORK_ERROR);
  LogCapture log;
  m_mgr->CheckEditedFiles();  // no program holds it: closed
  ASSERT_TRUE(m_scripted->WaitCallbacks(2));
  EXPECT_EQ(Notices().back(), "网络链接出错，请检查网络是否顺畅。");
  EXPECT_TRUE(log.Contains("was not sent (hr = 80044001); it stays in the cache folder")) << log.All();
  EXPECT_EQ(ReadFileBytes(local), "v1 and an edit");
  EXPECT_TRUE(Writable(local));

  // The next open finds it and keeps it before it downloads.
  m_tasks.SetResult("F1", S_OK);
  m_window.Script().QueueWizardChoice(1);  // 放弃
  ASSERT_EQ(m_mgr->OpenFile("F1", "\\P\\a.txt", local, ItemSpace::MyFile), S_OK);
  ASSERT_TRUE(m_scripted->WaitCallbacks(3));
  EXPECT_EQ(ReadFileBytes(TrashFile("a.txt")), "v1 and an edit");
  EXPECT_EQ(ReadFileBytes(local), "v1");

  // A task manager that no longer takes tasks (signing out): the edit stays too.
  WriteFileBytes(local, "v1 edited again");
  ASSERT_EQ(m_scripted->Stop(0xFFFFFFFF), S_OK);
  log.Clear();
  m_mgr->CheckEditedFiles();
  EXPECT_FALSE(m_mgr->IsFileOpen("F1"));
  EXPECT_TRUE(log.Contains("could not be sent; it stays in the cache folder")) << log.All();
  EXPECT_EQ(ReadFileBytes(local), "v1 edited again");
  EXPECT_TRUE(Writable(local));
}

TEST_F(FileSyncMgrTest, AFileThatCannotBeHashedAtItsCloseIsNotUploaded) {
  FaultFileEnv faults;
  FileSyncOptions options = Options();
  options.env = &faults;
  options.releaseWait = std::chrono::milliseconds(0);
  StartManager(options);
  SeedItem("F1", "P", "a.txt", "v1", 1);
  const std::string local = Sync("P/a.txt");
  ASSERT_EQ(m_mgr->OpenFile("F1", "\\P\\a.txt", local, ItemSpace::MyFile), S_OK);
  ASSERT_TRUE(m_scripted->WaitCallbacks(1));
  WriteFileBytes(local, "edited");
  faults.Fail(FileOp::kRead, "P/a.txt", EIO);
  LogCapture log;
  m_mgr->CheckEditedFiles();
  EXPECT_FALSE(m_mgr->IsFileOpen("F1"));
  EXPECT_TRUE(log.Contains("cannot be hashed; it is not uploaded and stays in the cache folder"));
  EXPECT_TRUE(m_scripted->AddedOf("UpdateFile").empty());
  EXPECT_TRUE(Writable(local));
}

TEST_F(FileSyncMgrTest, InitNeedsItsPartsAndRunsOnce) {
  auto mgr = std::make_shared<CFileSyncMgr>(Options());
  LogCapture log;
  EXPECT_EQ(mgr->Init(nullptr, m_store.get(), m_remote.get(), m_scripted.get()), E_POINTER);
  EXPECT_TRUE(log.Contains("*ASSERT*: pSyncCenter && pLocalStorage && pRemoteStorage && pTaskMgr"));
  EXPECT_EQ(mgr->Init(m_center.get(), m_store.get(), m_remote.get(), m_scripted.get()), S_OK);
  EXPECT_EQ(mgr->CacheFolder(), Sync(""));
  EXPECT_EQ(mgr->Init(m_center.get(), m_store.get(), m_remote.get(), m_scripted.get()), E_FAIL);
  EXPECT_TRUE(log.Contains("*ASSERT*: !m_hWorkThread"));
  mgr->UnInit();
}

}  // namespace
