// File transfers: the tickets on the API root, the whole-file URLs, the block server
// and the thumbnail packages.
//
// On the API root (XML, as fsroutes.cpp; the header "v" chooses the protocol where it
// matters: 2 whole file, 3 blocks):
//   POST /xsvr/requestUpload/      token, fileVer, size, fileId, sha1 (plain size and SHA-1)
//                                  v:2 -> fileKey, stub, url = <base>/wf/upload?
//                                  v:3 -> stub, url = <base>/blk/
//                                  fileVerConflict, targetNotExist, overSpace
//   POST /xsvr/commit/             token, stub -> fileVer; badStub, uploadError
//   POST /xsvr/requestDownload/, /xsvr/requestDownloadPreviousVer/   token, fileId
//                                  v:2 -> url = <base>/wf/download?, stub, compressSha1,
//                                         modTime, fileKey, sha1, fileVer
//                                  v:3 -> stub, url = <base>/blk/, fileVer, sha1
//                                  emptyFile (v:2, size 0), fileMissInAgent (content
//                                  not held), targetNotExist (also: no version before)
// Whole files:
//   POST /wf/upload?stub=S&uploadSize=N&uploadSha1=H   multipart part "FileCont" holding
//        the FileHeader file -> <result>ok</result> and fileVer (the word is also the
//        root attribute); badStub, clientBadParams, uploadError, fileVerConflict...
//   GET  /wf/download?stub=S&bakVer=nowVer|previousVer -> the FileHeader file; 404
// Block server (JSON written by hand: strings only, the word in "code"):
//   POST /blk/uploadMetadata   v:3, {"stub":"S","metas":[{"index":1,"md5":"M","blockId":B},...]}
//        (index and blockId bare) -> {"code":"ok","blocks":{"<blockId>":"TargetExist" or
//        "<64-hex key>",...}}; clientBadParams when the blocks are not the 4 MiB split of
//        the announced size, badStub
//   POST /blk/uploadBlock?stub=S&sha1=H&size=N&index=I   raw RTV0 body -> {"code":"ok"};
//        uploadError when size, SHA-1 or the decoded block do not match
//   POST /blk/downloadMetadata v:3, {"stub":"S"} -> {"code":"ok","blocks":[{"index":"1",
//        "blockId":..,"sha1":<SHA-1 of the encoded block>,"fileKey":..},...]}
//   POST /blk/downloadBlock    {"stub":"S","index":"N"} -> the RTV0 block; 404
// Thumbnails:
//   GET  /dsAgent/getHtmlPackage/?token=T&fileId=F&...&compress=zip -> a zip holding
//        "index.html" and "F.jpg" (the file's content); 404 for anything else
//
// Everything a client uploads is decoded here and checked against what it announced;
// each check is recorded (Transfers::Record, shown by GET /test/xfer/state).
#include <httplib.h>

#include <algorithm>
#include <map>
#include <set>
#include <string_view>

#include "ascii.h"
#include "filecodec.h"
#include "service.h"
#include "words.h"
#include "xmlmsg.h"
#include "zipwriter.h"

