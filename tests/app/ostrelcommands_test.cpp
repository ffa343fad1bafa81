// The ostrel program's item and transfer commands against the test's own local
// service, each checked at the service's own state (an item's id, parent, name and
// whether it is in the recycle bin): what succeeds changes exactly that, and what is
// refused prints its line, fails and changes nothing.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "app/resultmessages.h"
#include "core/remotestorage/serverresultmap.h"
#include "ostrelprogramtest.h"
#include "ptysession.h"
#include "support/fsseed.h"
#include "support/serviceclient.h"

namespace {

using nlohmann::json;

const char kUserId[] = "alice01";

class OstrelCommandsTest : public OstrelProgramTest {
 protected:
  void SetUp() override {
    OstrelProgramTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(SignIn());
  }
  // A folder, or an empty file, of alice's, made at the service; its id.
  std::string NewItem(const std::string& name, const std::string& type, const std::string& parentId = "") {
    json body = {{"userId", kUserId}, {"name", name}, {"type", type}};
    if (!parentId.empty()) body["parentId"] = parentId;
    return FsControl(Service(), "/test/fs/item", body)["fileId"].get<std::string>();
  }
  // Every item of alice's as the service holds it, the recycle bin's included.
  json Items() { return FsState(Service(), kUserId)["items"]; }
  // alice's item fileId as the service holds it; null when the service holds none.
  json Item(const std::string& fileId) {
    for (const json& item : Items())
      if (item["fileId"] == fileId) return item;
    return json();
  }
};

enum class Where { kLive, kInBin, kGone };

// The words of a command line, for failure messages.
std::string Joined(const std::vector<std::string>& args) {
  std::string line;
  for (const auto& arg : args) line += (line.empty() ? "" : " ") + arg;
  return line;
}

// One session's changes, in order: each row's command must succeed and leave the
// item it names where the row says, under the same id.
TEST_F(OstrelCommandsTest, ItemCommandsMoveRenameRemoveAndRestoreTheSameItem) {
  std::map<std::string, std::string> id = {{"", ""}};
  id["Docs"] = NewItem("Docs", "folder");
  id["Old"] = NewItem("Old", "folder");
  id["a"] = NewItem("a.txt", "file");
  NewItem("inner.txt", "file", id["Old"]);
  const struct {
    std::vector<std::string> args;
    const char* item;    // the item the row looks at
    const char* parent;  // its parent afterwards ("" the root)
    const char* name;    // its name afterwards
    Where where;
    std::string out;  // what standard output holds; "" for nothing at all
  } rows[] = {
      {{"mv", "/a.txt", "/Docs"}, "a", "Docs", "a.txt", Where::kLive, ""},
      {{"ls", "/Docs/a.txt"}, "a", "Docs", "a.txt", Where::kLive, "a.txt\n"},
      {{"--json", "ls", "/Docs/a.txt"}, "a", "Docs", "a.txt", Where::kLive,
       R"("name":"a.txt","path":"/Docs/a.txt","type":"file","id":")" + id["a"] + "\""},
      {{"rename", "/Docs/a.txt", "b.txt"}, "a", "Docs", "b.txt", Where::kLive, ""},
      {{"rm", "/Docs/b.txt"}, "a", "Docs", "b.txt", Where::kInBin, ""},
      {{"ls", "--trash"}, "a", "Docs", "b.txt", Where::kInBin, "b.txt\n"},
      {{"restore", "b.txt"}, "a", "Docs", "b.txt", Where::kLive, ""},
      {{"ls", "--trash"}, "a", "Docs", "b.txt", Where::kLive, ""},
      {{"rm", "/Old"}, "Old", "", "Old", Where::kInBin, ""},
      {{"ls", "--trash", "-l"}, "Old", "", "Old", Where::kInBin, id["Old"]},
      {{"empty-trash"}, "Old", "", "Old", Where::kGone, ""},
      {{"ls", "--trash"}, "Old", "", "Old", Where::kGone, ""},
      {{"ls", "/Docs"}, "a", "Docs", "b.txt", Where::kLive, "b.txt\n"},
  };
  for (const auto& row : rows) {
    const std::string what = Joined(row.args);
    ProgramRun run = Ostrel(row.args);
    EXPECT_EQ(0, run.status) << what << ": " << run.err;
    if (row.out.empty())
      EXPECT_EQ("", run.out) << what;
    else
      EXPECT_NE(std::string::npos, run.out.find(row.out)) << what << ": " << run.out;
    const json item = Item(id[row.item]);
    if (row.where == Where::kGone) {
      EXPECT_TRUE(item.is_null()) << what << ": " << item;
      continue;
    }
    ASSERT_FALSE(item.is_null()) << what << ": the service lost " << row.item;
    EXPECT_EQ(id[row.parent], item["parentId"]) << what;
    EXPECT_EQ(row.name, item["name"]) << what;
    EXPECT_EQ(row.where == Where::kInBin, item["deleted"].get<bool>()) << what;
  }
  // The folder's content went with it.
  for (const json& item : Items()) EXPECT_NE("inner.txt", item["name"]) << item;
}

