// The local service's own rules of its file-system API, which the client's flows
// against it cannot show: who may do what (accounts, tokens, shared folders), which
// requests move the users' versions (a change once, a read or a refusal never), and
// the clashes and bad names it refuses. The flows themselves are the client's tests.
#include <array>
#include <functional>
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
  Reply As(const nlohmann::json& who, const std::string& path, const Params& params = {}) {
    return CallApi(Service(), path, params, "2", who);
  }
  std::string New(const char* what, const std::string& parent, const std::string& name) {
    Reply r = As(alice, std::string("/xsvr/") + what + "/", {{"parentId", parent}, {"name", name}});
    EXPECT_EQ("ok", r.word) << r.body;
    return r.values["fileId"];
  }
  int64_t Ver(const nlohmann::json& who, const char* which = "opVer") {
    return std::stoll(As(who, "/xsvr/getMaxVers/").values[which]);
  }

  nlohmann::json alice, bob;
};

// A reply's root values, its item count as "items", item fields as "<i>.<name>" and
// their sharers' fields as "<i>.sharer.<j>.<name>".
Fields Flat(const Reply& r) {
  Fields f = r.values;
  f["items"] = std::to_string(r.items.size());
  for (size_t i = 0; i < r.items.size(); ++i) {
    for (const auto& [k, v] : r.items[i]) f[std::to_string(i) + "." + k] = v;
    for (size_t j = 0; j < r.sharers[i].size(); ++j)
      for (const auto& [k, v] : r.sharers[i][j]) f[std::to_string(i) + ".sharer." + std::to_string(j) + "." + k] = v;
  }
  return f;
}

