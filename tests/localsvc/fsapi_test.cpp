// The local service's file-system API over HTTP: sign-in, the item tree and its
// versions, the recycle bin, shares, search, the global version and the push long poll.
// Request bodies are written by hand; replies are read with tinyxml2, and every reply is
// checked against the service's rules (a result attribute, no empty root element).
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <map>
#include <thread>

#include "support/fsseed.h"
#include "support/localservice.h"

namespace {

using Fields = std::map<std::string, std::string>;

struct Reply {
  std::string body;
  std::string word;
  Fields values;                               // root-level values
  std::vector<Fields> items;                   // root children holding elements
  std::vector<std::vector<Fields>> sharers;    // per item, its "sharer" children
  std::string Id(size_t i) const { return items.at(i).count("fileId") ? items[i].at("fileId") : ""; }
};

Fields ChildTexts(const tinyxml2::XMLElement* e) {
  Fields f;
  for (auto* c = e->FirstChildElement(); c; c = c->NextSiblingElement())
    if (!c->FirstChildElement()) f[c->Name()] = c->GetText() ? c->GetText() : "";
  return f;
}

Reply Parse(const HttpReply& http) {
  Reply r;
  r.body = http.body;
  EXPECT_TRUE(http.ok && http.status == 200) << http.status << " " << http.body;
  tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
  if (doc.Parse(http.body.data(), http.body.size()) != tinyxml2::XML_SUCCESS || !doc.RootElement()) {
    ADD_FAILURE() << "not XML: " << http.body;
    return r;
  }
  const char* word = doc.RootElement()->Attribute("result");
  EXPECT_TRUE(word) << http.body;
  r.word = word ? word : "";
  for (auto* c = doc.RootElement()->FirstChildElement(); c; c = c->NextSiblingElement()) {
    if (c->FirstChildElement()) {
      r.items.push_back(ChildTexts(c));
      r.sharers.emplace_back();
      for (auto* s = c->FirstChildElement("sharer"); s; s = s->NextSiblingElement("sharer"))
        r.sharers.back().push_back(ChildTexts(s));
    } else {
      EXPECT_TRUE(c->GetText()) << "empty root element <" << c->Name() << "> in " << http.body;
      r.values[c->Name()] = c->GetText() ? c->GetText() : "";
    }
  }
  return r;
}

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out += c;
  }
  return out;
}

using Params = std::vector<std::pair<std::string, std::string>>;

class FsApiTest : public LocalServiceTest {
 protected:
  // Push polls hold until a version moves: a poll that ends proves a change woke it.
  std::vector<std::string> ServiceArgs() override { return {"--push-hold-ms", "0"}; }

  void SetUp() override {
    LocalServiceTest::SetUp();
    alice = FsAccount(Service(), "alice");
    bob = FsAccount(Service(), "bob");
  }

  Reply Call(const std::string& path, const Params& params, const std::string& version = "2") {
    std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\" ?><nuvra>";
    for (const auto& [k, v] : params) body += "<" + k + ">" + Escape(v) + "</" + k + ">";
    body += "</nuvra>";
    std::vector<std::string> headers = {"User-Agent:ostrel"};
    if (!version.empty()) headers.push_back("v:" + version);
    return Parse(HttpExchange(Service().Port(), "POST", path, body, headers));
  }
  // A request on behalf of a user (an account JSON with a token).
  Reply As(const nlohmann::json& who, const std::string& path, Params params = {}) {
    params.insert(params.begin(), {"token", who["token"].get<std::string>()});
    return Call(path, params);
  }
  std::string NewFolder(const nlohmann::json& who, const std::string& parent, const std::string& name) {
    Reply r = As(who, "/xsvr/newFolder/", {{"parentId", parent}, {"name", name}});
    EXPECT_EQ("ok", r.word) << r.body;
    return r.values["fileId"];
  }
  int64_t OpVer(const nlohmann::json& who) { return std::stoll(As(who, "/xsvr/getMaxVers/").values["opVer"]); }
  int64_t ShareVer(const nlohmann::json& who) { return std::stoll(As(who, "/xsvr/getMaxVers/").values["shareVer"]); }
  std::vector<std::string> Names(const Reply& r) {
    std::vector<std::string> out;
    for (const auto& item : r.items) out.push_back(item.at("name"));
    return out;
  }
  // Waits (without sleeping) until n push polls hold in the service.
  void AwaitHeldPolls(int n) {
    while (FsState(Service())["heldPolls"].get<int>() != n) std::this_thread::yield();
  }