TEST_F(OstrelCommandsTest, RestoreOfANameThatSeveralItemsInTheBinShareAsksForTheId) {
  const std::string docs = NewItem("Docs", "folder");
  const std::string top = NewItem("x.txt", "file");
  const std::string inner = NewItem("x.txt", "file", docs);
  ASSERT_EQ(0, Ostrel({"rm", "/x.txt", "/Docs/x.txt"}).status);
  const std::string several = "ostrel: restore: several items are named \"x.txt\" in the recycle bin; name one by its id:";
  const struct {
    std::string wanted;
    int status;
    std::string err;       // a line standard error holds; "" for none
    bool topIn, innerIn;  // in the recycle bin afterwards
  } rows[] = {
      {"x.txt", 1, several, true, true},
      {inner, 0, "", true, false},
      {"x.txt", 0, "", false, false},  // the one left with that name
      {"x.txt", 1, "ostrel: restore: nothing named \"x.txt\" in the recycle bin", false, false},
  };
  for (const auto& row : rows) {
    ProgramRun run = Ostrel({"restore", row.wanted});
    EXPECT_EQ(row.status, run.status) << row.wanted << ": " << run.err;
    if (row.err.empty()) {
      EXPECT_EQ("", run.err) << row.wanted;
    } else {
      EXPECT_NE(std::string::npos, run.err.find(row.err)) << row.wanted << ": " << run.err;
    }
    if (row.err == several) {
      EXPECT_NE(std::string::npos, run.err.find(" " + top)) << run.err;
      EXPECT_NE(std::string::npos, run.err.find(" " + inner)) << run.err;
    }
    EXPECT_EQ(row.topIn, Item(top)["deleted"].get<bool>()) << row.wanted;
    EXPECT_EQ(row.innerIn, Item(inner)["deleted"].get<bool>()) << row.wanted;
  }
  EXPECT_EQ("", Item(top)["parentId"]);
  EXPECT_EQ(docs, Item(inner)["parentId"]);
}

