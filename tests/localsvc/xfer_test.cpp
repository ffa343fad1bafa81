// The local service's file transfers over raw HTTP: upload tickets, the block server
// and the whole-file URLs, commits, downloads of uploaded and seeded files in both
// protocols, the service's checks of what a client sends, block numbers and thumbnail
// packages. Blocks and files are made by the peer codec (OpenSSL, liblzma,
// 7zz); openssl and python3's zipfile check what the service writes.
#include <set>
#include <thread>

#include "support/peercodec.h"
#include "svcapi.h"

namespace {

const std::string kEmptyBlockId = "000000da39a3ee5e6b4b0d3255bfef95601890afd80709";

// A block-server reply, checked against what the client's reader takes: one compact
// object of strings, arrays holding objects only, no \u escapes.
void CheckStringsOnly(const nlohmann::json& j, const std::string& text) {
  if (j.is_object()) {
    for (const auto& [k, v] : j.items()) CheckStringsOnly(v, text);
  } else if (j.is_array()) {
    for (const auto& v : j) {
      EXPECT_TRUE(v.is_object()) << text;
      CheckStringsOnly(v, text);
    }
  } else {
    EXPECT_TRUE(j.is_string()) << text;
  }
}

nlohmann::json ParseJson(const HttpReply& http) {
  EXPECT_EQ(200, http.status) << http.body;
  nlohmann::json j = nlohmann::json::parse(http.body, nullptr, false);
  EXPECT_TRUE(j.is_object()) << http.body;
  EXPECT_EQ(std::string::npos, http.body.find_first_of("\n\t")) << http.body;
  EXPECT_EQ(std::string::npos, http.body.find("\\u")) << http.body;
  CheckStringsOnly(j, http.body);
  return j;
}

class TransferServiceTest : public LocalServiceTest {
 protected:
  void SetUp() override {
    LocalServiceTest::SetUp();
    alice = FsAccount(Service(), "alice");
    bob = FsAccount(Service(), "bob");
  }

  Reply Api(const nlohmann::json& who, const std::string& path, const Params& params, const std::string& v) {
    return CallApi(Service(), path, params, v, who);
  }
  std::string NewFile(const nlohmann::json& who, const std::string& name) {
    Reply r = Api(who, "/xsvr/newFile/", {{"parentId", ""}, {"name", name}}, "2");
    EXPECT_EQ("ok", r.word);
    return r.values["fileId"];
  }
  Reply RequestUpload(const nlohmann::json& who, const std::string& fileId, int64_t fileVer, const std::string& content,
                    const std::string& v) {
    return Api(who, "/xsvr/requestUpload/",
               {{"fileVer", std::to_string(fileVer)}, {"size", std::to_string(content.size())}, {"fileId", fileId},
                {"sha1", PeerSha1(content)}},
               v);
  }
  HttpReply Blk(const std::string& target, const std::string& body, const std::vector<std::string>& headers = {"v:3"}) {
    return HttpExchange(Service().Port(), "POST", "/blk/" + target, body, headers);
  }
  std::string MetadataBody(const std::string& stub, const std::vector<std::string>& blocks) {
    std::string body = "{\"stub\":\"" + stub + "\",\"metas\":[";
    for (size_t i = 0; i < blocks.size(); ++i)
      body += (i ? ",{\"index\":" : "{\"index\":") + std::to_string(i + 1) + ",\"md5\":\"" + PeerMd5(blocks[i]) +
              "\",\"blockId\":" + PeerBlockId(blocks[i]) + "}";
    return body + "]}";
  }
  nlohmann::json DownloadMetadata(const std::string& stub) {
    return ParseJson(Blk("downloadMetadata", "{\"stub\":\"" + stub + "\"}"));
  }
  HttpReply DownloadBlock(const std::string& stub, const std::string& index) {
    return Blk("downloadBlock", "{\"stub\":\"" + stub + "\",\"index\":" + index + "}", {"v:2"});
  }
  std::string UploadBlock(const std::string& stub, int index, const std::string& encoded) {
    HttpReply r = Blk("uploadBlock?stub=" + stub + "&sha1=" + PeerSha1(encoded) + "&size=" +
                          std::to_string(encoded.size()) + "&index=" + std::to_string(index),
                      encoded, {});
    return ParseJson(r).value("code", "");
  }

