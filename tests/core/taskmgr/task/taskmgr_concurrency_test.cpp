// The file tasks run by the real task manager: a task added in the background reaches
// its completion callback with what its caller reads (the service's id, the new
// version and SHA-1), and CancelTask from another thread stops a task during its
// transfer and during its local encoding, ending it with E_CV_CURL_CANCEL.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "core/taskmgr/task/filetasktest.h"
#include "core/taskmgr/taskmgr.h"
#include "platform/event.h"

namespace {

constexpr auto kBound = std::chrono::seconds(60);  // a guard against a hang, not a wait for time to pass

// What a completion callback saw: a copy of the record as its task ended.
struct Completion {
  std::mutex mutex;
  TaskDataPtr<TaskDataBase> record;
  CEvent done;
  static void Callback(TaskDataBase* record, void* context) {
    auto* self = static_cast<Completion*>(context);
    {
      std::lock_guard<std::mutex> guard(self->mutex);
      self->record.reset(record->Clone());
    }
    self->done.Set();
  }
  template <class T>
  const T& Record() {
    std::lock_guard<std::mutex> guard(mutex);
    return dynamic_cast<const T&>(*record);
  }
};

// A file task as the manager runs it, watched: moving is set once a transfer has moved
// 8 KiB, cancelled once the manager cancels the task.
struct Watch {
  CEvent moving;
  CEvent cancelled;
};
// Tells the second distinct file written apart (a task's copy is its first).
struct EncoderGate {
  CEvent encoding;
  std::mutex mutex;
  std::vector<std::string> written;
  bool IsSecondFile(const std::string& path) {
    std::lock_guard<std::mutex> guard(mutex);
    if (std::find(written.begin(), written.end(), path) != written.end()) return false;
    written.push_back(path);
    return written.size() == 2;
  }
};

class WatchedTask final : public ITask {
 public:
  WatchedTask(ITask* inner, Watch* watch) : m_inner(inner), m_watch(watch) {}
  HRESULT Init(ILocalStorage* l, IRemoteStorage* r, TransportProgressCallback progress, int64_t v1, int64_t v2,
               void* context) override {
    m_progress = progress;
    m_context = context;
    return m_inner->Init(l, r, &WatchedTask::Report, v1, v2, this);
  }
  HRESULT Execute() override { return m_inner->Execute(); }
  HRESULT Cancel(uint32_t waitMs) override {
    m_watch->cancelled.Set();
    return m_inner->Cancel(waitMs);
  }
  TaskDataBase* GetTaskData() override { return m_inner->GetTaskData(); }

