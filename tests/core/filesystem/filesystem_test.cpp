// The file-system facade against a scripted remote storage (with the real task manager
// and local storage): how often each operation asks, the question Move asks, which
// versions are kept, and what a listing hands out when an attempt fails.
#include <functional>

#include "core/interfaces/createtaskdata.h"
#include "filesystemrig.h"
#include "support/logcapture.h"

namespace {

RecordTree Versions(const std::string& opVer, const std::string& shareVer) {
  RecordTree reply("nuvra");
  reply.AddValue("opVer", opVer);
  reply.AddValue("shareVer", shareVer);
  return reply;
}

// A listing reply whose items have these fileIds; each name is "n-" + the id.
RecordTree Listing(std::initializer_list<std::string> fileIds) {
  RecordTree reply("nuvra");
  for (const std::string& id : fileIds) {
    RecordTree& item = reply.AddChild("item");
    item.AddValue("type", "file");
    item.AddValue("fileId", id);
    item.AddValue("parentId", "P");
    item.AddValue("name", "n-" + id);
    item.AddValue("sha1", "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    item.AddValue("createdTime", "2024-03-05 10:00:00");
    item.AddValue("modTime", "2024-03-05 11:00:00");
  }
  return reply;
}

class FileSystemTest : public FileSystemRig<OstrelTest> {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    OpenStore();
  }
  void TearDown() override {
    CloseStore();
    OstrelTest::TearDown();
  }
  // A file system on a new scripted remote whose Init learns the versions 5 and 7.
  RecordingRemoteStorage& Make() {
    auto* remote = new RecordingRemoteStorage;
    remote->Queue("GetMaxVers", S_OK, Versions("5", "7"));
    EXPECT_EQ(MakeFileSystem(remote), S_OK);
    return *remote;
  }
  size_t CallsOf(RecordingRemoteStorage& remote, const std::string& method) {
    size_t n = 0;
    for (const auto& m : remote.Methods()) n += m == method;
    return n;
  }
};

TEST_F(FileSystemTest, EachOperationAsksAsOftenAsItsTriesAllowWithTheSessionToken) {
  std::vector<CFileItemRecord> items;
  std::string text;
  int64_t used = 0, total = 0;
  const struct {
    const char* what;
    const char* method;
    size_t tries;
    std::function<void(IFileSystem*)> op;  // none: Init's own query
  } rows[] = {
      {"Init", "GetMaxVers", 3, nullptr},
      {"GetMaxVer", "GetMaxVers", 3, [&](IFileSystem* fs) { fs->GetMaxVer(&text); }},
      {"the listing's version", "GetMaxVers", 2, [&](IFileSystem* fs) { fs->DirMyFile("", "\\", &items, true); }},
      {"DirMyFile", "Dir", 2, [&](IFileSystem* fs) { fs->DirMyFile("P", "\\p", &items, true); }},
      {"DirShareToOther", "GetAllShareFile", 2, [&](IFileSystem* fs) { fs->DirShareToOther("", "", &items, true); }},
      {"DirShareToMe", "GetAllShareFile", 2, [&](IFileSystem* fs) { fs->DirShareToMe("", "", &items, true); }},
      {"GetSpaceInfo", "GetSpace", 2, [&](IFileSystem* fs) { fs->GetSpaceInfo(&used, &total, false); }},
      {"GetRecycle", "GetRecycle", 2, [&](IFileSystem* fs) { fs->GetRecycle("0", 10, &items); }},
      {"FullTextSearch", "FullTextSearch", 2, [&](IFileSystem* fs) { fs->FullTextSearch("x", 0, &items); }},
      {"NewFolder", "NewFolder", 3, [&](IFileSystem* fs) { fs->NewFolder("P", "\\p\\new", &text); }},
      {"Rename", "Rename", 3, [&](IFileSystem* fs) { fs->Rename(false, "f", "g"); }},
      {"Move", "Move", 3, [&](IFileSystem* fs) { fs->Move(true, "f", "Q"); }},
      {"Delete", "Delete", 3, [&](IFileSystem* fs) { fs->Delete(false, "f", ItemSpace::MyFile); }},
      {"GetThumbnail", "GetThumbnail", 3, [&](IFileSystem* fs) { fs->GetThumbnail("f", PathIn("t.jpg"), 64, 48); }},
      {"CleanRecycle", "CleanRecycle", 3, [&](IFileSystem* fs) { fs->CleanRecycle("f"); }},
      {"Recover", "Recover", 3, [&](IFileSystem* fs) { fs->Recover("f", ""); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    auto* remote = new RecordingRemoteStorage;
    RefPtr<RecordingRemoteStorage> hold(remote);
    if (row.op) remote->Queue("GetMaxVers", S_OK, Versions("5", "7"));  // Init's
    for (int i = 0; i < 6; ++i) remote->Queue(row.method, E_CV_NETWORK_ERROR);
    const HRESULT init = MakeFileSystem(remote, "tok-1");
    EXPECT_EQ(init, row.op ? S_OK : E_CV_NETWORK_ERROR);
    const size_t before = CallsOf(*remote, row.method);
    if (row.op) row.op(m_fs.get());
    EXPECT_EQ(CallsOf(*remote, row.method) - (row.op ? before : 0), row.tries);
    for (const auto& call : remote->Calls()) EXPECT_EQ(call.token, "tok-1") << call.method;
  }
}

TEST_F(FileSystemTest, MoveOntoATakenNameAsksAndFailsWhateverTheAnswer) {
  RecordingRemoteStorage& remote = Make();
  for (bool isDir : {false, true}) {
    for (int32_t answer : {1, 2, -1, -2}) {
      remote.Queue("Move", E_CV_TARGET_EXISTS);
      m_shell->Answer(answer);
      EXPECT_EQ(m_fs->Move(isDir, "f1", "P2"), E_CV_TARGET_EXISTS) << isDir << " " << answer;
    }
  }
  const auto prompts = m_shell->Prompts();
  ASSERT_EQ(prompts.size(), 8u);
  for (size_t i = 0; i < prompts.size(); ++i) {
    const auto& p = prompts[i];
    if (i < 4) {
      EXPECT_EQ(p.key, "Wizard_MoveFileExist");
      EXPECT_EQ(p.text, "该文件已经存在，请选择以下操作方式。");
      EXPECT_EQ(p.buttons, "替换|更新|取消");
    } else {
      EXPECT_EQ(p.key, "Wizard_MoveFolderExist");
      EXPECT_EQ(p.text, "该文件夹已经存在，是否进行文件合并?");
      EXPECT_EQ(p.buttons, "确定|取消");
    }
    EXPECT_EQ(p.caption, "Sepra便携版");
    EXPECT_EQ(p.defaultAnswer, 1);
    EXPECT_EQ(p.checkText, "记住我的选择");
    EXPECT_EQ(p.lastValue, -1);
  }
  // Only a taken name asks.
  remote.Queue("Move", E_CV_TARGET_NOT_EXISTS);
  EXPECT_EQ(m_fs->Move(false, "f1", "P2"), E_CV_TARGET_NOT_EXISTS);
  EXPECT_EQ(m_fs->Move(false, "f1", "P2"), S_OK);
  EXPECT_EQ(m_shell->Prompts().size(), 8u);
}

TEST_F(FileSystemTest, ServiceVersionsThatAreNotPlainDecimalsStoreNothing) {
  // Init stores neither of two versions it cannot read, and fails.
  auto* bad = new RecordingRemoteStorage;
  bad->Queue("GetMaxVers", S_OK, Versions("-3", "12x"));
  EXPECT_EQ(MakeFileSystem(bad), E_FAIL);
  EXPECT_EQ(m_store->GetCurCacheVesion(-9), -9);
  EXPECT_EQ(m_store->GetCurShareCacheVesion(-9), -9);

  RecordingRemoteStorage& remote = Make();
  ASSERT_EQ(m_store->GetCurCacheVesion(0), 5);
  std::string maxVer = "before";
  for (const char* text : {"-1", "+8", " 8", "8 ", "", "9007199254740993", "0x10", "1e3", "８"}) {
    SCOPED_TRACE(text);
    remote.Queue("Dir", S_OK, Listing({"a"}));
    remote.Queue("GetMaxVers", S_OK, Versions(text, text));
    std::vector<CFileItemRecord> items;
    EXPECT_EQ(m_fs->DirMyFile("", "\\", &items, true), S_OK);  // the listing itself stands
    EXPECT_EQ(Names(items), "n-a;");
    remote.Queue("Dir", S_OK, Listing({"s"}));
    remote.Queue("GetMaxVers", S_OK, Versions(text, text));
    EXPECT_EQ(m_fs->DirShareToMe("S", "", &items, true), S_OK);
    remote.Queue("GetMaxVers", S_OK, Versions(text, text));
    EXPECT_EQ(m_fs->GetMaxVer(&maxVer), E_FAIL);
    EXPECT_EQ(maxVer, "before");
  }
  EXPECT_EQ(Cli("SELECT field, value FROM config WHERE field LIKE '%CacheVersion' ORDER BY field"),
            "CacheVersion|5\nRootCacheVersion|5\nShareCacheVersion|7\n");
  // 2^53 is the largest accepted; a lower one than stored keeps the stored one.
  remote.Queue("Dir", S_OK, Listing({"a"}));
  remote.Queue("GetMaxVers", S_OK, Versions("9007199254740992", "0"));
  std::vector<CFileItemRecord> items;
  EXPECT_EQ(m_fs->DirMyFile("", "\\", &items, true), S_OK);
  remote.Queue("Dir", S_OK, Listing({"a"}));
  remote.Queue("GetMaxVers", S_OK, Versions("6", "0"));
  EXPECT_EQ(m_fs->DirMyFile("", "\\", &items, true), S_OK);
  EXPECT_EQ(m_store->GetCurCacheVesion(0), 9007199254740992);
  EXPECT_FALSE(m_fs->FolderNeedUpdate("", ItemSpace::MyFile));
  remote.Queue("GetMaxVers", S_OK, Versions("9007199254740992", "0"));
  EXPECT_EQ(m_fs->GetMaxVer(&maxVer), S_OK);
  EXPECT_EQ(maxVer, "9007199254740992");
}

TEST_F(FileSystemTest, AListingIsStampedAndMarkedWithTheVersionAskedBeforeIt) {
  RecordingRemoteStorage& remote = Make();
  remote.Queue("Dir", S_OK, Listing({"a", "b"}));
  remote.Queue("GetMaxVers", S_OK, Versions("8", "7"));
  std::vector<CFileItemRecord> items;
  ASSERT_EQ(m_fs->DirMyFile("P", "\\p", &items, true), S_OK);
  // b vanishes while the stored version stays: the next listing (forced) is stamped
  // with the service's newer version and sweeps b.
  remote.Queue("Dir", S_OK, Listing({"a"}));
  remote.Queue("GetMaxVers", S_OK, Versions("9", "7"));
  ASSERT_EQ(m_fs->DirMyFile("P", "\\p", &items, true), S_OK);
  EXPECT_EQ(Cli("SELECT svrid, itemversion FROM files ORDER BY svrid"), "a|9\n");
  EXPECT_EQ(remote.Methods(), (std::vector<std::string>{"GetMaxVers", "GetMaxVers", "Dir", "GetMaxVers", "Dir"}));
}

TEST_F(FileSystemTest, SignInTakesTheServicesVersionsAlsoWhenBehindAndTheStoreGoesStale) {
  RecordingRemoteStorage& remote = Make();
  // Listed while a faulty answer put the versions far ahead.
  ASSERT_EQ(m_store->SetCurCacheVesion(9007199254740992), S_OK);
  remote.Queue("Dir", S_OK, Listing({"a"}));
  remote.Queue("GetMaxVers", S_OK, Versions("6", "7"));
  std::vector<CFileItemRecord> items;
  ASSERT_EQ(m_fs->DirMyFile("", "\\", &items, false), S_OK);
  ASSERT_FALSE(m_fs->FolderNeedUpdate("", ItemSpace::MyFile));
  // The next sign-in's fresh query is the service's word.
  auto* next = new RecordingRemoteStorage;
  next->Queue("GetMaxVers", S_OK, Versions("6", "7"));
  ASSERT_EQ(MakeFileSystem(next), S_OK);
  EXPECT_EQ(m_store->GetCurCacheVesion(0), 6);
  EXPECT_TRUE(m_fs->FolderNeedUpdate("", ItemSpace::MyFile));
  // Two versions, one of them unreadable: nothing is stored.
  auto* bad = new RecordingRemoteStorage;
  bad->Queue("GetMaxVers", S_OK, Versions("5", "x"));
  EXPECT_EQ(MakeFileSystem(bad), E_FAIL);
  EXPECT_EQ(m_store->GetCurCacheVesion(0), 6);
}

TEST_F(FileSystemTest, AFailedAttemptAppendsNothing) {
  RecordingRemoteStorage& remote = Make();
  CFileItemRecord folder;
  folder.bIsDir = kItemFolder;
  folder.strSvrId = "P";
  folder.strName = "p";
  ASSERT_EQ(m_store->AddOrUpdateFileItem(folder, ItemSpace::MyFile), S_OK);
  remote.Queue("Dir", S_OK, Listing({"a", "b"}));
  remote.Queue("GetMaxVers", S_OK, Versions("5", "7"));
  std::vector<CFileItemRecord> items;
  ASSERT_EQ(m_fs->DirMyFile("P", "\\p", &items, true), S_OK);
  ASSERT_FALSE(m_fs->FolderNeedUpdate("P", ItemSpace::MyFile));
  // A stored row that fails its checks makes the stored listing unreadable.
  Cli("UPDATE files SET local_ctime = NULL WHERE svrid = 'b'");

  // Current but unreadable: the service is asked, and only its items are handed out.
  remote.Queue("Dir", S_OK, Listing({"a", "c"}));
  remote.Queue("GetMaxVers", S_OK, Versions("5", "7"));
  items = {CFileItemRecord()};
  EXPECT_EQ(m_fs->DirMyFile("P", "\\p", &items, false), S_OK);
  EXPECT_EQ(Names(items), ";n-a;n-c;");

  // Unreadable and no answer: the service's failure, and the caller's list as it was.
  Cli("UPDATE files SET local_ctime = NULL WHERE svrid = 'a'");
  remote.Queue("Dir", E_CV_NETWORK_ERROR2);
  remote.Queue("Dir", E_CV_NETWORK_ERROR2);
  items = {CFileItemRecord()};
  EXPECT_EQ(m_fs->DirMyFile("P", "\\p", &items, true), E_CV_NETWORK_ERROR2);
  EXPECT_EQ(items.size(), 1u);

  // A search with neither answer.
  remote.Queue("FullTextSearch", E_CV_SRV_SERVER_ERROR);
  Cli("DROP TABLE shareinfiles");
  EXPECT_NE(m_fs->FullTextSearch("n-", 0, &items), S_OK);
  EXPECT_EQ(items.size(), 1u);
}

TEST_F(FileSystemTest, QuotaIsAskedOnceUnlessForcedAndRefusedWhenNotANumber) {
  RecordingRemoteStorage& remote = Make();
  RecordTree space("nuvra");
  space.AddValue("used", "6000000000");
  space.AddValue("total", "9000000000");
  remote.Queue("GetSpace", S_OK, space);
  int64_t used = -5, total = -5;
  ASSERT_EQ(m_fs->GetSpaceInfo(&used, &total, false), S_OK);
  EXPECT_EQ(used, 6000000000);
  EXPECT_EQ(total, 9000000000);
  ASSERT_EQ(m_fs->GetSpaceInfo(&used, &total, false), S_OK);
  EXPECT_EQ(CallsOf(remote, "GetSpace"), 1u);
  // A forced query that fails, or answers no numbers, leaves the outs and the cache.
  for (int i = 0; i < 2; ++i) remote.Queue("GetSpace", E_CV_NETWORK_ERROR);
  RecordTree garbled("nuvra");
  garbled.AddValue("used", "-1");
  garbled.AddValue("total", "9000000000");
  remote.Queue("GetSpace", S_OK, garbled);
  int64_t outUsed = -5, outTotal = -5;
  EXPECT_EQ(m_fs->GetSpaceInfo(&outUsed, &outTotal, true), E_CV_NETWORK_ERROR);
  EXPECT_EQ(m_fs->GetSpaceInfo(&outUsed, &outTotal, true), E_FAIL);
  EXPECT_EQ(outUsed, -5);
  EXPECT_EQ(outTotal, -5);
  ASSERT_EQ(m_fs->GetSpaceInfo(&outUsed, &outTotal, false), S_OK);
  EXPECT_EQ(outUsed, 6000000000);
  // UnInit forgets the figures.
  m_fs->UnInit();
  remote.Queue("GetSpace", S_OK, space);
  ASSERT_EQ(m_fs->GetSpaceInfo(&outUsed, &outTotal, false), S_OK);
  EXPECT_EQ(CallsOf(remote, "GetSpace"), 5u);
}

TEST_F(FileSystemTest, InitNeedsItsComponentsOnceAndASignedInUser) {
  RefPtr<RecordingRemoteStorage> remote(new RecordingRemoteStorage);
  LogCapture log;
  RefPtr<IFileSystem> fs;
  ASSERT_EQ(CreateFileSystem(fs.Receive()), S_OK);
  EXPECT_EQ(CreateFileSystem(nullptr), E_FAIL);
  EXPECT_TRUE(log.Contains("*ASSERT*: ppObj"));
  RefPtr<ITaskMgr> taskMgr;
  ASSERT_EQ(CreateTaskMgr(taskMgr.Receive()), S_OK);
  EXPECT_EQ(fs->Init(m_center.get(), nullptr, remote.get(), taskMgr.get()), E_POINTER);
  EXPECT_TRUE(log.Contains("*ASSERT*: pSyncCenter && pLocalStorage && pRemoteStorage && pTaskMgr"));
  // Nobody signed in.
  EXPECT_EQ(fs->Init(m_center.get(), m_store.get(), remote.get(), taskMgr.get()), E_FAIL);
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOLEX:hr == S_OK"));
  EXPECT_EQ(fs->Init(m_center.get(), m_store.get(), remote.get(), taskMgr.get()), E_FAIL);
  EXPECT_TRUE(log.Contains("*ASSERT*: !m_pLocalStorage && !m_pTaskMgr"));
  EXPECT_TRUE(remote->Calls().empty());
  // Before Init nothing is sent and nothing breaks.
  RefPtr<IFileSystem> bare;
  ASSERT_EQ(CreateFileSystem(bare.Receive()), S_OK);
  std::vector<CFileItemRecord> items;
  EXPECT_EQ(bare->DirMyFile("", "", &items, false), E_FAIL);
  EXPECT_EQ(bare->Rename(false, "a", "b"), E_FAIL);
  EXPECT_TRUE(log.Contains("*ASSERT*: m_pTaskMgr"));
}

TEST_F(FileSystemTest, TaskSlotsReachTheTaskManagerAndTheOpenedFileSlotsTheFileSyncManager) {
  Make();
  LogCapture log;
  std::vector<TaskListEntry> running{TaskListEntry()}, finished;
  EXPECT_EQ(m_fs->GetTaskList(&running, &finished), S_OK);
  EXPECT_EQ(running.size(), 1u);  // appended to; nothing runs
  EXPECT_EQ(m_fs->GetTaskList(nullptr, nullptr), S_OK);
  EXPECT_EQ(m_fs->CancelTask("7"), S_OK);
  EXPECT_EQ(m_fs->RemoveFinishedTask(""), S_OK);
  EXPECT_EQ(m_fs->Reserved24(), S_OK);
  EXPECT_EQ(m_fs->Reserved32(), S_OK);
  EXPECT_EQ(log.Count("*ASSERT*: 0"), 2);
  EXPECT_EQ(m_fs->RetryTask("7"), S_OK);  // no finished task of that id
  EXPECT_EQ(m_fs->RetryTask(""), S_FALSE);
  std::vector<TaskListEntry> open{TaskListEntry()};
  EXPECT_EQ(m_fs->GetOpenFileList(&open), S_OK);
  EXPECT_EQ(open.size(), 1u);
  EXPECT_EQ(m_fs->RemoveOpenFile(""), S_OK);
  std::string a, b;
  int64_t v = 0;
  EXPECT_EQ(m_fs->GetOpenFileInfo("f", &a, &b, &v), E_FAIL);
  EXPECT_EQ(m_fs->ReopenFile("f"), E_FAIL);
  EXPECT_EQ(m_fs->UnInit(), S_OK);
  EXPECT_EQ(m_fs->UnInit(), S_OK);  // twice: the sync centre's Stop and its tear-down
}

TEST_F(FileSystemTest, TracesNameTheOperationAndItsArguments) {
  Make();
  std::vector<CFileItemRecord> items;
  int64_t used = 0, total = 0;
  std::string id;
  const struct { std::function<void()> op; const char* line; } rows[] = {
      {[&] { m_fs->GetSpaceInfo(&used, &total, true); }, "CFileSystem::GetSpaceInfo() : bForceRefress = 1"},
      {[&] { m_fs->NewFolder("P", "\\p\\n", &id); }, "CFileSystem::NewFolder() : szParentId = P, szFullPath = \\p\\n"},
      {[&] { m_fs->GetThumbnail("f", PathIn("t"), 90, 120); },
       "CFileSystem::GetThumbnail() : fileid = f, height = 90, width = 120"},
      {[&] { m_fs->CleanRecycle("f"); }, "CFileSystem::CleanRecycle() : fileId = f"},
      {[&] { m_fs->Recover("f", "P"); }, "CFileSystem::Recover() : fileId = f, parentId = P"},
      {[&] { m_fs->DirMyFile("P", "\\p", &items, true); }, "CFileSystem::Dir() : szParentId = P"},
      {[&] { m_fs->DirMyFile("P", "\\p", &items, true); },
       "CFileSystem::DirMyFile() : szParentId = P, szFullPath = \\p, bForceRefress = 1"},
      {[&] { m_fs->DirShareToOther("", "\\s", &items, false); },
       "CFileSystem::DirShareToOther() : szParentId = , szFullPath = \\s, bForceRefress = 0"},
      {[&] { m_fs->DirShareToMe("a@b", "\\m", &items, false); },
       "CFileSystem::DirShareToMe() : szParentId = a@b, szFullPath = \\m, bForceRefress = 0"},
      {[&] { m_fs->GetRecycle("12", 50, &items); }, "CFileSystem::GetRecycle() : szOpVersion = 12, lSize = 50"},
      {[&] { m_fs->FullTextSearch("q", 0, &items); }, "CFileSystem::FullTextSearch() : searchText = q"},
  };
  for (const auto& row : rows) {
    LogCapture log;
    row.op();
    EXPECT_TRUE(log.Contains(std::string("CTraceStack In, ") + row.line)) << log.All();
  }
  // A failed request's line.
  LogCapture log;
  static_cast<RecordingRemoteStorage*>(m_remote.get())->Queue("Rename", E_CV_TARGET_NOT_EXISTS);
  EXPECT_EQ(m_fs->Rename(false, "f", "g"), E_CV_TARGET_NOT_EXISTS);
  EXPECT_TRUE(log.Contains("ERROR_CHECK_COM hr = 80041019: hr")) << log.All();
}

}  // namespace
