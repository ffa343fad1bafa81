// Control endpoints for file transfers: seeding contents as if another device had
// uploaded them, inspecting what the service holds and what it checked, and the fault
// hooks of transfers. Neither recorded nor subject to faults; JSON bodies and replies;
// a refused request answers 400 with {"error": "..."}.
//
//   POST /test/xfer/file   {"userId", "name", "parentId"?, "fileVer"? (default 1),
//                           "modTime"?}: a new file; or {"fileId"}: the file's next version;
//                          with the content as "text", "content_base64" or "path" (a file
//                          the service reads, of at most 64 MiB), and "format":
//                            "blocks"       RTV0 blocks, not packed (flags 0x02; default)
//                            "blocks-lzma"  RTV0 blocks packed by liblzma's LZMA-Alone
//                                           encoder (flags 0x03)
//                            "whole"        FileHeader of the content itself (content that
//                                           begins with the 7z signature is packed anyway)
//                            "whole-7z"     FileHeader of a 7z archive made by 7zz a -m0=lzma
//                          Blocks the service holds already are reused as they are.
//                          -> {"fileId", "fileVer", "size", "sha1", "opVer", and "blockIds"
//                          or "compressSha1" and "fileKey"}
//   POST /test/xfer/corrupt   {"fileId", "index", "count"? (1)}: the next count downloads
//                          of block index of that file get one byte changed
//   POST /test/xfer/metadata  {"path": "/blk/uploadMetadata" | "/blk/downloadMetadata",
//                          "index"? (1), "blockId"?, "dropKey"?, "count"? (1)}: the next
//                          count replies of that path show block index with blockId in
//                          place of its own, and/or without its key
//   POST /test/xfer/thumbnail {"fileId", "entries": [{"name", "text" | "data_base64",
//                          "claimedSize"?}]}: the thumbnail package of that file becomes a
//                          zip of these stored entries (claimedSize: the unpacked size the
//                          entry claims, any whole number from 0: it is only written;
//                          from 2^32 written as ZIP64)
//   GET  /test/xfer/state[?fileId=F]  -> {"blocks": blocks held, "checks": [{"step",
//                          "stub", "fileId", "index", "word", "reason", "format"}...], and
//                          for F "fileVer" and "versions": [{"fileVer", "size", "sha1",
//                          "blockIds"?, "compressSha1"?}...]}
//   GET  /test/xfer/content?fileId=F[&fileVer=V]  -> the plain bytes of that version
//                          (default the current one) as the service decodes them; 404
//
// index and count are whole numbers from 1 to 2^31 - 1 (counts armed again add up, to
// at most that).
// POST /test/reset also forgets the checks and every hook above.
#include <httplib.h>

#include <nlohmann/json.hpp>

#include <climits>

#include "bounds.h"
#include "codec.h"
#include "filecodec.h"
#include "service.h"
#include "zipwriter.h"

