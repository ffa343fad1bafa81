// File transfers end to end against the local service, which decodes everything it
// receives with its own code (OpenSSL, liblzma, 7zz) and serves files seeded by its own
// encoders: round trips through the block and whole-file slots on both service
// versions, resume, the short cut for blocks the service holds, cancel, dropped
// connections, hostile replies and tickets, previous versions and thumbnails.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "core/remotestorage/transferservice.h"
#include "support/logcapture.h"
#include "support/textcodec.h"

namespace {

constexpr size_t kMiB = size_t(1) << 20;

// The round trips: the block service with the sizes at the edges of the 64 KiB pieces
// and 4 MiB blocks (it alone takes empty files), the whole-file service, which has no
// blocks, with fewer. A file ending in the last piece of a block (4 MiB - 1, 8 MiB - 1)
// once got an empty block after it, which the service refused.
std::vector<std::tuple<const char*, size_t>> RoundTrips() {
  std::vector<std::tuple<const char*, size_t>> out;
  for (size_t size : {size_t(1), size_t(65536), 9 * kMiB}) out.emplace_back("2", size);
  for (size_t size : {size_t(0), size_t(1), size_t(65536), 4 * kMiB - 1, 4 * kMiB, 4 * kMiB + 1, 8 * kMiB - 1,
                      9 * kMiB})
    out.emplace_back("3", size);
  return out;
}

// One round trip per service version and size.
class TransferRoundTripTest : public TransferServiceTest,
                              public ::testing::WithParamInterface<std::tuple<const char*, size_t>> {
 protected:
  std::vector<std::string> ServiceArgs() override { return {"--global-version", std::get<0>(GetParam())}; }
};

TEST_P(TransferRoundTripTest, FileComesBackByteIdenticalAndTheServiceDecodesIt) {
  const size_t size = std::get<1>(GetParam());
  std::string version;
  ASSERT_EQ(S_OK, m_rs->GetGlobalVersion(m_token, &version));
  ASSERT_EQ(std::get<0>(GetParam()), version);
  const bool blocks = version == "3";  // the choice the file tasks make
  // Text packs (the compress policy packs a name without a listed extension); files of
  // megabytes are stored unpacked under a media name, to keep the run short (the
  // encoder's tests pack large inputs against peers).
  const bool media = size > kMiB;
  const std::string name = media ? "clip.mp4" : "notes-" + std::to_string(size);
  const std::string plain = media ? RandomBytes(size, 9) : TextBytes(size, static_cast<uint32_t>(size));
  const std::string fileId = NewFile(name);
  LogCapture log;
  std::string newVer, back;
  if (blocks) {
    ASSERT_EQ(S_OK, UploadBlocks(fileId, "0", name, plain, &newVer));
    EXPECT_EQ(size / (4 * kMiB) + 1, Service().Requests("/blk/uploadBlock").size()) << "no empty block after a part";
    TaskData_DownloadFile_UFA rec;
    ASSERT_EQ(S_OK, DownloadBlocks(fileId, &back, false, nullptr, nullptr, &rec));
    EXPECT_EQ(Sha1(plain), rec.strFileSha1);
    EXPECT_EQ(newVer, rec.strFileVer);
  } else {
    ASSERT_EQ(S_OK, UploadWhole(fileId, "0", name, plain, &newVer));
    ASSERT_EQ(S_OK, DownloadWhole(fileId, &back));
  }
  EXPECT_EQ("1", newVer);
  EXPECT_TRUE(back == plain) << "the file comes back byte-identical";
  std::optional<std::string> decoded = XferContent(Service(), fileId);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_TRUE(*decoded == plain) << "the service's own decode agrees";
  const nlohmann::json state = XferState(Service());
  size_t checks = 0, packed = 0;  // the service's checks of the uploads
  for (const auto& check : state["checks"]) {
    if (check["fileId"] != fileId) continue;
    ++checks;
    EXPECT_EQ("ok", check["word"]) << check.dump();
    const std::string format = check["format"];
    packed += format.find("lzma") != std::string::npos || format.find("7z") != std::string::npos;
  }
  EXPECT_GT(checks, 0u);
  EXPECT_EQ(!media && size >= 1024, packed > 0) << "content of 1 KiB and more is packed, media never";
  EXPECT_TRUE(Entries().empty()) << "a success leaves nothing";
  const std::regex key("[0-9a-fA-F]{64}");
  for (const std::string& line : log.Lines()) EXPECT_FALSE(std::regex_search(line, key)) << "a file key: " << line;
}

std::string RoundTripName(const ::testing::TestParamInfo<std::tuple<const char*, size_t>>& info) {
  return std::string("Version") + std::get<0>(info.param) + "_" + std::to_string(std::get<1>(info.param)) + "Bytes";
}

INSTANTIATE_TEST_SUITE_P(ServiceVersions, TransferRoundTripTest, ::testing::ValuesIn(RoundTrips()), RoundTripName);

using TransferTest = TransferServiceTest;

TEST_F(TransferTest, UploadingContentTheServiceHoldsSendsNoBlock) {
  const std::string plain = RandomBytes(4 * kMiB + 100, 1);  // a media name: unpacked, to be quick
  const std::string fileId = NewFile("a.mp4");
  std::string ver;
  ASSERT_EQ(S_OK, UploadBlocks(fileId, "0", "a.mp4", plain, &ver));
  EXPECT_EQ(2u, Service().Requests("/blk/uploadBlock").size());
  Service().Reset();
  // Every report, and the first one's upload pair.
  struct Reports {
    int calls = 0;
    double total = -1, done = -1;
    static HRESULT Callback(void* ctx, double, double, double ulTotal, double ulNow, double) {
      auto* r = static_cast<Reports*>(ctx);
      if (r->calls++ == 0) r->total = ulTotal, r->done = ulNow;
      return S_OK;
    }
  } none, first;
  // The same content again, as the next version and as another file.
  ASSERT_EQ(S_OK, UploadBlocks(fileId, ver, "a.mp4", plain, &ver, Reports::Callback, &none));
  EXPECT_EQ("2", ver);
  const std::string other = NewFile("b.mp4");
  ASSERT_EQ(S_OK, UploadBlocks(other, "0", "b.mp4", plain, &ver, Reports::Callback, &none));
  EXPECT_EQ(0u, Service().Requests("/blk/uploadBlock").size());
  EXPECT_EQ(2u, Service().Requests("/xsvr/commit/").size());
  EXPECT_EQ(0, none.calls);
  std::string back;
  ASSERT_EQ(S_OK, DownloadBlocks(other, &back));
  EXPECT_TRUE(back == plain);

  // A new tail after a block the service holds: only the tail goes, and progress counts
  // the held block as done from the first report on, over the file's size.
  const std::string changed = plain.substr(0, 4 * kMiB) + "a new tail";
  Service().Reset();
  ASSERT_EQ(S_OK, UploadBlocks(other, ver, "b.mp4", changed, &ver, Reports::Callback, &first));
  EXPECT_EQ(1u, Service().Requests("/blk/uploadBlock").size());
  EXPECT_EQ(static_cast<double>(changed.size()), first.total);
  EXPECT_EQ(static_cast<double>(4 * kMiB), first.done);
  ASSERT_EQ(S_OK, DownloadBlocks(other, &back));
  EXPECT_TRUE(back == changed);
}

// Block upload replies the upload cannot go on with: a block the service refuses, or a
// metadata reply without a valid key for a block the service lacks (nothing is sent:
// a block stored under a key nobody has is lost). Nothing is committed.
TEST_F(TransferTest, ARefusedBlockOrAMissingKeyCommitsNothing) {
  const std::string plain = TextBytes(5000, 6), fileId = NewFile("k.txt");
  auto keyed = [&](const std::string& key) {
    const nlohmann::json blocks = {{FormatBlockId(5000, Sha1(plain)), key}};
    return nlohmann::json{{"path", "/blk/uploadMetadata"}, {"body", nlohmann::json{{"code", "ok"}, {"blocks", blocks}}.dump()}};
  };
  struct Case {
    nlohmann::json fault;
    HRESULT hr;
  } cases[] = {
      {{{"path", "/blk/uploadBlock"}, {"body", R"({"code":"uploadError"})"}}, E_CV_SRV_UPLOAD_ERROR},
      {keyed(""), E_FAIL},
      {keyed(std::string(63, '7')), E_FAIL},
      {keyed(std::string(64, 'x')), E_FAIL},
      {keyed("targetexist"), E_FAIL},
      {nullptr, E_FAIL},  // the block left out of the reply
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault.dump());
    Service().Reset();
    if (c.fault.is_null()) {
      FsControl(Service(), "/test/xfer/metadata", {{"path", "/blk/uploadMetadata"}, {"dropKey", true}});
    } else {
      Service().Inject(c.fault.dump());
    }
    std::string ver = "unchanged";
    EXPECT_EQ(c.hr, UploadBlocks(fileId, "0", "k.txt", plain, &ver));
    EXPECT_EQ("unchanged", ver);
    EXPECT_EQ(c.hr == E_FAIL ? 0u : 1u, Service().Requests("/blk/uploadBlock").size());
    EXPECT_TRUE(Service().Requests("/xsvr/commit/").empty());
  }
  // A block that cannot be read fails the upload before the service is asked.
  Service().Reset();
  TaskData_UpdateFile_UFA rec;
  rec.strToken = m_token;
  rec.strFileVer = "0";
  rec.strFileName = rec.strFileId = fileId;
  rec.strSizeOrg = "5000";
  rec.strFileOrgSha1 = Sha1(plain);
  rec.pathEncode = m_store->GetTempFilePath();
  EXPECT_EQ(E_FAIL, m_rs->UploadFile_UFA(rec, {PathIn("gone")}, nullptr, nullptr, nullptr));
  EXPECT_TRUE(Service().Requests().empty());
}