  nlohmann::json alice, bob;
};

TEST_F(FsApiTest, SignInAndTokens) {
  FsAccount(Service(), "amp", "p&<>'\"w");
  FsControl(Service(), "/test/fs/account", {{"user", "gone"}, {"password", "x"}, {"active", false}});
  const Params good = {{"user", "amp"}, {"password", "p&<>'\"w"}, {"deviceId", "ostrel-0123|pc"},
                       {"clientName", "ostrel"}, {"clientVersion", "1.0.0.1"}};
  Reply ok = Call("/xsvr/login/", good);
  EXPECT_EQ("ok", ok.word);
  std::vector<std::string> keys;
  for (const auto& [k, v] : ok.values) keys.push_back(k);
  EXPECT_EQ((std::vector<std::string>{"email", "nickName", "token", "userId"}), keys);
  EXPECT_NE(std::string::npos, ok.values["email"].find('@'));

  struct Case {
    Params params;
    const char* word;
  } cases[] = {
      {{{"user", "amp"}, {"password", "p&<>'\"W"}, {"deviceId", "d"}}, "accountNotMatch"},
      {{{"user", "nobody"}, {"password", "x"}, {"deviceId", "d"}}, "accountNotMatch"},
      {{{"user", "gone"}, {"password", "x"}, {"deviceId", "d"}}, "accountNotActive"},
      {{{"user", "amp"}, {"password", "p&<>'\"w"}}, "clientBadParams"},
  };
  for (const auto& c : cases) {
    Reply r = Call("/xsvr/login/", c.params);
    EXPECT_EQ(c.word, r.word);
    EXPECT_TRUE(r.values.empty()) << r.body;
  }

  // A forked token works like the first; expired and unknown tokens are refused.
  Reply forked = Call("/xsvr/forkToken/", {{"token", ok.values["token"]}, {"deviceId", "d2"}, {"clientName", "ostrel"}});
  EXPECT_EQ("ok", forked.word);
  EXPECT_NE(ok.values["token"], forked.values["token"]);
  EXPECT_EQ(ok.values["userId"], forked.values["userId"]);
  EXPECT_EQ("ok", Call("/xsvr/getSpace/", {{"token", forked.values["token"]}}).word);
  std::string expired =
      FsControl(Service(), "/test/fs/token", {{"userId", ok.values["userId"]}, {"expired", true}})["token"];
  EXPECT_EQ("clientTokenExpired", Call("/xsvr/forkToken/", {{"token", expired}, {"deviceId", "d"}}).word);
  EXPECT_EQ("clientTokenExpired", Call("/xsvr/getSpace/", {{"token", expired}}).word);
  FsControl(Service(), "/test/fs/token", {{"token", forked.values["token"]}, {"expired", true}});
  EXPECT_EQ("clientTokenExpired", Call("/xsvr/dir/", {{"token", forked.values["token"]}}).word);
  EXPECT_EQ("clientNoLogin", Call("/xsvr/getSpace/", {{"token", "0123"}}).word);
  EXPECT_EQ("clientNoLogin", Call("/xsvr/getSpace/", {}).word);
}

