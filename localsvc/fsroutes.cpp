// The storage service's file-system API on the API root, and the push long poll.
//
// Every /xsvr/ request but the proxy check is a POST whose body is an XML document of
// parameters (xmlmsg.h) and whose header "v" is 2 or 3; every reply is HTTP 200 with an
// XML reply whose root attribute "result" holds the word. A body that is not XML, a
// missing "v" or a missing parameter answers clientBadParams; a token that is unknown
// answers clientNoLogin, an expired one clientTokenExpired. An unknown /xsvr/ path
// answers clientNoMethod.
//
//   GET  /xsvr/                        proxy check: always methodVersionNotMatch
//   POST /xsvr/login/                  user, password, deviceId, clientName, clientVersion
//                                      -> userId, token, email, nickName
//   POST /xsvr/forkToken/              token, deviceId, clientName -> as login
//   POST /xsvr/getSpace/               token -> total, used
//   POST /xsvr/getMaxVers/             token -> opVer, shareVer
//   POST /xsvr/getGlobalVersion        token -> globalVersion
//   POST /xsvr/dir/                    token, fileId ("" the root) -> items
//   POST /xsvr/getRecycle/             token, opVer, size (both ignored) -> items
//   POST /xsvr/cleanRecycle/           token, fileId ("" the whole bin; required)
//   POST /xsvr/recover/                token, fileId, parentId ("" where it was)
//   POST /xsvr/asmGetAllSharedFiles/   token, type (out | toMe) -> items with sharers
//   POST /xsvr/delete/, /xsvr/deleteEx/  token, fileId
//   POST /xsvr/rename/                 token, fileId, name
//   POST /xsvr/newFolder/              token, parentId, name -> fileId
//   POST /xsvr/move/                   token, fileId, parentId, name ("" keeps it)
//   POST /xsvr/newFile/                token, parentId, name -> fileId, fileVer, sha1
//   POST /xsvr/fullTextSearch          token, searchText, searchType (ignored) -> items
//                                      with digest (names only; no contents yet)
//   POST /xsvr/getItemInfo/            token, fileId -> the item's fields
//   POST /xsvr/asmShare/               token, fileId, sharers, writable, sendMail
//   POST /xsvr/setModTime/             token, fileId, modTime
//   GET  /sync/get?uid=U               push: holds until U's opVer or shareVer moves or
//                                      the hold time passes -> opVer, shareVer, deviceId
//
// A targetExist answer still carries the item that holds the name: fileId, fileVer and
// sha1 (newFile's reply values). Values left empty are not sent.
#include <httplib.h>

#include <chrono>
#include <map>
#include <sstream>

#include "connection.h"
#include "service.h"
#include "words.h"
#include "xmlmsg.h"