TEST_F(TransferTest, ACorruptBlockFailsTheDownloadAndALaterStoreFetchesOnlyIt) {
  // Seeded as another device would have uploaded it, packed by liblzma.
  const std::string plain = TextBytes(8 * kMiB + 5000, 2);
  const std::string fileId = FsSeedFile(Service(), m_userId, "big.txt", plain, "blocks-lzma")["fileId"];
  FsControl(Service(), "/test/xfer/corrupt", {{"fileId", fileId}, {"index", 2}});
  std::string back;
  EXPECT_EQ(E_FAIL, DownloadBlocks(fileId, &back));
  const std::vector<std::string> kept = KeptBlocks();
  EXPECT_EQ(2u, kept.size());
  EXPECT_TRUE(Leftovers().empty());
  RefPtr<ILocalStorage> later;  // as the user's next process starts
  ASSERT_EQ(S_OK, CreateLocalStorage(later.Receive()));
  ASSERT_EQ(S_OK, later->Init(Root() + "/user", Root() + "/sync"));
  EXPECT_EQ(kept, KeptBlocks());
  Service().Reset();
  ASSERT_EQ(S_OK, DownloadBlocks(fileId, &back));
  std::vector<RecordedRequest> fetched = Service().Requests("/blk/downloadBlock");
  ASSERT_EQ(1u, fetched.size()) << "only the block that failed";
  EXPECT_NE(std::string::npos, fetched[0].body.find("\"index\":\"2\""));
  EXPECT_TRUE(back == plain);
  later = nullptr;
  EXPECT_TRUE(Entries().empty()) << "the resume folder goes with the success";
}