namespace localsvc {
namespace {

const char kJsonType[] = "application/json";
const char kBinaryType[] = "application/octet-stream";

// A decimal count without sign or padding rules: 1 to 18 digits.
bool ParseCount(std::string_view text, int64_t* out) {
  if (text.empty() || text.size() > 18 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  *out = std::stoll(std::string(text));
  return true;
}

// A JSON string as the client's reader takes it: only \" \\ \n \r escaped.
std::string JsonQuote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonWord(const std::string& word) { return "{\"code\":" + JsonQuote(word) + "}"; }

// Reads the exact shapes the client writes.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : m_text(text) {}
  bool Lit(std::string_view t) {
    if (m_text.substr(m_at, t.size()) != t) return false;
    m_at += t.size();
    return true;
  }
  // The rest of a JSON string whose opening quote was read; the closing one is consumed.
  bool StringRest(std::string* out) {
    out->clear();
    while (m_at < m_text.size()) {
      char c = m_text[m_at++];
      if (c == '"') return true;
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (m_at >= m_text.size()) return false;
      char e = m_text[m_at++];
      if (e == '"' || e == '\\' || e == '/') out->push_back(e);
      else if (e == 'n') out->push_back('\n');
      else if (e == 'r') out->push_back('\r');
      else return false;
    }
    return false;
  }
  bool Token(std::string* out, const std::function<bool(char)>& allowed) {
    size_t start = m_at;
    while (m_at < m_text.size() && allowed(m_text[m_at])) ++m_at;
    *out = std::string(m_text.substr(start, m_at - start));
    return m_at > start;
  }
  bool End() const { return m_at == m_text.size(); }

 private:
  std::string_view m_text;
  size_t m_at = 0;
};

struct AnnouncedBlock {
  int64_t index = 0;
  std::string md5;
  std::string blockId;
};

// {"stub":"S","metas":[{"index":1,"md5":"<32 hex>","blockId":<46 hex>},...]} exactly.
bool ParseUploadMetadata(const std::string& body, std::string* stub, std::vector<AnnouncedBlock>* blocks) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
  Cursor in(body);
  if (!in.Lit("{\"stub\":\"") || !in.StringRest(stub) || !in.Lit(",\"metas\":[")) return false;
  do {
    AnnouncedBlock b;
    std::string index;
    if (!in.Lit("{\"index\":") || !in.Token(&index, digit) || !ParseCount(index, &b.index) || !in.Lit(",\"md5\":\"") ||
        !in.Token(&b.md5, hex) || b.md5.size() != 32 || !in.Lit("\",\"blockId\":") || !in.Token(&b.blockId, hex) ||
        b.blockId.size() != 46 || !in.Lit("}"))
      return false;
    blocks->push_back(std::move(b));
  } while (in.Lit(","));
  return in.Lit("]}") && in.End();
}

// The blocks must be the 4 MiB split of a file of size bytes, numbered from 1.
bool CheckSplit(const std::vector<AnnouncedBlock>& blocks, int64_t size, std::string* reason) {
  int64_t total = 0;
  for (size_t i = 0; i < blocks.size(); ++i) {
    int64_t blockSize = 0;
    std::string sha1;
    ParseBlockId(blocks[i].blockId, &blockSize, &sha1);
    bool last = i + 1 == blocks.size();
    if (blocks[i].index != static_cast<int64_t>(i + 1)) {
      *reason = "block indexes are not 1, 2, 3... in order";
    } else if (!last && blockSize != static_cast<int64_t>(kBlockSize)) {
      *reason = "block " + std::to_string(i + 1) + " holds " + std::to_string(blockSize) +
                " bytes; every block but the last holds 4 MiB";
    } else if (last && blockSize >= static_cast<int64_t>(kBlockSize)) {
      *reason = "the last block holds 4 MiB; a file whose size is 0 or a multiple of 4 MiB ends with an empty block";
    }
    if (!reason->empty()) return false;
    total += blockSize;
  }
  if (total != size) *reason = "the blocks hold " + std::to_string(total) + " bytes, the upload announced " + std::to_string(size);
  return reason->empty();
}

// Decodes an uploaded block and checks it against its blockId, the MD5 announced and
// its own RTV0 header.
bool CheckBlock(const std::string& body, const BlockMeta& meta, DecodeInfo* info, std::string* reason) {
  std::string plain;
  if (!DecodeRtv0(body, meta.key, kBlockSize, &plain, info, reason)) return false;
  int64_t idSize = 0;
  std::string idSha1;
  ParseBlockId(meta.blockId, &idSize, &idSha1);
  std::string sha1 = Sha1Hex(plain);
  if (static_cast<int64_t>(plain.size()) != idSize || sha1 != idSha1)
    *reason = "the block decodes to " + std::to_string(plain.size()) + " bytes with SHA-1 " + sha1 + ", not its blockId's";
  else if (Md5Hex(plain) != meta.md5)
    *reason = "the block's MD5 " + Md5Hex(plain) + " differs from the md5 announced";
  else if (info->headerSize != plain.size() || info->headerSha1 != sha1)
    *reason = "the RTV0 header's plain size or SHA-1 differs from the block's";
  else if (info->hint != "0000000000000000")
    *reason = "the RTV0 hint is " + info->hint + ", not zero";
  return reason->empty();
}

// Decodes every block of an upload in order and checks the joined size and SHA-1.
bool CheckJoined(const Ticket& t, BlockStore& blocks, std::string* reason) {
  if (!t.announced) {
    *reason = "no uploadMetadata was accepted for the stub";
    return false;
  }
  Sha1Stream sha1;
  int64_t total = 0;
  for (size_t i = 0; i < t.metas.size(); ++i) {
    std::optional<StoredBlob> b = blocks.Get(t.metas[i].blockId);
    std::string plain;
    DecodeInfo info;
    if (!b) {
      *reason = "block " + std::to_string(i + 1) + " (" + t.metas[i].blockId + ") was never uploaded";
      return false;
    }
    if (!DecodeRtv0(*b->encoded, b->key, kBlockSize, &plain, &info, reason)) return false;
    sha1.Update(plain);
    total += static_cast<int64_t>(plain.size());
  }
  std::string digest = sha1.HexDigest();
  if (total != t.size || digest != t.sha1)
    *reason = "the joined blocks (" + std::to_string(total) + " bytes, SHA-1 " + digest + ") differ from the size " +
              std::to_string(t.size) + " and SHA-1 " + t.sha1 + " announced";
  return reason->empty();
}

// {"stub":"S"} or {"stub":"S","index":"N"}, by a JSON reader; index must be a string.
bool ParseStubBody(const std::string& body, std::string* stub, int64_t* index) {
  nlohmann::json j = nlohmann::json::parse(body, nullptr, false);
  if (!j.is_object() || !j.contains("stub") || !j["stub"].is_string()) return false;
  *stub = j["stub"].get<std::string>();
  if (!index) return true;
  return j.contains("index") && j["index"].is_string() && ParseCount(j["index"].get<std::string>(), index);
}

}  // namespace

