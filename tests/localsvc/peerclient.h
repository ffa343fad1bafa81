// A client of the local service's transfers written with the peer codec: uploads and
// downloads through the service's own routes (tickets, the block server, the whole-file
// URLs), as the client frames them, for tests that check what the service keeps.
#pragma once

#include <string>
#include <vector>

#include "support/peercodec.h"
#include "svcapi.h"

class PeerClient {
 public:
  // scratch: a folder for 7zz to work in.
  PeerClient(LocalService& service, std::string scratch) : m_service(service), m_scratch(std::move(scratch)) {}

  Reply Api(const nlohmann::json& who, const std::string& path, const Params& params, const std::string& v = "2") {
    return CallApi(m_service, path, params, v, who);
  }

  // The next version of fileId (now at fileVer) as one FileHeader file; the reply of
  // /wf/upload.
  Reply UploadWhole(const nlohmann::json& who, const std::string& fileId, int64_t fileVer, const std::string& content) {
    Reply ticket = RequestUpload(who, fileId, fileVer, content, "2");
    if (ticket.word != "ok") return ticket;
    const std::string encoded = PeerFileHeader(content, ticket.values["fileKey"]);
    const std::string boundary = "------------------------peer0123456789";
    const std::string body = "--" + boundary +
                             "\r\nContent-Disposition: form-data; name=\"FileCont\"; filename=\"{0A1B2C3D}\"\r\n"
                             "Content-Type: application/octet-stream\r\n\r\n" +
                             encoded + "\r\n--" + boundary + "--\r\n";
    const std::string target = "/wf/upload?stub=" + ticket.values["stub"] +
                               "&uploadSize=" + std::to_string(encoded.size()) + "&uploadSha1=" + PeerSha1(encoded);
    return ParseReply(HttpExchange(m_service.Port(), "POST", target, body,
                                   {"v:2", "User-Agent:ostrel", "Content-Type: multipart/form-data; boundary=" + boundary}));
  }

  // The next version of fileId in blocks; the reply of the commit.
  Reply UploadByBlocks(const nlohmann::json& who, const std::string& fileId, int64_t fileVer,
                       const std::string& content) {
    Reply ticket = RequestUpload(who, fileId, fileVer, content, "3");
    if (ticket.word != "ok") return ticket;
    const std::string stub = ticket.values["stub"];
    const std::vector<std::string> blocks = PeerSplit(content);
    std::string metas;
    for (size_t i = 0; i < blocks.size(); ++i)
      metas += (i ? "," : "") + std::string("{\"index\":") + std::to_string(i + 1) + ",\"md5\":\"" +
               PeerMd5(blocks[i]) + "\",\"blockId\":" + PeerBlockId(blocks[i]) + "}";
    HttpReply r = HttpExchange(m_service.Port(), "POST", "/blk/uploadMetadata",
                               "{\"stub\":\"" + stub + "\",\"metas\":[" + metas + "]}", {"v:3"});
    const nlohmann::json meta = nlohmann::json::parse(r.body, nullptr, false);
    EXPECT_TRUE(meta.is_object() && meta.value("code", "") == "ok") << r.body;
    for (size_t i = 0; meta.is_object() && i < blocks.size(); ++i) {
      const std::string key = meta["blocks"].value(PeerBlockId(blocks[i]), "");
      if (key == "TargetExist") continue;
      const std::string encoded = PeerRtv0(blocks[i], key, false);
      HttpReply sent = HttpExchange(m_service.Port(), "POST",
                                    "/blk/uploadBlock?stub=" + stub + "&sha1=" + PeerSha1(encoded) + "&size=" +
                                        std::to_string(encoded.size()) + "&index=" + std::to_string(i + 1),
                                    encoded);
      EXPECT_EQ("{\"code\":\"ok\"}", sent.body);
    }
    return Api(who, "/xsvr/commit/", {{"stub", stub}}, "3");
  }

  // The plain content of the file's current version (or the one before), downloaded as
  // one FileHeader file and decoded by the peer; "" with a test failure when it fails.
  std::string DownloadWhole(const nlohmann::json& who, const std::string& fileId, bool previous = false) {
    Reply ticket = Api(who, previous ? "/xsvr/requestDownloadPreviousVer/" : "/xsvr/requestDownload/",
                       {{"fileId", fileId}}, "2");
    EXPECT_EQ("ok", ticket.word) << fileId;
    HttpReply r = HttpExchange(m_service.Port(), "GET", "/wf/download?stub=" + ticket.values["stub"] +
                                                            "&bakVer=" + (previous ? "previousVer" : "nowVer"));
    std::string plain;
    EXPECT_EQ(ticket.values["compressSha1"], PeerSha1(r.body)) << fileId;
    EXPECT_TRUE(PeerDecode(r.body, ticket.values["fileKey"], m_scratch, &plain)) << fileId;
    return plain;
  }

  // The same in blocks, each decoded by the peer and checked against its blockId.
  std::string DownloadByBlocks(const nlohmann::json& who, const std::string& fileId, bool previous = false) {
    Reply ticket = Api(who, previous ? "/xsvr/requestDownloadPreviousVer/" : "/xsvr/requestDownload/",
                       {{"fileId", fileId}}, "3");
    EXPECT_EQ("ok", ticket.word) << fileId;
    const std::string stub = ticket.values["stub"];
    HttpReply r = HttpExchange(m_service.Port(), "POST", "/blk/downloadMetadata", "{\"stub\":\"" + stub + "\"}", {"v:3"});
    const nlohmann::json meta = nlohmann::json::parse(r.body, nullptr, false);
    std::string joined;
    for (const auto& b : meta.is_object() ? meta["blocks"] : nlohmann::json::array()) {
      HttpReply block = HttpExchange(m_service.Port(), "POST", "/blk/downloadBlock",
                                     "{\"stub\":\"" + stub + "\",\"index\":\"" + b["index"].get<std::string>() + "\"}");
      std::string plain;
      EXPECT_TRUE(PeerDecode(block.body, b["fileKey"], m_scratch, &plain)) << fileId;
      EXPECT_EQ(b["blockId"], PeerBlockId(plain)) << fileId;
      joined += plain;
    }
    EXPECT_EQ(ticket.values["sha1"], PeerSha1(joined)) << fileId;
    return joined;
  }

 private:
  Reply RequestUpload(const nlohmann::json& who, const std::string& fileId, int64_t fileVer, const std::string& content,
                      const std::string& v) {
    return Api(who, "/xsvr/requestUpload/",
               {{"fileVer", std::to_string(fileVer)}, {"size", std::to_string(content.size())}, {"fileId", fileId},
                {"sha1", PeerSha1(content)}},
               v);
  }

  LocalService& m_service;
  std::string m_scratch;
};