TEST_F(TransferTest, SeededFilesAndPreviousVersionsDownload) {
  const std::string v1 = TextBytes(70000, 3), v2 = RandomBytes(5000, 4);
  nlohmann::json seeded = FsSeedFile(Service(), m_userId, "doc.txt", v1, "blocks-lzma");
  const std::string fileId = seeded["fileId"];
  FsSeedVersion(Service(), fileId, v2, "blocks");
  std::string back;
  ASSERT_EQ(S_OK, DownloadBlocks(fileId, &back));
  EXPECT_TRUE(back == v2);
  ASSERT_EQ(S_OK, DownloadBlocks(fileId, &back, true));
  EXPECT_TRUE(back == v1) << "the previous version";
  const std::string whole = FsSeedFile(Service(), m_userId, "w.txt", v1, "whole-7z")["fileId"];
  FsSeedVersion(Service(), whole, v2, "whole");
  ASSERT_EQ(S_OK, DownloadWhole(whole, &back));
  EXPECT_TRUE(back == v2);
  ASSERT_EQ(S_OK, DownloadWhole(whole, &back, 1));
  EXPECT_TRUE(back == v1) << "the previous version";
  // A dropped connection leaves no file behind (the temp folder is checked after the test).
  Service().Inject(R"({"path": "/wf/download", "drop": true})");
  EXPECT_EQ(E_CV_NETWORK_ERROR3, DownloadWhole(whole, &back, 1));
}

// Cancels once the upload or download count passes after.
struct Canceller {
  bool upload;
  double after = 0;
  static HRESULT Callback(void* ctx, double, double dlNow, double, double ulNow, double) {
    auto* c = static_cast<Canceller*>(ctx);
    return (c->upload ? ulNow : dlNow) > c->after ? E_FAIL : S_OK;
  }
};

