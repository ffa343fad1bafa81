// Task records: what each creator fills, which records count as the same task, that
// Clone copies everything, and that nothing starts uninitialised.
#include "core/interfaces/createtaskdata.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>

#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

using TaskDataTest = OstrelTest;

struct CreatorCase {
  std::function<TaskDataBase*()> make;
  const char* name;
  const char* token;
  const char* id;  // null: not checked (a fresh GUID)
  const char* fullPath;
  const char* secondPath;
  bool isDir;
  int32_t direction;
};

TEST_F(TaskDataTest, CreatorsSetNameAndBaseFields) {
  const CreatorCase cases[] = {
      {[] { return CreateTaskData_Login("u", "p", "c", "n", "v"); }, "Login", "", "", "", "", false, 1},
      {[] { return CreateTaskData_ReLogin("T", "c"); }, "ReLogin", "T", "", "", "", false, 1},
      {[] { return CreateTaskData_GetFileInfo("F"); }, "GetFileInfo", "", "F", "", "", false, 1},
      {[] { return CreateTaskData_Dir("T", "F"); }, "Dir", "T", "F", "", "", false, 1},
      {[] { return CreateTaskData_GetSpace("T"); }, "GetSpace", "T", "", "", "", false, 1},
      {[] { return CreateTaskData_GetMaxVer("T"); }, "GetMaxVer", "T", "", "", "", false, 1},
      {[] { return CreateTaskData_GetRemoteOptVer("T"); }, "GetRemoteOptVer", "T", "", "", "", false, 1},
      {[] { return CreateTaskData_GetThumbnail("T", "F", "/p", "/o", 1, 2); }, "GetThumbnail", "T", "F", "", "",
       false, 1},
      {[] { return CreateTaskData_FullTextSearch("T", "s", 1); }, "FullTextSearch", "T", "", "", "", false, 1},
      {[] { return CreateTaskData_Delete("T", false, "F", "a\\b"); }, "DeleteFile", "T", "F", "a\\b", "", false, 1},
      {[] { return CreateTaskData_Delete("T", true, "F", "a\\b"); }, "DeleteDirectory", "T", "F", "a\\b", "", true,
       1},
      {[] { return CreateTaskData_Rename("T", false, "F", "a", "n"); }, "EditFile", "T", "F", "a", "", false, 1},
      {[] { return CreateTaskData_Rename("T", true, "F", "a", "n"); }, "RenameDirectory", "T", "F", "a", "", true,
       1},
      {[] { return CreateTaskData_Move("T", false, "F", "a", "P", "n"); }, "MoveFile", "T", "F", "a", "", false, 1},
      {[] { return CreateTaskData_Move("T", true, "F", "a", "P", "n"); }, "MoveDirectory", "T", "F", "a", "", true,
       1},
      {[] { return CreateTaskData_GetRecycle("T", "1", 5); }, "GetRecycle", "T", "", "", "", false, 1},
      {[] { return CreateTaskData_CleanRecycle("T", "F"); }, "CleanRecycle", "T", "F", "", "", false, 1},
      {[] { return CreateTaskData_Recover("T", "F", "P"); }, "Recover", "T", "F", "", "", false, 1},
      {[] { return CreateTaskData_GetAllShareFile("T", 1); }, "GetAllShareFile", "T", "", "", "", false, 1},
      {[] { return CreateTaskData_CreateDirectory("T", "P", "a\\b"); }, "CreateDirectory", "T", "", "a\\b", "", true,
       1},
      {[] { return CreateTaskData_UpdateNewFile("P", "a\\f", "/s/f"); }, "UpdateNewFile", "", nullptr, "a\\f",
       "/s/f", false, 1},
      {[] { return CreateTaskData_DownloadFile("F", "a\\f", "/t/f"); }, "DownloadFile", "", "F", "a\\f", "/t/f",
       false, 0},
      {[] { return CreateTaskData_UpdateFile("F", "a\\f", "3", "/s/f"); }, "UpdateFile", "", "F", "a\\f", "/s/f",
       false, 1},
  };
  for (const CreatorCase& c : cases) {
    SCOPED_TRACE(c.name);
    TaskDataPtr<TaskDataBase> r(c.make());
    ASSERT_TRUE(r);
    EXPECT_EQ(c.name, r->TasksName());
    EXPECT_EQ(c.token, r->strToken);
    if (c.id) {
      EXPECT_EQ(c.id, r->strId);
    }
    EXPECT_EQ(c.fullPath, r->strFullPath);
    EXPECT_EQ(c.secondPath, r->strSecondPath);
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

TEST_F(TaskDataTest, KindFieldsAndNamesFromPaths) {
  TaskDataPtr<TaskData_DirectoryAdd> dir(CreateTaskData_CreateDirectory("T", "P", "root\\a\\新建\\"));
  EXPECT_EQ("新建", dir->strName);
  EXPECT_EQ("P", dir->strParentId);
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
  EXPECT_EQ("7", up->strFileVer);
  EXPECT_EQ("y", up->strName);
  TaskDataPtr<TaskData_GetThumbnail> th(CreateTaskData_GetThumbnail("T", "F", "/p", "/o", 64, 32));
  EXPECT_EQ(64, th->nHeight);
  EXPECT_EQ(32, th->nWidth);
  EXPECT_EQ("/p", th->strPackagePath);
  EXPECT_EQ("/o", th->strOutputFolder);
  EXPECT_EQ("", TaskPathLastElement(""));
  EXPECT_EQ("", TaskPathLastElement("\\"));
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

TEST_F(TaskDataTest, CloneCopiesEveryField) {
  TaskDataPtr<TaskData_UpdateFile> r(CreateTaskData_UpdateFile("F", "a\\f", "3", "/s"));
  r->nSerial = 9;
  r->strToken = "T";
  r->nFileVer = int64_t(1) << 33;
  r->strSha1 = "s";
  r->nReserved10 = 10;
  r->taskState = {TS_Finish, E_CV_TASK_FAILED, 5, 6};
  r->nOpenFlags = kOpenFlagForEdit | kOpenFlagOpenedCached;
  r->strMTime = "m";
  r->strTempPath = "t";
  r->strSizeOrg = "1";
  r->strSizeCheck = "2";
  r->strSha1Org = "o";
  r->strSha1Check = "c";
  r->strUrl = "u";
  r->strStub = "st";
  TaskDataPtr<TaskDataBase> base(r->Clone());
  auto* copy = dynamic_cast<TaskData_UpdateFile*>(base.get());
  ASSERT_NE(nullptr, copy);
  EXPECT_EQ(r->TasksName(), copy->TasksName());
  EXPECT_EQ(9, copy->nSerial);
  EXPECT_EQ(r->nFileVer, copy->nFileVer);
  EXPECT_EQ(10, copy->nReserved10);
  EXPECT_EQ(TS_Finish, copy->taskState.eTaskStateType);
  EXPECT_EQ(E_CV_TASK_FAILED, copy->taskState.hrResult);
  EXPECT_EQ(6, copy->taskState.nTotalSize);
  EXPECT_EQ(3, copy->nOpenFlags);
  using Field = std::string TaskData_UpdateFile::*;
  for (Field field : std::initializer_list<Field>{&TaskData_UpdateFile::strToken, &TaskData_UpdateFile::strId, &TaskData_UpdateFile::strFullPath,
                     &TaskData_UpdateFile::strSecondPath, &TaskData_UpdateFile::strSha1,
                     &TaskData_UpdateFile::strFileVer, &TaskData_UpdateFile::strName, &TaskData_UpdateFile::strMTime,
                     &TaskData_UpdateFile::strTempPath, &TaskData_UpdateFile::strSizeOrg,
                     &TaskData_UpdateFile::strSizeCheck, &TaskData_UpdateFile::strSha1Org,
                     &TaskData_UpdateFile::strSha1Check, &TaskData_UpdateFile::strUrl, &TaskData_UpdateFile::strStub})
    EXPECT_EQ((*r).*field, (*copy).*field);
  EXPECT_TRUE(r->IsSameTask(*copy));
}

TEST_F(TaskDataTest, MissingArgumentsAreLoggedAndTheRecordStillMade) {
  LogCapture log;
  TaskDataPtr<TaskData_Login> r(CreateTaskData_Login("", "p", "c", "n", "v"));
  ASSERT_TRUE(r);
  EXPECT_EQ("Login", r->TasksName());
  EXPECT_TRUE(log.Contains("*ASSERT*: !user.empty()")) << log.All();
  EXPECT_FALSE(log.Contains("password")) << "no other assertion";
}

}  // namespace