  // A whole block upload as the client makes it; returns the commit's reply. *sent
  // gets the numbers of the blocks that were sent.
  Reply UploadByBlocks(const nlohmann::json& who, const std::string& fileId, int64_t fileVer, const std::string& content,
                     std::vector<int>* sent = nullptr) {
    Reply ticket = RequestUpload(who, fileId, fileVer, content, "3");
    EXPECT_EQ("ok", ticket.word);
    EXPECT_EQ(Service().Root() + "/blk/", ticket.values["url"]);
    std::string stub = ticket.values["stub"];
    std::vector<std::string> blocks = PeerSplit(content);
    nlohmann::json meta = ParseJson(Blk("uploadMetadata", MetadataBody(stub, blocks)));
    EXPECT_EQ("ok", meta["code"]);
    for (size_t i = 0; i < blocks.size(); ++i) {
      std::string key = meta["blocks"].value(PeerBlockId(blocks[i]), "");
      if (key == "TargetExist") continue;
      EXPECT_EQ(64u, key.size()) << meta.dump();
      // Small blocks go packed, others not: the service reads both.
      EXPECT_EQ("ok", UploadBlock(stub, static_cast<int>(i + 1), PeerRtv0(blocks[i], key, blocks[i].size() < 100000)));
      if (sent) sent->push_back(static_cast<int>(i + 1));
    }
    return Api(who, "/xsvr/commit/", {{"stub", stub}}, "3");
  }

  // A block download as the client makes it, decoded by the peer.
  std::string DownloadByBlocks(const nlohmann::json& who, const std::string& fileId, bool previous = false) {
    Reply ticket = Api(who, previous ? "/xsvr/requestDownloadPreviousVer/" : "/xsvr/requestDownload/",
                     {{"fileId", fileId}}, "3");
    EXPECT_EQ("ok", ticket.word);
    std::string joined;
    const nlohmann::json meta = DownloadMetadata(ticket.values["stub"]);
    for (const auto& b : meta["blocks"]) {
      HttpReply r = DownloadBlock(ticket.values["stub"], "\"" + b["index"].get<std::string>() + "\"");
      std::string plain;
      EXPECT_EQ(b["sha1"], PeerSha1(r.body));
      EXPECT_TRUE(PeerDecode(r.body, b["fileKey"], Root(), &plain));
      EXPECT_EQ(b["blockId"], PeerBlockId(plain));
      joined += plain;
    }
    EXPECT_EQ(ticket.values["sha1"], PeerSha1(joined));
    return joined;
  }

  std::string DownloadWhole(const nlohmann::json& who, const std::string& fileId) {
    Reply ticket = Api(who, "/xsvr/requestDownload/", {{"fileId", fileId}}, "2");
    EXPECT_EQ("ok", ticket.word);
    EXPECT_EQ(Service().Root() + "/wf/download?", ticket.values["url"]);
    HttpReply r = HttpExchange(Service().Port(), "GET", "/wf/download?stub=" + ticket.values["stub"] + "&bakVer=nowVer");
    EXPECT_EQ(200, r.status);
    EXPECT_EQ(ticket.values["compressSha1"], PeerSha1(r.body));
    std::string plain;
    EXPECT_TRUE(PeerDecode(r.body, ticket.values["fileKey"], Root(), &plain));
    EXPECT_EQ(ticket.values["sha1"], PeerSha1(plain));
    return plain;
  }

  // A multipart upload as the client sends it; sizeText replaces the true size.
  Reply UploadWhole(const std::string& stub, const std::string& encoded, const std::string& sizeText = "") {
    const std::string boundary = "------------------------peer0123456789";
    std::string body = "--" + boundary +
                       "\r\nContent-Disposition: form-data; name=\"FileCont\"; filename=\"{0A1B2C3D}\"\r\n"
                       "Content-Type: application/octet-stream\r\n\r\n" + encoded + "\r\n--" + boundary + "--\r\n";
    std::string target = "/wf/upload?stub=" + stub + "&uploadSize=" +
                         (sizeText.empty() ? std::to_string(encoded.size()) : sizeText) +
                         "&uploadSha1=" + PeerSha1(encoded);
    std::string type = "Content-Type: multipart/form-data; boundary=" + boundary;
    return ParseReply(HttpExchange(Service().Port(), "POST", target, body, {"v:2", "User-Agent:ostrel", type}));
  }
  // The last check the service recorded.
  nlohmann::json LastCheck() { return XferState(Service())["checks"].back(); }