TEST_F(FsApiTest, RightsVersionMovesAndClashes) {
  const nlohmann::json amp = FsAccount(Service(), "amp", "p&<>'\"w");
  FsControl(Service(), "/test/fs/account", {{"user", "gone"}, {"password", "x"}, {"active", false}});
  const nlohmann::json expired = FsControl(Service(), "/test/fs/token", {{"userId", alice["userId"]}, {"expired", true}});
  const nlohmann::json unknown = {{"token", "0123"}};
  const std::string docs = New("newFolder", "", "Docs"), sub = New("newFolder", docs, "sub");
  const std::string file = New("newFile", docs, "a.txt"), rootFile = New("newFile", "", "sub");
  const std::string b = New("newFolder", "", "b"), keep = New("newFolder", "", "keep");
  const std::string old = New("newFolder", "", "Old"), inner = New("newFolder", old, "inner");
  FsControl(Service(), "/test/fs/item", {{"userId", alice["userId"]}, {"parentId", inner}, {"name", "r.txt"},
                                         {"size", 100}, {"sha1", std::string(40, 'b')}});
  const std::string team = New("newFolder", "", "Team");
  New("newFolder", team, "plans");
  const std::string next = std::to_string(Ver(alice) + 1);
  const std::string bobEmail = bob["email"];
  const Params login = {{"user", "amp"}, {"password", "p&<>'\"w"}, {"deviceId", "ostrel-0123|pc"},
                        {"clientName", "ostrel"}, {"clientVersion", "1.0.0.1"}};
  auto share = [](const std::string& id, const std::string& to, const char* writable) {
    return Params{{"fileId", id}, {"sharers", to}, {"writable", writable}, {"sendMail", "false"}};
  };

  struct Row {
    const nlohmann::json* who;  // null: no token
    const char* path;
    Params params;
    const char* word;
    std::array<int, 4> moves;  // of alice's opVer and shareVer, then bob's
    Fields values;             // among Flat(reply); a refusal without any has none at all
    std::function<void()> before = nullptr;
  } rows[] = {
      // Accounts and tokens.
      {nullptr, "/xsvr/login/", login, "ok", {}, {{"userId", amp["userId"]}}},
      {nullptr, "/xsvr/login/", {{"user", "amp"}, {"password", "p&<>'\"W"}, {"deviceId", "d"}}, "accountNotMatch", {}, {}},
      {nullptr, "/xsvr/login/", {{"user", "nobody"}, {"password", "x"}, {"deviceId", "d"}}, "accountNotMatch", {}, {}},
      {nullptr, "/xsvr/login/", {{"user", "gone"}, {"password", "x"}, {"deviceId", "d"}}, "accountNotActive", {}, {}},
      {nullptr, "/xsvr/login/", {{"user", "amp"}, {"password", "p&<>'\"w"}}, "clientBadParams", {}, {}},
      {&expired, "/xsvr/forkToken/", {{"deviceId", "d"}}, "clientTokenExpired", {}, {}},
      {&expired, "/xsvr/getSpace/", {}, "clientTokenExpired", {}, {}},
      {&unknown, "/xsvr/getSpace/", {}, "clientNoLogin", {}, {}},
      {nullptr, "/xsvr/getSpace/", {}, "clientNoLogin", {}, {}},
      {&alice, "/xsvr/syncFile/", {}, "clientNoMethod", {}, {}},
      {&bob, "/xsvr/getItemInfo/", {{"fileId", docs}}, "targetNotExist", {}, {}},
      // Reads move nothing; a change moves the owner's opVer once, and its item carries it.
      {&alice, "/xsvr/getItemInfo/", {{"fileId", docs}}, "ok", {}, {{"name", "Docs"}}},
      {&alice, "/xsvr/getRecycle/", {{"opVer", "0"}, {"size", "100"}}, "ok", {}, {}},
      {&alice, "/xsvr/fullTextSearch", {{"searchText", "a"}, {"searchType", "0"}}, "ok", {}, {}},
      {&alice, "/xsvr/asmGetAllSharedFiles/", {{"type", "out"}}, "ok", {}, {{"items", "0"}}},
      {&alice, "/xsvr/newFile/", {{"parentId", sub}, {"name", "f.txt"}}, "ok", {1, 0, 0, 0}, {{"fileVer", "0"}}},
      {&alice, "/xsvr/dir/", {{"fileId", sub}}, "ok", {}, {{"0.opVer", next}}},
      {&alice, "/xsvr/rename/", {{"fileId", b}, {"name", "B"}}, "ok", {1, 0, 0, 0}, {}},
      {&alice, "/xsvr/rename/", {{"fileId", b}, {"name", "B"}}, "ok", {}, {}},
      {&alice, "/xsvr/move/", {{"fileId", b}, {"parentId", docs}, {"name", ""}}, "ok", {1, 0, 0, 0}, {}},
      {&alice, "/xsvr/setModTime/", {{"fileId", b}, {"modTime", "2024-01-01 00:00:00"}}, "ok", {1, 0, 0, 0}, {}},
      {&alice, "/xsvr/delete/", {{"fileId", b}}, "ok", {1, 0, 0, 0}, {}},
      {&alice, "/xsvr/recover/", {{"fileId", b}, {"parentId", ""}}, "ok", {1, 0, 0, 0}, {}},
      {&alice, "/xsvr/deleteEx/", {{"fileId", b}}, "ok", {1, 0, 0, 0}, {}},
      {&alice, "/xsvr/cleanRecycle/", {{"fileId", ""}}, "ok", {1, 0, 0, 0}, {}},
      {&alice, "/xsvr/cleanRecycle/", {{"fileId", ""}}, "ok", {}, {}},
      {&alice, "/xsvr/rename/", {{"fileId", "999"}, {"name", "x"}}, "targetNotExist", {}, {}},
      // A clash names the item in the way (a file also its version); names ignore case.
      {&alice, "/xsvr/newFolder/", {{"parentId", ""}, {"name", "DOCS"}}, "targetExist", {}, {{"fileId", docs}}},
      {&alice, "/xsvr/newFile/", {{"parentId", docs}, {"name", "a.txt"}}, "targetExist", {},
       {{"fileId", file}, {"fileVer", "0"}}},
      {&alice, "/xsvr/rename/", {{"fileId", sub}, {"name", "A.TXT"}}, "targetExist", {}, {{"fileId", file}}},
      {&alice, "/xsvr/move/", {{"fileId", rootFile}, {"parentId", docs}, {"name", ""}}, "targetExist", {},
       {{"fileId", sub}}},
      {&alice, "/xsvr/newFolder/", {{"parentId", "999"}, {"name", "x"}}, "parentNotExist", {}, {}},
      {&alice, "/xsvr/newFolder/", {{"parentId", file}, {"name", "x"}}, "parentNotExist", {}, {}},
      {&alice, "/xsvr/newFolder/", {{"parentId", ""}, {"name", ".."}}, "clientBadParams", {}, {}},
      {&alice, "/xsvr/newFolder/", {{"parentId", ""}, {"name", "a/b"}}, "clientBadParams", {}, {}},
      {&alice, "/xsvr/newFile/", {{"parentId", ""}, {"name", "a\\b"}}, "clientBadParams", {}, {}},
      {&alice, "/xsvr/rename/", {{"fileId", sub}, {"name", ""}}, "clientBadParams", {}, {}},
      {&alice, "/xsvr/move/", {{"fileId", docs}, {"parentId", sub}, {"name", ""}}, "clientBadParams", {}, {}},
      {&alice, "/xsvr/move/", {{"fileId", docs}, {"parentId", docs}, {"name", ""}}, "clientBadParams", {}, {}},
      {&alice, "/xsvr/move/", {{"fileId", sub}, {"parentId", "999"}, {"name", ""}}, "parentNotExist", {}, {}},
      {&alice, "/xsvr/rename/", {{"fileId", docs}, {"name", "docs"}}, "ok", {1, 0, 0, 0}, {}},
      {&alice, "/xsvr/move/", {{"fileId", rootFile}, {"parentId", docs}, {"name", "moved"}}, "ok", {1, 0, 0, 0}, {}},
      // The recycle bin: a folder goes with its contents, which still count, and comes
      // back unless its name was taken meanwhile.
      {&alice, "/xsvr/delete/", {{"fileId", old}}, "ok", {1, 0, 0, 0}, {}},
      {&alice, "/xsvr/delete/", {{"fileId", inner}}, "targetNotExist", {}, {}},
      {&alice, "/xsvr/cleanRecycle/", {}, "clientBadParams", {}, {}},
      {&alice, "/xsvr/getSpace/", {}, "ok", {}, {{"used", "100"}}},
      {&alice, "/xsvr/rename/", {{"fileId", keep}, {"name", "old"}}, "ok", {1, 0, 0, 0}, {}},
      {&alice, "/xsvr/recover/", {{"fileId", old}, {"parentId", ""}}, "targetExist", {}, {{"fileId", keep}}},
      {&alice, "/xsvr/recover/", {{"fileId", old}, {"parentId", "999"}}, "parentNotExist", {}, {}},
      {&alice, "/xsvr/recover/", {{"fileId", old}, {"parentId", keep}}, "ok", {1, 0, 0, 0}, {}},
      {&alice, "/xsvr/dir/", {{"fileId", inner}}, "ok", {}, {{"items", "1"}, {"0.name", "r.txt"}}},
      // Shares: a share moves the owner's opVer and both share versions; read-only
      // lets the other list but not change; a writable share's change lands in the
      // owner's tree; deleting the folder hides it.
      {&alice, "/xsvr/asmShare/", share(team, bobEmail, "false"), "ok", {1, 1, 0, 1}, {}},
      {&alice, "/xsvr/asmGetAllSharedFiles/", {{"type", "out"}}, "ok", {},
       {{"items", "1"}, {"0.shared", "1"}, {"0.sharer.0.nickName", "bob"}, {"0.sharer.0.email", bobEmail},
        {"0.sharer.0.userId", bob["userId"]}, {"0.sharer.0.right", "read"}}},
      {&alice, "/xsvr/asmGetAllSharedFiles/", {{"type", "toMe"}}, "ok", {}, {{"items", "0"}}},
      {&bob, "/xsvr/asmGetAllSharedFiles/", {{"type", "all"}}, "clientBadParams", {}, {}},
      {&bob, "/xsvr/dir/", {{"fileId", team}}, "ok", {}, {{"items", "1"}, {"0.name", "plans"}}},
      {&bob, "/xsvr/newFolder/", {{"parentId", team}, {"name", "x"}}, "serverDenyReadOnly", {}, {}},
      {&bob, "/xsvr/asmShare/", share(team, "alice", "true"), "permissionDenied", {}, {}},
      {&alice, "/xsvr/asmShare/", share(team, "nobody@x", "true"), "clientBadParams", {}, {}},
      {&bob, "/xsvr/asmGetAllSharedFiles/", {{"type", "toMe"}}, "ok", {}, {{"0.sharer.0.right", "read,write"}},
       [&] { FsControl(Service(), "/test/fs/share", {{"fileId", team}, {"to", bob["userId"]}, {"writable", true}}); }},
      {&bob, "/xsvr/newFolder/", {{"parentId", team}, {"name", "from bob"}}, "ok", {1, 1, 0, 1}, {}},
      {&alice, "/xsvr/dir/", {{"fileId", team}}, "ok", {}, {{"items", "2"}, {"1.modifier", "bob"}}},
      {&alice, "/xsvr/delete/", {{"fileId", team}}, "ok", {1, 1, 0, 1}, {}},
      {&bob, "/xsvr/asmGetAllSharedFiles/", {{"type", "toMe"}}, "ok", {}, {{"items", "0"}}},
      {&bob, "/xsvr/dir/", {{"fileId", team}}, "targetNotExist", {}, {}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.path) + " " + r.word + " (row " + std::to_string(&r - rows) + ")");
    if (r.before) r.before();
    const int64_t before[4] = {Ver(alice), Ver(alice, "shareVer"), Ver(bob), Ver(bob, "shareVer")};
    const Reply reply = r.who ? As(*r.who, r.path, r.params) : CallApi(Service(), r.path, r.params);
    EXPECT_EQ(r.word, reply.word) << reply.body;
    const Fields flat = Flat(reply);
    for (const auto& [k, v] : r.values) EXPECT_EQ(v, flat.count(k) ? flat.at(k) : "(none)") << k;
    if (r.values.empty() && reply.word != "ok") {
      EXPECT_TRUE(reply.values.empty() && reply.items.empty()) << reply.body;
    }
    const int64_t after[4] = {Ver(alice), Ver(alice, "shareVer"), Ver(bob), Ver(bob, "shareVer")};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(r.moves[i], after[i] - before[i]) << "version " << i;
  }
  EXPECT_EQ("clientBadParams", CallApi(Service(), "/xsvr/getSpace/", {{"token", alice["token"]}}, "").word);
  EXPECT_EQ("clientBadParams",
            ParseReply(HttpExchange(Service().Port(), "POST", "/xsvr/getSpace/", "<nuvra><token>", {"v:2"})).word);
}

