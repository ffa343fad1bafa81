#include "support/fsseed.h"

namespace {

std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[v & 63] : '=';
  }
  return out;
}

nlohmann::json GetJson(LocalService& service, const std::string& target) {
  HttpReply r = HttpExchange(service.Port(), "GET", target);
  nlohmann::json reply = nlohmann::json::parse(r.body, nullptr, false);
  if (!r.ok || r.status != 200 || reply.is_discarded()) {
    ADD_FAILURE() << "GET " << target << ": " << r.status << " " << r.body;
    return nullptr;
  }
  return reply;
}

}  // namespace

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
  return GetJson(service, userId.empty() ? "/test/fs/state" : "/test/fs/state?userId=" + userId);
}

nlohmann::json FsSeedFile(LocalService& service, const std::string& userId, const std::string& name,
                          const std::string& content, const std::string& format, const std::string& parentId) {
  return FsControl(service, "/test/xfer/file",
                   {{"userId", userId}, {"name", name}, {"parentId", parentId}, {"format", format},
                    {"content_base64", Base64(content)}});
}

nlohmann::json FsSeedVersion(LocalService& service, const std::string& fileId, const std::string& content,
                             const std::string& format) {
  return FsControl(service, "/test/xfer/file",
                   {{"fileId", fileId}, {"format", format}, {"content_base64", Base64(content)}});
}

nlohmann::json XferState(LocalService& service, const std::string& fileId) {
  return GetJson(service, fileId.empty() ? "/test/xfer/state" : "/test/xfer/state?fileId=" + fileId);
}

std::optional<std::string> XferContent(LocalService& service, const std::string& fileId, int64_t fileVer) {
  std::string target = "/test/xfer/content?fileId=" + fileId;
  if (fileVer > 0) target += "&fileVer=" + std::to_string(fileVer);
  HttpReply r = HttpExchange(service.Port(), "GET", target);
  if (!r.ok || r.status != 200) return std::nullopt;
  return r.body;
}