namespace localsvc {
namespace {

using nlohmann::json;

std::string BytesOf(const json& in, const char* textKey, const char* base64Key) {
  if (in.contains(textKey)) return in[textKey].get<std::string>();
  std::optional<std::string> bytes = Base64Decode(in.value(base64Key, ""));
  Require(bytes.has_value(), std::string(base64Key) + " is not base64");
  return *bytes;
}

std::string ReadPath(const std::string& path) {
  std::string out;
  Require(ReadWholeFile(path, &out, static_cast<size_t>(kLargestSize)),
          "cannot read " + path + ", or it holds more than 64 MiB");
  return out;
}

// The whole number at key (def when absent); refused unless from lo to hi.
int64_t WholeAt(const json& in, const char* key, int64_t def, int64_t lo, int64_t hi) {
  int64_t v = 0;
  std::string error;
  Require(JsonWholeAt(in, key, def, lo, hi, &v, &error), error);
  return v;
}

json VersionJson(int64_t fileVer, const FileContent& c) {
  json v{{"fileVer", fileVer}, {"size", c.Size()}, {"sha1", c.Sha1()}};
  if (auto ids = c.Blocks()) v["blockIds"] = *ids;
  if (auto w = c.Whole()) v["compressSha1"] = w->sha1;
  return v;
}

}  // namespace

void Service::AddXferControlRoutes() {
  Control("/test/xfer/file", [this](const json& in) {
    std::string plain = in.contains("path") ? ReadPath(in["path"].get<std::string>())
                                            : BytesOf(in, "text", "content_base64");
    std::string format = in.value("format", "blocks");
    auto content = std::make_shared<FileContent>(static_cast<int64_t>(plain.size()), Sha1Hex(plain));
    json out;
    if (format == "blocks" || format == "blocks-lzma") {
      std::vector<std::string> ids = StoreAsBlocks(plain, format == "blocks-lzma", m_xfer.Blocks());
      out["blockIds"] = ids;
      content->AddBlocks(std::move(ids));
    } else {
      Require(format == "whole" || format == "whole-7z", "format is blocks, blocks-lzma, whole or whole-7z");
      StoredBlob whole;
      std::string reason;
      Require(MakeWhole(plain, format == "whole-7z", &whole, &reason), reason);
      Require(m_xfer.Blocks().KeepWhole(whole), "the state folder cannot be written");
      out["compressSha1"] = whole.sha1;
      out["fileKey"] = whole.key;
      content->AddWhole(std::move(whole));
    }
    ItemView item;
    std::string error;
    if (in.contains("fileId")) {
      Require(m_store.SeedVersion(in["fileId"].get<std::string>(), content, &item, &error), error);
    } else {
      NewItem wanted;
      wanted.ownerId = in.value("userId", "");
      wanted.parentId = in.value("parentId", "");
      wanted.name = in.value("name", "");
      wanted.fileVer = in.value("fileVer", int64_t(1));
      wanted.modTime = in.value("modTime", "");
      wanted.content = content;
      Require(wanted.fileVer >= 1, "fileVer is 1 or more");
      Require(m_store.AddItem(wanted, &item, &error), error);
    }
    out.update({{"fileId", item.fileId}, {"fileVer", item.fileVer}, {"size", item.size}, {"sha1", item.sha1},
                {"opVer", item.opVer}});
    return out;
  });

  Control("/test/xfer/corrupt", [this](const json& in) {
    Require(in.contains("fileId"), "fileId is required");
    int index = static_cast<int>(WholeAt(in, "index", 0, 1, INT_MAX));
    int count = static_cast<int>(WholeAt(in, "count", 1, 1, INT_MAX));
    m_xfer.CorruptOnce(in["fileId"].get<std::string>(), index, count);
    return json::object();
  });

  Control("/test/xfer/metadata", [this](const json& in) {
    MetadataHook hook;
    hook.path = in.value("path", "");
    hook.index = static_cast<int>(WholeAt(in, "index", 1, 1, INT_MAX));
    if (in.contains("blockId")) hook.blockId = in["blockId"].get<std::string>();
    hook.dropKey = in.value("dropKey", false);
    hook.remaining = static_cast<int>(WholeAt(in, "count", 1, 1, INT_MAX));
    Require(hook.path == "/blk/uploadMetadata" || hook.path == "/blk/downloadMetadata",
            "path is /blk/uploadMetadata or /blk/downloadMetadata");
    m_xfer.AddMetadataHook(std::move(hook));
    return json::object();
  });

  Control("/test/xfer/thumbnail", [this](const json& in) {
    std::vector<ZipEntry> entries;
    for (const auto& e : in.value("entries", json::array())) {
      ZipEntry z{e.value("name", ""), BytesOf(e, "text", "data_base64"), std::nullopt};
      if (e.contains("claimedSize")) {
        Require(e["claimedSize"].is_number_unsigned(), "claimedSize is a whole number from 0");
        z.claimedSize = e["claimedSize"].get<uint64_t>();
      }
      Require(!z.name.empty(), "every entry has a name");
      entries.push_back(std::move(z));
    }
    Require(in.contains("fileId"), "fileId is required");
    m_xfer.SetThumbnail(in["fileId"].get<std::string>(), MakeZip(entries));
    return json::object();
  });

  m_server->Get("/test/xfer/state", [this](const httplib::Request& req, httplib::Response& res) {
    json out{{"blocks", m_xfer.Blocks().Count()}, {"checks", m_xfer.Checks()}};
    if (req.has_param("fileId")) {
      int64_t fileVer = 0;
      std::map<int64_t, std::shared_ptr<FileContent>> versions;
      if (!m_store.Contents(req.get_param_value("fileId"), &fileVer, &versions)) {
        res.status = 400;
        res.set_content(JsonText({{"error", "no such file"}}), "application/json");
        return;
      }
      out["fileVer"] = fileVer;
      out["versions"] = json::array();
      for (const auto& [ver, content] : versions)
        if (content) out["versions"].push_back(VersionJson(ver, *content));
    }
    res.set_content(JsonText(out), "application/json");
  });

  m_server->Get("/test/xfer/content", [this](const httplib::Request& req, httplib::Response& res) {
    int64_t fileVer = 0;
    std::map<int64_t, std::shared_ptr<FileContent>> versions;
    std::string plain, reason = "no such file";
    if (m_store.Contents(req.get_param_value("fileId"), &fileVer, &versions)) {
      if (req.has_param("fileVer")) fileVer = std::atoll(req.get_param_value("fileVer").c_str());
      auto it = versions.find(fileVer);
      reason = "that version's content is not held";
      if (it != versions.end() && it->second && PlainOf(*it->second, m_xfer.Blocks(), &plain, &reason)) {
        res.set_content(plain, "application/octet-stream");
        return;
      }
    }
    res.status = 404;
    res.set_content(reason, "text/plain");
  });
}

}  // namespace localsvc
