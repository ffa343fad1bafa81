// A new file whose upload reached the service while its answer was lost: the next try
// of the same task finds the entry that its own earlier try made. That entry is the
// upload's own, so the user is not asked about an "existing file" and nothing is
// replaced: whatever the user would answer, the content the service holds is the file's.
#include <gtest/gtest.h>

#include <string>

#include "core/taskmgr/task/filetasktest.h"

namespace {

using FileTaskNewFileRetryTest = FileTaskTest;

constexpr char kContent[] = "the user's new file";

TEST_F(FileTaskNewFileRetryTest, TheNextTryAfterALostAnswerTakesItsOwnEntryWithoutAQuestion) {
  struct Row {
    const char* what;
    const char* version;  // "2": one encoded file
    const char* lostPath;  // the step whose handler ran but whose answer was a 503
    int32_t answer;        // what the user would answer a question (none is asked)
  } rows[] = {
      {"one file, the user would replace", "2", "/wf/upload", 2},
      {"one file, the user would update", "2", "/wf/upload", 1},
      {"one file, the user would cancel", "2", "/wf/upload", -1},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    UseVersion(row.version);
    Service().Reset();
    const std::string name = "new" + std::to_string(n++) + ".txt";
    const std::string source = Source(name, kContent);
    m_shell->Answer(row.answer);
    const size_t promptsBefore = m_shell->Prompts().size();
    const size_t callsBefore = m_fs->Calls().size();
    Service().Inject(nlohmann::json{{"path", row.lostPath}, {"status", 503}}.dump());

    auto record = NewFileRecord(name, source);
    std::unique_ptr<ITask> task = MakeTask(record.get());
    ASSERT_TRUE(task);
    EXPECT_NE(S_OK, task->Execute()) << "the first try sees the 503";
    EXPECT_EQ(S_OK, task->Execute()) << "the next try, as the executer makes it";

    EXPECT_EQ(promptsBefore, m_shell->Prompts().size()) << "no question about the upload's own entry";
    EXPECT_EQ(callsBefore, m_fs->Calls().size()) << "nothing handed on (no delete, no second upload)";
    EXPECT_EQ(2u, Service().Requests("/xsvr/newFile/").size()) << "one newFile a try";
    EXPECT_EQ(std::optional<std::string>(kContent), XferContent(Service(), record->strId));
    EXPECT_EQ(1, record->nFileVer);
    EXPECT_EQ(Sha1Of(kContent), record->strSha1);
  }
}

}  // namespace