// An upload cancelled mid-block commits nothing. A download that breaks off in its
// second block keeps the first, verified; the broken block goes. A kept block damaged
// since is fetched again, and a block equal to a kept one is not fetched at all.
TEST_F(TransferTest, ACancelledUploadCommitsNothingAndADownloadKeepsItsVerifiedBlocks) {
  const std::string fileId = NewFile("v.mp4");
  // The service holds back its answer to the block, so the cancel comes while the
  // block is on its way.
  Service().Inject(R"({"path": "/blk/uploadBlock", "delay_ms": 20000})");
  Canceller up{true};
  std::string ver;
  EXPECT_EQ(E_CV_CURL_CANCEL,
            UploadBlocks(fileId, "0", "v.mp4", RandomBytes(4 * kMiB + 10, 5), &ver, Canceller::Callback, &up));
  EXPECT_TRUE(Service().Requests("/xsvr/commit/").empty());
  EXPECT_EQ(0, XferState(Service(), fileId)["fileVer"].get<int>()) << "no version was made";

  Service().Reset();
  const std::string a = RandomBytes(4 * kMiB, 5), plain = a + RandomBytes(4 * kMiB, 6) + a + "end";
  const std::string seeded = FsSeedFile(Service(), m_userId, "s.mp4", plain)["fileId"];
  std::string back;
  Service().Inject(R"([{"path": "/blk/downloadBlock"}, {"path": "/blk/downloadBlock", "drop": true}])");
  EXPECT_EQ(E_CV_NETWORK_ERROR3, DownloadBlocks(seeded, &back));
  ASSERT_EQ(1u, KeptBlocks().size());
  EXPECT_TRUE(Leftovers().empty());

  WriteFileBytes(Temp() + KeptBlocks()[0], "damaged since");
  Service().Reset();
  Service().Inject(R"([{"path": "/blk/downloadBlock"},
                       {"path": "/blk/downloadBlock", "chunk": 65536, "chunk_ms": 100}])");
  Canceller down{false, 4 * kMiB + 65536};  // in the second block
  EXPECT_EQ(E_CV_CURL_CANCEL, DownloadBlocks(seeded, &back, false, Canceller::Callback, &down));
  EXPECT_EQ(2u, Service().Requests("/blk/downloadBlock").size()) << "the damaged block again";
  EXPECT_EQ(1u, KeptBlocks().size());
  EXPECT_TRUE(Leftovers().empty());

  Service().Reset();
  ASSERT_EQ(S_OK, DownloadBlocks(seeded, &back));
  EXPECT_EQ(2u, Service().Requests("/blk/downloadBlock").size()) << "not the third: it is the first";
  EXPECT_TRUE(back == plain);
}

TEST_F(TransferTest, HostileRepliesFailWithoutWritingOutsideTheTempFolder) {
  const std::string plain = TextBytes(5000, 6);
  const std::string fileId = FsSeedFile(Service(), m_userId, "h.txt", plain)["fileId"];
  const std::string before = OutsideTemp();
  std::string back;
  // Block ids a path could be made of, and a well-formed one of other content.
  for (const std::string& id : {std::string("../../x"), std::string(45, 'a'), FormatBlockId(5000, Sha1("other"))}) {
    FsControl(Service(), "/test/xfer/metadata", {{"path", "/blk/downloadMetadata"}, {"blockId", id}});
    EXPECT_EQ(E_FAIL, DownloadBlocks(fileId, &back)) << id;
    EXPECT_TRUE(KeptBlocks().empty()) << id;
  }
  EXPECT_EQ(1u, Service().Requests("/blk/downloadBlock").size()) << "only the well-formed id is fetched";

  FsControl(Service(), "/test/xfer/thumbnail",
            {{"fileId", fileId},
             {"entries",
              nlohmann::json::array({{{"name", "big.jpg"}, {"text", "tiny"}, {"claimedSize", 4294967296}}})}});
  const std::string package = m_store->GetTempFilePath();
  TaskDataPtr<TaskData_GetThumbnail> thumb(
      CreateTaskData_GetThumbnail(m_token, fileId, package, Temp() + "pic.jpg", 64, 64));
  EXPECT_EQ(E_FAIL, m_rs->GetThumbnail(*thumb, nullptr, nullptr, nullptr));
  EXPECT_EQ(before, OutsideTemp());
  EXPECT_TRUE(Entries().empty());
}