std::string Service::BaseUrl(const httplib::Request& req) const {
  std::string host = req.get_header_value("Host");
  bool usable = !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
    return c > 0x20 && c < 0x7f && std::string_view("/?#&@\\").find(c) == std::string_view::npos;
  });
  if (!usable) host = "127.0.0.1:" + std::to_string(m_port);
  return (m_options.tlsCert.empty() ? "http://" : "https://") + host;
}

void Service::AddXferRoutes() {
  // The header "v" chooses the protocol of a ticket: 2 whole file, 3 blocks.
  auto blocks = [](const httplib::Request& req) { return req.get_header_value("v") == "3"; };

  Api("/xsvr/requestUpload/", {"fileVer", "size", "fileId", "sha1"}, true,
      [this, blocks](const Params& p, const std::string& user, const httplib::Request& req, XmlReply& reply) {
        Ticket t;
        t.kind = blocks(req) ? TicketKind::kBlockUpload : TicketKind::kWholeUpload;
        t.userId = user;
        t.fileId = Param(p, "fileId");
        t.sha1 = AsciiLower(Param(p, "sha1"));
        if (!ParseCount(Param(p, "fileVer"), &t.fileVer) || !ParseCount(Param(p, "size"), &t.size) ||
            !IsHex(t.sha1, 40, true)) {
          reply.SetWord(words::kClientBadParams);
          return;
        }
        std::string word = m_store.CheckUpload(user, t.fileId, t.fileVer, t.size);
        reply.SetWord(word);
        if (word != words::kOk) return;
        if (t.kind == TicketKind::kWholeUpload) t.fileKey = NewFileKey();
        std::string key = t.fileKey;
        std::string stub = m_xfer.Open(std::move(t));
        reply.Value("fileKey", key);
        reply.Value("stub", stub);
        reply.Value("url", BaseUrl(req) + (key.empty() ? "/blk/" : "/wf/upload?"));
      });

  Api("/xsvr/commit/", {"stub"}, true,
      [this](const Params& p, const std::string& user, const httplib::Request&, XmlReply& reply) {
        CheckRecord check{"commit", Param(p, "stub")};
        std::optional<Ticket> t;
        m_xfer.Update(check.stub, [&](Ticket& x) {
          if (x.kind != TicketKind::kBlockUpload || x.userId != user || x.done || x.busy) return;
          x.busy = true;
          t = x;
        });
        int64_t newVer = 0;
        if (!t) {
          check.word = words::kBadStub;
          check.reason = "no block upload of this user under the stub, or it was committed";
        } else {
          check.fileId = t->fileId;
          check.word = words::kUploadError;
          if (CheckJoined(*t, m_xfer.Blocks(), &check.reason)) {
            auto content = std::make_shared<FileContent>(t->size, t->sha1);
            std::vector<std::string> ids;
            for (const auto& m : t->metas) ids.push_back(m.blockId);
            content->AddBlocks(std::move(ids));
            check.word = m_store.CommitVersion(user, t->fileId, t->fileVer, content, &newVer);
          }
          m_xfer.Update(check.stub, [&](Ticket& x) {
            x.busy = false;
            x.done = check.word == words::kOk;
          });
        }
        reply.SetWord(check.word);
        if (check.word == words::kOk) reply.Value("fileVer", newVer);
        m_xfer.Record(check);
      });

  auto download = [this, blocks](bool previous) {
    return [this, blocks, previous](const Params& p, const std::string& user, const httplib::Request& req,
                                    XmlReply& reply) {
      ItemView item;
      Ticket t;
      std::string word = m_store.VersionOf(user, Param(p, "fileId"), previous, &item, &t.fileVer, &t.content);
      bool whole = !blocks(req);
      std::string reason;
      // Whether the content is held in the form this download needs before it starts.
      const bool held = t.content && (whole ? t.content->Whole().has_value() : t.content->Blocks().has_value());
      if (word != words::kOk) {
      } else if (whole && (t.content ? t.content->Size() : item.size) == 0) {
        word = words::kEmptyFile;
      } else if (!t.content || !(whole ? EnsureWhole(*t.content, m_xfer.Blocks(), &reason)
                                       : EnsureBlocks(*t.content, m_xfer.Blocks(), &reason))) {
        word = words::kFileMissInAgent;
      } else if (!held) {
        m_store.FormsAdded(item.fileId);
      }
      reply.SetWord(word);
      if (word != words::kOk) return;
      t.kind = whole ? TicketKind::kWholeDownload : TicketKind::kBlockDownload;
      t.userId = user;
      t.fileId = item.fileId;
      t.previous = previous;
      std::shared_ptr<FileContent> content = t.content;
      int64_t fileVer = t.fileVer;
      std::string stub = m_xfer.Open(std::move(t));
      if (whole) {
        std::optional<StoredBlob> w = content->Whole();
        reply.Value("url", BaseUrl(req) + "/wf/download?");
        reply.Value("stub", stub);
        reply.Value("compressSha1", w->sha1);
        reply.Value("modTime", item.modTime);
        reply.Value("fileKey", w->key);
      } else {
        reply.Value("stub", stub);
        reply.Value("url", BaseUrl(req) + "/blk/");
      }
      reply.Value("sha1", content->Sha1());
      reply.Value("fileVer", fileVer);
    };
  };
  Api("/xsvr/requestDownload/", {"fileId"}, true, download(false));
  Api("/xsvr/requestDownloadPreviousVer/", {"fileId"}, true, download(true));

  Post("/wf/upload", [this](const httplib::Request&, const RecordedRequest& rec, httplib::Response& res) {
    CheckRecord check{"upload", QueryValue(rec.query, "stub", "")};
    std::optional<Ticket> t;
    m_xfer.Update(check.stub, [&](Ticket& x) {
      if (x.kind != TicketKind::kWholeUpload || x.done || x.busy) return;
      x.busy = true;
      t = x;
    });
    auto part = std::find_if(rec.parts.begin(), rec.parts.end(), [](const RecordedPart& p) { return p.name == "FileCont"; });
    int64_t size = 0, newVer = 0;
    std::string sha1 = AsciiLower(QueryValue(rec.query, "uploadSha1", ""));
    std::string plain;
    DecodeInfo info;
    check.word = words::kUploadError;
    if (!t) {
      check.word = words::kBadStub;
      check.reason = "no whole-file upload under the stub, or it went through";
    } else if (part == rec.parts.end() || !ParseCount(QueryValue(rec.query, "uploadSize", ""), &size) ||
               !IsHex(sha1, 40, true)) {
      check.word = words::kClientBadParams;
      check.reason = "no \"FileCont\" part, or no uploadSize or uploadSha1";
    } else if (static_cast<int64_t>(part->data.size()) != size || Sha1Hex(part->data) != sha1) {
      check.reason = "the FileCont part has " + std::to_string(part->data.size()) + " bytes and SHA-1 " +
                     Sha1Hex(part->data) + ", not uploadSize and uploadSha1";
    } else if (!DecodeFileHeader(part->data, t->fileKey, static_cast<size_t>(t->size), &plain, &info, &check.reason)) {
    } else if (static_cast<int64_t>(plain.size()) != t->size || Sha1Hex(plain) != t->sha1) {
      check.reason = "the file decodes to " + std::to_string(plain.size()) + " bytes with SHA-1 " + Sha1Hex(plain) +
                     ", not the size and SHA-1 announced";
    } else if (StoredBlob whole{std::make_shared<const std::string>(part->data), t->fileKey, sha1};
               !m_xfer.Blocks().KeepWhole(whole)) {
      check.reason = "the state folder cannot be written";
    } else {
      auto content = std::make_shared<FileContent>(t->size, t->sha1);
      content->AddWhole(std::move(whole));
      check.word = m_store.CommitVersion(t->userId, t->fileId, t->fileVer, content, &newVer);
    }
    if (t) {
      check.fileId = t->fileId;
      m_xfer.Update(check.stub, [&](Ticket& x) {
        x.busy = false;
        x.done = check.word == words::kOk;
      });
    }
    check.format = info.format;
    XmlReply reply(check.word);
    reply.Value("result", check.word);
    if (check.word == words::kOk) reply.Value("fileVer", newVer);
    res.set_content(reply.Text(), kXmlType);
    m_xfer.Record(check);
  });

  Get("/wf/download", [this](const httplib::Request&, const RecordedRequest& rec, httplib::Response& res) {
    std::optional<Ticket> t = m_xfer.Get(QueryValue(rec.query, "stub", ""));
    std::string bakVer = QueryValue(rec.query, "bakVer", "");
    if (!t || t->kind != TicketKind::kWholeDownload || bakVer != (t->previous ? "previousVer" : "nowVer")) {
      res.status = 404;
      res.set_content("no such download", "text/plain");
      return;
    }
    res.set_content(*t->content->Whole()->encoded, kBinaryType);
  });

  Post("/blk/uploadMetadata", [this](const httplib::Request& req, const RecordedRequest& rec, httplib::Response& res) {
    CheckRecord check{"uploadMetadata"};
    std::vector<AnnouncedBlock> announced;
    std::optional<Ticket> t;
    check.word = words::kClientBadParams;
    if (req.get_header_value("v") != "3" || !ParseUploadMetadata(rec.body, &check.stub, &announced)) {
      check.reason = "no header v:3, or the body is not {\"stub\":..,\"metas\":[{\"index\":..,\"md5\":..,\"blockId\":..},..]}";
    } else if (t = m_xfer.Get(check.stub); !t || t->kind != TicketKind::kBlockUpload || t->done || t->busy) {
      check.word = words::kBadStub;
      check.reason = "no open block upload under the stub";
    } else if (CheckSplit(announced, t->size, &check.reason)) {
      check.word = words::kOk;
    }
    if (t) check.fileId = t->fileId;
    if (check.word != words::kOk) {
      m_xfer.Record(check);
      res.set_content(JsonWord(check.word), kJsonType);
      return;
    }
    std::vector<BlockMeta> metas;
    std::map<std::string, std::string> keys;  // one key per block this upload must send
    for (const auto& a : announced) {
      BlockMeta m{a.md5, a.blockId, ""};
      if (!m_xfer.Blocks().Has(a.blockId)) {
        std::string& key = keys[a.blockId];
        if (key.empty()) key = NewFileKey();
        m.key = key;
      }
      metas.push_back(std::move(m));
    }
    m_xfer.Update(check.stub, [&](Ticket& x) {
      x.metas = metas;
      x.announced = true;
    });
    std::optional<MetadataHook> hook = m_xfer.TakeMetadataHook("/blk/uploadMetadata");
    std::string map;
    std::set<std::string> listed;
    for (size_t i = 0; i < metas.size(); ++i) {
      if (!listed.insert(metas[i].blockId).second) continue;
      std::string name = metas[i].blockId;
      if (hook && hook->index == static_cast<int>(i + 1)) {
        if (hook->dropKey) continue;
        name = hook->blockId.value_or(name);
      }
      map += (map.empty() ? "" : ",") + JsonQuote(name) + ":" +
             JsonQuote(metas[i].key.empty() ? "TargetExist" : metas[i].key);
    }
    m_xfer.Record(check);
    res.set_content("{\"code\":\"ok\",\"blocks\":{" + map + "}}", kJsonType);
  });

  Post("/blk/uploadBlock", [this](const httplib::Request&, const RecordedRequest& rec, httplib::Response& res) {
    CheckRecord check{"uploadBlock", QueryValue(rec.query, "stub", "")};
    std::optional<Ticket> t = m_xfer.Get(check.stub);
    std::string sha1 = AsciiLower(QueryValue(rec.query, "sha1", ""));
    int64_t size = 0, index = 0;
    DecodeInfo info;
    check.word = words::kClientBadParams;
    if (!t || t->kind != TicketKind::kBlockUpload || t->done) {
      check.word = words::kBadStub;
      check.reason = "no open block upload under the stub";
    } else if (!t->announced || !ParseCount(QueryValue(rec.query, "index", ""), &index) || index < 1 ||
               index > static_cast<int64_t>(t->metas.size()) ||
               !ParseCount(QueryValue(rec.query, "size", ""), &size) || !IsHex(sha1, 40, true)) {
      check.reason = "no uploadMetadata yet, or index, size or sha1 missing or out of range";
    } else if (const BlockMeta& meta = t->metas[static_cast<size_t>(index - 1)]; meta.key.empty()) {
      check.reason = "the block was marked TargetExist: it has no key to be sent with";
    } else if (static_cast<int64_t>(rec.body.size()) != size || Sha1Hex(rec.body) != sha1) {
      check.word = words::kUploadError;
      check.reason = "the body has " + std::to_string(rec.body.size()) + " bytes and SHA-1 " + Sha1Hex(rec.body) +
                     ", not size and sha1";
    } else if (!CheckBlock(rec.body, meta, &info, &check.reason)) {
      check.word = words::kUploadError;
    } else {
      check.word = words::kOk;
      m_xfer.Blocks().Put(meta.blockId, {std::make_shared<const std::string>(rec.body), meta.key, sha1});
    }
    if (t) check.fileId = t->fileId;
    check.index = static_cast<int>(index);
    check.format = info.format;
    m_xfer.Record(check);
    res.set_content(JsonWord(check.word), kJsonType);
  });

  Post("/blk/downloadMetadata", [this](const httplib::Request& req, const RecordedRequest& rec, httplib::Response& res) {
    std::string stub;
    std::optional<Ticket> t;
    if (req.get_header_value("v") != "3" || !ParseStubBody(rec.body, &stub, nullptr)) {
      res.set_content(JsonWord(words::kClientBadParams), kJsonType);
      return;
    }
    if (t = m_xfer.Get(stub); !t || t->kind != TicketKind::kBlockDownload) {
      res.set_content(JsonWord(words::kBadStub), kJsonType);
      return;
    }
    std::optional<MetadataHook> hook = m_xfer.TakeMetadataHook("/blk/downloadMetadata");
    std::vector<std::string> ids = t->content->Blocks().value_or(std::vector<std::string>{});
    std::string list;
    for (size_t i = 0; i < ids.size(); ++i) {
      std::optional<StoredBlob> b = m_xfer.Blocks().Get(ids[i]);
      bool hooked = hook && hook->index == static_cast<int>(i + 1);
      std::string id = hooked ? hook->blockId.value_or(ids[i]) : ids[i];
      list += (i ? ",{\"index\":" : "{\"index\":") + JsonQuote(std::to_string(i + 1)) + ",\"blockId\":" + JsonQuote(id) +
              ",\"sha1\":" + JsonQuote(b ? b->sha1 : "");
      if (!(hooked && hook->dropKey)) list += ",\"fileKey\":" + JsonQuote(b ? b->key : "");
      list += "}";
    }
    res.set_content("{\"code\":\"ok\",\"blocks\":[" + list + "]}", kJsonType);
  });

  Post("/blk/downloadBlock", [this](const httplib::Request&, const RecordedRequest& rec, httplib::Response& res) {
    std::string stub;
    int64_t index = 0;
    std::optional<Ticket> t;
    std::optional<StoredBlob> b;
    if (ParseStubBody(rec.body, &stub, &index) && (t = m_xfer.Get(stub)) && t->kind == TicketKind::kBlockDownload) {
      std::vector<std::string> ids = t->content->Blocks().value_or(std::vector<std::string>{});
      if (index >= 1 && index <= static_cast<int64_t>(ids.size())) b = m_xfer.Blocks().Get(ids[static_cast<size_t>(index - 1)]);
    }
    if (!b) {
      res.status = 404;
      res.set_content("no such block", "text/plain");
      return;
    }
    std::string body = *b->encoded;
    if (m_xfer.TakeCorrupt(t->fileId, static_cast<int>(index))) body.back() = static_cast<char>(body.back() ^ 0x5A);
    res.set_content(body, kBinaryType);
  });

  Get("/dsAgent/getHtmlPackage/", [this](const httplib::Request&, const RecordedRequest& rec, httplib::Response& res) {
    std::string userId, fileId = QueryValue(rec.query, "fileId", ""), plain, reason;
    ItemView item;
    int64_t fileVer = 0;
    std::shared_ptr<FileContent> content;
    bool known = QueryValue(rec.query, "compress", "") == "zip" &&
                 m_store.Authenticate(QueryValue(rec.query, "token", ""), &userId) == words::kOk &&
                 m_store.VersionOf(userId, fileId, false, &item, &fileVer, &content) == words::kOk;
    if (known) {
      if (std::optional<std::string> package = m_xfer.Thumbnail(fileId)) {
        res.set_content(*package, "application/zip");
        return;
      }
      if (content && PlainOf(*content, m_xfer.Blocks(), &plain, &reason)) {
        std::string html = "<html><body><img src=\"" + fileId + ".jpg\"></body></html>";
        res.set_content(MakeZip({{"index.html", html, std::nullopt}, {fileId + ".jpg", plain, std::nullopt}}),
                        "application/zip");
        return;
      }
    }
    res.status = 404;
    res.set_content("no thumbnail", "text/plain");
  });
}

}  // namespace localsvc
