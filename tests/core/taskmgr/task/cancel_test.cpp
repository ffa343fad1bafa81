// Cancelling a file task: during a transfer (the task's progress callback tells the
// transfer to stop) and during its long local steps (the copy into the temp folder,
// the encoding, the split into blocks, the decoding, the hash of a joined download),
// which stop at their next read or write. Every case ends with E_CV_CURL_CANCEL, sends
// nothing further, leaves the service's file and the download's target as they were,
// and leaves no temporary file.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include "core/taskmgr/task/filetasktest.h"

namespace {

using FileTaskCancelTest = FileTaskTest;

constexpr char kPrevious[] = "what the target held before";

// The format another device stores a file in on the service's version.
const char* SeedFormat(const char* version) { return std::string(version) == "3" ? "blocks" : "whole"; }

// Cancels its task once a transfer has moved at least threshold bytes its way.
struct CancelOnProgress {
  ITask* task = nullptr;
  bool upload = false;
  double threshold = 1;
  int reports = 0;
  static HRESULT Report(void* context, double, double dlNow, double, double ulNow, double) {
    auto* self = static_cast<CancelOnProgress*>(context);
    ++self->reports;
    if ((self->upload ? ulNow : dlNow) >= self->threshold) self->task->Cancel(0);
    return S_OK;
  }
};

TEST_F(FileTaskCancelTest, ACancelDuringATransferEndsIt) {
  const std::string content = RandomBytes(kMiB, 5);
  struct Row {
    const char* what;
    const char* version;
    bool upload;
    const char* fault;    // holds the transfer up
    const char* notAsked; // what the cancelled transfer never reaches
  } rows[] = {
      {"one encoded file up", "2", true, R"({"path":"/wf/upload","delay_ms":60000})", ""},
      {"blocks up", "3", true, R"({"path":"/blk/uploadBlock","delay_ms":60000})", "/xsvr/commit/"},
      {"one encoded file down", "2", false, R"({"path":"/wf/download","chunk":4096,"chunk_ms":50})", ""},
      {"blocks down", "3", false, R"({"path":"/blk/downloadBlock","chunk":4096,"chunk_ms":50})", ""},
  };
  ASSERT_EQ(S_OK, EnsureDirectory(FolderOfPath(Target("a.jpg"))));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    UseVersion(row.version);
    const std::string fileId = Seed("a.jpg", content, SeedFormat(row.version));
    Service().Reset();
    Service().Inject(row.fault);
    WriteFileBytes(Target("a.jpg"), kPrevious);
    TaskDataPtr<TaskDataBase> record;
    if (row.upload) {
      record = UpdateRecord(fileId, "a.jpg", "1", Source("a.jpg", RandomBytes(kMiB, 6)));
    } else {
      record = DownloadRecord(fileId, "a.jpg", Target("a.jpg"));
    }
    CancelOnProgress canceller;
    canceller.upload = row.upload;
    canceller.threshold = 8192;  // past any request's own reply: the content is moving
    std::unique_ptr<ITask> task = MakeTask(record.get(), &CancelOnProgress::Report, &canceller);
    canceller.task = task.get();
    EXPECT_EQ(E_CV_CURL_CANCEL, task->Execute());
    EXPECT_GT(canceller.reports, 0) << "reports reach the progress function until the cancel";
    if (*row.notAsked) {
      EXPECT_TRUE(Service().Requests(row.notAsked).empty());
    }
    EXPECT_EQ(std::optional<std::string>(content), XferContent(Service(), fileId));
    EXPECT_EQ(kPrevious, ReadFileBytes(Target("a.jpg")));
    EXPECT_TRUE(Leftovers().empty()) << ::testing::PrintToString(Leftovers());
    TaskDataPtr<TaskData_Delete> gone(CreateTaskData_Delete(m_token, false, fileId, "\\a.jpg"));
    ASSERT_EQ(S_OK, m_rs->Delete(*gone, nullptr, nullptr));
  }
}