TEST_F(OstrelCommandsTest, ATransferThatCannotBeginPrintsItsLineAndChangesNothing) {
  NewItem("Docs", "folder");
  FsSeedFile(Service(), kUserId, "a.txt", "alpha\n");
  const std::string missing = PathIn("none.txt");
  const std::string fifo = PathIn("fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  const std::string good = PathIn("good.txt");
  WriteFileBytes(good, "good\n");
  const std::string file = PathIn("file.txt");
  WriteFileBytes(file, "mine\n");
  const std::string fresh = PathIn("fresh");
  const struct {
    std::vector<std::string> args;
    std::string err;
  } rows[] = {
      {{"put", missing, "/"}, "ostrel: put: " + missing + ": no such file or folder"},
      {{"put", fifo, "/"}, "ostrel: put: " + fifo + ": not a file or folder"},
      {{"put", "/dev/null", "/"}, "ostrel: put: /dev/null: not a file or folder"},
      {{"put", good, "/a.txt"}, "ostrel: put: /a.txt is not a folder"},
      {{"put", good, "/None"}, "ostrel: put: no such item: /None"},
      {{"get", "/", Root()}, "ostrel: get: name a folder or file to download, not \"/\""},
      {{"get", "/a.txt", "/Docs", file}, "ostrel: get: " + file + " is not a folder"},
      {{"get", "/Docs", fresh}, "ostrel: get: " + fresh + " is not a folder"},
      {{"get", "/none.txt", Root()}, "ostrel: get: no such item: /none.txt"},
      {{"get", "/a.txt", file + "/a.txt"}, "ostrel: get: " + file + " is not a folder"},
      {{"get", "/a.txt", file + "/sub/a.txt"}, "ostrel: get: " + file + "/sub is not a folder"},
      {{"edit", "/Docs"}, "ostrel: edit: /Docs is a folder"},
      {{"edit", "/"}, "ostrel: edit: / is a folder"},
  };
  const json before = Items();
  for (const auto& row : rows) {
    const std::string what = Joined(row.args);
    ProgramRun run = Ostrel(row.args);
    EXPECT_EQ(1, run.status) << what << ": " << run.err;
    EXPECT_NE(std::string::npos, run.err.find(row.err)) << what << ": " << run.err;
    EXPECT_EQ(before, Items()) << what;
  }
  EXPECT_EQ("mine\n", ReadFileBytes(file));
  EXPECT_FALSE(FileExists(fresh));
  EXPECT_FALSE(FileExists(PathIn("a.txt")));

  // A source that cannot be uploaded leaves the others to go on.
  ProgramRun both = Ostrel({"put", missing, good, "/"});
  EXPECT_EQ(1, both.status) << both.err;
  EXPECT_NE(std::string::npos, both.err.find("ostrel: put: " + missing + ": no such file or folder")) << both.err;
  size_t goods = 0;
  for (const json& item : Items()) {
    EXPECT_NE("none.txt", item["name"]);
    if (item["name"] == "good.txt" && item["parentId"] == "") {
      ++goods;
      EXPECT_EQ("good\n", XferContent(Service(), item["fileId"].get<std::string>()).value_or("(none)"));
    }
  }
  EXPECT_EQ(1u, goods);
}

// An edit whose download or upload the service refuses: edit waits for every try,
// shows the task's end notice, fails, and the file at the service stays as it was.
TEST_F(OstrelCommandsTest, AnEditWhoseTransferIsRefusedFailsAfterItsTriesAndChangesNothing) {
  const json seeded = FsSeedFile(Service(), kUserId, "a.txt", "alpha\n");
  const std::string fileId = seeded["fileId"].get<std::string>();
  const std::string editor = std::string(OSTREL_TEST_EDITOR_PATH) + " --append=more";
  const struct {
    const char* fault;  // armed before the edit
    const char* word;   // the refusal
    const char* notice;
    const char* request;  // the request refused
    size_t tries;
  } rows[] = {
      {R"({"path":"/xsvr/requestDownload/","word":"serverBusy","count":5})", "serverBusy", "下载“a.txt”失败",
       "/xsvr/requestDownload/", 5},
      {R"({"path":"/xsvr/requestUpload/","word":"fileVerConflict"})", "fileVerConflict", "上传“a.txt”失败",
       "/xsvr/requestUpload/", 1},
  };
  for (const auto& row : rows) {
    Service().Reset();
    Service().Inject(row.fault);
    ProgramRun run = Ostrel({"--opener", editor, "edit", "/a.txt"});
    EXPECT_EQ(1, run.status) << row.fault << ": " << run.err;
    EXPECT_NE(std::string::npos, run.err.find(row.notice)) << row.fault << ": " << run.err;
    EXPECT_NE(std::string::npos,
              run.err.find("ostrel: edit: /a.txt: " + ResultMessage(ServerResultMap::Instance()[row.word])))
        << row.fault << ": " << run.err;
    EXPECT_EQ(row.tries, Service().Requests(row.request).size()) << row.fault;
    EXPECT_EQ("alpha\n", XferContent(Service(), fileId).value_or("(none)")) << row.fault;
    EXPECT_EQ(1, Item(fileId)["fileVer"]) << row.fault;
  }
}

TEST_F(OstrelCommandsTest, CancelNamesATaskThatHasEndedOrIsNotInThisProcess) {
  const json seeded = FsSeedFile(Service(), kUserId, "a.txt", "alpha\n");
  const std::string fileId = seeded["fileId"].get<std::string>();
  const std::string down = PathIn("down.txt");
  // The download's task is named by the file's id; the shell keeps it listed.
  ProgramRun shell = Ostrel({"shell"}, "get /a.txt " + down + "\ncancel " + fileId + "\ncancel 7\n");
  EXPECT_EQ(1, shell.status) << shell.err;
  EXPECT_NE(std::string::npos, shell.err.find("ostrel: cancel: task " + fileId + " has ended already")) << shell.err;
  // Inside the shell the line does not send the user to the shell.
  EXPECT_NE(std::string::npos, shell.err.find("ostrel: cancel: no task 7 in this process\n")) << shell.err;
  EXPECT_EQ("alpha\n", ReadFileBytes(down));
  ProgramRun once = Ostrel({"cancel", fileId});
  EXPECT_EQ(1, once.status);
  EXPECT_NE(std::string::npos, once.err.find("ostrel: cancel: no task " + fileId +
                                             " in this process (the task list lives as long as its process: use "
                                             "\"ostrel shell\")"))
      << once.err;
  EXPECT_EQ(1, Item(fileId)["fileVer"]);
}

}  // namespace
