// The synchronous task manager: the request or file task each task name reaches, with which token, and its retries.
#include "core/taskmgr/synctaskmgr.h"

#include <memory>
#include <tuple>

#include "core/interfaces/createtaskdata.h"
#include "support/enginefakes.h"
#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

constexpr char kToken[] = "session-token";

struct Record : std::shared_ptr<TaskDataBase> {  // owned by the test; taskName, when given, replaces the task name
  Record(TaskDataBase* record, const char* taskName = nullptr) : shared_ptr(record, TaskDataReleaser()) {
    if (taskName) record->strTaskName = taskName;
  }
};

class SyncTaskMgrTest : public OstrelTest {
 protected:
  struct LoggingTask final : ITask {  // logs m(ade), i(nited with our storages), x (executed), d(estroyed)
    LoggingTask(SyncTaskMgrTest* t, TaskDataBase* record) : t(t), record(record) { t->m_taskLog += 'm'; }
    ~LoggingTask() override { t->m_taskLog += 'd'; }
    HRESULT Init(ILocalStorage* l, IRemoteStorage* r, TransportProgressCallback, int64_t, int64_t, void*) override {
      t->m_taskLog += l == UnusedLocalStorage() && r == t->m_remote.get() ? 'i' : '?';
      return S_OK;
    }
    HRESULT Execute() override {
      t->m_taskLog += 'x';
      return t->m_taskResult;
    }
    HRESULT Cancel(uint32_t) override { return S_OK; }
    TaskDataBase* GetTaskData() override { return record; }
    SyncTaskMgrTest* t;
    TaskDataBase* record;
  };
  std::unique_ptr<CSyncTaskMgr> Make(TaskFactory factory = {}) {  // signs in, then makes one on the components
    m_center->SignIn("ann", kToken);
    auto mgr = std::make_unique<CSyncTaskMgr>(std::move(factory));
    EXPECT_EQ(mgr->Init(m_center.get(), UnusedLocalStorage(), m_remote.get()), S_OK);
    return mgr;
  }
  RefPtr<FakeSyncCenter> m_center{new FakeSyncCenter};
  RefPtr<FakeShellAdapter> m_shell{new FakeShellAdapter};
  RefPtr<RecordingRemoteStorage> m_remote{new RecordingRemoteStorage};
  LogCapture m_log;
  std::string m_taskLog;
  HRESULT m_taskResult = S_OK;  // what the file tasks' Execute returns
};

TEST_F(SyncTaskMgrTest, EachTaskNameReachesItsRequestOnceWithItsToken) {
  const struct { Record record; const char* method; const char* token = kToken; } rows[] = {
      {CreateTaskData_GetThumbnail("", "id", "pkg", "out", 64, 64), "GetThumbnail"},
      {CreateTaskData_Login("ann", "pw", "dev", "client", "1.0"), "Login", ""},  // the one not given the session's
      {CreateTaskData_FullTextSearch("", "text", 0), "FullTextSearch"}, {CreateTaskData_Dir("own", "f"), "Dir", "own"},
      {CreateTaskData_Move("", false, "id", "a", "p", "b"), "Move"}, {CreateTaskData_Recover("", "id", "p"), "Recover"},
      {CreateTaskData_Rename("", false, "id", "a", "c"), "Rename"}, {CreateTaskData_GetRemoteOptVer(""), "GetMaxVers"},
      {CreateTaskData_Move("", true, "id", "a", "p", "b"), "Move"}, {CreateTaskData_GetFileInfo("id"), "GetItemInfo"},
      {CreateTaskData_CreateDirectory("", "p", "a"), "NewFolder"}, {CreateTaskData_GetMaxVer(kToken), "GetMaxVers"},
      {CreateTaskData_Rename("", true, "id", "a", "c"), "Rename"}, {CreateTaskData_ReLogin("", "dev"), "ReLogin"},
      {CreateTaskData_GetAllShareFile("", 1), "GetAllShareFile"}, {CreateTaskData_GetSpace(kToken), "GetSpace"},
      {CreateTaskData_Delete("", false, "id", "a"), "Delete"}, {CreateTaskData_CleanRecycle("", "id"), "CleanRecycle"},
      {CreateTaskData_Delete("", true, "id", "a"), "Delete"}, {CreateTaskData_GetRecycle("", "7", 10), "GetRecycle"}};
  auto mgr = Make();
  RecordTree reply;
  std::vector<std::tuple<std::string, std::string, std::string, bool>> want, sent;  // request, task, token, reply
  for (const auto& row : rows) {
    EXPECT_EQ(mgr->ExecuteTask(row.record.get(), &reply, 3), S_OK) << row.method;
    EXPECT_EQ(row.record->taskState.eTaskStateType, TS_Wait);
    want.emplace_back(row.method, row.record->TasksName(), row.token, row.method != std::string("Delete"));
  }
  for (const char* name : {"Nonsense", "", "dir", "GetSpace"})  // exact names; records must fit their names
    EXPECT_EQ(mgr->ExecuteTask(Record(CreateTaskData_Dir(kToken, "f"), name).get(), &reply, 3), E_FAIL) << name;
  EXPECT_EQ(m_log.Count("*ASSERT*: 0"), 3);  // the unknown names
  EXPECT_EQ(mgr->ExecuteTask(nullptr, nullptr, 3), E_POINTER);
  EXPECT_TRUE(m_log.Contains("*ASSERT*: pTaskData"));
  for (const auto& call : m_remote->Calls()) sent.emplace_back(call.method, call.taskName, call.token, call.hadReply);
  EXPECT_EQ(sent, want);  // one request per row, none for the refused
}

