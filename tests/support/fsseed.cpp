#include "support/fsseed.h"

nlohmann::json FsControl(LocalService& service, const std::string& path, const nlohmann::json& body) {
  HttpReply r = HttpExchange(service.Port(), "POST", path, body.dump(), {"Content-Type: application/json"});
  nlohmann::json reply = nlohmann::json::parse(r.body, nullptr, false);
  if (!r.ok || r.status != 200 || reply.is_discarded()) {
    ADD_FAILURE() << path << " refused " << body.dump() << ": " << r.status << " " << r.body;
    return nullptr;
  }
  return reply;
}

nlohmann::json FsAccount(LocalService& service, const std::string& user, const std::string& password) {
  return FsControl(service, "/test/fs/account",
                   {{"user", user}, {"password", password.empty() ? "pw-" + user : password}});
}

nlohmann::json FsState(LocalService& service, const std::string& userId) {
  HttpReply r = HttpExchange(service.Port(), "GET", userId.empty() ? "/test/fs/state" : "/test/fs/state?userId=" + userId);
  nlohmann::json reply = nlohmann::json::parse(r.body, nullptr, false);
  if (!r.ok || r.status != 200 || reply.is_discarded()) {
    ADD_FAILURE() << "cannot read the file-system state: " << r.status << " " << r.body;
    return nullptr;
  }
  return reply;
}
