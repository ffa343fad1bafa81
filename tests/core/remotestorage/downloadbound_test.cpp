// Downloads from a service that sends more than the file it serves can be: a block, a
// whole file and a thumbnail package each stop as the reply passes the bound of what
// was announced (the block's blockId, the item's size, the package cap), long before
// the excess has gone out, and leave nothing; replies of exactly the file, and of
// exactly the bound, go through whole. Also a whole file another writer stored as it
// is although it begins with the 7z signature. Bytes are counted where they land (the
// transports write through a counting FileEnv) and where they leave (the service's
// count of what it got to send).
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "core/encrypt/encodedsize.h"
#include "core/remotestorage/clsfactory.h"
#include "core/remotestorage/thumbnailpackage.h"
#include "core/remotestorage/transferservice.h"
#include "core/remotestorage/transport/transport.h"
#include "support/logcapture.h"
#include "support/peercodec.h"
#include "support/textcodec.h"

namespace {

constexpr uint64_t kExcess = uint64_t(64) << 20;  // the most the service sends after a reply
constexpr size_t kPlainSize = 5000;

// The real file system, counting the bytes written through it.
class CountingFileEnv final : public FileEnvWrapper {
 public:
  CountingFileEnv() : FileEnvWrapper(FileEnv::Default()) {}
  ssize_t Write(int fd, const void* buffer, size_t count) override { return Count(target()->Write(fd, buffer, count)); }
  ssize_t PWrite(int fd, const void* buffer, size_t count, off_t offset) override {
    return Count(target()->PWrite(fd, buffer, count, offset));
  }
  uint64_t Written() const { return m_written.load(); }
  void Clear() { m_written = 0; }

 private:
  ssize_t Count(ssize_t n) {
    if (n > 0) m_written += static_cast<uint64_t>(n);
    return n;
  }
  std::atomic<uint64_t> m_written{0};
};

enum class Kind { kBlock, kWhole, kThumbnail };

const char* PathOf(Kind kind) {
  return kind == Kind::kBlock ? "/blk/downloadBlock" : kind == Kind::kWhole ? "/wf/download" : "/dsAgent/getHtmlPackage/";
}

const char* NameOf(Kind kind) {
  return kind == Kind::kBlock ? "a block" : kind == Kind::kWhole ? "a whole file" : "a thumbnail package";
}

class DownloadBoundTest : public TransferServiceTest {
 protected:
  void SetUp() override {
    TransferServiceTest::SetUp();
    m_previous = CClsFactory::GetInstance().SetTransportCreator([this](ITransport** transport) {
      return CreateTransportWith(DefaultTransportSettings(), transport, CurlPolicy(), &m_written);
    });
    m_plain = TextBytes(kPlainSize, 21);
    m_blocks = FsSeedFile(Service(), m_userId, "b.txt", m_plain, "blocks")["fileId"];
    m_whole = FsSeedFile(Service(), m_userId, "w.txt", m_plain, "whole")["fileId"];
  }
  void TearDown() override {
    CClsFactory::GetInstance().SetTransportCreator(m_previous);
    TransferServiceTest::TearDown();
  }

  // What a download of the kind may bring: the bound of the file it fetches.
  static uint64_t Bound(Kind kind) {
    return kind == Kind::kBlock ? MaxRtv0FileSize(kPlainSize)
           : kind == Kind::kWhole ? MaxFileHeaderFileSize(kPlainSize)
                                  : kThumbnailPackageCap;
  }

  struct Outcome {
    HRESULT hr = E_FAIL;
    std::string plain;                 // the file, or the thumbnail's picture, on success
    std::vector<std::string> targets;  // the files the download writes to
  };
  // One download of the kind as its caller makes it; on success its files are read and
  // removed.
  Outcome Fetch(Kind kind) {
    Outcome out;
    if (kind == Kind::kBlock) {
      TaskData_DownloadFile_UFA rec;
      rec.strToken = m_token;
      rec.strFileId = m_blocks;
      rec.pathDownload = m_store->GetTempFilePath();
      out.targets = {rec.pathDownload};
      out.hr = m_rs->DownloadFile_UFA(rec, m_store.get(), nullptr, nullptr, false);
    } else if (kind == Kind::kWhole) {
      TaskDataPtr<TaskData_DownloadFile> rec(CreateTaskData_DownloadFile(m_whole, "\\w.txt", ""));
      rec->strToken = m_token;
      rec->strTempPath = m_store->GetTempFilePath();
      out.targets = {rec->strTempPath};
      RecordTree ticket;
      out.hr = m_rs->DownloadFile(*rec, nullptr, nullptr, &ticket);
      if (out.hr == S_OK) {
        const std::string decoded = m_store->GetTempFilePath();
        EXPECT_EQ(S_OK, DecodeFile(rec->strTempPath, decoded, ticket.GetValue("fileKey")));
        out.plain = ReadFileBytes(decoded);
        ForceDeleteFile(decoded);
      }
    } else {
      const std::string package = m_store->GetTempFilePath(), picture = PathIn("cache/pic.jpg");
      TaskDataPtr<TaskData_GetThumbnail> thumb(CreateTaskData_GetThumbnail(m_token, m_blocks, package, picture, 90, 120));
      out.targets = {package, picture};
      out.hr = m_rs->GetThumbnail(*thumb, nullptr, nullptr, nullptr);
    }
    if (out.hr == S_OK && kind != Kind::kWhole) out.plain = ReadFileBytes(out.targets.back());
    if (out.hr == S_OK) ForceDeleteFile(out.targets.back());
    return out;
  }

