// Transfers in the folders others share with the user: two ostrel clients (alice, who
// shares, and bob) against the test's own local service. bob's put, get and edit with
// --shared-to-me must land in alice's folder byte for byte, a read-only share must
// refuse bob's writes with the service's own text, and the levels of the shared view
// that are no folders must be refused without asking the service.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "app/resultmessages.h"
#include "core/remotestorage/serverresultmap.h"
#include "ptysession.h"
#include "support/fsseed.h"
#include "support/serviceclient.h"

namespace {

using nlohmann::json;

class OstrelSharedTest : public LocalServiceTest {
 protected:
  void SetUp() override {
    LocalServiceTest::SetUp();
    m_alice = FsAccount(Service(), "alice");
    m_bob = FsAccount(Service(), "bob");
    ASSERT_FALSE(m_alice.is_null());
    ASSERT_FALSE(m_bob.is_null());
    m_aliceId = m_alice["userId"].get<std::string>();
    ASSERT_NO_FATAL_FAILURE(PrepareClient("alice"));
    ASSERT_NO_FATAL_FAILURE(PrepareClient("bob"));
    m_sharer = "/" + m_alice["nickName"].get<std::string>() + "(" + m_alice["email"].get<std::string>() + ")";
    m_shared = NewFolder("Shared");
    FsControl(Service(), "/test/fs/share", {{"fileId", m_shared}, {"to", m_bob["email"]}, {"writable", true}});
    ASSERT_NO_FATAL_FAILURE(SignIn("alice"));
    ASSERT_NO_FATAL_FAILURE(SignIn("bob"));
  }

  // Each client has a configuration folder and registry store of its own, aimed at the
  // service with no speed limit.
  std::string ClientFolder(const std::string& user) { return PathIn(user); }
  void PrepareClient(const std::string& user) {
    ASSERT_EQ(0, mkdir(ClientFolder(user).c_str(), 0700));
    const char* fixtureRegistry = getenv("OSTREL_REGISTRY");
    ASSERT_NE(nullptr, fixtureRegistry);
    const std::string testRegistry = fixtureRegistry;
    setenv("OSTREL_REGISTRY", (ClientFolder(user) + "/registry").c_str(), 1);
    AimClientAtService(Service(), ClientFolder(user));
    setenv("OSTREL_REGISTRY", testRegistry.c_str(), 1);
  }
  ProgramRun Ostrel(const std::string& user, std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--config", ClientFolder(user)});
    return RunProgram(OstrelProgramPath(), args, input, {"OSTREL_REGISTRY=" + ClientFolder(user) + "/registry"});
  }
  void SignIn(const std::string& user) {
    ProgramRun run = Ostrel(user, {"login", user, "--password-stdin"}, "pw-" + user + "\n");
    ASSERT_EQ(0, run.status) << run.err;
  }

  // A folder of alice's, made at the service; its id.
  std::string NewFolder(const std::string& name, const std::string& parentId = "") {
    json body = {{"userId", m_aliceId}, {"name", name}, {"type", "folder"}};
    if (!parentId.empty()) body["parentId"] = parentId;
    return FsControl(Service(), "/test/fs/item", body)["fileId"].get<std::string>();
  }
  // alice's live item named name in the folder parentId, as the service holds it; null
  // when there is none.
  json AliceItem(const std::string& parentId, const std::string& name) {
    const json state = FsState(Service(), m_aliceId);
    for (const json& item : state["items"])
      if (item["parentId"] == parentId && item["name"] == name && !item["deleted"].get<bool>()) return item;
    return json();
  }
  // What alice's client downloads from her own /Shared/<relative>.
  std::string AliceGets(const std::string& relative) {
    const std::string target = PathIn("alice-got-" + std::to_string(++m_gets));
    ProgramRun run = Ostrel("alice", {"get", "/Shared/" + relative, target});
    EXPECT_EQ(0, run.status) << run.err;
    return ReadFileBytes(target);
  }
  // A local file named name, in a folder of its own, holding content; its path.
  std::string LocalFile(const std::string& name, const std::string& content) {
    const std::string folder = PathIn("up-" + std::to_string(++m_files));
    EXPECT_EQ(0, mkdir(folder.c_str(), 0700));
    WriteFileBytes(folder + "/" + name, content);
    return folder + "/" + name;
  }
  std::string InShare(const std::string& relative) { return m_sharer + "/Shared/" + relative; }