// Download tickets as the service writes them, with one value changed: SHA-1 texts
// compare ignoring case; a wrong or missing SHA-1, or a stub a URL cannot carry, fails
// and leaves the target as it was (a whole file's blob is removed).
TEST_F(TransferTest, DownloadTicketsAreCheckedBeforeTheTargetChanges) {
  const std::string plain = TextBytes(5000, 8);
  const std::string blocks = FsSeedFile(Service(), m_userId, "b.txt", plain)["fileId"];
  const nlohmann::json seeded = FsSeedFile(Service(), m_userId, "w.txt", plain, "whole");
  const std::string whole = seeded["fileId"], sha1 = Sha1(plain), blob = seeded["compressSha1"];
  auto upper = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  };
  auto ticket = [&](const std::string& fileId, const std::string& from, const std::string& to) {
    std::string text = HttpExchange(Service().Port(), "POST", "/xsvr/requestDownload/",
                                    "<?xml version=\"1.0\"?><nuvra><token>" + m_token + "</token><fileId>" + fileId +
                                        "</fileId></nuvra>",
                                    {fileId == whole ? "v: 2" : "v: 3"}).body;
    EXPECT_NE(std::string::npos, text.find(from)) << text;
    return text.replace(text.find(from), from.size(), to);
  };
  auto download = [&](const std::string& fileId, const std::string& target) {
    if (fileId == whole) {
      TaskDataPtr<TaskData_DownloadFile> rec(CreateTaskData_DownloadFile(fileId, "\\w.txt", ""));
      rec->strToken = m_token;
      rec->strTempPath = target;
      return m_rs->DownloadFile(*rec, nullptr, nullptr, nullptr);
    }
    TaskData_DownloadFile_UFA rec;
    rec.strToken = m_token;
    rec.strFileId = fileId;
    rec.pathDownload = target;
    return m_rs->DownloadFile_UFA(rec, m_store.get(), nullptr, nullptr, false);
  };
  struct Case {
    const char* name;
    std::string fileId, ticket;
    HRESULT hr;
    bool fetched;  // whether the content was asked for
  } cases[] = {
      {"SHA-1 in upper case", blocks, ticket(blocks, sha1, upper(sha1)), S_OK, true},
      {"another SHA-1", blocks, ticket(blocks, sha1, Sha1("x")), E_CV_SHA1_MISMATCH, true},
      {"no SHA-1", blocks, ticket(blocks, "<sha1>" + sha1 + "</sha1>", ""), E_FAIL, false},
      {"blob SHA-1 in upper case", whole, ticket(whole, blob, upper(blob)), S_OK, true},
      {"another blob SHA-1", whole, ticket(whole, blob, Sha1("x")), E_CV_SHA1_MISMATCH, true},
      {"a stub with '#'", whole, ticket(whole, "<stub>", "<stub>a#"), E_FAIL, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Service().Reset();
    Service().Inject(nlohmann::json{{"path", "/xsvr/requestDownload/"}, {"body", c.ticket}}.dump());
    const std::string target = PathIn("target");
    if (c.fileId == blocks) WriteFileBytes(target, "previous");
    EXPECT_EQ(c.hr, download(c.fileId, target));
    EXPECT_EQ(c.fetched, !Service().Requests(c.fileId == blocks ? "/blk/downloadMetadata" : "/wf/download").empty());
    if (c.fileId == blocks) {
      EXPECT_TRUE(ReadFileBytes(target) == (c.hr == S_OK ? plain : "previous"));
    } else {
      EXPECT_EQ(c.hr == S_OK, FileExists(target));
    }
    RemoveTree(target);
  }
  // A final move that fails keeps the verified block for the next attempt.
  EXPECT_EQ(E_FAIL, download(blocks, PathIn("no/such/folder/target")));
  EXPECT_EQ(1u, KeptBlocks().size());
}