  // How many body bytes the service got to send with its last reply to the path.
  uint64_t SentOf(Kind kind) {
    HttpReply log = Service().Control("GET", std::string("/test/log?path=") + PathOf(kind));
    nlohmann::json requests = nlohmann::json::parse(log.body)["requests"];
    EXPECT_TRUE(!requests.empty() && requests.back().contains("reply_sent")) << log.body.substr(0, 500);
    return requests.empty() ? 0 : requests.back().value("reply_sent", uint64_t{0});
  }

  void InjectExcess(Kind kind, uint64_t excess) {
    Service().Inject(nlohmann::json{{"path", PathOf(kind)}, {"excess", excess}}.dump());
  }

  CountingFileEnv m_written;
  TransportCreateFn m_previous;
  std::string m_plain, m_blocks, m_whole;
};

TEST_F(DownloadBoundTest, RepliesLongerThanTheFileStopAtTheirBoundAndLeaveNothing) {
  for (Kind kind : {Kind::kBlock, Kind::kWhole, Kind::kThumbnail}) {
    SCOPED_TRACE(NameOf(kind));
    Service().Reset();
    InjectExcess(kind, kExcess);
    m_written.Clear();
    LogCapture log;
    Outcome got = Fetch(kind);
    EXPECT_EQ(E_CV_NETWORK_ERROR3, got.hr);
    EXPECT_LE(m_written.Written(), Bound(kind)) << "nothing past the bound reaches the disk";
    EXPECT_LT(SentOf(kind), kExcess) << "the download broke off before the service had sent it all";
    EXPECT_TRUE(log.Contains("more than the limit")) << log.All();
    for (const std::string& target : got.targets) EXPECT_FALSE(FileExists(target)) << target;
    EXPECT_TRUE(Leftovers().empty()) << ::testing::PrintToString(Leftovers());
    EXPECT_TRUE(KeptBlocks().empty());
  }
}

// With no length announced, a reply of exactly the file is the file; one of exactly the
// bound is taken whole (and then found not to be the file); one byte more is not.
TEST_F(DownloadBoundTest, RepliesUpToTheBoundAreTakenWhole) {
  const HRESULT kNotTheFile[] = {E_FAIL, E_CV_SHA1_MISMATCH, E_FAIL};  // by kind: what the content checks say
  for (Kind kind : {Kind::kBlock, Kind::kWhole, Kind::kThumbnail}) {
    SCOPED_TRACE(NameOf(kind));
    Service().Reset();
    InjectExcess(kind, 0);
    m_written.Clear();
    Outcome exact = Fetch(kind);
    ASSERT_EQ(S_OK, exact.hr);
    EXPECT_TRUE(exact.plain == m_plain);
    const uint64_t stored = m_written.Written();  // the transports write nothing but the reply
    ASSERT_LT(stored, Bound(kind));

    for (uint64_t over : {uint64_t{0}, uint64_t{1}}) {
      SCOPED_TRACE(over ? "a byte past the bound" : "exactly the bound");
      Service().Reset();
      InjectExcess(kind, Bound(kind) - stored + over);
      m_written.Clear();
      LogCapture log;
      Outcome edge = Fetch(kind);
      EXPECT_EQ(over ? E_CV_NETWORK_ERROR3 : kNotTheFile[static_cast<int>(kind)], edge.hr);
      if (over)
        EXPECT_LE(m_written.Written(), Bound(kind));
      else
        EXPECT_EQ(Bound(kind), m_written.Written());
      EXPECT_EQ(over == 1, log.Contains("more than the limit")) << log.All();
      for (const std::string& target : edge.targets) EXPECT_FALSE(FileExists(target)) << target;
    }
  }
}

// A file another writer stored in the FileHeader format as it is, although its content
// begins with the 7z signature (it is no archive): it comes back byte for byte.
TEST_F(DownloadBoundTest, AnotherWritersFileThatOnlyBeginsWithThe7zSignatureDownloadsAsItIs) {
  const std::string key = "1a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f708192a3b4c5d6e7f809";
  const std::string signature("7z\xBC\xAF\x27\x1C", 6);
  int n = 0;
  for (const std::string& plain : {signature + TextBytes(3000, 5), signature + std::string(26, '\0') + "tail"}) {
    // Seeded with that content, then served as the other writer stored it.
    const std::string name = "sig" + std::to_string(++n) + ".bin";
    const nlohmann::json seeded = FsSeedFile(Service(), m_userId, name, plain, "whole");
    const std::string fileId = seeded["fileId"], storedSha1 = seeded["compressSha1"], storedKey = seeded["fileKey"];
    const std::string blob = PeerFileHeader(plain, key);
    std::string ticket = HttpExchange(Service().Port(), "POST", "/xsvr/requestDownload/",
                                      "<?xml version=\"1.0\"?><nuvra><token>" + m_token + "</token><fileId>" + fileId +
                                          "</fileId></nuvra>",
                                      {"v: 2"}).body;
    for (const auto& [from, to] : {std::pair<std::string, std::string>{storedSha1, PeerSha1(blob)}, {storedKey, key}}) {
      ASSERT_NE(std::string::npos, ticket.find(from)) << ticket;
      ticket.replace(ticket.find(from), from.size(), to);
    }
    Service().Reset();
    Service().Inject(nlohmann::json::array({{{"path", "/xsvr/requestDownload/"}, {"body", ticket}},
                                            {{"path", "/wf/download"}, {"body_base64", Base64Encode(blob)}}})
                         .dump());
    std::string back;
    EXPECT_EQ(S_OK, DownloadWhole(fileId, &back));
    EXPECT_TRUE(back == plain) << back.size();
    EXPECT_EQ(1u, Service().Requests("/wf/download").size());
  }
}

}  // namespace
