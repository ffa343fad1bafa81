// Control endpoints that seed and inspect the file-system state, for tests that need an
// account, items or shares without signing in, or that act as another client (every
// change made here moves versions and wakes push polls like a change through the API).
// They are neither recorded nor subject to faults. Bodies and replies are JSON; a
// refused request answers 400 with {"error": "..."}. Versions are whole numbers from 0
// to 2^62.
//
//   POST /test/fs/account   {"user", "password", "userId"?, "email"?, "nickName"?,
//                            "active"?, "total"?, "opVer"?, "shareVer"?}
//                           -> {"userId", "token", "email", "nickName"}
//   POST /test/fs/token     {"userId", "expired"?} -> {"token"}: a new token;
//                           {"token", "expired"} -> {}: marks a token expired or valid
//   POST /test/fs/item      {"userId", "parentId"?, "name", "type"? ("file" | "folder"),
//                            "size"?, "fileVer"?, "sha1"?, "createdTime"?, "modTime"?,
//                            "modifier"?, "deleted"?} -> {"fileId", "opVer"}
//                           (any non-empty name; a file of size 0 gets the SHA-1 of no bytes)
//   POST /test/fs/share     {"fileId", "to" (email, user name or user id), "writable"?} -> {}
//   POST /test/fs/versions  {"userId", "opVer"?, "shareVer"?} -> {"opVer", "shareVer"}
//   POST /test/fs/global-version  {"version"} -> {}
//   GET  /test/fs/state?userId=U  -> {"heldPolls", and with a user "opVer", "shareVer",
//                            "items": every item U owns, bin included, with "deleted"}
#include <httplib.h>

#include <nlohmann/json.hpp>

#include "bounds.h"
#include "service.h"

namespace localsvc {
namespace {

using nlohmann::json;

json ToJson(const ItemView& item) {
  return json{{"type", item.type},         {"fileId", item.fileId},   {"parentId", item.parentId},
              {"name", item.name},         {"sha1", item.sha1},       {"size", item.size},
              {"fileVer", item.fileVer},   {"opVer", item.opVer},     {"createdTime", item.createdTime},
              {"modTime", item.modTime},   {"modifier", item.modifier}, {"shared", item.shared},
              {"deleted", item.deleted}};
}

// A seeded version: a whole number from 0 to kLargestVersion, else 400.
int64_t VersionAt(const json& in, const char* key, int64_t def) {
  int64_t v = 0;
  std::string error;
  Require(JsonWholeAt(in, key, def, 0, kLargestVersion, &v, &error), error);
  return v;
}

}  // namespace

void Service::AddSeedRoutes() {
  ItemStore& store = m_store;

  Control("/test/fs/account", [&store](const json& in) {
    Account a;
    a.login = in.value("user", "");
    a.password = in.value("password", "");
    a.userId = in.value("userId", "");
    a.email = in.value("email", "");
    a.nickName = in.value("nickName", "");
    a.active = in.value("active", true);
    a.total = in.value("total", a.total);
    a.opVer = VersionAt(in, "opVer", 0);
    a.shareVer = VersionAt(in, "shareVer", 0);
    Session s;
    std::string error;
    Require(store.AddAccount(a, &s, &error), error);
    return json{{"userId", s.userId}, {"token", s.token}, {"email", s.email}, {"nickName", s.nickName}};
  });

  Control("/test/fs/token", [&store](const json& in) {
    if (in.contains("token")) {
      Require(store.SetTokenExpired(in["token"].get<std::string>(), in.value("expired", true)), "no such token");
      return json::object();
    }
    std::string token, error;
    Require(store.IssueToken(in.value("userId", ""), in.value("expired", false), &token, &error), error);
    return json{{"token", token}};
  });

  Control("/test/fs/item", [&store](const json& in) {
    NewItem spec;
    spec.ownerId = in.value("userId", "");
    spec.parentId = in.value("parentId", "");
    spec.name = in.value("name", "");
    std::string type = in.value("type", "file");
    Require(type == "file" || type == "folder", "type is file or folder");
    spec.folder = type == "folder";
    spec.size = in.value("size", int64_t(0));
    spec.fileVer = VersionAt(in, "fileVer", 1);
    spec.sha1 = in.value("sha1", "");
    spec.createdTime = in.value("createdTime", "");
    spec.modTime = in.value("modTime", "");
    spec.modifier = in.value("modifier", "");
    spec.deleted = in.value("deleted", false);
    ItemView item;
    std::string error;
    Require(store.AddItem(spec, &item, &error), error);
    return json{{"fileId", item.fileId}, {"opVer", item.opVer}};
  });

  Control("/test/fs/share", [&store](const json& in) {
    std::string error;
    Require(store.AddShare(in.value("fileId", ""), in.value("to", ""), in.value("writable", false), &error), error);
    return json::object();
  });

  Control("/test/fs/versions", [&store](const json& in) {
    std::optional<int64_t> op, share;
    if (in.contains("opVer")) op = VersionAt(in, "opVer", 0);
    if (in.contains("shareVer")) share = VersionAt(in, "shareVer", 0);
    std::string userId = in.value("userId", "");
    std::string error;
    Require(store.SetVersions(userId, op, share, &error), error);
    Versions v = store.GetVersions(userId);
    return json{{"opVer", v.opVer}, {"shareVer", v.shareVer}};
  });

  Control("/test/fs/global-version", [&store](const json& in) {
    std::string version = in.value("version", "");
    Require(!version.empty(), "version is required");
    store.SetGlobalVersion(version);
    return json::object();
  });

  m_server->Get("/test/fs/state", [&store](const httplib::Request& req, httplib::Response& res) {
    json out{{"heldPolls", store.HeldPolls()}};
    if (req.has_param("userId")) {
      Versions v;
      std::vector<ItemView> items;
      if (!store.Dump(req.get_param_value("userId"), &v, &items)) {
        res.status = 400;
        res.set_content(JsonText({{"error", "no such user"}}), "application/json");
        return;
      }
      out["opVer"] = v.opVer;
      out["shareVer"] = v.shareVer;
      out["items"] = json::array();
      for (const auto& item : items) out["items"].push_back(ToJson(item));
    }
    res.set_content(JsonText(out), "application/json");
  });
}

}  // namespace localsvc