// The reply of a whole-file upload is read from its <result> element, not the root's
// attribute; a stub that cannot travel raw is refused before the file is sent.
TEST_F(TransferTest, WholeFileUploadRepliesAreReadFromTheResultElement) {
  const std::string fileId = NewFile("w.txt");
  const std::string badStub = "<nuvra result=\"ok\"><fileKey>" + std::string(64, '7') + "</fileKey><stub>a b</stub><url>" +
                              Service().Url("/wf/upload?") + "</url></nuvra>";
  const std::pair<std::string, HRESULT> cases[] = {
      {"<nuvra><result>fileVerConflict</result></nuvra>", E_CV_FILE_VER_CONFLICT},
      {"<nuvra><result>uploadError</result></nuvra>", E_CV_SRV_UPLOAD_ERROR},
      {"<nuvra result=\"ok\"/>", E_CV_SRV_SERVER_ERROR},
      {"garbage", E_FAIL},
      {badStub, E_FAIL},
  };
  for (const auto& [reply, hr] : cases) {
    Service().Reset();
    const std::string path = reply == badStub ? "/xsvr/requestUpload/" : "/wf/upload";
    Service().Inject(nlohmann::json{{"path", path}, {"body", reply}}.dump());
    std::string ver;
    EXPECT_EQ(hr, UploadWhole(fileId, "0", "w.txt", "some text", &ver)) << reply;
    EXPECT_EQ(reply == badStub ? 0u : 1u, Service().Requests("/wf/upload").size()) << reply;
  }
}

TEST_F(TransferTest, ThumbnailTakesTheFirstJpgEntryAndChecksIt) {
  using nlohmann::json;
  const std::string fileId = FsSeedFile(Service(), m_userId, "p.txt", "text")["fileId"];
  const std::string picture = RandomBytes(3000, 7);
  const std::string query =
      "token=" + m_token + "&fileId=" + fileId + "&view=ostrel&clientWidth=120&clientHeight=90&compress=zip&suff=jpg";
  auto entry = [](const std::string& name, const std::string& bytes) {
    return json{{"name", name}, {"data_base64", Base64Encode(bytes)}};
  };
  // The service's package of one entry, with a byte of the entry's stored data changed.
  FsControl(Service(), "/test/xfer/thumbnail",
            {{"fileId", fileId}, {"entries", json::array({entry("a.jpg", "picture bytes")})}});
  std::string badCrc;
  ASSERT_EQ(0, RunCommand("curl -s '" + Service().Url("/dsAgent/getHtmlPackage/?" + query) + "'", &badCrc));
  ASSERT_NE(std::string::npos, badCrc.find("picture bytes"));
  badCrc[badCrc.find("picture bytes")] ^= 1;
  const std::string kPath = R"({"path":"/dsAgent/getHtmlPackage/",)";
  struct Case {
    const char* name;
    json entries;        // the package the service makes, or
    std::string fault;   // the reply injected in its place
    HRESULT hr;
    std::string logged;  // a failure line the system fixes ("": a failure is logged)
  } cases[] = {
      {"the first .jpg",
       json::array({entry("index.html", "<html/>"), entry("P.JPG", "upper"), entry(fileId + ".jpg", picture),
                    entry("c.jpg", "x")}),
       "", S_OK, ""},
      {"only .jpeg", json::array({entry("a.jpeg", "x")}), "", E_FAIL, "解压文件失败"},
      {"no entry", json::array(), "", E_FAIL, "被解压文件"},
      {"not a zip", nullptr, kPath + R"("body":"GIF89a"})", E_FAIL, "被解压文件不存在"},
      {"bad CRC", nullptr, kPath + R"("body_base64":")" + Base64Encode(badCrc) + "\"}", E_FAIL, ""},
      {"no package", nullptr, kPath + R"("status":404})", E_CV_SRV_SERVER_ERROR, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Service().Reset();
    if (c.fault.empty()) {
      FsControl(Service(), "/test/xfer/thumbnail", {{"fileId", fileId}, {"entries", c.entries}});
    } else {
      Service().Inject(c.fault);
    }
    LogCapture log;
    const std::string package = m_store->GetTempFilePath(), target = PathIn("cache/" + fileId + ".jpg");
    TaskDataPtr<TaskData_GetThumbnail> thumb(CreateTaskData_GetThumbnail(m_token, fileId, package, target, 90, 120));
    EXPECT_EQ(c.hr, m_rs->GetThumbnail(*thumb, nullptr, nullptr, nullptr));
    EXPECT_FALSE(FileExists(package)) << "the package never remains";
    EXPECT_EQ(c.hr == S_OK, FileExists(target));
    if (c.hr == S_OK) {
      EXPECT_TRUE(ReadFileBytes(target) == picture);
    } else {
      EXPECT_TRUE(log.Contains(c.logged) && log.Failures() > 0) << log.All();
    }
    std::vector<RecordedRequest> got = Service().Requests("/dsAgent/getHtmlPackage/");
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(query, got[0].query);
    RemoveTree(PathIn("cache"));
  }
}

}  // namespace