TEST_F(SyncTaskMgrTest, OnlyNetworkResultsAreTriedAgainEachWithAClearedReply) {
  constexpr HRESULT kNet = E_CV_NETWORK_ERROR, kOld = E_CV_SRV_METHOD_VERSION_NOT_MATCH;
  const struct { HRESULT fail; int fails, tries; size_t sent; HRESULT result; } rows[] = {
      {kNet, 9, 2, 2, kNet}, {E_CV_NETWORK_ERROR2, 9, 3, 3, E_CV_NETWORK_ERROR2}, {kNet, 9, 1, 1, kNet},
      {E_CV_NETWORK_ERROR3, 9, 5, 5, E_CV_NETWORK_ERROR3}, {E_CV_SHA1_MISMATCH, 9, 3, 3, E_CV_SHA1_MISMATCH},
      {E_CV_TARGET_NOT_EXISTS, 9, 5, 1, E_CV_TARGET_NOT_EXISTS}, {E_FAIL, 9, 5, 1, E_FAIL}, {kNet, 1, 5, 2, S_OK},
      {E_CV_NETWORK_ERROR3, 2, 3, 3, S_OK}, {kNet, 9, 0, 0, S_OK}, {kNet, 9, -1, 0, S_OK}, {kOld, 9, 3, 1, kOld}};
  m_center->Register(m_shell.get());
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << row.fail << std::dec << " " << row.fails << " " << row.tries);
    m_remote = RefPtr<RecordingRemoteStorage>(new RecordingRemoteStorage);
    for (int i = 0; i < row.fails; ++i) m_remote->Queue("Dir", row.fail, RecordTree("partial"));
    m_remote->Queue("Dir", S_OK, RecordTree("full"));
    RecordTree reply("stale");
    EXPECT_EQ(Make()->ExecuteTask(Record(CreateTaskData_Dir(kToken, "f")).get(), &reply, row.tries), row.result);
    EXPECT_EQ(m_remote->Calls().size(), row.sent);
    for (const auto& call : m_remote->Calls()) EXPECT_TRUE(call.replyWasEmpty);
    EXPECT_EQ(reply, RecordTree(row.sent == 0 ? "stale" : row.result == S_OK ? "full" : "partial"));
    EXPECT_EQ(m_shell->forceUpgrades, row.fail == kOld ? 1 : 0);  // the forced upgrade; its row comes last
  }
}

TEST_F(SyncTaskMgrTest, FileTasksAreMadeRunAndDestroyedPerTry) {
  auto mgr = Make([this](TaskDataBase* record) -> ITask* { return new LoggingTask(this, record); });
  const Record records[] = {CreateTaskData_DownloadFile("id", "a", "/a"), CreateTaskData_UpdateNewFile("p", "a", "/a"),
                            CreateTaskData_UpdateFile("id", "a", "3", "/a")};
  for (const auto& record : records) EXPECT_EQ(mgr->ExecuteTask(record.get(), nullptr, 5), S_OK);
  EXPECT_EQ(records[0]->strToken, kToken);
  m_taskResult = E_CV_NETWORK_ERROR3;  // tried again, with a new task each time
  EXPECT_EQ(mgr->ExecuteTask(records[0].get(), nullptr, 2), E_CV_NETWORK_ERROR3);
  EXPECT_EQ(m_taskLog, "mixdmixdmixdmixdmixd");
  EXPECT_TRUE(m_remote->Calls().empty());
  EXPECT_EQ(Make()->ExecuteTask(records[1].get(), nullptr, 5), E_FAIL);  // no factory, or no task
  EXPECT_EQ(Make([](TaskDataBase*) -> ITask* { return nullptr; })->ExecuteTask(records[1].get(), nullptr, 5), E_FAIL);
}

TEST_F(SyncTaskMgrTest, InitNeedsItsComponentsAndASignedInUser) {
  CSyncTaskMgr mgr;  // m_center: nobody signed in, no shell adapter
  Record record(CreateTaskData_GetFileInfo("id"));
  EXPECT_EQ(mgr.ExecuteTask(record.get(), nullptr, 1), E_FAIL);  // before Init
  EXPECT_EQ(mgr.Init(nullptr, UnusedLocalStorage(), m_remote.get()), E_POINTER);
  EXPECT_TRUE(m_log.Contains("*ASSERT*: pSyncCenter && pLocalStorage && pRemoteStorage"));
  EXPECT_EQ(mgr.Init(m_center.get(), UnusedLocalStorage(), m_remote.get()), E_FAIL);
  EXPECT_TRUE(m_log.Contains("ERROR_CHECK_BOOLEX:hr == S_OK"));
  m_remote->Queue("GetItemInfo", E_CV_SRV_METHOD_VERSION_NOT_MATCH);  // with no shell adapter to upgrade
  EXPECT_EQ(mgr.ExecuteTask(record.get(), nullptr, 3), E_CV_SRV_METHOD_VERSION_NOT_MATCH);  // components kept, no token
  ASSERT_EQ(m_remote->Methods(), std::vector<std::string>{"GetItemInfo"});
  EXPECT_EQ(m_remote->Calls()[0].token, "");
}

}  // namespace
