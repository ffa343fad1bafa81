// The local service's file-system API over HTTP: sign-in, the item tree and its
// versions, the recycle bin, shares, search, the push long poll and injected words.
// Flows the client's own tests run against the service are not repeated here.
#include <thread>

#include "svcapi.h"

namespace {

class FsApiTest : public LocalServiceTest {
 protected:
  // Push polls hold until a version moves: a poll that ends proves a change woke it.
  std::vector<std::string> ServiceArgs() override { return {"--push-hold-ms", "0"}; }

  void SetUp() override {
    LocalServiceTest::SetUp();
    alice = FsAccount(Service(), "alice");
    bob = FsAccount(Service(), "bob");
  }
  Reply Call(const std::string& path, const Params& params, const std::string& v = "2") {
    return CallApi(Service(), path, params, v);
  }
  Reply As(const nlohmann::json& who, const std::string& path, const Params& params = {}) {
    return CallApi(Service(), path, params, "2", who);
  }
  std::string NewFolder(const nlohmann::json& who, const std::string& parent, const std::string& name) {
    Reply r = As(who, "/xsvr/newFolder/", {{"parentId", parent}, {"name", name}});
    EXPECT_EQ("ok", r.word) << r.body;
    return r.values["fileId"];
  }
  int64_t Ver(const nlohmann::json& who, const char* which = "opVer") {
    return std::stoll(As(who, "/xsvr/getMaxVers/").values[which]);
  }
  HttpReply Poll(const nlohmann::json& who) {
    return HttpExchange(Service().Port(), "GET", "/sync/get?uid=" + who["userId"].get<std::string>(), "", {"v:2"});
  }
  // Waits (without sleeping) until n push polls hold in the service.
  void AwaitHeldPolls(int n) {
    while (FsState(Service())["heldPolls"].get<int>() != n) std::this_thread::yield();
  }

