// Task records: each creator's name and kind, names taken from paths, which records
// count as the same task, that nothing starts uninitialised and that a missing
// argument is logged.
#include "core/interfaces/createtaskdata.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>

#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

using TaskDataTest = OstrelTest;

TEST_F(TaskDataTest, CreatorsSetTheNameAndStartEveryBaseFieldInitialised) {
  struct Case {
    const char* name;
    std::function<TaskDataBase*()> make;
    bool isDir;
    int32_t direction;
  } cases[] = {
      {"Login", [] { return CreateTaskData_Login("u", "p", "c", "n", "v"); }, false, 1},
      {"GetMaxVer", [] { return CreateTaskData_GetMaxVer("T"); }, false, 1},
      {"DeleteFile", [] { return CreateTaskData_Delete("T", false, "F", "a\\b"); }, false, 1},
      {"DeleteDirectory", [] { return CreateTaskData_Delete("T", true, "F", "a\\b"); }, true, 1},
      {"RenameDirectory", [] { return CreateTaskData_Rename("T", true, "F", "a", "n"); }, true, 1},
      {"MoveDirectory", [] { return CreateTaskData_Move("T", true, "F", "a", "P", "n"); }, true, 1},
      {"CreateDirectory", [] { return CreateTaskData_CreateDirectory("T", "P", "a\\b"); }, true, 1},
      {"DownloadFile", [] { return CreateTaskData_DownloadFile("F", "a\\f", "/t/f"); }, false, 0},
      {"UpdateFile", [] { return CreateTaskData_UpdateFile("F", "a\\f", "3", "/s/f"); }, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TaskDataPtr<TaskDataBase> r(c.make());
    ASSERT_TRUE(r);
    EXPECT_EQ(c.name, r->TasksName());
    EXPECT_EQ(c.isDir, r->bIsDir);
    EXPECT_EQ(c.direction, r->nDirection);
    EXPECT_EQ(-1, r->nSerial);
    EXPECT_EQ(0, r->nFileVer);
    EXPECT_EQ(0, r->nOpenFlags);
    EXPECT_EQ(TS_Wait, r->taskState.eTaskStateType);
    EXPECT_EQ(S_OK, r->taskState.hrResult);
    EXPECT_EQ(0, r->taskState.nDoneSize);
    EXPECT_EQ(0, r->Reserved3());
  }
}

TEST_F(TaskDataTest, NamesComeFromTheLastPathElementNewFilesGetAGuidAndMissingArgumentsAreLogged) {
  TaskDataPtr<TaskData_DirectoryAdd> dir(CreateTaskData_CreateDirectory("T", "P", "root\\a\\新建\\"));
  EXPECT_EQ("新建", dir->strName);
  TaskDataPtr<TaskData_NewFile> file(CreateTaskData_UpdateNewFile("P", "f.txt", "/s/f.txt"));
  EXPECT_EQ("f.txt", file->strName);
  EXPECT_TRUE(std::regex_match(file->strId, std::regex(R"(\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\})")))
      << file->strId;
  TaskDataPtr<TaskData_NewFile> file2(CreateTaskData_UpdateNewFile("P", "f.txt", "/s/f.txt"));
  EXPECT_NE(file->strId, file2->strId);
  TaskDataPtr<TaskData_DownloadFile> down(CreateTaskData_DownloadFile("F", "a/b/c.bin", "/t"));
  EXPECT_EQ("c.bin", down->strName);
  EXPECT_EQ(0, down->nPreviousVer);
  TaskDataPtr<TaskData_UpdateFile> up(CreateTaskData_UpdateFile("F", "x\\y", "7", "/s"));
  EXPECT_EQ("y", up->strName);
  EXPECT_EQ("", TaskPathLastElement(""));
  EXPECT_EQ("", TaskPathLastElement("\\"));
  // A missing argument is logged, and the record still made.
  LogCapture log;
  TaskDataPtr<TaskData_Login> login(CreateTaskData_Login("", "p", "c", "n", "v"));
  ASSERT_TRUE(login);
  EXPECT_EQ("Login", login->TasksName());
  EXPECT_TRUE(log.Contains("*ASSERT*: !user.empty()")) << log.All();
  EXPECT_FALSE(log.Contains("password")) << "no other assertion";
}

TEST_F(TaskDataTest, SameTaskRulesPerKind) {
  auto del = [](const char* id) { return TaskDataPtr<TaskData_Delete>(CreateTaskData_Delete("T", false, id, "p")); };
  auto rename = [](const char* n) {
    return TaskDataPtr<TaskData_Rename>(CreateTaskData_Rename("T", false, "F", "p", n));
  };
  auto move = [](const char* parent, const char* n) {
    return TaskDataPtr<TaskData_Move>(CreateTaskData_Move("T", true, "F", "p", parent, n));
  };
  auto mkdir = [](const char* parent, const char* path) {
    return TaskDataPtr<TaskData_DirectoryAdd>(CreateTaskData_CreateDirectory("T", parent, path));
  };
  TaskDataPtr<TaskData_Dir> dir1(CreateTaskData_Dir("T", "F")), dir2(CreateTaskData_Dir("T", "F"));
  TaskDataPtr<TaskData_Delete> delOtherToken(CreateTaskData_Delete("other", false, "F", "p"));
  TaskDataPtr<TaskData_Delete> delDir(CreateTaskData_Delete("T", true, "F", "p"));
  TaskDataPtr<TaskData_DownloadFile> d1(CreateTaskData_DownloadFile("F", "p", "/t")),
      d2(CreateTaskData_DownloadFile("F", "p", "/t"));
  struct Case {
    const char* what;
    const TaskDataBase& a;
    const TaskDataBase& b;
    bool same;
  };
  auto delF = del("F"), delF2 = del("F"), delG = del("G");
  auto r1 = rename("n"), r2 = rename("n"), r3 = rename("m");
  auto m1 = move("P", "n"), m2 = move("P", "n"), m3 = move("Q", "n");
  auto k1 = mkdir("P", "a\\b"), k2 = mkdir("P", "a\\b"), k3 = mkdir("Q", "a\\b");
  d2->strTempPath = "/tmp/other";
  const Case cases[] = {
      {"Dir never", *dir1, *dir2, false},
      {"Dir not even itself", *dir1, *dir1, false},
      {"Delete by base", *delF, *delF2, true},
      {"Delete ignores the token", *delF, *delOtherToken, true},
      {"Delete other id", *delF, *delG, false},
      {"Delete file vs folder", *delF, *delDir, false},
      {"Rename same name", *r1, *r2, true},
      {"Rename other name", *r1, *r3, false},
      {"Move same", *m1, *m2, true},
      {"Move other parent", *m1, *m3, false},
      {"CreateDirectory other parent", *k1, *k3, false},
      {"CreateDirectory same", *k1, *k2, true},
      {"DownloadFile other temp path", *d1, *d2, false},
      {"kinds differ", *delF, *r1, false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.same, c.a.IsSameTask(c.b)) << c.what;
}

}  // namespace