namespace localsvc {
namespace {

std::vector<std::string> SplitCommas(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream in(text);
  std::string piece;
  while (std::getline(in, piece, ','))
    if (!piece.empty()) out.push_back(piece);
  return out;
}

void Clash(XmlReply& reply, const ItemView& item) {
  reply.Value("fileId", item.fileId);
  reply.Value("fileVer", item.fileVer);
  reply.Value("sha1", item.sha1);
}

}  // namespace

void Service::AddFsRoutes() {
  // The handlers of this file need the parameters and the user alone.
  using FsFn = std::function<void(const Params&, const std::string& userId, XmlReply&)>;
  auto api = [this](const std::string& path, std::vector<const char*> required, bool needsToken, FsFn fn) {
    Api(path, std::move(required), needsToken,
        [fn](const Params& p, const std::string& user, const httplib::Request&, XmlReply& reply) { fn(p, user, reply); });
  };
  ItemStore& store = m_store;

  Get("/xsvr/", [](const httplib::Request&, const RecordedRequest&, httplib::Response& res) {
    res.set_content(XmlReply(words::kMethodVersionNotMatch).Text(), kXmlType);
  });

  auto session = [](XmlReply& reply, const std::string& word, const Session& s) {
    reply.SetWord(word);
    if (word != words::kOk) return;
    reply.Value("userId", s.userId);
    reply.Value("token", s.token);
    reply.Value("email", s.email);
    reply.Value("nickName", s.nickName);
  };
  api("/xsvr/login/", {"user", "password", "deviceId"}, false,
      [&store, session](const Params& p, const std::string&, XmlReply& reply) {
        Session s;
        session(reply, store.SignIn(Param(p, "user"), Param(p, "password"), Param(p, "deviceId"), &s), s);
      });
  api("/xsvr/forkToken/", {"token"}, false, [&store, session](const Params& p, const std::string&, XmlReply& reply) {
    Session s;
    session(reply, store.ForkToken(Param(p, "token"), Param(p, "deviceId"), &s), s);
  });

  api("/xsvr/getSpace/", {}, true, [&store](const Params&, const std::string& user, XmlReply& reply) {
    int64_t used = 0, total = 0;
    store.GetSpace(user, &used, &total);
    reply.Value("total", total);
    reply.Value("used", used);
  });
  api("/xsvr/getMaxVers/", {}, true, [&store](const Params&, const std::string& user, XmlReply& reply) {
    Versions v = store.GetVersions(user);
    reply.Value("opVer", v.opVer);
    reply.Value("shareVer", v.shareVer);
  });
  api("/xsvr/getGlobalVersion", {}, true, [&store](const Params&, const std::string&, XmlReply& reply) {
    reply.Value("globalVersion", store.GlobalVersion());
  });

  auto items = [](XmlReply& reply, const std::vector<ItemView>& list) {
    for (const auto& item : list) reply.Item(item);
  };
  api("/xsvr/dir/", {}, true, [&store, items](const Params& p, const std::string& user, XmlReply& reply) {
    std::vector<ItemView> list;
    reply.SetWord(store.List(user, Param(p, "fileId"), &list));
    items(reply, list);
  });
  api("/xsvr/getRecycle/", {}, true, [&store, items](const Params&, const std::string& user, XmlReply& reply) {
    std::vector<ItemView> list;
    store.Recycle(user, &list);
    items(reply, list);
  });
  api("/xsvr/cleanRecycle/", {"fileId"}, true, [&store](const Params& p, const std::string& user, XmlReply& reply) {
    reply.SetWord(store.CleanRecycle(user, Param(p, "fileId")));
  });
  api("/xsvr/recover/", {"fileId"}, true, [&store](const Params& p, const std::string& user, XmlReply& reply) {
    ItemView clash;
    std::string word = store.Recover(user, Param(p, "fileId"), Param(p, "parentId"), &clash);
    reply.SetWord(word);
    if (word == words::kTargetExist) Clash(reply, clash);
  });
  api("/xsvr/asmGetAllSharedFiles/", {"type"}, true,
      [&store, items](const Params& p, const std::string& user, XmlReply& reply) {
        std::vector<ItemView> list;
        std::string type = Param(p, "type");
        if (type == "out")
          store.SharedOut(user, &list);
        else if (type == "toMe")
          store.SharedToMe(user, &list);
        else
          reply.SetWord(words::kClientBadParams);
        items(reply, list);
      });

  auto remove = [&store](const Params& p, const std::string& user, XmlReply& reply) {
    reply.SetWord(store.Delete(user, Param(p, "fileId")));
  };
  api("/xsvr/delete/", {"fileId"}, true, remove);
  api("/xsvr/deleteEx/", {"fileId"}, true, remove);
  api("/xsvr/rename/", {"fileId", "name"}, true, [&store](const Params& p, const std::string& user, XmlReply& reply) {
    ItemView clash;
    std::string word = store.Rename(user, Param(p, "fileId"), Param(p, "name"), &clash);
    reply.SetWord(word);
    if (word == words::kTargetExist) Clash(reply, clash);
  });
  api("/xsvr/newFolder/", {"name"}, true, [&store](const Params& p, const std::string& user, XmlReply& reply) {
    ItemView item;
    std::string word = store.NewFolder(user, Param(p, "parentId"), Param(p, "name"), &item);
    reply.SetWord(word);
    if (word == words::kOk)
      reply.Value("fileId", item.fileId);
    else if (word == words::kTargetExist)
      Clash(reply, item);
  });
  api("/xsvr/move/", {"fileId", "parentId"}, true,
      [&store](const Params& p, const std::string& user, XmlReply& reply) {
        ItemView clash;
        std::string word = store.Move(user, Param(p, "fileId"), Param(p, "parentId"), Param(p, "name"), &clash);
        reply.SetWord(word);
        if (word == words::kTargetExist) Clash(reply, clash);
      });
  api("/xsvr/newFile/", {"name"}, true, [&store](const Params& p, const std::string& user, XmlReply& reply) {
    ItemView item;
    std::string word = store.NewFile(user, Param(p, "parentId"), Param(p, "name"), &item);
    reply.SetWord(word);
    if (word == words::kOk || word == words::kTargetExist) Clash(reply, item);
  });
  api("/xsvr/fullTextSearch", {"searchText"}, true,
      [&store](const Params& p, const std::string& user, XmlReply& reply) {
        std::string text = Param(p, "searchText");
        if (text.empty()) {
          reply.SetWord(words::kClientBadParams);
          return;
        }
        std::vector<ItemView> list;
        store.Search(user, text, &list);
        for (const auto& item : list) reply.Item(item);
      });
  api("/xsvr/getItemInfo/", {"fileId"}, true, [&store](const Params& p, const std::string& user, XmlReply& reply) {
    ItemView item;
    std::string word = store.ItemInfo(user, Param(p, "fileId"), &item);
    reply.SetWord(word);
    if (word == words::kOk) reply.Fields(item);
  });
  api("/xsvr/asmShare/", {"fileId", "sharers"}, true,
      [&store](const Params& p, const std::string& user, XmlReply& reply) {
        reply.SetWord(
            store.Share(user, Param(p, "fileId"), SplitCommas(Param(p, "sharers")), Param(p, "writable") == "true"));
      });
  api("/xsvr/setModTime/", {"fileId", "modTime"}, true,
      [&store](const Params& p, const std::string& user, XmlReply& reply) {
        reply.SetWord(store.SetModTime(user, Param(p, "fileId"), Param(p, "modTime")));
      });

  Post("/xsvr/.*", [](const httplib::Request&, const RecordedRequest&, httplib::Response& res) {
    res.set_content(XmlReply(words::kClientNoMethod).Text(), kXmlType);
  });

  auto hold = std::chrono::milliseconds(m_options.pushHoldMs);
  Get("/sync/get", [&store, hold](const httplib::Request& req, const RecordedRequest& rec, httplib::Response& res) {
    PollOutcome out = store.WaitForChange(QueryValue(rec.query, "uid", ""), hold);
    if (out.stopped) {
      ShutdownConnection(FindConnectionSocket(req));
      res.status = 500;  // never reaches the client
      return;
    }
    XmlReply reply(out.word);
    if (out.word == words::kOk) {
      reply.Value("opVer", out.versions.opVer);
      reply.Value("shareVer", out.versions.shareVer);
      reply.Value("deviceId", out.deviceId);
    }
    res.set_content(reply.Text(), kXmlType);
  });
}

}  // namespace localsvc