  json m_alice, m_bob;
  std::string m_aliceId;
  std::string m_sharer;  // bob's view: "/alice(alice@localsvc.test)"
  std::string m_shared;  // the id of alice's /Shared
  int m_gets = 0, m_files = 0;
};

TEST_F(OstrelSharedTest, BobsNewFilesAndFolderLandInAlicesFolderByteForByte) {
  const std::string small = "from bob\n";
  const std::string big = RandomBytes(300000, 11);
  const std::string tree = PathIn("tree");
  ASSERT_EQ(0, mkdir(tree.c_str(), 0700));
  WriteFileBytes(tree + "/inner.bin", big);

  ProgramRun put = Ostrel("bob", {"put", "--shared-to-me", LocalFile("small.txt", small), LocalFile("big.bin", big),
                                  tree, m_sharer + "/Shared"});
  ASSERT_EQ(0, put.status) << put.err;
  EXPECT_NE(std::string::npos, put.err.find("Uploaded 3 files")) << put.err;

  struct Row {
    std::string parent, name, content;
  } rows[] = {{m_shared, "small.txt", small}, {m_shared, "big.bin", big}, {"tree", "inner.bin", big}};
  for (const auto& row : rows) {
    const std::string parentId = row.parent == "tree" ? AliceItem(m_shared, "tree")["fileId"].get<std::string>()
                                                      : row.parent;
    const json item = AliceItem(parentId, row.name);
    ASSERT_FALSE(item.is_null()) << row.name << " is not in alice's tree";
    EXPECT_EQ(row.content, XferContent(Service(), item["fileId"].get<std::string>()).value_or("(none)")) << row.name;
  }
  EXPECT_EQ(small, AliceGets("small.txt"));
  EXPECT_EQ(big, AliceGets("tree/inner.bin"));
  EXPECT_TRUE(AliceItem("", "small.txt").is_null()) << "bob's file landed in alice's root";
}

TEST_F(OstrelSharedTest, BobsChangedFileReplacesOrUpdatesAlicesFile) {
  FsSeedFile(Service(), m_aliceId, "doc.txt", "alice's first\n", "blocks", m_shared);
  // The prompt about the existing file: button 1 replaces it (the old one goes to
  // alice's recycle bin), button 2 adds a version to it.
  struct Row {
    std::string answer, content;
    bool sameItem;
  } rows[] = {{"1", "replaced by bob\n", false}, {"2", "updated by bob\n", true}};
  for (const auto& row : rows) {
    const json before = AliceItem(m_shared, "doc.txt");
    ProgramRun put = Ostrel("bob", {"--answer", row.answer, "put", "--shared-to-me", LocalFile("doc.txt", row.content),
                                    m_sharer + "/Shared"});
    ASSERT_EQ(0, put.status) << row.answer << ": " << put.err;
    const json after = AliceItem(m_shared, "doc.txt");
    ASSERT_FALSE(after.is_null()) << row.answer;
    EXPECT_EQ(row.sameItem, before["fileId"] == after["fileId"]) << row.answer;
    EXPECT_EQ(row.content, XferContent(Service(), after["fileId"].get<std::string>()).value_or("(none)")) << row.answer;
    EXPECT_EQ(row.content, AliceGets("doc.txt")) << row.answer;
  }
}

TEST_F(OstrelSharedTest, BobGetsAFileAndAFolderFromTheShare) {
  const std::string sub = NewFolder("sub", m_shared);
  const std::string big = RandomBytes(300000, 5);
  FsSeedFile(Service(), m_aliceId, "a.txt", "alpha\n", "blocks", m_shared);
  FsSeedFile(Service(), m_aliceId, "b.bin", big, "whole", sub);
  const std::string down = PathIn("down");
  ASSERT_EQ(0, mkdir(down.c_str(), 0700));

  ProgramRun get = Ostrel("bob", {"get", "--shared-to-me", InShare("a.txt"), InShare("sub"), down});
  ASSERT_EQ(0, get.status) << get.err;
  EXPECT_EQ("alpha\n", ReadFileBytes(down + "/a.txt"));
  EXPECT_EQ(big, ReadFileBytes(down + "/sub/b.bin"));
  // One file under a new local name.
  ProgramRun named = Ostrel("bob", {"get", "--shared-to-me", InShare("sub/b.bin"), PathIn("copy.bin")});
  ASSERT_EQ(0, named.status) << named.err;
  EXPECT_EQ(big, ReadFileBytes(PathIn("copy.bin")));
}

TEST_F(OstrelSharedTest, BobsEditOfASharedFileChangesAlicesCopy) {
  const json seeded = FsSeedFile(Service(), m_aliceId, "notes.txt", "line\n", "blocks", m_shared);
  ProgramRun edit = Ostrel("bob", {"--opener", std::string(OSTREL_TEST_EDITOR_PATH) + " --append=BOB", "edit",
                                   "--shared-to-me", InShare("notes.txt")});
  ASSERT_EQ(0, edit.status) << edit.err;
  EXPECT_NE(std::string::npos, edit.err.find("Uploaded the changes of " + InShare("notes.txt"))) << edit.err;
  EXPECT_EQ("line\nBOB", XferContent(Service(), seeded["fileId"].get<std::string>()).value_or("(none)"));
  EXPECT_EQ("line\nBOB", AliceGets("notes.txt"));
}

// An edit whose upload the service refuses: edit waits until the upload has ended,
// every try of it, shows the task's end notice and fails; alice's file stays as it was.
TEST_F(OstrelSharedTest, BobsEditThatTheServiceRefusesEndsWithTheUploadAndFails) {
  const std::string readOnly = NewFolder("ReadOnly");
  FsControl(Service(), "/test/fs/share", {{"fileId", readOnly}, {"to", m_bob["email"]}, {"writable", false}});
  const json seeded = FsSeedFile(Service(), m_aliceId, "notes.txt", "line\n", "blocks", readOnly);
  const std::string path = m_sharer + "/ReadOnly/notes.txt";
  const std::string editor = std::string(OSTREL_TEST_EDITOR_PATH) + " --append=BOB";
  struct Row {
    std::string fault;  // armed at the service before the edit; "" for none
    std::string word;   // the refusal the upload ends with
    size_t tries;       // the upload requests it took
  } rows[] = {
      {"", "serverDenyReadOnly", 1},  // the service's own answer: final, tried once
      {R"({"path":"/xsvr/requestUpload/","word":"permissionDenied","count":5})", "permissionDenied", 5},
  };
  for (const auto& row : rows) {
    Service().Reset();
    if (!row.fault.empty()) Service().Inject(row.fault);
    ProgramRun edit = Ostrel("bob", {"--opener", editor, "edit", "--shared-to-me", path});
    EXPECT_EQ(1, edit.status) << row.word << ": " << edit.err;
    EXPECT_NE(std::string::npos, edit.err.find("上传“notes.txt”失败")) << row.word << ": " << edit.err;
    EXPECT_NE(std::string::npos,
              edit.err.find("ostrel: edit: " + path + ": " + ResultMessage(ServerResultMap::Instance()[row.word])))
        << row.word << ": " << edit.err;
    EXPECT_EQ(std::string::npos, edit.err.find("No changes")) << row.word << ": " << edit.err;
    EXPECT_EQ(row.tries, Service().Requests("/xsvr/requestUpload/").size()) << row.word;
    EXPECT_EQ("line\n", XferContent(Service(), seeded["fileId"].get<std::string>()).value_or("(none)")) << row.word;
  }
}

TEST_F(OstrelSharedTest, AReadOnlyShareRefusesBobsPutWithTheServicesTextAndKeepsNothing) {
  const std::string readOnly = NewFolder("ReadOnly");
  FsControl(Service(), "/test/fs/share", {{"fileId", readOnly}, {"to", m_bob["email"]}, {"writable", false}});
  const std::string folder = PathIn("folder");
  ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
  WriteFileBytes(folder + "/f.txt", "f");
  const std::string refusal = ResultMessage(ServerResultMap::Instance()["serverDenyReadOnly"]);
  struct Row {
    std::string local, name;
  } rows[] = {{LocalFile("r.txt", "refused\n"), "r.txt"}, {folder, "folder"}};
  for (const auto& row : rows) {
    ProgramRun put = Ostrel("bob", {"put", "--shared-to-me", row.local, m_sharer + "/ReadOnly"});
    EXPECT_EQ(1, put.status) << row.name << ": " << put.err;
    EXPECT_NE(std::string::npos, put.err.find("ostrel: put: ")) << put.err;
    EXPECT_NE(std::string::npos, put.err.find(refusal)) << row.name << ": " << put.err;
    EXPECT_TRUE(AliceItem(readOnly, row.name).is_null()) << row.name << " was left in the read-only folder";
  }
}

TEST_F(OstrelSharedTest, TheRootAndASharersLevelAreRefusedWithoutAskingTheService) {
  FsSeedFile(Service(), m_aliceId, "a.txt", "alpha\n", "blocks", m_shared);
  const std::string local = LocalFile("x.txt", "x");
  // What a command asks of the service only to sign in.
  Service().Reset();
  ASSERT_EQ(0, Ostrel("bob", {"whoami"}).status);
  std::set<std::string> signIn;
  for (const auto& request : Service().Requests()) signIn.insert(request.path);

  const std::string rootLine = "\"/\" of the items shared with you lists who shares with you";
  const std::string sharerLine = "\"" + m_sharer + "\" lists what one person shares with you";
  struct Row {
    std::vector<std::string> args;
    std::string line;
  } rows[] = {
      {{"put", local, "/"}, rootLine + "; it is not a folder to upload into"},
      {{"put", local, m_sharer}, sharerLine + "; it is not a folder to upload into"},
      {{"put", local, m_sharer + "/"}, sharerLine},
      {{"get", "/", PathIn("d")}, rootLine + "; it is not a folder or file to download"},
      {{"get", m_sharer, PathIn("d")}, sharerLine + "; it is not a folder or file to download"},
      {{"edit", "/"}, rootLine + "; it is not a file to edit"},
      {{"edit", m_sharer}, sharerLine + "; it is not a file to edit"},
  };
  for (const auto& row : rows) {
    Service().Reset();
    std::vector<std::string> args = row.args;
    args.insert(args.begin() + 1, "--shared-to-me");
    ProgramRun run = Ostrel("bob", args);
    EXPECT_EQ(1, run.status) << args[0] << " " << args[args.size() - 1] << ": " << run.err;
    EXPECT_NE(std::string::npos, run.err.find("ostrel: " + args[0] + ": " + row.line)) << run.err;
    for (const auto& request : Service().Requests())
      EXPECT_TRUE(signIn.count(request.path) || request.path.rfind("/sync/", 0) == 0)
          << args[0] << " asked the service " << request.path;
  }
  EXPECT_FALSE(FileExists(PathIn("d"))) << "a refused get made its destination";
}

TEST_F(OstrelSharedTest, APathThatIsNotInTheShareIsNamed) {
  FsSeedFile(Service(), m_aliceId, "a.txt", "alpha\n", "blocks", m_shared);
  const std::string local = LocalFile("x.txt", "x");
  struct Row {
    std::vector<std::string> args;
    std::string missing;
  } rows[] = {
      {{"put", local, InShare("none")}, InShare("none")},
      {{"get", InShare("none.txt"), Root()}, InShare("none.txt")},
      {{"edit", InShare("none.txt")}, InShare("none.txt")},
      {{"get", m_sharer + "/Nobody/x.txt", Root()}, m_sharer + "/Nobody"},
      {{"get", "/nobody(nobody@localsvc.test)/x", Root()}, "/nobody(nobody@localsvc.test)"},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = row.args;
    args.insert(args.begin() + 1, "--shared-to-me");
    ProgramRun run = Ostrel("bob", args);
    EXPECT_EQ(1, run.status) << row.missing << ": " << run.err;
    EXPECT_NE(std::string::npos, run.err.find("ostrel: " + args[0] + ": no such item: " + row.missing)) << run.err;
  }
  // Without the option the same path is read in bob's own files.
  ProgramRun own = Ostrel("bob", {"get", InShare("a.txt"), Root()});
  EXPECT_EQ(1, own.status);
  EXPECT_NE(std::string::npos, own.err.find("no such item: " + m_sharer)) << own.err;
  EXPECT_TRUE(AliceItem(m_shared, "x.txt").is_null());
}

}  // namespace