// The files the task's steps write, in the order they first write them.
struct Writes {
  std::vector<std::string> paths;
  void See(FileOp op, const std::string& path) {
    if (op == FileOp::kWrite && std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
  }
};

TEST_F(FileTaskCancelTest, ACancelDuringALongLocalStepStopsItThere) {
  const std::string content = TextLike(300 * 1024, 7);  // packs: the encoding writes a packed file first
  ASSERT_EQ(S_OK, EnsureDirectory(FolderOfPath(Target("a.txt"))));
  // When to cancel, from the file-system call about to be made (the writes before it
  // seen) and the record.
  using When = std::function<bool(FileOp op, const std::string& path, const Writes& seen, TaskDataBase& record)>;
  auto nthFileWritten = [](size_t n) {
    return [n](FileOp op, const std::string& path, const Writes& seen, TaskDataBase&) {
      return op == FileOp::kWrite && seen.paths.size() == n - 1 &&
             std::find(seen.paths.begin(), seen.paths.end(), path) == seen.paths.end();
    };
  };
  struct Row {
    const char* what;
    const char* version;
    bool upload;
    When when;
    const char* notAsked;
  } rows[] = {
      {"copying the source into the temp folder", "2", true, nthFileWritten(1), "/xsvr/requestUpload/"},
      {"encoding the copy", "2", true, nthFileWritten(2), "/wf/upload"},
      {"splitting the copy into blocks", "3", true, nthFileWritten(2), "/xsvr/requestUpload/"},
      {"decoding the download",
       "2",
       false,
       [](FileOp op, const std::string& path, const Writes&, TaskDataBase& record) {
         return op == FileOp::kWrite && path != static_cast<TaskData_DownloadFile&>(record).strTempPath;
       },
       ""},
      {"checking the joined blocks",
       "3",
       false,
       [](FileOp op, const std::string& path, const Writes&, TaskDataBase&) {
         return op == FileOp::kRename && path.ends_with(".join");
       },
       ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    UseVersion(row.version);
    const std::string fileId = Seed("a.txt", content, SeedFormat(row.version));
    Service().Reset();
    WriteFileBytes(Target("a.txt"), kPrevious);
    TaskDataPtr<TaskDataBase> record;
    if (row.upload) {
      record = UpdateRecord(fileId, "a.txt", "1", Source("a.txt", TextLike(300 * 1024, 8)));
    } else {
      record = DownloadRecord(fileId, "a.txt", Target("a.txt"));
    }
    std::unique_ptr<ITask> task = MakeTask(record.get());
    Writes seen;
    bool cancelled = false;
    int movedAfter = 0;  // reads and writes made after the one the cancel came during
    m_env.SetHook([&](FileOp op, const std::string& path) {
      if (cancelled && (op == FileOp::kRead || op == FileOp::kWrite)) ++movedAfter;
      if (!cancelled && row.when(op, path, seen, *record)) {
        task->Cancel(0);
        cancelled = true;
      }
      seen.See(op, path);
      return 0;
    });
    EXPECT_EQ(E_CV_CURL_CANCEL, task->Execute());
    m_env.SetHook(nullptr);
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(0, movedAfter) << "the step stops at its next read or write";
    if (*row.notAsked) {
      EXPECT_TRUE(Service().Requests(row.notAsked).empty());
    }
    EXPECT_EQ(std::optional<std::string>(content), XferContent(Service(), fileId));
    EXPECT_EQ(kPrevious, ReadFileBytes(Target("a.txt")));
    EXPECT_TRUE(Leftovers().empty()) << ::testing::PrintToString(Leftovers());
    TaskDataPtr<TaskData_Delete> gone(CreateTaskData_Delete(m_token, false, fileId, "\\a.txt"));
    ASSERT_EQ(S_OK, m_rs->Delete(*gone, nullptr, nullptr));
  }
}

// A task cancelled before it runs (between two tries of its executer) starts nothing.
TEST_F(FileTaskCancelTest, ACancelledTaskStartsNothing) {
  const std::string fileId = Seed("a.txt", "content");
  auto record = DownloadRecord(fileId, "a.txt", Target("a.txt"));
  std::unique_ptr<ITask> task = MakeTask(record.get());
  ASSERT_EQ(S_OK, task->Cancel(0));
  Service().Reset();
  EXPECT_EQ(E_CV_CURL_CANCEL, task->Execute());
  EXPECT_TRUE(Service().Requests().empty());
}

}  // namespace