  nlohmann::json alice, bob;
};

// Beyond the client's own sign-in flow: texts that need escaping, accounts that cannot
// sign in, forked tokens and expired ones.
TEST_F(FsApiTest, SignInAndTokens) {
  FsAccount(Service(), "amp", "p&<>'\"w");
  FsControl(Service(), "/test/fs/account", {{"user", "gone"}, {"password", "x"}, {"active", false}});
  Reply ok = Call("/xsvr/login/", {{"user", "amp"}, {"password", "p&<>'\"w"}, {"deviceId", "ostrel-0123|pc"},
                                   {"clientName", "ostrel"}, {"clientVersion", "1.0.0.1"}});
  EXPECT_EQ("ok", ok.word);
  const struct { Params params; const char* word; } refused[] = {
      {{{"user", "amp"}, {"password", "p&<>'\"W"}, {"deviceId", "d"}}, "accountNotMatch"},
      {{{"user", "nobody"}, {"password", "x"}, {"deviceId", "d"}}, "accountNotMatch"},
      {{{"user", "gone"}, {"password", "x"}, {"deviceId", "d"}}, "accountNotActive"},
      {{{"user", "amp"}, {"password", "p&<>'\"w"}}, "clientBadParams"},
  };
  for (const auto& c : refused) {
    Reply r = Call("/xsvr/login/", c.params);
    EXPECT_EQ(c.word, r.word);
    EXPECT_TRUE(r.values.empty()) << r.body;
  }
  Reply forked =
      Call("/xsvr/forkToken/", {{"token", ok.values["token"]}, {"deviceId", "d2"}, {"clientName", "ostrel"}});
  EXPECT_NE(ok.values["token"], forked.values["token"]);
  EXPECT_EQ("ok", Call("/xsvr/getSpace/", {{"token", forked.values["token"]}}).word);
  std::string expired =
      FsControl(Service(), "/test/fs/token", {{"userId", ok.values["userId"]}, {"expired", true}})["token"];
  FsControl(Service(), "/test/fs/token", {{"token", forked.values["token"]}, {"expired", true}});
  const struct { std::string token, path, word; } tokens[] = {
      {expired, "/xsvr/forkToken/", "clientTokenExpired"}, {expired, "/xsvr/getSpace/", "clientTokenExpired"},
      {forked.values["token"], "/xsvr/dir/", "clientTokenExpired"}, {"0123", "/xsvr/getSpace/", "clientNoLogin"}};
  for (const auto& t : tokens) EXPECT_EQ(t.word, Call(t.path, {{"token", t.token}, {"deviceId", "d"}}).word) << t.path;
  EXPECT_EQ("clientNoLogin", Call("/xsvr/getSpace/", {}).word);
}

TEST_F(FsApiTest, RequestsAndItemFields) {
  EXPECT_EQ("clientNoMethod", As(alice, "/xsvr/syncFile/").word);
  EXPECT_EQ("clientBadParams", Call("/xsvr/getSpace/", {{"token", alice["token"]}}, "").word);
  EXPECT_EQ("clientBadParams",
            ParseReply(HttpExchange(Service().Port(), "POST", "/xsvr/getSpace/", "<nuvra><token>", {"v:2"})).word);

  // A listing item carries every field; a big size is sent whole.
  std::string folder = NewFolder(alice, "", "Docs");
  FsControl(Service(), "/test/fs/item",
            {{"userId", alice["userId"]}, {"parentId", folder}, {"name", "big.iso"}, {"size", 5000000000},
             {"fileVer", 7}, {"sha1", std::string(40, 'a')}, {"modTime", "2024-05-01 12:00:00"}});
  Reply dir = As(alice, "/xsvr/dir/", {{"fileId", folder}});
  ASSERT_EQ(1u, dir.items.size());
  Fields item = dir.items[0];
  EXPECT_FALSE(item["createdTime"].empty());
  EXPECT_FALSE(dir.Id(0).empty());
  item.erase("createdTime");
  item.erase("fileId");
  EXPECT_EQ((Fields{{"type", "file"}, {"parentId", folder}, {"name", "big.iso"}, {"sha1", std::string(40, 'a')},
                    {"size", "5000000000"}, {"fileVer", "7"}, {"opVer", "2"}, {"modTime", "2024-05-01 12:00:00"},
                    {"modifier", "alice"}, {"shared", "0"}}),
            item);
  EXPECT_EQ("5000000000", As(alice, "/xsvr/getSpace/").values["used"]);
  EXPECT_EQ("targetNotExist", As(alice, "/xsvr/dir/", {{"fileId", dir.Id(0)}}).word);

  // Item information: the fields at root level.
  EXPECT_EQ("7", As(alice, "/xsvr/getItemInfo/", {{"fileId", dir.Id(0)}}).values["fileVer"]);
  EXPECT_EQ(0u, As(alice, "/xsvr/getItemInfo/", {{"fileId", folder}}).values.count("sha1"));
  EXPECT_EQ("targetNotExist", As(bob, "/xsvr/getItemInfo/", {{"fileId", folder}}).word);
}

TEST_F(FsApiTest, ChangesMoveTheOperationVersionOnceAndReadsDoNot) {
  std::string a = NewFolder(alice, "", "a");
  std::string b = NewFolder(alice, "", "b");
  int64_t start = Ver(alice);
  const struct { const char* path; Params params; int moves; const char* word; } steps[] = {
      {"/xsvr/dir/", {{"fileId", ""}}, 0, "ok"},
      {"/xsvr/getItemInfo/", {{"fileId", a}}, 0, "ok"},
      {"/xsvr/getRecycle/", {{"opVer", "0"}, {"size", "100"}}, 0, "ok"},
      {"/xsvr/fullTextSearch", {{"searchText", "a"}, {"searchType", "0"}}, 0, "ok"},
      {"/xsvr/asmGetAllSharedFiles/", {{"type", "out"}}, 0, "ok"},
      {"/xsvr/getSpace/", {}, 0, "ok"},
      {"/xsvr/newFile/", {{"parentId", a}, {"name", "f.txt"}}, 1, "ok"},
      {"/xsvr/rename/", {{"fileId", b}, {"name", "B"}}, 1, "ok"},
      {"/xsvr/rename/", {{"fileId", b}, {"name", "B"}}, 0, "ok"},
      {"/xsvr/move/", {{"fileId", b}, {"parentId", a}, {"name", ""}}, 1, "ok"},
      {"/xsvr/setModTime/", {{"fileId", b}, {"modTime", "2024-01-01 00:00:00"}}, 1, "ok"},
      {"/xsvr/delete/", {{"fileId", b}}, 1, "ok"},
      {"/xsvr/recover/", {{"fileId", b}, {"parentId", ""}}, 1, "ok"},
      {"/xsvr/deleteEx/", {{"fileId", b}}, 1, "ok"},
      {"/xsvr/cleanRecycle/", {{"fileId", ""}}, 1, "ok"},
      {"/xsvr/cleanRecycle/", {{"fileId", ""}}, 0, "ok"},
      {"/xsvr/rename/", {{"fileId", "999"}, {"name", "x"}}, 0, "targetNotExist"},
  };
  int64_t expected = start;
  for (const auto& s : steps) {
    EXPECT_EQ(s.word, As(alice, s.path, s.params).word) << s.path;
    expected += s.moves;
    EXPECT_EQ(expected, Ver(alice)) << s.path;
  }
  // The changed item carries the version of its last change; nothing was shared.
  EXPECT_EQ(std::to_string(start + 1), As(alice, "/xsvr/dir/", {{"fileId", a}}).items.at(0).at("opVer"));
  EXPECT_EQ(0, Ver(alice, "shareVer"));
  EXPECT_EQ(0, Ver(bob));
}

TEST_F(FsApiTest, NameClashesAndBadNames) {
  std::string docs = NewFolder(alice, "", "Docs");
  std::string sub = NewFolder(alice, docs, "sub");
  Reply file = As(alice, "/xsvr/newFile/", {{"parentId", docs}, {"name", "a.txt"}});
  EXPECT_EQ("ok", file.word);
  EXPECT_EQ("0", file.values["fileVer"]);
  EXPECT_EQ(0u, file.values.count("sha1"));
  std::string rootFile = As(alice, "/xsvr/newFile/", {{"parentId", ""}, {"name", "sub"}}).values["fileId"];
  // A clash names the item in the way, and a file clash its version.
  const struct { const char* path; Params params; std::string id; } clashes[] = {
      {"/xsvr/newFolder/", {{"parentId", ""}, {"name", "DOCS"}}, docs},
      {"/xsvr/newFile/", {{"parentId", docs}, {"name", "a.txt"}}, file.values["fileId"]},
      {"/xsvr/rename/", {{"fileId", sub}, {"name", "A.TXT"}}, file.values["fileId"]},
      {"/xsvr/move/", {{"fileId", rootFile}, {"parentId", docs}, {"name", ""}}, sub},
  };
  for (const auto& c : clashes) {
    Reply r = As(alice, c.path, c.params);
    EXPECT_EQ("targetExist", r.word) << c.path;
    EXPECT_EQ(c.id, r.values["fileId"]) << c.path;
  }
  EXPECT_EQ("0", As(alice, "/xsvr/newFile/", {{"parentId", docs}, {"name", "a.txt"}}).values["fileVer"]);
  int64_t before = Ver(alice);

  const struct { const char* path; Params params; const char* word; } refused[] = {
      {"/xsvr/newFolder/", {{"parentId", "999"}, {"name", "x"}}, "parentNotExist"},
      {"/xsvr/newFolder/", {{"parentId", file.values["fileId"]}, {"name", "x"}}, "parentNotExist"},
      {"/xsvr/newFolder/", {{"parentId", ""}, {"name", ".."}}, "clientBadParams"},
      {"/xsvr/newFolder/", {{"parentId", ""}, {"name", "a/b"}}, "clientBadParams"},
      {"/xsvr/newFile/", {{"parentId", ""}, {"name", "a\\b"}}, "clientBadParams"},
      {"/xsvr/rename/", {{"fileId", sub}, {"name", ""}}, "clientBadParams"},
      {"/xsvr/move/", {{"fileId", docs}, {"parentId", sub}, {"name", ""}}, "clientBadParams"},
      {"/xsvr/move/", {{"fileId", docs}, {"parentId", docs}, {"name", ""}}, "clientBadParams"},
      {"/xsvr/move/", {{"fileId", sub}, {"parentId", "999"}, {"name", ""}}, "parentNotExist"},
  };
  for (const auto& r : refused) EXPECT_EQ(r.word, As(alice, r.path, r.params).word) << r.path;
  EXPECT_EQ(before, Ver(alice));

  // A case-only rename and a move with a new name are fine.
  EXPECT_EQ("ok", As(alice, "/xsvr/rename/", {{"fileId", docs}, {"name", "docs"}}).word);
  EXPECT_EQ("ok", As(alice, "/xsvr/move/", {{"fileId", rootFile}, {"parentId", docs}, {"name", "moved"}}).word);
  EXPECT_EQ((std::vector<std::string>{"sub", "a.txt", "moved"}), As(alice, "/xsvr/dir/", {{"fileId", docs}}).Names());
}

// Beyond the client's own recycle-bin flow: a folder comes back with its contents
// unless its name was taken meanwhile, and the bin counts until it is emptied.
TEST_F(FsApiTest, RecycleBin) {
  std::string docs = NewFolder(alice, "", "Docs");
  std::string inner = NewFolder(alice, docs, "inner");
  FsControl(Service(), "/test/fs/item", {{"userId", alice["userId"]}, {"parentId", inner}, {"name", "r.txt"},
                                         {"size", 100}, {"sha1", std::string(40, 'b')}});
  EXPECT_EQ("ok", As(alice, "/xsvr/delete/", {{"fileId", docs}}).word);
  EXPECT_EQ("targetNotExist", As(alice, "/xsvr/delete/", {{"fileId", inner}}).word);
  EXPECT_EQ("clientBadParams", As(alice, "/xsvr/cleanRecycle/").word);  // no fileId: nothing is emptied
  Reply hits = As(alice, "/xsvr/fullTextSearch", {{"searchText", "o"}, {"searchType", "0"}});
  EXPECT_EQ("deleted", hits.items.at(0)["type"]);
  EXPECT_EQ("100", As(alice, "/xsvr/getSpace/").values["used"]);

  std::string taken = NewFolder(alice, "", "docs");
  Reply clash = As(alice, "/xsvr/recover/", {{"fileId", docs}, {"parentId", ""}});
  EXPECT_EQ("targetExist", clash.word);
  EXPECT_EQ(taken, clash.values["fileId"]);
  EXPECT_EQ("parentNotExist", As(alice, "/xsvr/recover/", {{"fileId", docs}, {"parentId", "999"}}).word);
  EXPECT_EQ("ok", As(alice, "/xsvr/recover/", {{"fileId", docs}, {"parentId", taken}}).word);
  EXPECT_EQ((std::vector<std::string>{"r.txt"}), As(alice, "/xsvr/dir/", {{"fileId", inner}}).Names());

  As(alice, "/xsvr/delete/", {{"fileId", inner}});
  As(alice, "/xsvr/delete/", {{"fileId", NewFolder(alice, "", "lone")}});
  EXPECT_EQ("ok", As(alice, "/xsvr/cleanRecycle/", {{"fileId", inner}}).word);
  EXPECT_EQ("0", As(alice, "/xsvr/getSpace/").values["used"]);
  const Params bin = {{"opVer", "0"}, {"size", "0"}};
  EXPECT_EQ((std::vector<std::string>{"lone"}), As(alice, "/xsvr/getRecycle/", bin).Names());
  EXPECT_EQ("ok", As(alice, "/xsvr/cleanRecycle/", {{"fileId", ""}}).word);
  EXPECT_TRUE(As(alice, "/xsvr/getRecycle/", bin).items.empty());
  EXPECT_EQ(2u, FsState(Service(), alice["userId"])["items"].size());  // docs and taken
}

// Beyond the client's own share lists: the versions a share moves, the rights it grants.
TEST_F(FsApiTest, SharesBothWays) {
  std::string team = NewFolder(alice, "", "Team");
  NewFolder(alice, team, "plans");
  int64_t aliceOp = Ver(alice);
  auto share = [&](const nlohmann::json& who, const std::string& to, const char* writable) {
    const Params p = {{"fileId", team}, {"sharers", to}, {"writable", writable}, {"sendMail", "false"}};
    return As(who, "/xsvr/asmShare/", p).word;
  };
  EXPECT_EQ("ok", share(alice, bob["email"], "false"));
  EXPECT_EQ(aliceOp + 1, Ver(alice));
  EXPECT_EQ(1, Ver(alice, "shareVer"));
  EXPECT_EQ(1, Ver(bob, "shareVer"));
  Reply out = As(alice, "/xsvr/asmGetAllSharedFiles/", {{"type", "out"}});
  EXPECT_EQ("1", out.items.at(0)["shared"]);
  EXPECT_EQ((std::vector<Fields>{{{"nickName", "bob"}, {"email", bob["email"]}, {"userId", bob["userId"]},
                                  {"right", "read"}}}),
            out.sharers[0]);
  EXPECT_TRUE(As(alice, "/xsvr/asmGetAllSharedFiles/", {{"type", "toMe"}}).items.empty());
  EXPECT_EQ("clientBadParams", As(bob, "/xsvr/asmGetAllSharedFiles/", {{"type", "all"}}).word);

  // Read-only: bob lists but cannot change; writable: his change lands in alice's tree.
  EXPECT_EQ((std::vector<std::string>{"plans"}), As(bob, "/xsvr/dir/", {{"fileId", team}}).Names());
  EXPECT_EQ("serverDenyReadOnly", As(bob, "/xsvr/newFolder/", {{"parentId", team}, {"name", "x"}}).word);
  EXPECT_EQ("permissionDenied", share(bob, "alice", "true"));
  EXPECT_EQ("clientBadParams", share(alice, "nobody@x", "true"));
  FsControl(Service(), "/test/fs/share", {{"fileId", team}, {"to", bob["userId"]}, {"writable", true}});
  EXPECT_EQ("read,write", As(bob, "/xsvr/asmGetAllSharedFiles/", {{"type", "toMe"}}).sharers[0][0]["right"]);
  int64_t bobShare = Ver(bob, "shareVer");
  aliceOp = Ver(alice);
  EXPECT_EQ("ok", As(bob, "/xsvr/newFolder/", {{"parentId", team}, {"name", "from bob"}}).word);
  EXPECT_EQ(aliceOp + 1, Ver(alice));
  EXPECT_EQ(bobShare + 1, Ver(bob, "shareVer"));
  EXPECT_EQ("bob", As(alice, "/xsvr/dir/", {{"fileId", team}}).items.at(1).at("modifier"));
  // Deleting the shared folder hides it from bob.
  As(alice, "/xsvr/delete/", {{"fileId", team}});
  EXPECT_TRUE(As(bob, "/xsvr/asmGetAllSharedFiles/", {{"type", "toMe"}}).items.empty());
  EXPECT_EQ("targetNotExist", As(bob, "/xsvr/dir/", {{"fileId", team}}).word);
}

TEST_F(FsApiTest, SearchMatchesNamesIgnoringCase) {
  std::string docs = NewFolder(alice, "", "Docs");
  for (const char* name : {"Report.txt", "old-report.doc", "notes"})
    As(alice, "/xsvr/newFile/", {{"parentId", docs}, {"name", name}});
  NewFolder(bob, "", "report");
  Reply hits = As(alice, "/xsvr/fullTextSearch", {{"searchText", "REPORT"}, {"searchType", "0"}});
  EXPECT_EQ((std::vector<std::string>{"Report.txt", "old-report.doc"}), hits.Names());
  EXPECT_EQ("Report.txt", hits.items[0]["digest"]);
  EXPECT_EQ("file", hits.items[0]["type"]);
  EXPECT_TRUE(As(alice, "/xsvr/fullTextSearch", {{"searchText", "%"}, {"searchType", "0"}}).items.empty());
  EXPECT_EQ("clientBadParams", As(alice, "/xsvr/fullTextSearch", {{"searchText", ""}, {"searchType", "0"}}).word);
}

// Another user's share wakes a held poll with the new share version; a poll still held
// when the service stops gets no reply, and the service ends cleanly.
TEST_F(FsApiTest, PushPollReturnsWhenAShareMovesAVersion) {
  std::string bobs = NewFolder(bob, "", "for alice");
  HttpReply woken, held;
  std::thread poll([&] { woken = Poll(alice); });
  AwaitHeldPolls(1);
  As(bob, "/xsvr/asmShare/", {{"fileId", bobs}, {"sharers", "alice"}, {"writable", "false"}, {"sendMail", "true"}});
  poll.join();
  Reply r = ParseReply(woken);
  EXPECT_EQ("ok", r.word);
  EXPECT_EQ("1", r.values["shareVer"]);
  EXPECT_EQ("0", r.values["opVer"]);

  poll = std::thread([&] { held = Poll(alice); });
  AwaitHeldPolls(1);
  EXPECT_EQ(0, Service().Stop());
  poll.join();
  EXPECT_FALSE(held.ok);
}

class FsApiHoldTest : public FsApiTest {
 protected:
  std::vector<std::string> ServiceArgs() override { return {"--push-hold-ms", "1"}; }
};

TEST_F(FsApiHoldTest, PushPollAnswersAfterTheHoldTime) {
  FsControl(Service(), "/test/fs/versions", {{"userId", alice["userId"]}, {"opVer", 41}, {"shareVer", 3000000000}});
  Reply r = ParseReply(Poll(alice));
  EXPECT_EQ("ok", r.word);
  EXPECT_EQ("41", r.values["opVer"]);
  EXPECT_EQ("3000000000", r.values["shareVer"]);
  EXPECT_EQ("localsvc", r.values["deviceId"]);  // never signed in
  EXPECT_EQ("clientNoLogin", ParseReply(Poll({{"userId", "nobody"}})).word);
}

TEST_F(FsApiTest, InjectedWordsApply) {
  // A replacing word: the handler does not run, nothing changes.
  Service().Inject(R"({"path":"/xsvr/newFolder/","word":"serverBusy"})");
  EXPECT_EQ("serverBusy", As(alice, "/xsvr/newFolder/", {{"parentId", ""}, {"name", "x"}}).word);
  EXPECT_EQ(0, Ver(alice));
  // A result word over the handler's reply: the values stay readable, the change stays.
  Service().Inject(R"({"path":"/xsvr/newFolder/","result":"targetExist"})");
  Reply r = As(alice, "/xsvr/newFolder/", {{"parentId", ""}, {"name", "x"}});
  EXPECT_EQ("targetExist", r.word);
  EXPECT_FALSE(r.values["fileId"].empty());
  EXPECT_EQ(1, Ver(alice));
  Service().Inject(R"({"path":"/xsvr/getItemInfo/","result":"clientTokenExpired"})");
  Reply info = As(alice, "/xsvr/getItemInfo/", {{"fileId", r.values["fileId"]}});
  EXPECT_EQ("clientTokenExpired", info.word);
  EXPECT_EQ("x", info.values["name"]);
  // Every request is recorded as sent.
  auto log = Service().Requests("/xsvr/newFolder/");
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ("2", log[0].Header("v"));
}

TEST_F(FsApiTest, SpaceUsedStopsAtTheLargestNumber) {
  nlohmann::json item;
  for (const char* name : {"a", "b"})
    item = FsControl(Service(), "/test/fs/item", {{"userId", alice["userId"]}, {"name", name}, {"size", 1LL << 62}});
  EXPECT_EQ("9223372036854775807", As(alice, "/xsvr/getSpace/").values["used"]);
  Params upload = {{"fileId", item["fileId"].get<std::string>()}, {"fileVer", "1"}, {"size", "1"},
                   {"sha1", std::string(40, 'a')}};
  EXPECT_EQ("overSpace", As(alice, "/xsvr/requestUpload/", upload).word);
}

TEST_F(FsApiTest, SeedingRefusesWhatTheStoreCannotHold) {
  std::string file = As(alice, "/xsvr/newFile/", {{"parentId", ""}, {"name", "f"}}).values["fileId"];
  const std::string a = alice["userId"];
  const std::pair<const char*, nlohmann::json> refused[] = {
      {"/test/fs/account", {{"user", "alice"}, {"password", "x"}}},
      {"/test/fs/account", {{"user", "u"}, {"password", "p"}, {"userId", "a/b"}}},
      {"/test/fs/account", {{"user", "u"}, {"password", "p"}, {"email", "no-at"}}},
      {"/test/fs/account", {{"user", ""}, {"password", "p"}}},
      {"/test/fs/item", {{"userId", "nobody"}, {"name", "x"}}},
      {"/test/fs/item", {{"userId", a}, {"name", ""}}},
      {"/test/fs/item", {{"userId", a}, {"name", "F"}}},
      {"/test/fs/item", {{"userId", a}, {"name", "x"}, {"parentId", file}}},
      {"/test/fs/item", {{"userId", bob["userId"]}, {"name", "x"}, {"parentId", file}}},
      {"/test/fs/item", {{"userId", a}, {"name", "x"}, {"type", "link"}}},
      {"/test/fs/share", {{"fileId", file}, {"to", alice["email"]}}},
  };
  for (const auto& [path, body] : refused)
    EXPECT_EQ(400, HttpExchange(Service().Port(), "POST", path, body.dump()).status) << path << " " << body.dump();
}

}  // namespace
