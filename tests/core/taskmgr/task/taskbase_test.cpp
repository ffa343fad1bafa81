// What every file task shares, without a service: which side Execute runs, the
// progress callback it hands its transfers (forwarding, and failing once cancelled),
// and the modification time it gives the service.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/interfaces/createtaskdata.h"
#include "core/taskmgr/task/createfiletask.h"
#include "core/taskmgr/task/task.h"
#include "support/enginefakes.h"
#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

using FileTaskBaseTest = OstrelTest;

// Records every report it gets and answers with a chosen result.
struct Reports {
  std::vector<std::vector<double>> seen;
  HRESULT answer = S_OK;
  static HRESULT Report(void* context, double a, double b, double c, double d, double e) {
    auto* self = static_cast<Reports*>(context);
    self->seen.push_back({a, b, c, d, e});
    return self->answer;
  }
};

TEST_F(FileTaskBaseTest, TheTransfersProgressGoesToTheProgressFunctionUntilTheTaskIsCancelled) {
  TaskDataPtr<TaskData_DownloadFile> record(CreateTaskData_DownloadFile("id", "\\a", "/t/a"));
  RefPtr<FakeLocalStorage> local(new FakeLocalStorage);
  RefPtr<RecordingRemoteStorage> remote(new RecordingRemoteStorage);
  std::unique_ptr<ITask> task(CreateFileTask(record.get()));
  Reports reports;
  reports.answer = 7;  // whatever it says reaches the transfer
  ASSERT_EQ(S_OK, task->Init(local.get(), remote.get(), &Reports::Report, 1, 2, &reports));
  EXPECT_EQ(7, CTaskBase::OnTransferProgress(task.get(), 10, 4, 0, 0, 99));
  const std::vector<std::vector<double>> forwarded = {{10, 4, 0, 0, 99}};
  EXPECT_EQ(forwarded, reports.seen);
  EXPECT_EQ(S_OK, task->Cancel(0));
  EXPECT_EQ(E_FAIL, CTaskBase::OnTransferProgress(task.get(), 10, 5, 0, 0, 99)) << "the transfer is to stop";
  EXPECT_EQ(1u, reports.seen.size());
  EXPECT_EQ(record.get(), task->GetTaskData());

  std::unique_ptr<ITask> quiet(CreateFileTask(record.get()));
  ASSERT_EQ(S_OK, quiet->Init(local.get(), remote.get(), nullptr, 0, 0, nullptr));
  EXPECT_EQ(S_OK, CTaskBase::OnTransferProgress(quiet.get(), 1, 1, 0, 0, 0)) << "no progress function: go on";
}

TEST_F(FileTaskBaseTest, ExecuteRunsTheSideTheRecordsDirectionNames) {
  LogCapture log;
  RefPtr<FakeLocalStorage> local(new FakeLocalStorage);
  RefPtr<RecordingRemoteStorage> remote(new RecordingRemoteStorage);
  struct Row {
    TaskDataBase* record;
    int32_t direction;
    HRESULT hr;
  } rows[] = {
      // A download's local side and an upload's remote side do not exist.
      {CreateTaskData_DownloadFile("id", "\\a", "/t/a"), 1, E_NOTIMPL},
      {CreateTaskData_UpdateFile("id", "\\a", "1", "/s/a"), 0, E_NOTIMPL},
      {CreateTaskData_UpdateNewFile("", "\\a", "/s/a"), 0, E_NOTIMPL},
  };
  for (const Row& row : rows) {
    TaskDataPtr<TaskDataBase> record(row.record);
    record->nDirection = row.direction;
    std::unique_ptr<ITask> task(CreateFileTask(record.get()));
    ASSERT_TRUE(task);
    EXPECT_EQ(E_FAIL, task->Execute()) << "not before Init";
    ASSERT_EQ(S_OK, task->Init(local.get(), remote.get(), nullptr, 0, 0, nullptr));
    EXPECT_EQ(row.hr, task->Execute()) << record->TasksName();
  }
  EXPECT_EQ(3, log.Count("*ASSERT*: 0"));
  EXPECT_TRUE(remote->Calls().empty());
}

TEST_F(FileTaskBaseTest, TheServiceIsGivenTheLastWriteTimeUpToItsFraction) {
  const std::pair<const char*, const char*> rows[] = {
      {"2024-03-01 12:34:56.1234567", "2024-03-01 12:34:56"},
      {"2024-03-01 12:34:56", ""},  // no fraction: no time
      {"a.b.c", "a.b"},             // up to the last "."
      {"", ""},
  };
  for (const auto& [text, want] : rows) EXPECT_EQ(want, ModTimeFromTimeText(text)) << text;
}

TEST_F(FileTaskBaseTest, Sha1TextsAreTheSameInAnyLetterCase) {
  EXPECT_TRUE(SameSha1("a9993e364706816aba3e25717850c26c9cd0d89d", "A9993E364706816ABA3E25717850C26C9CD0D89D"));
  EXPECT_FALSE(SameSha1("a9993e364706816aba3e25717850c26c9cd0d89d", "a9993e364706816aba3e25717850c26c9cd0d89e"));
  EXPECT_FALSE(SameSha1("", "a9993e364706816aba3e25717850c26c9cd0d89d"));
}

}  // namespace