  nlohmann::json alice, bob;
};

// Blocks the service holds (the 4 MiB file's, and its empty last block) are marked
// TargetExist for everyone: another user's upload of that content sends nothing.
TEST_F(TransferServiceTest, BlockUploadsCommitAndDownload) {
  for (size_t size : {size_t(0), size_t(65536), kPeerBlockSize}) {
    SCOPED_TRACE(size);
    const std::string content = RandomBytes(size, static_cast<uint32_t>(size));
    const std::string fileId = NewFile(alice, "f" + std::to_string(size));
    std::vector<int> sent;
    Reply commit = UploadByBlocks(alice, fileId, 0, content, &sent);
    ASSERT_EQ("ok", commit.word);
    EXPECT_EQ("1", commit.values["fileVer"]);
    EXPECT_EQ(1u, sent.size()) << "the 4 MiB file's empty last block is held since the empty file";
    nlohmann::json state = XferState(Service(), fileId);
    EXPECT_EQ(1, state["fileVer"]);
    EXPECT_EQ(PeerSha1(content), state["versions"][0]["sha1"]);
    if (size % kPeerBlockSize == 0) {
      EXPECT_EQ(kEmptyBlockId, state["versions"][0]["blockIds"].back());
    }
    EXPECT_EQ(content, DownloadByBlocks(alice, fileId));
    EXPECT_EQ(content, XferContent(Service(), fileId));
  }
  const std::string content = RandomBytes(kPeerBlockSize, kPeerBlockSize), bobs = NewFile(bob, "b");
  std::vector<int> sent;
  EXPECT_EQ("ok", UploadByBlocks(bob, bobs, 0, content, &sent).word);
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(content, DownloadByBlocks(bob, bobs));
  EXPECT_EQ(3, XferState(Service())["blocks"]) << "the empty block, 64 KiB and 4 MiB";
  // Both packed and unpacked blocks were decoded.
  std::set<std::string> formats;
  const nlohmann::json checks = XferState(Service())["checks"];
  for (const auto& c : checks)
    if (c["step"] == "uploadBlock") formats.insert(c["format"].get<std::string>());
  EXPECT_EQ((std::set<std::string>{"rtv0", "rtv0-lzma"}), formats);
}

TEST_F(TransferServiceTest, ConcurrentTransfersOfFilesSharingBlocks) {
  // Five files of 4 MiB of the same bytes and a tail of their own, sent at once: each
  // upload may announce and send the shared block while the others do.
  const std::string shared = RandomBytes(kPeerBlockSize, 5);
  std::vector<std::string> ids, contents;
  for (int i = 0; i < 5; ++i) {
    ids.push_back(NewFile(alice, "c" + std::to_string(i)));
    contents.push_back(shared + RandomBytes(static_cast<size_t>(i) * 1000, static_cast<uint32_t>(50 + i)));
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < 5; ++i)
    threads.emplace_back([&, i] {
      EXPECT_EQ("ok", UploadByBlocks(alice, ids[i], 0, contents[i]).word);
      EXPECT_EQ(contents[i], DownloadByBlocks(alice, ids[i]));
    });
  for (auto& t : threads) t.join();
  // The shared block, four tails and the empty block that ends the first file.
  EXPECT_EQ(6, XferState(Service())["blocks"]);
}

TEST_F(TransferServiceTest, RefusedBlocksMetadataAndTickets) {
  std::string content = RandomBytes(3000, 3);
  std::string fileId = NewFile(alice, "r");
  std::string stub = RequestUpload(alice, fileId, 0, content, "3").values["stub"];
  // Metadata that is not the 4 MiB split of the announced size.
  EXPECT_EQ("clientBadParams", ParseJson(Blk("uploadMetadata", MetadataBody(stub, {content.substr(1)})))["code"]);
  EXPECT_EQ("clientBadParams", ParseJson(Blk("uploadMetadata", MetadataBody(stub, {content, ""})))["code"]);
  EXPECT_NE("", LastCheck()["reason"]);
  EXPECT_EQ("badStub", ParseJson(Blk("uploadMetadata", MetadataBody("nosuchstub", {content})))["code"]);
  std::string key = ParseJson(Blk("uploadMetadata", MetadataBody(stub, {content})))["blocks"][PeerBlockId(content)];
  // A key whose digit pairs are read the other way round.
  std::string unswapped;
  for (size_t i = 0; i < key.size(); i += 2) unswapped += {key[i + 1], key[i]};
  std::string good = PeerRtv0(content, key, true);
  std::string tampered = good;
  tampered[70] ^= 1;
  std::string otherContent = content;
  otherContent[0] ^= 1;
  struct { const char* what; std::string query; std::string body; } cases[] = {
      {"size", "&size=" + std::to_string(good.size() + 1) + "&sha1=" + PeerSha1(good), good},
      {"sha1", "&size=" + std::to_string(good.size()) + "&sha1=" + PeerSha1(tampered), good},
      {"cipher", "&size=" + std::to_string(tampered.size()) + "&sha1=" + PeerSha1(tampered), tampered},
      {"key order", "", PeerRtv0(content, unswapped, false)},
      {"content", "", PeerRtv0(otherContent, key, false)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string query = c.query.empty() ? "&size=" + std::to_string(c.body.size()) + "&sha1=" + PeerSha1(c.body) : c.query;
    nlohmann::json r = ParseJson(Blk("uploadBlock?stub=" + stub + query + "&index=1", c.body, {}));
    EXPECT_EQ("uploadError", r["code"]);
    EXPECT_EQ("uploadError", LastCheck()["word"]);
    EXPECT_NE("", LastCheck()["reason"]);
  }
  // Nothing was stored: the commit fails, then succeeds once the block is good.
  EXPECT_EQ("uploadError", Api(alice, "/xsvr/commit/", {{"stub", stub}}, "3").word);
  EXPECT_EQ("ok", UploadBlock(stub, 1, good));
  EXPECT_EQ("badStub", Api(bob, "/xsvr/commit/", {{"stub", stub}}, "3").word);
  EXPECT_EQ("ok", Api(alice, "/xsvr/commit/", {{"stub", stub}}, "3").word);
  EXPECT_EQ("badStub", Api(alice, "/xsvr/commit/", {{"stub", stub}}, "3").word);
  EXPECT_EQ("badStub", UploadBlock(stub, 1, good));

  // Tickets check the version, the owner and the space.
  fileId = NewFile(alice, "v");
  EXPECT_EQ("fileVerConflict", RequestUpload(alice, fileId, 3, "x", "3").word);
  EXPECT_EQ("targetNotExist", RequestUpload(alice, "999999", 0, "x", "2").word);
  EXPECT_EQ("targetNotExist", RequestUpload(bob, fileId, 0, "x", "2").word);
  nlohmann::json tiny = FsControl(Service(), "/test/fs/account", {{"user", "tiny"}, {"password", "p"}, {"total", 10}});
  EXPECT_EQ("overSpace", RequestUpload(tiny, NewFile(tiny, "big"), 0, std::string(11, 'x'), "3").word);
  // Two tickets for version 0: the second commit finds the version moved.
  std::string first = RequestUpload(alice, fileId, 0, "one", "3").values["stub"];
  ASSERT_EQ("ok", UploadByBlocks(alice, fileId, 0, "two").word);
  key = ParseJson(Blk("uploadMetadata", MetadataBody(first, {"one"})))["blocks"][PeerBlockId("one")];
  EXPECT_EQ("ok", UploadBlock(first, 1, PeerRtv0("one", key, false)));
  EXPECT_EQ("fileVerConflict", Api(alice, "/xsvr/commit/", {{"stub", first}}, "3").word);
  EXPECT_EQ("two", XferContent(Service(), fileId));
}

TEST_F(TransferServiceTest, WholeFileUploadAndDownload) {
  std::string plainText = RandomBytes(70000, 11);
  std::string archiveLike = "7z\xBC\xAF\x27\x1C" + RandomBytes(5000, 12);
  for (const std::string& content : {plainText, archiveLike}) {
    std::string fileId = NewFile(alice, "w" + std::to_string(content.size()));
    Reply ticket = RequestUpload(alice, fileId, 0, content, "2");
    ASSERT_EQ("ok", ticket.word);
    EXPECT_EQ(Service().Root() + "/wf/upload?", ticket.values["url"]);
    std::string key = ticket.values["fileKey"];
    // Content that begins with the 7z signature travels inside a 7z archive.
    std::string encoded = PeerFileHeader(content == archiveLike ? Peer7z(content, Root()) : content, key);
    Reply wrongSize = UploadWhole(ticket.values["stub"], encoded, std::to_string(encoded.size() - 1));
    EXPECT_EQ("uploadError", wrongSize.word);
    Reply up = UploadWhole(ticket.values["stub"], encoded);
    EXPECT_EQ("ok", up.word);
    EXPECT_EQ("ok", up.values["result"]);
    EXPECT_EQ("1", up.values["fileVer"]);
    EXPECT_EQ(content == archiveLike ? "fileheader-7z" : "fileheader", LastCheck()["format"]);
    EXPECT_EQ("badStub", UploadWhole(ticket.values["stub"], encoded).word);
    EXPECT_EQ(content, DownloadWhole(alice, fileId));
    EXPECT_EQ(content, DownloadByBlocks(alice, fileId));
  }
  // Refused: a file enciphered with another key, or decoding to other content.
  std::string fileId = NewFile(alice, "bad");
  for (bool otherKey : {true, false}) {
    Reply ticket = RequestUpload(alice, fileId, 0, plainText, "2");
    std::string key = otherKey ? std::string(64, '1') : ticket.values["fileKey"];
    EXPECT_EQ("uploadError", UploadWhole(ticket.values["stub"], PeerFileHeader(otherKey ? plainText : "x", key)).word);
    EXPECT_NE("", LastCheck()["reason"]);
  }
  // An empty file is emptyFile for the whole-file protocol, one empty block for blocks.
  std::string empty = NewFile(alice, "empty");
  ASSERT_EQ("ok", UploadByBlocks(alice, empty, 0, "").word);
  EXPECT_EQ("emptyFile", Api(alice, "/xsvr/requestDownload/", {{"fileId", empty}}, "2").word);
  EXPECT_EQ("", DownloadByBlocks(alice, empty));
}

TEST_F(TransferServiceTest, SeededFilesInEveryFormatAndPreviousVersions) {
  std::string content = RandomBytes(kPeerBlockSize + 3000, 21);
  for (std::string format : {"blocks", "blocks-lzma", "whole", "whole-7z"}) {
    SCOPED_TRACE(format);
    nlohmann::json seeded = FsSeedFile(Service(), alice["userId"], "s-" + format, content, format);
    EXPECT_EQ(PeerSha1(content), seeded["sha1"]);
    EXPECT_EQ(content, DownloadByBlocks(alice, seeded["fileId"]));
    EXPECT_EQ(content, DownloadWhole(alice, seeded["fileId"]));
  }
  // The seeded block read by openssl with the key's digit pairs swapped, and by xz.
  std::string small = RandomBytes(5000, 22);
  nlohmann::json seeded = FsSeedFile(Service(), alice["userId"], "small", small, "blocks-lzma");
  Reply ticket = Api(alice, "/xsvr/requestDownload/", {{"fileId", seeded["fileId"]}}, "3");
  nlohmann::json meta = DownloadMetadata(ticket.values["stub"]);
  std::string block = DownloadBlock(ticket.values["stub"], "\"1\"").body;
  ASSERT_EQ(0x03, block[5]);
  std::string key = meta["blocks"][0]["fileKey"], swapped;
  for (size_t i = 0; i < key.size(); i += 2) swapped += {key[i + 1], key[i]};
  WriteFileBytes(PathIn("cipher"), block.substr(64));
  std::string packed;
  ASSERT_EQ(0, RunCommand("openssl enc -d -aes-256-ecb -nopad -K " + swapped + " -in " + PathIn("cipher"), &packed));
  WriteFileBytes(PathIn("packed.lzma"), packed.substr(0, packed.size() - static_cast<unsigned char>(block[40])));
  std::string unpacked;
  ASSERT_EQ(0, RunCommand("xz --format=lzma -dc " + PathIn("packed.lzma"), &unpacked));
  EXPECT_EQ(small, unpacked);

  // Previous versions: only the one before the current one is kept.
  const std::string fileId = FsSeedFile(Service(), alice["userId"], "p", "first", "whole")["fileId"];
  EXPECT_EQ("targetNotExist", Api(alice, "/xsvr/requestDownloadPreviousVer/", {{"fileId", fileId}}, "3").word);
  EXPECT_EQ(2, FsSeedVersion(Service(), fileId, "second", "blocks")["fileVer"]);
  ASSERT_EQ("ok", UploadByBlocks(alice, fileId, 2, "third").word);
  EXPECT_EQ("third", DownloadByBlocks(alice, fileId));
  EXPECT_EQ("second", DownloadByBlocks(alice, fileId, true));
  Reply previous = Api(alice, "/xsvr/requestDownloadPreviousVer/", {{"fileId", fileId}}, "2");
  EXPECT_EQ("2", previous.values["fileVer"]);
  const std::string download = "/wf/download?stub=" + previous.values["stub"];
  EXPECT_EQ(404, HttpExchange(Service().Port(), "GET", download + "&bakVer=nowVer").status);
  HttpReply prev = HttpExchange(Service().Port(), "GET", download + "&bakVer=previousVer");
  std::string plain;
  EXPECT_TRUE(PeerDecode(prev.body, previous.values["fileKey"], Root(), &plain));
  EXPECT_EQ("second", plain);
  EXPECT_FALSE(XferContent(Service(), fileId, 1).has_value());
}

// Block numbers are quoted texts within the file.
TEST_F(TransferServiceTest, DownloadBlockNumbersAreQuotedTextsWithinTheFile) {
  std::string fileId = FsSeedFile(Service(), alice["userId"], "h", RandomBytes(kPeerBlockSize + 5, 31))["fileId"];
  std::string stub = Api(alice, "/xsvr/requestDownload/", {{"fileId", fileId}}, "3").values["stub"];
  EXPECT_EQ(DownloadMetadata(stub)["blocks"][1]["sha1"], PeerSha1(DownloadBlock(stub, "\"2\"").body));
  EXPECT_EQ(404, DownloadBlock(stub, "\"3\"").status);
  EXPECT_EQ(404, DownloadBlock(stub, "1").status);
}

TEST_F(TransferServiceTest, ThumbnailPackages) {
  std::string picture = RandomBytes(3000, 41);
  std::string fileId = FsSeedFile(Service(), alice["userId"], "p.jpg", picture, "whole")["fileId"];
  auto fetch = [&](const std::string& token) {
    return HttpExchange(Service().Port(), "GET",
                        "/dsAgent/getHtmlPackage/?token=" + token + "&fileId=" + fileId +
                            "&view=ostrel&clientWidth=100&clientHeight=80&compress=zip&suff=jpg",
                        "", {"v:2", "User-Agent:ostrel"});
  };
  EXPECT_EQ(404, fetch("nosuchtoken").status);
  HttpReply r = fetch(alice["token"]);
  ASSERT_EQ(200, r.status);
  // python3's zipfile lists the entries, checks their CRCs (on request) and reads the last.
  auto read = [&](const std::string& package, bool check) {
    WriteFileBytes(PathIn("package.zip"), package);
    WriteFileBytes(PathIn("read.py"), std::string("import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1])\n") +
                                          (check ? "assert z.testzip() is None\n" : "") +
                                          "for i in z.infolist(): print(i.filename, i.file_size)\n"
                                          "sys.stdout.flush()\n" +
                                          (check ? "sys.stdout.buffer.write(z.read(z.infolist()[-1]))\n" : ""));
    std::string out;
    EXPECT_EQ(0, RunCommand("python3 " + PathIn("read.py") + " " + PathIn("package.zip"), &out));
    return out;
  };
  std::string listing = read(r.body, true);
  EXPECT_EQ(0u, listing.find("index.html ")) << listing;
  std::string entry = fileId + ".jpg 3000\n";
  ASSERT_NE(std::string::npos, listing.find(entry)) << listing;
  EXPECT_EQ(picture, listing.substr(listing.find(entry) + entry.size()));
  // A package whose entry claims 4 GiB.
  nlohmann::json big = {{"name", "big.jpg"}, {"text", "tiny"}, {"claimedSize", 1LL << 32}};
  FsControl(Service(), "/test/xfer/thumbnail", {{"fileId", fileId}, {"entries", nlohmann::json::array({big})}});
  EXPECT_EQ("big.jpg 4294967296\n", read(fetch(alice["token"]).body, false));
}

}  // namespace
