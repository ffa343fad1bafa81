// What people and scripts read: item lines, JSON, the progress line, result lines and
// typed answers to prompts.
#include <gtest/gtest.h>

#include "app/itemoutput.h"
#include "app/progressbar.h"
#include "app/resultmessages.h"
#include "app/terminalwindow.h"
#include "app/transferwait.h"
#include "core/interfaces/taskdata.h"

namespace {

CFileItemRecord Item(const std::string& name, uint32_t isDir, int64_t size, const std::string& id) {
  CFileItemRecord item;
  item.strName = name;
  item.bIsDir = isDir;
  item.size = size;
  item.strSvrId = id;
  return item;
}

TEST(ItemOutputTest, EveryItemStaysOneLineWhateverItsName) {
  std::vector<CFileItemRecord> items = {Item("Docs", kItemFolder, 0, "1"), Item("a\nb.txt", kItemFile, 12, "2"),
                                        Item("bob", kItemSharerFolder, 0, "3")};
  EXPECT_EQ("Docs/\na?b.txt\nbob/", FormatItemLines(items, false));
  EXPECT_EQ("d   -  -  Docs/  1\n-  12  -  a?b.txt  2\ns   -  -  bob/  3", FormatItemLines(items, true));
  EXPECT_EQ("", FormatItemLines({}, true));
}

TEST(ItemOutputTest, LinesShowControlsAsQuestionMarksAndDirectionMarksByNumber) {
  struct Row {
    const char* text;
    const char* shown;
  } rows[] = {
      {"tab\there", "tab?here"},
      {"esc\x1b[2J", "esc?[2J"},
      {"del\x7f", "del?"},
      {"c1 \xC2\x80 \xC2\x85 \xC2\x9B \xC2\x9F", "c1 ? ? ? ?"},
      {"after c1: \xC2\xA0\xC2\xA9", "after c1: \xC2\xA0\xC2\xA9"},  // NBSP and the copyright sign stay
      {"\xE2\x80\xAA\xE2\x80\xAE\xE2\x81\xA6\xE2\x81\xA9", "<U+202A><U+202E><U+2066><U+2069>"},
      {"\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA", "\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA"},  // their neighbours stay
      {"lone \x9B and \xC2", "lone \xEF\xBF\xBD and \xEF\xBF\xBD"},
      {"名字 é 😀", "名字 é 😀"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.shown, PrintableText(row.text)) << row.text;
    EXPECT_EQ(row.shown, PrintableText(PrintableText(row.text))) << "twice: " << row.text;
  }
}

TEST(ItemOutputTest, JsonKeepsNamesExactlyAndEscapesThem) {
  struct Row {
    std::string text;
    const char* json;
  } rows[] = {
      {"plain", "\"plain\""},
      {"q\"b\\s", "\"q\\\"b\\\\s\""},
      {"n\nt\tc\x01", "\"n\\nt\\tc\\u0001\""},
      {"名字", "\"名字\""},
      {"bad\xff", "\"bad\xef\xbf\xbd\""},  // not UTF-8: U+FFFD
      // C1 controls and bidirectional controls are escaped, so that the text stays exact.
      {"csi\xC2\x9B" "1m", "\"csi\\u009b1m\""},
      {"rlo\xE2\x80\xAE" "txt", "\"rlo\\u202etxt\""},
      {"nbsp\xC2\xA0", "\"nbsp\xC2\xA0\""},
  };
  for (const auto& row : rows) EXPECT_EQ(row.json, JsonQuote(row.text)) << row.text;
  CloudPath folder;
  ASSERT_TRUE(CloudPath::Parse("/Docs", &folder));
  const std::string json = FormatItemsJson({Item("a.txt", kItemFile, 5, "9")}, &folder);
  EXPECT_NE(std::string::npos, json.find(R"("name":"a.txt","path":"/Docs/a.txt","type":"file","id":"9")")) << json;
  EXPECT_EQ("[]", FormatItemsJson({}, &folder));
}

TEST(ItemOutputTest, TasksShowTheirStateAndResult) {
  TaskListEntry running{"7", "\\Docs\\a.txt", 1, TS_Running, S_OK, 512, 1024, 0};
  TaskListEntry failed{"8", "\\b.txt", 0, TS_Finish, E_CV_SRV_OVER_SPACE, 0, 10, 0};
  TaskListEntry kept{"9", "\\c.txt", 1, TS_Finish, S_FALSE, 0, 0, 0};
  const std::string lines = FormatTaskLines({running}, {failed, kept});
  EXPECT_EQ("7  running  upload  512 B/1.0 KiB  /Docs/a.txt\n8  finished  download  0 B/10 B  /b.txt  " +
                ResultMessage(E_CV_SRV_OVER_SPACE) + "\n9  finished  upload  0 B/0 B  /c.txt  kept (nothing uploaded)",
            lines);
  const std::string json = FormatTasksJson({running}, {failed, kept});
  EXPECT_NE(std::string::npos, json.find(R"("result":"0x00000001","resultName":"S_FALSE","ok":true)")) << json;
  EXPECT_NE(std::string::npos, json.find(R"("id":"8","path":"/b.txt","direction":"download","state":"finished")"));
  EXPECT_NE(std::string::npos, json.find(R"("result":"0x8004101A","resultName":"overSpace","ok":false)")) << json;
}

TEST(ResultMessageTest, EveryCodeGetsAClearLine) {
  struct Row {
    HRESULT code;
    const char* line;
  } rows[] = {
      {E_CV_SRV_OVER_SPACE, "您的Sepra空间已满，当前操作失败。 (overSpace, 0x8004101A)"},
      {E_CV_SRV_CLIENT_TOKEN_EXPIRED, "您的会话已经过期，为了您的安全，请重新登录Vendro。 (clientTokenExpired, 0x80041012)"},
      {E_CV_SRV_CLIENT_NO_LOGIN, "您的会话已经过期，为了您的安全，请重新登录Vendro。 (clientNoLogin, 0x80041016)"},
      {E_CV_NETWORK_ERROR2, "网络链接出错，请检查网络是否顺畅。 (networkUnreachable, 0x80044002)"},
      {E_CV_SHA1_MISMATCH, "网络链接出错，请检查网络是否顺畅。 (sha1Mismatch, 0x80044004)"},
      {E_CV_TARGET_NOT_EXISTS, "当前文件不存在，请刷新后检查文件是否存在。 (targetNotExist, 0x80041019)"},
      {E_CV_SRV_SERVER_BUSY, "serverBusy (0x80041003): the service is busy; try again later"},
      {E_CV_SRV_ACCOUNT_NOT_MATCH, "accountNotMatch (0x80041015): the user name or the password is wrong"},
      {E_FAIL, "E_FAIL (0x80004005): the operation failed (the log has the details)"},
      {static_cast<HRESULT>(0x8004ABCD), "0x8004ABCD: unknown result"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.line, ResultMessage(row.code));
}

TEST(ProgressLineTest, ShowsSizeSpeedAndTimeLeft) {
  struct Row {
    int64_t done, total;
    double seconds;
    const char* line;
  } rows[] = {
      {0, 0, 0, "f  0 B/0 B"},
      {512 * 1024, 1024 * 1024, 2.0, "f  [===========>          ]  50%  512.0 KiB/1.0 MiB  256.0 KiB/s  0:02 left"},
      {1024 * 1024, 1024 * 1024, 4.0, "f  [======================]  100%  1.0 MiB/1.0 MiB  256.0 KiB/s"},
      {2048, 1024, 1.0, "f  [======================]  100%  2.0 KiB/1.0 KiB  2.0 KiB/s"},  // more than announced
      {100, 1000000, 0.0, "f  [>                     ]  0%  100 B/976.6 KiB"},          // no time yet: no speed
  };
  for (const auto& row : rows) EXPECT_EQ(row.line, FormatProgressLine("f", row.done, row.total, row.seconds, 200));
  EXPECT_EQ("1:02:03", FormatDuration(3723));
}

TEST(ProgressLineTest, ALongLabelGivesWayAndTheLineFitsTheWidth) {
  const std::string label = "/very/long/path/名字/file-name.txt";
  for (size_t width : {20u, 60u, 80u}) {
    const std::string line = FormatProgressLine(label, 10, 100, 1.0, width);
    EXPECT_LE(line.size(), width);
    if (width >= 60) {
      EXPECT_NE(std::string::npos, line.find("10%")) << line;
    }
  }
  EXPECT_NE(std::string::npos, FormatProgressLine(label, 10, 100, 1.0, 80).find("file-name.txt"));
}

TEST(PromptAnswerTest, TypedNumbersPickButtonsAndTheBox) {
  struct Row {
    const char* typed;
    size_t buttons;
    bool box;
    int32_t defaultAnswer;
    int button;
  } rows[] = {
      {"1", 2, true, 1, 0},  {"2", 2, true, 1, 1},   {" 2 ", 2, true, 1, 1}, {"3", 2, true, 1, -2},
      {"3", 2, false, 1, -1}, {"", 2, true, 1, 0},   {"", 3, true, 1, 1},    {"", 3, true, 2, 0},
      {"0", 2, true, 1, -1}, {"x", 2, true, 1, -1},  {"-1", 2, true, 1, -1}, {"999", 2, true, 1, -1},
      {"1", 1, true, 1, 0},  {"2", 1, true, 1, -2},
  };
  for (const auto& row : rows)
    EXPECT_EQ(row.button, ButtonForTypedAnswer(row.typed, row.buttons, row.box, row.defaultAnswer))
        << "'" << row.typed << "' of " << row.buttons;
}

TEST(PromptAnswerTest, OpenerSettingWinsOverTheEnvironment) {
  setenv("VISUAL", "vis -a", 1);
  setenv("EDITOR", "ed", 1);
  EXPECT_EQ((std::vector<std::string>{"mine"}), ChooseOpener({"mine"}));
  EXPECT_EQ((std::vector<std::string>{"vis", "-a"}), ChooseOpener({}));
  setenv("VISUAL", "  ", 1);
  EXPECT_EQ((std::vector<std::string>{"ed"}), ChooseOpener({}));
  unsetenv("VISUAL");
  unsetenv("EDITOR");
  EXPECT_EQ((std::vector<std::string>{"xdg-open"}), ChooseOpener({}));
}

TEST(TaskListSnapshotTest, OnlyTasksQueuedSinceCountAsNew) {
  auto task = [](const char* id, int32_t state) { return TaskListEntry{id, "\\a", 1, state, S_OK, 0, 0, 0}; };
  // Before: 1 running, 2 ended once.
  const TaskListSnapshot before = TaskListSnapshot::Of({task("1", TS_Running)}, {task("2", TS_Finish)});
  // Now: 1 still running, 3 waiting; 2 ended twice (downloaded again), 4 ended.
  std::vector<TaskListEntry> newRunning, newFinished;
  before.NewTasks({task("1", TS_Running), task("3", TS_Wait)},
                  {task("2", TS_Finish), task("2", TS_Finish), task("4", TS_Finish)}, &newRunning, &newFinished);
  ASSERT_EQ(1u, newRunning.size());
  EXPECT_EQ("3", newRunning[0].strId);
  ASSERT_EQ(2u, newFinished.size());
  EXPECT_EQ("2", newFinished[0].strId);
  EXPECT_EQ("4", newFinished[1].strId);
}

}  // namespace