TEST_F(FsApiTest, ReplyShapes) {
  EXPECT_EQ("<?xml version=\"1.0\" encoding=\"UTF-8\"?><nuvra result=\"ok\"><opVer>0</opVer><shareVer>0</shareVer></nuvra>",
            As(alice, "/xsvr/getMaxVers/").body);
  Reply space = As(alice, "/xsvr/getSpace/");
  EXPECT_EQ("10737418240", space.values["total"]);
  EXPECT_EQ("0", space.values["used"]);
  EXPECT_EQ("2", As(alice, "/xsvr/getGlobalVersion").values["globalVersion"]);
  EXPECT_EQ("<?xml version=\"1.0\" encoding=\"UTF-8\"?><nuvra result=\"methodVersionNotMatch\"/>",
            HttpExchange(Service().Port(), "GET", "/xsvr/").body);
  EXPECT_EQ("clientNoMethod", As(alice, "/xsvr/syncFile/").word);
  EXPECT_EQ("clientBadParams", Call("/xsvr/getSpace/", {{"token", alice["token"]}}, "").word);
  EXPECT_EQ("clientBadParams",
            Parse(HttpExchange(Service().Port(), "POST", "/xsvr/getSpace/", "<nuvra><token>", {"v:2"})).word);

  // A listing item carries every field; a big size is sent whole.
  std::string folder = NewFolder(alice, "", "Docs");
  FsControl(Service(), "/test/fs/item",
            {{"userId", alice["userId"]}, {"parentId", folder}, {"name", "big.iso"}, {"size", 5000000000},
             {"fileVer", 7}, {"sha1", std::string(40, 'a')}, {"modTime", "2024-05-01 12:00:00"}});
  Reply dir = As(alice, "/xsvr/dir/", {{"fileId", folder}});
  ASSERT_EQ(1u, dir.items.size());
  Fields item = dir.items[0];
  EXPECT_EQ("file", item["type"]);
  EXPECT_EQ(folder, item["parentId"]);
  EXPECT_EQ("big.iso", item["name"]);
  EXPECT_EQ(std::string(40, 'a'), item["sha1"]);
  EXPECT_EQ("5000000000", item["size"]);
  EXPECT_EQ("7", item["fileVer"]);
  EXPECT_EQ("2", item["opVer"]);
  EXPECT_EQ("2024-05-01 12:00:00", item["modTime"]);
  EXPECT_EQ("alice", item["modifier"]);
  EXPECT_EQ("0", item["shared"]);
  EXPECT_FALSE(item["createdTime"].empty());
  EXPECT_EQ("5000000000", As(alice, "/xsvr/getSpace/").values["used"]);
  EXPECT_EQ("targetNotExist", As(alice, "/xsvr/dir/", {{"fileId", dir.Id(0)}}).word);

  // Item information: the fields at root level; a new modification time sticks.
  EXPECT_EQ("ok", As(alice, "/xsvr/setModTime/", {{"fileId", dir.Id(0)}, {"modTime", "2025-01-02 03:04:05"}}).word);
  Reply info = As(alice, "/xsvr/getItemInfo/", {{"fileId", dir.Id(0)}});
  EXPECT_EQ("big.iso", info.values["name"]);
  EXPECT_EQ("7", info.values["fileVer"]);
  EXPECT_EQ("2025-01-02 03:04:05", info.values["modTime"]);
  EXPECT_EQ(0u, As(alice, "/xsvr/getItemInfo/", {{"fileId", folder}}).values.count("sha1"));
  EXPECT_EQ("targetNotExist", As(bob, "/xsvr/getItemInfo/", {{"fileId", folder}}).word);
}

TEST_F(FsApiTest, ChangesMoveTheOperationVersionOnceAndReadsDoNot) {
  std::string a = NewFolder(alice, "", "a");
  std::string b = NewFolder(alice, "", "b");
  int64_t start = OpVer(alice);
  const struct {
    const char* path;
    Params params;
    int moves;
    const char* word;
  } steps[] = {
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
    EXPECT_EQ(expected, OpVer(alice)) << s.path;
  }
  // The changed item carries the version of its last change; nothing was shared.
  EXPECT_EQ(std::to_string(start + 1), As(alice, "/xsvr/dir/", {{"fileId", a}}).items.at(0).at("opVer"));
  EXPECT_EQ(0, ShareVer(alice));
  EXPECT_EQ(0, OpVer(bob));
}

