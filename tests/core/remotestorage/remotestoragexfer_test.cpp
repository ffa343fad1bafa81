// The transfer slots of CRemoteStorage through a recording transport: the calls each
// makes and in which order, what a hostile or broken reply does (refused before
// anything is written, no commit after a failure), cancel, resume of block downloads
// and the whole-file checks. After every case the temp folder holds nothing but kept
// blocks of unfinished downloads. Thumbnails are tested against the local service.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/config.h"
#include "common/sha1.h"
#include "core/encrypt/encodefile.h"
#include "core/interfaces/createtaskdata.h"
#include "core/remotestorage/blockid.h"
#include "core/remotestorage/recordingtransport.h"
#include "core/remotestorage/remotestorage.h"
#include "core/remotestorage/transfertestutil.h"

namespace {

const std::string kKey1 = "1a2b3c4d5e6f70811a2b3c4d5e6f70811a2b3c4d5e6f70811a2b3c4d5e6f7081";
const std::string kKey2(64, '7');
const std::string kOk = "{\"code\":\"ok\"}";

std::string Sha1(const std::string& s) { return Sha1Hex(s.data(), s.size()); }
std::string IdOf(const std::string& plain) { return FormatBlockId(static_cast<uint32_t>(plain.size()), Sha1(plain)); }

// What the progress callback saw; it cancels once upload or download bytes pass
// cancelAfter (never with -1).
struct Progress {
  int calls = 0;
  double lastTotal = 0, lastNow = 0;
  double cancelAfter = -1;
  static HRESULT Callback(void* ctx, double dlTotal, double dlNow, double ulTotal, double ulNow, double) {
    auto* p = static_cast<Progress*>(ctx);
    ++p->calls;
    bool up = ulTotal > 0;
    p->lastTotal = up ? ulTotal : dlTotal;
    p->lastNow = up ? ulNow : dlNow;
    return p->cancelAfter >= 0 && p->lastNow > p->cancelAfter ? E_FAIL : S_OK;
  }
};

class RemoteStorageTransferTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    WriteFileBytes(PathIn("config.ini"), "[Ostrel]\nServerRoot=http://api.test\n");
    CConfig::Instance().Init(Root());
    ASSERT_EQ(S_OK, CreateRemoteStorage(m_rs.Receive()));
    m_storage.Open(Root());
    ASSERT_EQ(0, RunCommand("mkdir -p " + ShellQuote(PathIn("blocks"))));
  }
  void TearDown() override {
    EXPECT_EQ(0, m_net.Alive()) << "every transport is released";
    EXPECT_TRUE(m_storage.Leftovers().empty()) << ::testing::PrintToString(m_storage.Leftovers());
    m_storage.Close();
    OstrelTest::TearDown();
  }

  std::string BlockFile(const std::string& name, const std::string& content) {
    WriteFileBytes(PathIn("blocks/" + name), content);
    return PathIn("blocks/" + name);
  }
  // The block encoded as the service would serve it.
  std::string Encoded(const std::string& plain, const std::string& key) {
    WriteFileBytes(PathIn("plain.tmp"), plain);
    EXPECT_EQ(S_OK, EncodeFile_UFA(static_cast<uint32_t>(plain.size()), "b", Sha1(plain), PathIn("plain.tmp"),
                                   PathIn("enc.tmp"), key, "0000000000000000"));
    std::string bytes = ReadFileBytes(PathIn("enc.tmp"));
    RemoveTree(PathIn("plain.tmp"));
    RemoveTree(PathIn("enc.tmp"));
    return bytes;
  }

  // Upload: the ticket, then the metadata reply with one word per block.
  void QueueUploadStart(const std::string& words) {
    m_net.Queue(S_OK, "<nuvra result=\"ok\"><stub>S</stub><url>http://blk.test/</url></nuvra>");
    m_net.Queue(S_OK, "{\"code\":\"ok\",\"blocks\":{" + words + "}}");
  }
  HRESULT Upload(const std::vector<std::string>& blocks, Progress* progress, std::string* version) {
    TaskData_UpdateFile_UFA rec;
    rec.strToken = "T";
    rec.strFileVer = "3";
    rec.strFileName = "clip.mp4";
    rec.strFileId = "F";
    rec.strSizeOrg = "100";
    rec.strFileOrgSha1 = Sha1("whole");
    rec.pathEncode = m_storage.Store()->GetTempFilePath();
    return m_rs->UploadFile_UFA(rec, blocks, progress ? Progress::Callback : nullptr, progress, version);
  }

  // Download: the ticket for a file of these plain blocks, its metadata, then the
  // blocks' encoded bytes for the downloads that follow.
  void QueueDownloadStart(const std::vector<std::string>& plains, const std::string& wholeSha1 = "") {
    std::string whole;
    for (const std::string& p : plains) whole += p;
    m_net.Queue(S_OK, "<nuvra result=\"ok\"><stub>D</stub><url>http://blk.test/</url><fileVer>9</fileVer><sha1>" +
                          (wholeSha1.empty() ? Sha1(whole) : wholeSha1) + "</sha1></nuvra>");
    std::string list;
    for (size_t i = 0; i < plains.size(); ++i) {
      if (i) list += ",";
      list += "{\"index\":\"" + std::to_string(i + 1) + "\",\"blockId\":\"" + IdOf(plains[i]) + "\",\"sha1\":\"" +
              Sha1(Encoded(plains[i], kKey1)) + "\",\"fileKey\":\"" + kKey1 + "\"}";
    }
    m_net.Queue(S_OK, "{\"code\":\"ok\",\"blocks\":[" + list + "]}");
  }
  HRESULT Download(TaskData_DownloadFile_UFA* rec, Progress* progress = nullptr) {
    rec->strToken = "T";
    rec->strFileId = "F";
    if (rec->pathDownload.empty()) rec->pathDownload = PathIn("out");
    return m_rs->DownloadFile_UFA(*rec, m_storage.Store(), progress ? Progress::Callback : nullptr, progress, false);
  }
  int Downloads() {
    int n = 0;
    for (const RecordedCall& c : m_net.Calls()) n += c.kind == "download";
    return n;
  }

  RefPtr<IRemoteStorage> m_rs;
  TransportRecorder m_net;
  TransferStorage m_storage;
};

