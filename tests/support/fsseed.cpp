#include "support/fsseed.h"

#include "support/textcodec.h"

namespace {

nlohmann::json Exchange(LocalService& service, const std::string& method, const std::string& target,
                        const std::string& body) {
  HttpReply r = service.Control(method, target, body);
  if (!r.ok || r.status / 100 != 2) return nullptr;
  nlohmann::json reply = nlohmann::json::parse(r.body, nullptr, false);
  if (reply.is_discarded()) {
    ADD_FAILURE() << method << " " << target << ": the reply is not JSON: " << r.body;
    return nullptr;
  }
  return reply;
}

}  // namespace

nlohmann::json FsControl(LocalService& service, const std::string& path, const nlohmann::json& body) {
  return Exchange(service, "POST", path, body.dump());
}

nlohmann::json FsAccount(LocalService& service, const std::string& user, const std::string& password) {
  return FsControl(service, "/test/fs/account",
                   {{"user", user}, {"password", password.empty() ? "pw-" + user : password}});
}

nlohmann::json FsState(LocalService& service, const std::string& userId) {
  return Exchange(service, "GET", userId.empty() ? "/test/fs/state" : "/test/fs/state?userId=" + userId, "");
}

nlohmann::json FsSeedFile(LocalService& service, const std::string& userId, const std::string& name,
                          const std::string& content, const std::string& format, const std::string& parentId) {
  return FsControl(service, "/test/xfer/file",
                   {{"userId", userId}, {"name", name}, {"parentId", parentId}, {"format", format},
                    {"content_base64", Base64Encode(content)}});
}

nlohmann::json FsSeedVersion(LocalService& service, const std::string& fileId, const std::string& content,
                             const std::string& format) {
  return FsControl(service, "/test/xfer/file",
                   {{"fileId", fileId}, {"format", format}, {"content_base64", Base64Encode(content)}});
}

nlohmann::json XferState(LocalService& service, const std::string& fileId) {
  return Exchange(service, "GET", fileId.empty() ? "/test/xfer/state" : "/test/xfer/state?fileId=" + fileId, "");
}

std::optional<std::string> XferContent(LocalService& service, const std::string& fileId, int64_t fileVer) {
  std::string target = "/test/xfer/content?fileId=" + fileId;
  if (fileVer > 0) target += "&fileVer=" + std::to_string(fileVer);
  // 404 is the service's "holds no such content"; anything else unexpected fails the test.
  HttpReply r = service.Control("GET", target, "", {404});
  if (!r.ok || r.status / 100 != 2) return std::nullopt;
  return r.body;
}
