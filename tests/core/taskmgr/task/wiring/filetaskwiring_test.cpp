// The real sync centre's task manager runs the file tasks, and they reach the windows
// through that sync centre: after a sign-in against the local service, an
// "UpdateNewFile" run through the centre's task manager uploads its file, and one onto
// the same name asks the shell adapter the centre was given.
#include <gtest/gtest.h>

#include <string>

#include "common/db/dbhelper.h"
#include "core/interfaces/createtaskdata.h"
#include "core/interfaces/itaskmgr.h"
#include "core/synccenter.h"
#include "core/taskmgr/task/filetaskfakes.h"
#include "support/fsseed.h"
#include "support/serviceclient.h"

namespace {

class FileTaskWiringTest : public LocalServiceTest {
 protected:
  void SetUp() override {
    LocalServiceTest::SetUp();
    AimClientAtService(Service(), Root());
    remotestoragecontrol::ResetGlobalVersionFlag();
    Service().Control("POST", "/test/fs/account", R"({"user":"alice","password":"pw-alice","userId":"alice01"})");
  }
  void TearDown() override {
    if (m_center) {
      m_center->Stop();
      m_center->UnInit();
      m_center = nullptr;
    }
    CloseUserDB();
    remotestoragecontrol::ResetGlobalVersionFlag();
    LocalServiceTest::TearDown();
  }
  RefPtr<PromptingShellAdapter> m_shell{new PromptingShellAdapter};
  RefPtr<ISyncCenter> m_center;
};

TEST_F(FileTaskWiringTest, TheSignedInCentresTaskManagerRunsFileTasksThatAskItsShellAdapter) {
  ASSERT_EQ(S_OK, CreateSyncCenter(m_center.Receive()));
  ASSERT_EQ(S_OK, m_center->Init(PathIn("cfg"), m_shell.get()));
  ASSERT_EQ(S_OK, m_center->Login("alice", "pw-alice", kLoginModeMyComputer));
  RefPtr<ITaskMgr> taskMgr;
  ASSERT_EQ(S_OK, m_center->GetInterface(ITaskMgr::kIID, reinterpret_cast<void**>(taskMgr.Receive())));

  const std::string source = PathIn("a.txt");
  WriteFileBytes(source, "the first content");
  TaskDataPtr<TaskData_NewFile> first(CreateTaskData_UpdateNewFile("", "\\a.txt", source));
  ASSERT_EQ(S_OK, taskMgr->ExecuteTask(first.get(), nullptr, 5));
  EXPECT_EQ(std::optional<std::string>("the first content"), XferContent(Service(), first->strId));

  WriteFileBytes(source, "other content");
  m_shell->Answer(-1);
  TaskDataPtr<TaskData_NewFile> again(CreateTaskData_UpdateNewFile("", "\\a.txt", source));
  ASSERT_EQ(S_FALSE, taskMgr->ExecuteTask(again.get(), nullptr, 5)) << "kept: nothing uploaded";
  ASSERT_EQ(1u, m_shell->Prompts().size());
  EXPECT_EQ("Wizard_UpLoadFileExist", m_shell->Prompts()[0].key);
  EXPECT_EQ(std::optional<std::string>("the first content"), XferContent(Service(), first->strId));
}

}  // namespace