TEST_F(RemoteStorageTransferTest, UploadSendsOnlyBlocksTheServiceLacksAndCommitsOnlyAfterAll) {
  const std::string a = "first block", b = "second block";
  const std::vector<std::string> blocks{BlockFile("a", a), BlockFile("b", b)};
  const std::string held = "\"" + IdOf(a) + "\":\"TargetExist\"", keyOfB = ",\"" + IdOf(b) + "\":";
  struct Case {
    std::string words;       // the metadata reply's words
    std::string blockReply;  // the answer to block 2, when it is sent
    HRESULT hr;
    size_t calls;  // ticket, metadata, block 2, commit
  } cases[] = {
      {held + keyOfB + "\"" + kKey2 + "\"", kOk, S_OK, 4},
      {held + keyOfB + "\"" + kKey2 + "\"", "{\"code\":\"uploadError\"}", E_CV_SRV_UPLOAD_ERROR, 3},
      // Without a valid key for block 2 nothing is sent.
      {held, "", E_FAIL, 2},
      {held + keyOfB + "\"\"", "", E_FAIL, 2},
      {held + keyOfB + "\"" + kKey2.substr(1) + "\"", "", E_FAIL, 2},  // 63 digits
      {held + keyOfB + "\"" + std::string(64, 'x') + "\"", "", E_FAIL, 2},
      {held + keyOfB + "\"targetexist\"", "", E_FAIL, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words);
    m_net.Clear();
    QueueUploadStart(c.words);
    m_net.Queue(S_OK, c.blockReply);
    m_net.Queue(S_OK, "<nuvra result=\"ok\"><fileVer>4</fileVer></nuvra>");
    Progress progress;
    std::string version = "unchanged";
    EXPECT_EQ(c.hr, Upload(blocks, &progress, &version));
    EXPECT_EQ(c.hr == S_OK ? "4" : "unchanged", version);
    const std::vector<RecordedCall> calls = m_net.Calls();
    ASSERT_EQ(c.calls, calls.size());
    if (c.calls > 2) {
      EXPECT_EQ("stream", calls[2].kind);
      EXPECT_NE(std::string::npos, calls[2].url.find("&index=2"));
      // Progress counts the block held by the service as done, over the file's size.
      EXPECT_EQ(100, progress.lastTotal);
      EXPECT_EQ(a.size() + calls[2].sent.size() / 2.0, progress.lastNow);
    }
    EXPECT_TRUE(m_storage.Entries().empty()) << "the encoded block is removed";
  }
  m_net.Clear();
  EXPECT_EQ(E_FAIL, Upload({blocks[0], PathIn("blocks/gone")}, nullptr, nullptr));
  EXPECT_EQ(0u, m_net.Count()) << "an unreadable block fails before the service is asked";
}