TEST_F(FsApiTest, NameClashesAndBadNames) {
  std::string docs = NewFolder(alice, "", "Docs");
  std::string sub = NewFolder(alice, docs, "sub");
  Reply file = As(alice, "/xsvr/newFile/", {{"parentId", docs}, {"name", "a.txt"}});
  EXPECT_EQ("ok", file.word);
  EXPECT_EQ("0", file.values["fileVer"]);
  EXPECT_EQ(0u, file.values.count("sha1"));

  Reply folderClash = As(alice, "/xsvr/newFolder/", {{"parentId", ""}, {"name", "DOCS"}});
  EXPECT_EQ("targetExist", folderClash.word);
  EXPECT_EQ(docs, folderClash.values["fileId"]);
  Reply fileClash = As(alice, "/xsvr/newFile/", {{"parentId", docs}, {"name", "a.txt"}});
  EXPECT_EQ("targetExist", fileClash.word);
  EXPECT_EQ(file.values["fileId"], fileClash.values["fileId"]);
  EXPECT_EQ("0", fileClash.values["fileVer"]);
  Reply renameClash = As(alice, "/xsvr/rename/", {{"fileId", sub}, {"name", "A.TXT"}});
  EXPECT_EQ("targetExist", renameClash.word);
  EXPECT_EQ(file.values["fileId"], renameClash.values["fileId"]);
  std::string rootFile = As(alice, "/xsvr/newFile/", {{"parentId", ""}, {"name", "sub"}}).values["fileId"];
  Reply moveClash = As(alice, "/xsvr/move/", {{"fileId", rootFile}, {"parentId", docs}, {"name", ""}});
  EXPECT_EQ("targetExist", moveClash.word);
  EXPECT_EQ(sub, moveClash.values["fileId"]);
  int64_t before = OpVer(alice);

  const struct {
    const char* path;
    Params params;
    const char* word;
  } refused[] = {
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
  EXPECT_EQ(before, OpVer(alice));

  // A case-only rename and a move with a new name are fine.
  EXPECT_EQ("ok", As(alice, "/xsvr/rename/", {{"fileId", docs}, {"name", "docs"}}).word);
  EXPECT_EQ("ok", As(alice, "/xsvr/move/", {{"fileId", rootFile}, {"parentId", docs}, {"name", "moved"}}).word);
  EXPECT_EQ((std::vector<std::string>{"sub", "a.txt", "moved"}), Names(As(alice, "/xsvr/dir/", {{"fileId", docs}})));
}

TEST_F(FsApiTest, RecycleBin) {
  std::string docs = NewFolder(alice, "", "Docs");
  std::string inner = NewFolder(alice, docs, "inner");
  FsControl(Service(), "/test/fs/item",
            {{"userId", alice["userId"]}, {"parentId", inner}, {"name", "r.txt"}, {"size", 100}, {"sha1", std::string(40, 'b')}});
  EXPECT_EQ("ok", As(alice, "/xsvr/delete/", {{"fileId", docs}}).word);
  EXPECT_TRUE(As(alice, "/xsvr/dir/", {{"fileId", ""}}).items.empty());
  EXPECT_EQ("targetNotExist", As(alice, "/xsvr/dir/", {{"fileId", inner}}).word);
  EXPECT_EQ("targetNotExist", As(alice, "/xsvr/delete/", {{"fileId", inner}}).word);
  Reply bin = As(alice, "/xsvr/getRecycle/", {{"opVer", "0"}, {"size", "50"}});
  EXPECT_EQ((std::vector<std::string>{"Docs"}), Names(bin));
  EXPECT_EQ("clientBadParams", As(alice, "/xsvr/cleanRecycle/").word);  // no fileId: nothing is emptied
  Reply hits = As(alice, "/xsvr/fullTextSearch", {{"searchText", "o"}, {"searchType", "0"}});
  ASSERT_EQ(1u, hits.items.size());
  EXPECT_EQ("deleted", hits.items[0]["type"]);
  EXPECT_EQ("100", As(alice, "/xsvr/getSpace/").values["used"]);  // the bin still counts

  // Recover brings the folder back with its contents; a name taken meanwhile refuses it.
  std::string taken = NewFolder(alice, "", "docs");
  Reply clash = As(alice, "/xsvr/recover/", {{"fileId", docs}, {"parentId", ""}});
  EXPECT_EQ("targetExist", clash.word);
  EXPECT_EQ(taken, clash.values["fileId"]);
  EXPECT_EQ("parentNotExist", As(alice, "/xsvr/recover/", {{"fileId", docs}, {"parentId", "999"}}).word);
  EXPECT_EQ("ok", As(alice, "/xsvr/recover/", {{"fileId", docs}, {"parentId", taken}}).word);
  EXPECT_EQ((std::vector<std::string>{"r.txt"}), Names(As(alice, "/xsvr/dir/", {{"fileId", inner}})));
  EXPECT_TRUE(As(alice, "/xsvr/getRecycle/", {{"opVer", "0"}, {"size", "50"}}).items.empty());
  EXPECT_EQ("targetNotExist", As(alice, "/xsvr/recover/", {{"fileId", docs}, {"parentId", ""}}).word);

  // Cleaning one entry or the whole bin removes for good.
  std::string lone = NewFolder(alice, "", "lone");
  As(alice, "/xsvr/delete/", {{"fileId", inner}});
  As(alice, "/xsvr/delete/", {{"fileId", lone}});
  EXPECT_EQ("targetNotExist", As(alice, "/xsvr/cleanRecycle/", {{"fileId", taken}}).word);
  EXPECT_EQ("ok", As(alice, "/xsvr/cleanRecycle/", {{"fileId", inner}}).word);
  EXPECT_EQ("0", As(alice, "/xsvr/getSpace/").values["used"]);
  EXPECT_EQ((std::vector<std::string>{"lone"}), Names(As(alice, "/xsvr/getRecycle/", {{"opVer", "0"}, {"size", "0"}})));
  EXPECT_EQ("ok", As(alice, "/xsvr/cleanRecycle/", {{"fileId", ""}}).word);
  EXPECT_TRUE(As(alice, "/xsvr/getRecycle/", {{"opVer", "0"}, {"size", "0"}}).items.empty());
  EXPECT_EQ(2u, FsState(Service(), alice["userId"])["items"].size());  // docs and taken
}

TEST_F(FsApiTest, SharesBothWays) {
  std::string team = NewFolder(alice, "", "Team");
  NewFolder(alice, team, "plans");
  int64_t aliceOp = OpVer(alice);
  EXPECT_EQ("ok", As(alice, "/xsvr/asmShare/",
                     {{"fileId", team}, {"sharers", bob["email"].get<std::string>()}, {"writable", "false"}, {"sendMail", "false"}})
                      .word);
  EXPECT_EQ(aliceOp + 1, OpVer(alice));
  EXPECT_EQ(1, ShareVer(alice));
  EXPECT_EQ(1, ShareVer(bob));

  const std::string aliceEmail = alice["email"], bobEmail = bob["email"];
  const std::string aliceId = alice["userId"], bobId = bob["userId"];
  Reply out = As(alice, "/xsvr/asmGetAllSharedFiles/", {{"type", "out"}});
  ASSERT_EQ(1u, out.items.size());
  EXPECT_EQ("1", out.items[0]["shared"]);
  ASSERT_EQ(1u, out.sharers[0].size());
  EXPECT_EQ((Fields{{"nickName", "bob"}, {"email", bobEmail}, {"userId", bobId}, {"right", "read"}}),
            out.sharers[0][0]);
  Reply toMe = As(bob, "/xsvr/asmGetAllSharedFiles/", {{"type", "toMe"}});
  ASSERT_EQ(1u, toMe.items.size());
  EXPECT_EQ(team, toMe.Id(0));
  EXPECT_EQ((Fields{{"nickName", "alice"}, {"email", aliceEmail}, {"userId", aliceId}, {"right", "read"}}),
            toMe.sharers[0][0]);
  EXPECT_TRUE(As(alice, "/xsvr/asmGetAllSharedFiles/", {{"type", "toMe"}}).items.empty());
  EXPECT_EQ("clientBadParams", As(bob, "/xsvr/asmGetAllSharedFiles/", {{"type", "all"}}).word);

  // Read-only: bob lists but cannot change; writable: his change lands in alice's tree.
  EXPECT_EQ((std::vector<std::string>{"plans"}), Names(As(bob, "/xsvr/dir/", {{"fileId", team}})));
  EXPECT_EQ("serverDenyReadOnly", As(bob, "/xsvr/newFolder/", {{"parentId", team}, {"name", "x"}}).word);
  EXPECT_EQ("permissionDenied",
            As(bob, "/xsvr/asmShare/", {{"fileId", team}, {"sharers", "alice"}, {"writable", "true"}, {"sendMail", "false"}}).word);
  EXPECT_EQ("clientBadParams",
            As(alice, "/xsvr/asmShare/", {{"fileId", team}, {"sharers", "nobody@x"}, {"writable", "true"}, {"sendMail", "false"}}).word);
  FsControl(Service(), "/test/fs/share", {{"fileId", team}, {"to", bob["userId"]}, {"writable", true}});
  EXPECT_EQ("read,write", As(bob, "/xsvr/asmGetAllSharedFiles/", {{"type", "toMe"}}).sharers[0][0]["right"]);
  int64_t bobShare = ShareVer(bob);
  aliceOp = OpVer(alice);
  EXPECT_EQ("ok", As(bob, "/xsvr/newFolder/", {{"parentId", team}, {"name", "from bob"}}).word);
  EXPECT_EQ(aliceOp + 1, OpVer(alice));
  EXPECT_EQ(bobShare + 1, ShareVer(bob));
  Reply listed = As(alice, "/xsvr/dir/", {{"fileId", team}});
  EXPECT_EQ("bob", listed.items.at(1).at("modifier"));
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
  EXPECT_EQ((std::vector<std::string>{"Report.txt", "old-report.doc"}), Names(hits));
  EXPECT_EQ("Report.txt", hits.items[0]["digest"]);
  EXPECT_EQ("file", hits.items[0]["type"]);
  EXPECT_TRUE(As(alice, "/xsvr/fullTextSearch", {{"searchText", "%"}, {"searchType", "0"}}).items.empty());
  EXPECT_EQ("clientBadParams", As(alice, "/xsvr/fullTextSearch", {{"searchText", ""}, {"searchType", "0"}}).word);
}

TEST_F(FsApiTest, GlobalVersionIsSelectable) {
  EXPECT_EQ("2", As(alice, "/xsvr/getGlobalVersion").values["globalVersion"]);
  FsControl(Service(), "/test/fs/global-version", {{"version", "3"}});
  EXPECT_EQ("3", As(alice, "/xsvr/getGlobalVersion").values["globalVersion"]);

  LocalService other;
  ASSERT_TRUE(other.Start({"--global-version", "3", "--account", "carol:secret"}));
  HttpReply login = HttpExchange(other.Port(), "POST", "/xsvr/login/",
                                 "<nuvra><user>carol</user><password>secret</password><deviceId>d</deviceId></nuvra>", {"v:2"});
  Reply signedIn = Parse(login);
  ASSERT_EQ("ok", signedIn.word);
  Reply version = Parse(HttpExchange(other.Port(), "POST", "/xsvr/getGlobalVersion",
                                     "<nuvra><token>" + signedIn.values["token"] + "</token></nuvra>", {"v:2"}));
  EXPECT_EQ("3", version.values["globalVersion"]);
  EXPECT_EQ(0, other.Stop());
}

TEST_F(FsApiTest, PushPollReturnsWhenAnotherClientMovesAVersion) {
  Call("/xsvr/login/", {{"user", "alice"}, {"password", "pw-alice"}, {"deviceId", "ostrel-dev|pc"}});
  std::string target = "/sync/get?uid=" + alice["userId"].get<std::string>();
  // Another client's change (seeded) moves the operation version.
  HttpReply first;
  std::thread poll([&] { first = HttpExchange(Service().Port(), "GET", target, "", {"v:2"}); });
  AwaitHeldPolls(1);
  FsControl(Service(), "/test/fs/item", {{"userId", alice["userId"]}, {"name", "x.txt"}});
  poll.join();
  Reply r = Parse(first);
  EXPECT_EQ("ok", r.word);
  EXPECT_EQ("1", r.values["opVer"]);
  EXPECT_EQ("0", r.values["shareVer"]);
  EXPECT_EQ("ostrel-dev|pc", r.values["deviceId"]);

  // A share made by bob moves alice's share version.
  std::string bobs = NewFolder(bob, "", "for alice");
  HttpReply second;
  poll = std::thread([&] { second = HttpExchange(Service().Port(), "GET", target, "", {"v:2"}); });
  AwaitHeldPolls(1);
  As(bob, "/xsvr/asmShare/", {{"fileId", bobs}, {"sharers", "alice"}, {"writable", "false"}, {"sendMail", "true"}});
  poll.join();
  EXPECT_EQ("1", Parse(second).values["shareVer"]);

  // A poll that holds when the service stops gets no reply, and the service ends cleanly.
  HttpReply third;
  poll = std::thread([&] { third = HttpExchange(Service().Port(), "GET", target, "", {"v:2"}); });
  AwaitHeldPolls(1);
  EXPECT_EQ(0, Service().Stop());
  poll.join();
  EXPECT_FALSE(third.ok);
}

class FsApiHoldTest : public FsApiTest {
 protected:
  std::vector<std::string> ServiceArgs() override { return {"--push-hold-ms", "1"}; }
};

TEST_F(FsApiHoldTest, PushPollAnswersAfterTheHoldTime) {
  FsControl(Service(), "/test/fs/versions", {{"userId", alice["userId"]}, {"opVer", 41}, {"shareVer", 3000000000}});
  Reply r = Parse(HttpExchange(Service().Port(), "GET", "/sync/get?uid=" + alice["userId"].get<std::string>(), "", {"v:2"}));
  EXPECT_EQ("ok", r.word);
  EXPECT_EQ("41", r.values["opVer"]);
  EXPECT_EQ("3000000000", r.values["shareVer"]);
  EXPECT_EQ("localsvc", r.values["deviceId"]);  // never signed in
  EXPECT_EQ("clientNoLogin", Parse(HttpExchange(Service().Port(), "GET", "/sync/get?uid=nobody", "", {"v:2"})).word);
}

TEST_F(FsApiTest, InjectedWordsApply) {
  // A replacing word: the handler does not run, nothing changes.
  Service().Inject(R"({"path":"/xsvr/newFolder/","word":"serverBusy"})");
  EXPECT_EQ("serverBusy", As(alice, "/xsvr/newFolder/", {{"parentId", ""}, {"name", "x"}}).word);
  EXPECT_EQ(0, OpVer(alice));
  // A result word over the handler's reply: the values stay readable, the change stays.
  Service().Inject(R"({"path":"/xsvr/newFolder/","result":"targetExist"})");
  Reply r = As(alice, "/xsvr/newFolder/", {{"parentId", ""}, {"name", "x"}});
  EXPECT_EQ("targetExist", r.word);
  EXPECT_FALSE(r.values["fileId"].empty());
  EXPECT_EQ(1, OpVer(alice));
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
  for (const char* bad : {R"({"user":"alice","password":"x"})", R"({"user":"u","password":"p","userId":"a/b"})",
                          R"({"user":"u","password":"p","email":"no-at"})", R"({"user":"","password":"p"})"}) {
    EXPECT_EQ(400, HttpExchange(Service().Port(), "POST", "/test/fs/account", bad).status) << bad;
  }
  std::string file = As(alice, "/xsvr/newFile/", {{"parentId", ""}, {"name", "f"}}).values["fileId"];
  for (const nlohmann::json& bad : std::vector<nlohmann::json>{
           {{"userId", "nobody"}, {"name", "x"}},
           {{"userId", alice["userId"]}, {"name", ""}},
           {{"userId", alice["userId"]}, {"name", "F"}},
           {{"userId", alice["userId"]}, {"name", "x"}, {"parentId", file}},
           {{"userId", bob["userId"]}, {"name", "x"}, {"parentId", file}},
           {{"userId", alice["userId"]}, {"name", "x"}, {"type", "link"}}}) {
    EXPECT_EQ(400, HttpExchange(Service().Port(), "POST", "/test/fs/item", bad.dump()).status) << bad.dump();
  }
  EXPECT_EQ(400, HttpExchange(Service().Port(), "POST", "/test/fs/share",
                              nlohmann::json{{"fileId", file}, {"to", alice["email"]}}.dump()).status);
}

}  // namespace
