// File transfers end to end against the local service, which decodes everything it
// receives with its own code (OpenSSL, liblzma, 7zz) and serves files seeded by its own
// encoders: round trips through the block and whole-file slots on both service
// versions, resume, the short cut for blocks the service holds, cancel, hostile
// replies, previous versions and thumbnails.
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
// blocks, with fewer.
std::vector<std::tuple<const char*, size_t>> RoundTrips() {
  std::vector<std::tuple<const char*, size_t>> out;
  for (size_t size : {size_t(1), size_t(65536), 9 * kMiB}) out.emplace_back("2", size);
  for (size_t size : {size_t(0), size_t(1), size_t(65536), 4 * kMiB, 4 * kMiB + 1, 9 * kMiB})
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
  // a block and more are stored unpacked under a media name, to keep the run short
  // (the encoder's tests pack large inputs against peers).
  const bool media = size >= 4 * kMiB;
  const std::string name = media ? "clip.mp4" : "notes-" + std::to_string(size);
  const std::string plain = media ? RandomBytes(size, 9) : TextBytes(size, static_cast<uint32_t>(size));
  const std::string fileId = NewFile(name);
  LogCapture log;
  std::string newVer, back;
  if (blocks) {
    ASSERT_EQ(S_OK, UploadBlocks(fileId, "0", name, plain, &newVer));
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
  const std::vector<std::string> checks = Checks(fileId);
  ASSERT_FALSE(checks.empty());
  size_t packed = 0;
  for (const std::string& check : checks) {
    EXPECT_NE(std::string::npos, check.find(" ok")) << check;
    packed += check.find("lzma") != std::string::npos || check.find("7z") != std::string::npos;
  }
  EXPECT_EQ(!media && size >= 1024, packed > 0) << "content of 1 KiB and more is packed, media never";
  EXPECT_TRUE(m_storage.Entries().empty()) << "a success leaves nothing";
  const std::regex key("[0-9a-fA-F]{64}");
  for (const std::string& line : log.Lines()) EXPECT_FALSE(std::regex_search(line, key)) << "a file key: " << line;
}

// Names such as Version2_1Byte, Version3_64KiB or Version3_4MiBAnd1Byte.
std::string RoundTripName(const ::testing::TestParamInfo<std::tuple<const char*, size_t>>& info) {
  const size_t size = std::get<1>(info.param);
  const size_t mib = size / kMiB, kib = size % kMiB / 1024, bytes = size % 1024;
  std::string name = std::string("Version") + std::get<0>(info.param) + "_";
  if (mib > 0) name += std::to_string(mib) + "MiB";
  if (kib > 0) name += (mib > 0 ? "And" : "") + std::to_string(kib) + "KiB";
  if (bytes > 0 || size == 0)
    name += (size > bytes ? "And" : "") + std::to_string(bytes) + (bytes == 1 ? "Byte" : "Bytes");
  return name;
}

INSTANTIATE_TEST_SUITE_P(ServiceVersions, TransferRoundTripTest, ::testing::ValuesIn(RoundTrips()), RoundTripName);

using TransferTest = TransferServiceTest;

TEST_F(TransferTest, FilesEndingInTheLastPieceOfABlockUploadWithoutAnEmptyBlock) {
  // A short 64th read of a block once counted as a whole block, and an empty block
  // followed that the service refused. Media names keep them unpacked, to be quick.
  for (size_t size : {4 * kMiB - 1, 8 * kMiB - 1}) {
    SCOPED_TRACE(size);
    const std::string plain = RandomBytes(size, static_cast<uint32_t>(size));
    const std::string fileId = NewFile("clip-" + std::to_string(size) + ".mp4");
    std::string ver, back;
    Service().Reset();
    ASSERT_EQ(S_OK, UploadBlocks(fileId, "0", "clip.mp4", plain, &ver));
    EXPECT_EQ(size / (4 * kMiB) + 1, Service().Requests("/blk/uploadBlock").size());
    std::optional<std::string> decoded = XferContent(Service(), fileId);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_TRUE(*decoded == plain) << "the service's own decode agrees";
    ASSERT_EQ(S_OK, DownloadBlocks(fileId, &back));
    EXPECT_TRUE(back == plain);
  }
}

TEST_F(TransferTest, UploadingContentTheServiceHoldsSendsNoBlock) {
  const std::string plain = RandomBytes(4 * kMiB + 100, 1);  // a media name: unpacked, to be quick
  const std::string fileId = NewFile("a.mp4");
  std::string ver;
  ASSERT_EQ(S_OK, UploadBlocks(fileId, "0", "a.mp4", plain, &ver));
  EXPECT_EQ(2u, Service().Requests("/blk/uploadBlock").size());
  Service().Reset();
  int progressCalls = 0;
  auto count = [](void* ctx, double, double, double, double, double) -> HRESULT {
    ++*static_cast<int*>(ctx);
    return S_OK;
  };
  // The same content again, as the next version and as another file.
  ASSERT_EQ(S_OK, UploadBlocks(fileId, ver, "a.mp4", plain, &ver, count, &progressCalls));
  EXPECT_EQ("2", ver);
  const std::string other = NewFile("b.mp4");
  ASSERT_EQ(S_OK, UploadBlocks(other, "0", "b.mp4", plain, &ver, count, &progressCalls));
  EXPECT_EQ(0u, Service().Requests("/blk/uploadBlock").size());
  EXPECT_EQ(2u, Service().Requests("/xsvr/commit/").size());
  EXPECT_EQ(0, progressCalls);
  std::string back;
  ASSERT_EQ(S_OK, DownloadBlocks(other, &back));
  EXPECT_TRUE(back == plain);
}

TEST_F(TransferTest, ACorruptBlockFailsTheDownloadAndALaterStoreFetchesOnlyIt) {
  // Seeded as another device would have uploaded it, packed by liblzma.
  const std::string plain = TextBytes(8 * kMiB + 5000, 2);
  const std::string fileId = FsSeedFile(Service(), m_userId, "big.txt", plain, "blocks-lzma")["fileId"];
  FsControl(Service(), "/test/xfer/corrupt", {{"fileId", fileId}, {"index", 2}});
  std::string back;
  EXPECT_EQ(E_FAIL, DownloadBlocks(fileId, &back));
  const std::vector<std::string> kept = m_storage.KeptBlocks();
  EXPECT_EQ(2u, kept.size());
  EXPECT_TRUE(m_storage.Leftovers().empty());
  RefPtr<ILocalStorage> later;  // as the user's next process starts
  ASSERT_EQ(S_OK, CreateLocalStorage(later.Receive()));
  ASSERT_EQ(S_OK, later->Init(Root() + "/user", Root() + "/sync"));
  EXPECT_EQ(kept, m_storage.KeptBlocks());
  Service().Reset();
  ASSERT_EQ(S_OK, DownloadBlocks(fileId, &back));
  std::vector<RecordedRequest> fetched = Service().Requests("/blk/downloadBlock");
  ASSERT_EQ(1u, fetched.size()) << "only the block that failed";
  EXPECT_NE(std::string::npos, fetched[0].body.find("\"index\":\"2\""));
  EXPECT_TRUE(back == plain);
  later = nullptr;
  EXPECT_TRUE(m_storage.Entries().empty()) << "the resume folder goes with the success";
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
  ASSERT_EQ(S_OK, DownloadWhole(whole, &back));
  EXPECT_TRUE(back == v1);
}

struct Canceller {
  bool upload;
  int calls = 0;
  static HRESULT Callback(void* ctx, double, double dlNow, double, double ulNow, double) {
    auto* c = static_cast<Canceller*>(ctx);
    ++c->calls;
    return (c->upload ? ulNow : dlNow) > 0 ? E_FAIL : S_OK;
  }
};

TEST_F(TransferTest, CancelFromTheProgressCallbackMidBlock) {
  const std::string plain = RandomBytes(4 * kMiB + 10, 5);
  const std::string fileId = NewFile("v.mp4");
  // The service holds back its answer to the block, so the cancel comes while the
  // block is on its way.
  Service().Inject(R"({"path": "/blk/uploadBlock", "delay_ms": 20000})");
  Canceller up{true};
  std::string ver;
  EXPECT_EQ(E_CV_CURL_CANCEL, UploadBlocks(fileId, "0", "v.mp4", plain, &ver, Canceller::Callback, &up));
  EXPECT_TRUE(Service().Requests("/xsvr/commit/").empty());
  EXPECT_EQ(0, XferState(Service(), fileId)["fileVer"].get<int>()) << "no version was made";

  const std::string seeded = FsSeedFile(Service(), m_userId, "s.mp4", plain)["fileId"];
  Service().Inject(R"({"path": "/blk/downloadBlock", "chunk": 65536, "chunk_ms": 100})");
  Canceller down{false};
  std::string back;
  EXPECT_EQ(E_CV_CURL_CANCEL, DownloadBlocks(seeded, &back, false, Canceller::Callback, &down));
  EXPECT_TRUE(m_storage.KeptBlocks().empty());
}

TEST_F(TransferTest, HostileRepliesFailWithoutWritingOutsideTheTempFolder) {
  const std::string plain = TextBytes(5000, 6);
  const std::string fileId = FsSeedFile(Service(), m_userId, "h.txt", plain)["fileId"];
  const std::string before = OutsideTemp();
  std::string back;
  for (const std::string& id : {std::string("../../x"), std::string(45, 'a')}) {
    FsControl(Service(), "/test/xfer/metadata", {{"path", "/blk/downloadMetadata"}, {"blockId", id}});
    EXPECT_EQ(E_FAIL, DownloadBlocks(fileId, &back)) << id;
  }
  EXPECT_TRUE(Service().Requests("/blk/downloadBlock").empty());

  const std::string target = NewFile("k.txt");
  FsControl(Service(), "/test/xfer/metadata", {{"path", "/blk/uploadMetadata"}, {"dropKey", true}});
  std::string ver;
  EXPECT_EQ(E_FAIL, UploadBlocks(target, "0", "k.txt", plain, &ver));
  EXPECT_TRUE(Service().Requests("/blk/uploadBlock").empty());
  EXPECT_TRUE(Service().Requests("/xsvr/commit/").empty());

  FsControl(Service(), "/test/xfer/thumbnail",
            {{"fileId", fileId},
             {"entries",
              nlohmann::json::array({{{"name", "big.jpg"}, {"text", "tiny"}, {"claimedSize", 4294967296}}})}});
  const std::string package = m_storage.Store()->GetTempFilePath();
  TaskDataPtr<TaskData_GetThumbnail> thumb(
      CreateTaskData_GetThumbnail(m_token, fileId, package, m_storage.Temp() + "pic.jpg", 64, 64));
  EXPECT_EQ(E_FAIL, m_rs->GetThumbnail(*thumb, nullptr, nullptr, nullptr));
  EXPECT_EQ(before, OutsideTemp());
  EXPECT_TRUE(m_storage.Entries().empty());
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
  FsControl(Service(), "/test/xfer/thumbnail", {{"fileId", fileId}, {"entries", {entry("a.jpg", "picture bytes")}}});
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
       {entry("index.html", "<html/>"), entry("P.JPG", "upper"), entry(fileId + ".jpg", picture), entry("c.jpg", "x")},
       "", S_OK, ""},
      {"only .jpeg", {entry("a.jpeg", "x")}, "", E_FAIL, "解压文件失败"},
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
    const std::string package = m_storage.Store()->GetTempFilePath(), target = PathIn("cache/" + fileId + ".jpg");
    TaskDataPtr<TaskData_GetThumbnail> thumb(CreateTaskData_GetThumbnail(m_token, fileId, package, target, 90, 120));
    EXPECT_EQ(c.hr, m_rs->GetThumbnail(*thumb, nullptr, nullptr, nullptr));
    EXPECT_FALSE(FileExists(package)) << "the package never remains";
    EXPECT_EQ(c.hr == S_OK, FileExists(target));
    if (c.hr == S_OK) {
      EXPECT_TRUE(ReadFileBytes(target) == picture);
    } else {
      EXPECT_TRUE(log.Contains(c.logged) && (log.Contains(" \tE \t") || log.Contains(" \tW \t"))) << log.All();
    }
    std::vector<RecordedRequest> got = Service().Requests("/dsAgent/getHtmlPackage/");
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(query, got[0].query);
    RemoveTree(PathIn("cache"));
  }
}

}  // namespace