// Another user's share wakes a held poll with the new share version; a poll still held
// when the service stops gets no reply, and the service ends cleanly.
TEST_F(FsApiTest, PushPollReturnsWhenAShareMovesAVersion) {
  const std::string bobs = As(bob, "/xsvr/newFolder/", {{"parentId", ""}, {"name", "for alice"}}).values["fileId"];
  const std::string uid = alice["userId"];
  HttpReply woken, held;
  for (HttpReply* reply : {&woken, &held}) {
    std::thread poll([&] { *reply = HttpExchange(Service().Port(), "GET", "/sync/get?uid=" + uid, "", {"v:2"}); });
    while (FsState(Service())["heldPolls"].get<int>() != 1) std::this_thread::yield();
    if (reply == &woken)
      As(bob, "/xsvr/asmShare/", {{"fileId", bobs}, {"sharers", "alice"}, {"writable", "false"}, {"sendMail", "true"}});
    else
      EXPECT_EQ(0, Service().Stop());
    poll.join();
  }
  Reply r = ParseReply(woken);
  EXPECT_EQ("ok", r.word);
  EXPECT_EQ("1", r.values["shareVer"]);
  EXPECT_EQ("0", r.values["opVer"]);
  EXPECT_FALSE(held.ok);
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

}  // namespace