TEST_F(RemoteStorageTransferTest, DownloadJoinsVerifiedBlocksAndChecksAKeptOneBeforeUse) {
  const std::vector<std::string> plains{"one", "two", "one", ""};
  QueueDownloadStart(plains);
  m_net.Queue(S_OK, Encoded("one", kKey1));
  m_net.Queue(E_CV_NETWORK_ERROR3, "partial");
  TaskData_DownloadFile_UFA rec;
  EXPECT_EQ(E_CV_NETWORK_ERROR3, Download(&rec));
  std::vector<std::string> kept = m_storage.KeptBlocks();
  ASSERT_EQ(1u, kept.size());
  EXPECT_TRUE(m_storage.Leftovers().empty()) << "the partial block is removed";
  WriteFileBytes(m_storage.Temp() + kept[0], "onf");  // damaged since

  m_net.Clear();
  QueueDownloadStart(plains);
  m_net.Queue(S_OK, Encoded("one", kKey1));
  m_net.Queue(S_OK, Encoded("two", kKey1));
  m_net.Queue(S_OK, Encoded("", kKey1));
  Progress progress;
  ASSERT_EQ(S_OK, Download(&rec, &progress));
  EXPECT_EQ("onetwoone", ReadFileBytes(rec.pathDownload));
  EXPECT_EQ("9", rec.strFileVer);
  EXPECT_EQ(Sha1("onetwoone"), rec.strFileSha1);
  EXPECT_EQ(3, Downloads()) << "the damaged block again, an equal block once";
  EXPECT_EQ(9, progress.lastTotal);
  EXPECT_TRUE(m_storage.Entries().empty());
}

TEST_F(RemoteStorageTransferTest, BlocksThatDecodeToOtherContentOrAWrongWholeFail) {
  // The served block decodes, but not to what its blockId names.
  m_net.Queue(S_OK, "<nuvra result=\"ok\"><stub>D</stub><url>http://blk.test/</url><sha1>" + Sha1("good") +
                        "</sha1></nuvra>");
  const std::string other = Encoded("evil", kKey1);
  m_net.Queue(S_OK, "{\"code\":\"ok\",\"blocks\":[{\"index\":\"1\",\"blockId\":\"" + IdOf("good") +
                        "\",\"sha1\":\"" + Sha1(other) + "\",\"fileKey\":\"" + kKey1 + "\"}]}");
  m_net.Queue(S_OK, other);
  TaskData_DownloadFile_UFA rec;
  EXPECT_EQ(E_FAIL, Download(&rec));
  EXPECT_TRUE(m_storage.KeptBlocks().empty());
  EXPECT_TRUE(m_storage.Leftovers().empty());

  // Every block is sound, but the whole is not the file the ticket names.
  m_net.Clear();
  WriteFileBytes(rec.pathDownload, "previous");
  QueueDownloadStart({"a", "b"}, Sha1("ab!"));
  m_net.Queue(S_OK, Encoded("a", kKey1));
  m_net.Queue(S_OK, Encoded("b", kKey1));
  EXPECT_EQ(E_CV_SHA1_MISMATCH, Download(&rec));
  EXPECT_EQ("previous", ReadFileBytes(rec.pathDownload));
  EXPECT_TRUE(m_storage.Entries().empty());

  // A ticket without a SHA-1 to check the whole against is refused at once.
  m_net.Clear();
  m_net.Queue(S_OK, "<nuvra result=\"ok\"><stub>D</stub><url>http://blk.test/</url></nuvra>");
  EXPECT_EQ(E_FAIL, Download(&rec));
  EXPECT_EQ(1u, m_net.Count());
}

TEST_F(RemoteStorageTransferTest, FailedMoveAndCancelAreFailuresThatKeepOnlyVerifiedBlocks) {
  QueueDownloadStart({"a", "b"});
  m_net.Queue(S_OK, Encoded("a", kKey1));
  m_net.Queue(S_OK, Encoded("b", kKey1));
  TaskData_DownloadFile_UFA rec;
  rec.pathDownload = PathIn("no/such/folder/out");
  EXPECT_EQ(E_FAIL, Download(&rec));
  EXPECT_EQ(2u, m_storage.KeptBlocks().size());
  EXPECT_TRUE(m_storage.Leftovers().empty());

  m_net.Clear();
  QueueDownloadStart({"a", "b", "c"});
  m_net.Queue(S_OK, std::string(4000, 'c'));
  Progress progress;
  progress.cancelAfter = 2;  // during block 3: a and b are kept
  rec.pathDownload = PathIn("out");
  EXPECT_EQ(E_CV_CURL_CANCEL, Download(&rec, &progress));
  EXPECT_EQ(1, Downloads());
  EXPECT_TRUE(m_storage.Leftovers().empty());
  EXPECT_FALSE(FileExists(PathIn("out")));
}