 private:
  static HRESULT Report(void* context, double dlTotal, double dlNow, double ulTotal, double ulNow, double speed) {
    auto* self = static_cast<WatchedTask*>(context);
    if (dlNow >= 8192 || ulNow >= 8192) self->m_watch->moving.Set();
    return self->m_progress ? self->m_progress(self->m_context, dlTotal, dlNow, ulTotal, ulNow, speed) : S_OK;
  }
  std::unique_ptr<ITask> m_inner;
  Watch* m_watch;
  TransportProgressCallback m_progress = nullptr;
  void* m_context = nullptr;
};

// Everything the manager's threads may still touch lives in the fixture, which stops
// the manager before it goes.
class FileTaskManagerTest : public FileTaskTest {
 protected:
  void TearDown() override {
    if (m_mgr) {
      m_mgr->Stop(0xFFFFFFFFu);
      m_mgr->UnInit();
      m_mgr = nullptr;
    }
    FileTaskTest::TearDown();
  }
  // A started task manager; its file tasks are watched by m_watch when watched.
  void StartManager(bool watched = false) {
    Watch* watch = watched ? &m_watch : nullptr;
    TaskMgrOptions options;
    TaskFactory files = FileTaskFactory(Options());
    options.taskFactory = [files, watch](TaskDataBase* record) -> ITask* {
      ITask* task = files(record);
      return task && watch ? new WatchedTask(task, watch) : task;
    };
    options.tickPeriod = std::chrono::milliseconds(5);
    ASSERT_EQ(S_OK, CreateTaskMgr(m_mgr.Receive(), options));
    ASSERT_EQ(S_OK, m_mgr->Init(m_center.get(), m_store.get(), m_rs.get()));
    ASSERT_EQ(S_OK, m_mgr->Start());
  }
  Watch m_watch;
  Completion m_completion;
  RefPtr<ITaskMgr> m_mgr;
};

TEST_F(FileTaskManagerTest, ANewFileAddedInTheBackgroundReportsItsIdVersionAndSha1ToItsCallback) {
  StartManager();
  const std::string content = TextLike(5000, 11);
  ASSERT_EQ(S_OK, m_mgr->AddTask(NewFileRecord("a.txt", Source("a.txt", content)).release(), false,
                                 &Completion::Callback, &m_completion));
  ASSERT_TRUE(m_completion.done.Wait(kBound));
  const auto& ended = m_completion.Record<TaskData_NewFile>();
  EXPECT_EQ(TS_Finish, ended.taskState.eTaskStateType);
  EXPECT_EQ(S_OK, ended.taskState.hrResult);
  EXPECT_EQ(1, ended.nFileVer);
  EXPECT_EQ(Sha1Of(content), ended.strSha1);
  EXPECT_EQ(std::optional<std::string>(content), XferContent(Service(), ended.strId));
  EXPECT_GT(ended.taskState.nTotalSize, 0) << "the upload's progress reached the record";
}

TEST_F(FileTaskManagerTest, CancelTaskStopsADownloadWhileItsContentMoves) {
  StartManager(true);
  const std::string fileId = Seed("a.jpg", RandomBytes(kMiB, 12));
  ASSERT_EQ(S_OK, EnsureDirectory(FolderOfPath(Target("a.jpg"))));
  WriteFileBytes(Target("a.jpg"), "before");
  Service().Inject(R"({"path":"/wf/download","chunk":4096,"chunk_ms":50})");
  ASSERT_EQ(S_OK, m_mgr->AddTask(DownloadRecord(fileId, "a.jpg", Target("a.jpg")).release(), false,
                                 &Completion::Callback, &m_completion));
  ASSERT_TRUE(m_watch.moving.Wait(kBound));
  EXPECT_EQ(S_OK, m_mgr->CancelTask(fileId));
  ASSERT_TRUE(m_completion.done.Wait(kBound));
  EXPECT_EQ(E_CV_CURL_CANCEL, m_completion.Record<TaskData_DownloadFile>().taskState.hrResult);
  EXPECT_EQ("before", ReadFileBytes(Target("a.jpg")));
}

TEST_F(FileTaskManagerTest, CancelTaskStopsAnUploadWhileItsContentIsEncoded) {
  StartManager(true);
  const std::string fileId = Seed("a.txt", "version one");
  // The encoder's first write (the second file the task writes, after its copy) waits
  // until the manager has cancelled the task.
  auto gate = std::make_shared<EncoderGate>();
  Watch* watch = &m_watch;
  m_env.SetHook([gate, watch](FileOp op, const std::string& path) {
    if (op != FileOp::kWrite || !gate->IsSecondFile(path)) return 0;
    gate->encoding.Set();
    watch->cancelled.Wait(kBound);
    return 0;
  });
  auto record = UpdateRecord(fileId, "a.txt", "1", Source("a.txt", TextLike(300 * 1024, 13)));
  ASSERT_EQ(S_OK, m_mgr->AddTask(record.release(), false, &Completion::Callback, &m_completion));
  ASSERT_TRUE(gate->encoding.Wait(kBound));
  EXPECT_EQ(S_OK, m_mgr->CancelTask(fileId));
  ASSERT_TRUE(m_completion.done.Wait(kBound));
  EXPECT_EQ(E_CV_CURL_CANCEL, m_completion.Record<TaskData_UpdateFile>().taskState.hrResult);
  EXPECT_TRUE(Service().Requests("/wf/upload").empty()) << "nothing is sent";
  EXPECT_EQ(std::optional<std::string>("version one"), XferContent(Service(), fileId));
}

}  // namespace
