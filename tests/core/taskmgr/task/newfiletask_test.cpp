// "UpdateNewFile" onto a name the folder already holds: the question to the user and
// what each answer leads to, the short cut for content the service holds, a fresh
// entry without content, and what the record tells its caller afterwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/filehelper.h"
#include "core/taskmgr/task/filetasktest.h"
#include "support/logcapture.h"

namespace {

using FileTaskNewFileTest = FileTaskTest;

constexpr char kOld[] = "the service's content";
constexpr char kNew[] = "the user's new content";

TEST_F(FileTaskNewFileTest, EachAnswerAboutAnExistingFileLeadsToItsHandOn) {
  struct Row {
    const char* what;
    int32_t answer;
    const char* source;                // what the user uploads
    std::vector<std::string> handedOn;  // to the file system; {id} stands for the file's id
    HRESULT result;                     // S_FALSE: the service's file kept, nothing uploaded
  } rows[] = {
      {"update: the next version of the file", 1, kNew, {"UploadFile({id}, , 1, \\a.txt, {src}, 1)"}, S_OK},
      {"not asked: taken as update", -2, kNew, {"UploadFile({id}, , 1, \\a.txt, {src}, 1)"}, S_OK},
      {"replace: a new file in its place", 2, kNew, {"Delete(0, {id}, 1)", "UploadFile(, , 0, \\a.txt, {src}, 1)"},
       S_OK},
      {"cancel", -1, kNew, {}, S_FALSE},
      {"update with the content the service holds", 1, kOld, {}, S_FALSE},
      {"not asked, content the service holds", -2, kOld, {}, S_FALSE},
      {"replace even with the content the service holds", 2, kOld,
       {"Delete(0, {id}, 1)", "UploadFile(, , 0, \\a.txt, {src}, 1)"}, S_OK},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string fileId = Seed("a.txt", kOld);
    const std::string source = Source("a.txt", row.source);
    m_shell->Answer(row.answer);
    RefPtr<RecordingFileSystem> fs(new RecordingFileSystem);
    m_center->Register(fs.get());
    Service().Reset();

    auto record = NewFileRecord("a.txt", source);
    ASSERT_EQ(row.result, Run(record.get()));
    std::vector<std::string> want;
    for (std::string call : row.handedOn) {
      for (const auto& [from, to] : {std::pair<std::string, std::string>{"{src}", source}, {"{id}", fileId}})
        if (call.find(from) != std::string::npos) call.replace(call.find(from), from.size(), to);
      want.push_back(call);
    }
    EXPECT_EQ(want, fs->Calls());
    EXPECT_TRUE(Service().Requests("/xsvr/requestUpload/").empty()) << "the upload is the hand-on's, not this task's";
    // The record names what the service holds under the name now.
    EXPECT_EQ(fileId, record->strId);
    EXPECT_EQ(1, record->nFileVer);
    EXPECT_EQ(Sha1Of(kOld), record->strSha1);
    const auto prompts = m_shell->Prompts();
    ASSERT_FALSE(prompts.empty());
    const auto& p = prompts.back();
    EXPECT_EQ("Wizard_UpLoadFileExist", p.key);
    EXPECT_EQ("a.txt  文件已经存在，请选择以下操作方式。", p.text);
    EXPECT_EQ("Sepra便携版", p.caption);
    EXPECT_EQ("替换|更新|取消", p.buttons);
    EXPECT_EQ(1, p.defaultAnswer);
    EXPECT_EQ("记住我的选择", p.checkText);
    EXPECT_EQ(-1, p.lastValue);
    // The next row starts from a fresh name.
    TaskDataPtr<TaskData_Delete> gone(CreateTaskData_Delete(m_token, false, fileId, "\\a.txt"));
    ASSERT_EQ(S_OK, m_rs->Delete(*gone, nullptr, nullptr));
  }
  EXPECT_EQ(std::size(rows), m_shell->Prompts().size()) << "one question per upload";
}

TEST_F(FileTaskNewFileTest, TheServicesSha1CountsAsTheSameContentInAnyLetterCase) {
  const std::string fileId = Seed("a.txt", kOld);
  std::string upper = Sha1Of(kOld);
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  Service().Inject(nlohmann::json{{"path", "/xsvr/newFile/"},
                                  {"body", "<nuvra result=\"targetExist\"><fileId>" + fileId +
                                               "</fileId><fileVer>1</fileVer><sha1>" + upper + "</sha1></nuvra>"}}
                       .dump());
  m_shell->Answer(1);
  auto record = NewFileRecord("a.txt", Source("a.txt", kOld));
  ASSERT_EQ(S_FALSE, Run(record.get())) << "kept: nothing uploaded";
  EXPECT_TRUE(m_fs->Calls().empty());
  EXPECT_EQ(1, record->nFileVer);
}

// A question that cannot be asked (no sync centre to reach the windows) is a cancel.
TEST_F(FileTaskNewFileTest, WithoutAShellAdapterTheExistingFileIsLeftAlone) {
  Seed("a.txt", kOld);
  auto record = NewFileRecord("a.txt", Source("a.txt", kNew));
  std::unique_ptr<ITask> task(CreateFileTask(record.get()));
  ASSERT_EQ(S_OK, task->Init(m_store.get(), m_rs.get(), nullptr, 0, 0, nullptr));
  EXPECT_EQ(S_FALSE, task->Execute()) << "kept: nothing uploaded";
  EXPECT_TRUE(m_fs->Calls().empty());
  EXPECT_TRUE(Service().Requests("/xsvr/requestUpload/").empty());
}

// An entry without content (made earlier, its upload never finished) takes the
// upload itself, without a question, on both protocols.
using FileTaskNewFileVersionTest = FileTaskVersionTest;

TEST_P(FileTaskNewFileVersionTest, AnEntryWithoutContentTakesTheUploadWithoutAQuestion) {
  TaskDataPtr<TaskData_NewFile> entry(CreateTaskData_UpdateNewFile("", "\\a.txt", "/unused"));
  entry->strToken = m_token;
  RecordTree reply;
  ASSERT_EQ(S_OK, m_rs->NewFile(*entry, nullptr, nullptr, &reply));
  ASSERT_EQ("0", reply.GetValue("fileVer"));
  const std::string source = Source("a.txt", TextLike(3000, 4));
  std::string created, modified;
  ASSERT_EQ(S_OK, GetFileTimeStrings(source, &created, &modified));

  auto record = NewFileRecord("a.txt", source);
  ASSERT_EQ(S_OK, Run(record.get()));
  EXPECT_TRUE(m_shell->Prompts().empty());
  EXPECT_EQ(reply.GetValue("fileId"), record->strId);
  EXPECT_EQ(1, record->nFileVer);
  EXPECT_EQ(Sha1Of(TextLike(3000, 4)), record->strSha1);
  EXPECT_EQ(std::optional<std::string>(TextLike(3000, 4)), XferContent(Service(), record->strId));
  // The service keeps the source's last-write time, to the second.
  const auto mod = Service().Requests("/xsvr/setModTime/");
  ASSERT_EQ(1u, mod.size());
  EXPECT_NE(std::string::npos, mod[0].body.find("<modTime>" + modified.substr(0, 19) + "</modTime>")) << mod[0].body;
}

INSTANTIATE_TEST_SUITE_P(ServiceVersions, FileTaskNewFileVersionTest, ::testing::Values("2", "3"), VersionName);

TEST_F(FileTaskNewFileTest, AFolderThatIsGoneFailsWithoutAnUpload) {
  LogCapture log;
  auto record = NewFileRecord("a.txt", Source("a.txt", kNew), "no-such-folder");
  EXPECT_EQ(E_CV_PARENT_NOT_EXIST, Run(record.get()));
  EXPECT_TRUE(log.Contains("父目录不存在"));
  EXPECT_TRUE(Service().Requests("/xsvr/requestUpload/").empty());
}

TEST_F(FileTaskNewFileTest, AFailedHandOnIsTheTasksResult) {
  const std::string fileId = Seed("a.txt", kOld);
  m_shell->Answer(2);
  m_fs->FailDelete(E_CV_TARGET_NOT_EXISTS);
  auto record = NewFileRecord("a.txt", Source("a.txt", kNew));
  EXPECT_EQ(E_CV_TARGET_NOT_EXISTS, Run(record.get()));
  EXPECT_EQ(std::vector<std::string>{"Delete(0, " + fileId + ", 1)"}, m_fs->Calls()) << "no upload after it";
}

// The record names its task: the other kinds, and a kind that does not fit its
// name, have none.
TEST_F(FileTaskNewFileTest, TheFactoryMakesATaskOnlyForAFileTaskRecordOfItsKind) {
  LogCapture log;
  TaskDataPtr<TaskData_Dir> dir(CreateTaskData_Dir(m_token, ""));
  EXPECT_EQ(nullptr, CreateFileTask(dir.get()));
  dir->strTaskName = "UpdateFile";
  EXPECT_EQ(nullptr, CreateFileTask(dir.get()));
  EXPECT_EQ(nullptr, CreateFileTask(nullptr));
  EXPECT_TRUE(log.Contains("CreateTask Failed: No Task!"));
  EXPECT_TRUE(log.Contains("*ASSERT*: pTaskData"));
  // A side the kind does not have.
  auto record = NewFileRecord("a.txt", Source("a.txt", kNew));
  record->nDirection = 0;
  EXPECT_EQ(E_NOTIMPL, Run(record.get()));
}

}  // namespace