// ---- whole files ----

TEST_F(RemoteStorageTransferTest, WholeFileDownloadChecksTheBlobIgnoringCase) {
  const std::string blob = "encoded blob";
  struct Case {
    std::string sha1;
    HRESULT hr;
  };
  std::string upper = Sha1(blob);
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  for (const Case& c : {Case{upper, S_OK}, Case{Sha1("other"), E_CV_SHA1_MISMATCH}}) {
    m_net.Clear();
    m_net.Queue(S_OK, "<nuvra result=\"ok\"><url>http://wf.test/d?</url><stub>S</stub><compressSha1>" + c.sha1 +
                          "</compressSha1><modTime>t</modTime><fileKey>" + kKey1 + "</fileKey></nuvra>");
    m_net.Queue(S_OK, blob);
    TaskDataPtr<TaskData_DownloadFile> rec(CreateTaskData_DownloadFile("F", "\\a", ""));
    rec->strToken = "T";
    rec->strTempPath = PathIn("blob");
    RecordTree reply;
    EXPECT_EQ(c.hr, m_rs->DownloadFile(*rec, nullptr, nullptr, &reply));
    EXPECT_EQ(kKey1, reply.GetValue("fileKey"));
    EXPECT_EQ(c.hr == S_OK, FileExists(PathIn("blob"))) << "a file that failed its check is removed";
  }
  // A stub that cannot travel raw is refused; a failed transfer of a previous version
  // leaves no file.
  m_net.Clear();
  m_net.Queue(S_OK, "<nuvra result=\"ok\"><url>http://wf.test/d?</url><stub>a#b</stub></nuvra>");
  TaskDataPtr<TaskData_DownloadFile> rec(CreateTaskData_DownloadFile("F", "\\a", ""));
  rec->strTempPath = PathIn("blob2");
  rec->nPreviousVer = 1;
  EXPECT_EQ(E_FAIL, m_rs->DownloadFile(*rec, nullptr, nullptr, nullptr));
  EXPECT_EQ("http://api.test/xsvr/requestDownloadPreviousVer/", m_net.Last().url);
  m_net.Queue(S_OK, "<nuvra result=\"ok\"><url>http://wf.test/d?</url><stub>S</stub></nuvra>");
  m_net.Queue(E_CV_NETWORK_ERROR3, "part");
  EXPECT_EQ(E_CV_NETWORK_ERROR3, m_rs->DownloadFile(*rec, nullptr, nullptr, nullptr));
  EXPECT_EQ("http://wf.test/d?stub=S&bakVer=previousVer", m_net.Last().url);
  EXPECT_FALSE(FileExists(PathIn("blob2")));
}

TEST_F(RemoteStorageTransferTest, WholeFileUploadReadsTheWordElement) {
  WriteFileBytes(PathIn("enc"), "encoded");
  TaskDataPtr<TaskData_UpdateFile> rec(CreateTaskData_UpdateFile("F", "\\a", "1", "/src"));
  rec->strTempPath = PathIn("enc");
  rec->strSizeCheck = "7";
  rec->strSha1Check = Sha1("encoded");
  rec->strUrl = "http://wf.test/u?";
  rec->strStub = "S";
  struct Case {
    std::string reply;
    HRESULT hr;
  };
  const Case cases[] = {
      {"<nuvra result=\"ok\"><result>ok</result><fileVer>2</fileVer></nuvra>", S_OK},
      {"<nuvra><result>fileVerConflict</result></nuvra>", E_CV_FILE_VER_CONFLICT},
      {"<nuvra><result>uploadError</result></nuvra>", E_CV_SRV_UPLOAD_ERROR},
      {"<nuvra result=\"ok\"/>", E_CV_SRV_SERVER_ERROR},
      {"garbage", E_FAIL},
  };
  for (const Case& c : cases) {
    m_net.Queue(S_OK, c.reply);
    RecordTree reply;
    EXPECT_EQ(c.hr, m_rs->_UploadFile(*rec, nullptr, nullptr, &reply)) << c.reply;
    EXPECT_EQ("encoded", m_net.Last().sent);
  }
  rec->strStub = "a b";
  size_t before = m_net.Count();
  EXPECT_EQ(E_FAIL, m_rs->_UploadFile(*rec, nullptr, nullptr, nullptr));
  EXPECT_EQ(before, m_net.Count());
}

}  // namespace
