// CRemoteStorage through a recording transport: the exact URL, header, body and
// time-out of requests, the proxy check, the sticky global version, values refused
// before sending, and what reaches the log.
#include "core/remotestorage/remotestorage.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "common/config.h"
#include "core/encrypt/encodedsize.h"
#include "core/encrypt/zaesfile.h"
#include "core/interfaces/createtaskdata.h"
#include "core/remotestorage/recordingtransport.h"
#include "core/remotestorage/remotefs.h"
#include "core/remotestorage/requestframe.h"
#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>";

std::string Reply(const std::string& word, const std::string& values = "") {
  return "<nuvra result=\"" + word + "\">" + values + "</nuvra>";
}

class RemoteStorageTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    SetRoots("http://api.test:81", "http://push.test:82");
    remotestoragecontrol::ResetGlobalVersionFlag();
    ASSERT_EQ(S_OK, CreateRemoteStorage(m_rs.Receive()));
  }
  void TearDown() override {
    remotestoragecontrol::ResetGlobalVersionFlag();
    OstrelTest::TearDown();
  }
  void SetRoots(const std::string& api, const std::string& push) {
    WriteFileBytes(PathIn("config.ini"), "[Ostrel]\r\nServerRoot=" + api + "\r\nPushNotifyRoot=" + push + "\r\n");
    CConfig::Instance().Init(Root());
  }

  RefPtr<IRemoteStorage> m_rs;
  TransportRecorder m_net;
};

// One request as it must reach the transport.
struct RequestCase {
  const char* name;
  std::function<HRESULT(RecordTree*)> call;
  std::string url;     // after the API root, or a full URL
  std::string params;  // the elements inside <nuvra>; empty for a GET
  int32_t timeoutSec;
};

// The requests the tests against the local service do not show to the letter: the
// exact body of a sign-in, the time-outs other than 30 s, and requests no flow there
// makes.
TEST_F(RemoteStorageTest, RequestsSendTheirPathParametersAndTimeOut) {
  IRemoteStorage* rs = m_rs.get();
  TaskDataPtr<TaskData_Login> login(CreateTaskData_Login("ann@x", "p&<>\"'w", "ostrel-0|PC", "ostrel", "1.0.0.1"));
  TaskDataPtr<TaskData_GetRemoteOptVer> maxVer(CreateTaskData_GetMaxVer("T"));
  TaskDataPtr<TaskData_Delete> del(CreateTaskData_Delete("T", false, "F", "a\\b"));
  TaskDataPtr<TaskData_Move> move(CreateTaskData_Move("T", false, "F", "a\\b", "P", ""));
  TaskDataPtr<TaskData_UpdateFile> update(CreateTaskData_UpdateFile("F", "a\\f", "4", "/s"));
  update->strToken = "T";
  update->strSizeOrg = "5000000000";
  update->strSha1Org = "ab";
  TaskData_PushNotify push;
  push.strUserId = "42";
  ShareRecord shareNone{"T", "F", {}, false, true};
  const std::string tokenFile = "<token>T</token><fileId>F</fileId>";
  const RequestCase cases[] = {
      {"Login", [&](RecordTree* r) { return rs->Login(*login, nullptr, nullptr, r); }, "/xsvr/login/",
       "<user>ann@x</user><password>p&amp;&lt;&gt;\"'w</password><deviceId>ostrel-0|PC</deviceId>"
       "<clientName>ostrel</clientName><clientVersion>1.0.0.1</clientVersion>", 30},
      {"GetMaxVers", [&](RecordTree* r) { return rs->GetMaxVers(*maxVer, nullptr, nullptr, r); },
       "/xsvr/getMaxVers/", "<token>T</token>", 0},
      {"PushNotify", [&](RecordTree* r) { return rs->PushNotify(push, nullptr, nullptr, r); },
       "http://push.test:82/sync/get?uid=42", "", 270},
      {"GetNormalItemSnapshot",
       [&](RecordTree* r) { return rs->GetNormalItemSnapshot({"T", "12", "100"}, nullptr, nullptr, r); },
       "/xsvr/syncFile/", "<token>T</token><opVer>12</opVer><size>100</size>", 30},
      {"GetDeletedItemSnapshot",
       [&](RecordTree* r) { return rs->GetDeletedItemSnapshot({"T", "12", "x"}, nullptr, nullptr, r); },
       "/xsvr/syncDelFile/", "<token>T</token><opVer>12</opVer><size>x</size>", 30},
      {"DeleteEx", [&](RecordTree*) { return rs->DeleteEx(*del, nullptr, nullptr); }, "/xsvr/deleteEx/", tokenFile,
       30},
      {"Move2", [&](RecordTree* r) { return rs->Move2(*move, nullptr, nullptr, r); }, "/xsvr/move/",
       tokenFile + "<parentId>P</parentId><name></name>", 30},
      {"UpdateFile", [&](RecordTree* r) { return rs->UpdateFile(*update, nullptr, nullptr, r); },
       "/xsvr/requestUpload/",
       "<token>T</token><fileVer>4</fileVer><size>5000000000</size><fileId>F</fileId><sha1>ab</sha1>", 30},
      {"CheckProxyServer", [&](RecordTree* r) { return rs->CheckProxyServer(r) == S_FALSE ? S_OK : E_FAIL; },
       "/xsvr/", "", 5},
      {"ShareFile to none", [&](RecordTree* r) { return rs->ShareFile(shareNone, nullptr, nullptr, r); },
       "/xsvr/asmShare/", tokenFile + "<sharers></sharers><writable>false</writable><sendMail>true</sendMail>", 30},
  };
  LogCapture log;
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.name);
    size_t before = m_net.Count();
    RecordTree result;
    EXPECT_EQ(S_OK, c.call(&result));
    ASSERT_EQ(before + 1, m_net.Count());
    RecordedCall call = m_net.Last();
    EXPECT_EQ(c.url[0] == '/' ? "http://api.test:81" + c.url : c.url, call.url);
    EXPECT_EQ("v:2&User-Agent:ostrel", call.header);
    EXPECT_EQ(!c.params.empty(), call.hasBody);
    if (!c.params.empty()) {
      EXPECT_EQ(kDecl + "<nuvra>" + c.params + "</nuvra>", call.body);
    }
    EXPECT_EQ(c.timeoutSec, call.timeoutSec);
    EXPECT_TRUE(call.reportNetworkState);
  }
  EXPECT_EQ(0, m_net.Alive()) << "every request releases its transport";
  EXPECT_EQ(1, log.Count("*ASSERT*: TaskData.vecSharers.size()")) << "sharing with nobody";
  EXPECT_FALSE(log.Contains("p&<>")) << log.All();
}

TEST_F(RemoteStorageTest, RootsAndPathsJoinWithNothingBetween) {
  struct Case {
    const char* root;
    const char* url;
  } cases[] = {
      {"http://h:1", "http://h:1/xsvr/dir/"},
      {"http://h:1/api", "http://h:1/api/xsvr/dir/"},
  };
  TaskDataPtr<TaskData_Dir> t(CreateTaskData_Dir("T", "F"));
  for (const Case& c : cases) {
    SetRoots(c.root, c.root);
    RecordTree result;
    ASSERT_EQ(S_OK, m_rs->Dir(*t, nullptr, nullptr, &result));
    EXPECT_EQ(c.url, m_net.Last().url);
  }
  EXPECT_EQ("http://h:1/api/sync/get?uid=7", GetPushNotifyRoot("/sync/get?uid=7"));
}

TEST_F(RemoteStorageTest, ProxyCheckWantsTheVersionWordInAnyCase) {
  struct Case {
    HRESULT transport;
    std::string reply;
    HRESULT expected;
  } cases[] = {
      {S_OK, Reply("methodVersionNotMatch"), S_OK}, {S_OK, Reply("METHODVERSIONNOTMATCH"), S_OK},
      {S_OK, Reply("ok"), S_FALSE},                 {S_OK, "<nuvra/>", S_FALSE},
      {S_OK, "", E_FAIL},                           {E_CV_NETWORK_ERROR2, "", E_CV_NETWORK_ERROR2},
  };
  for (const Case& c : cases) {
    m_net.Queue(c.transport, c.reply);
    RecordTree result;
    EXPECT_EQ(c.expected, m_rs->CheckProxyServer(&result)) << c.reply;
  }
}

TEST_F(RemoteStorageTest, GlobalVersionThreeSticksForTheProcess) {
  std::string version;
  m_net.Queue(S_OK, Reply("ok", "<globalVersion>2</globalVersion>"));
  ASSERT_EQ(S_OK, m_rs->GetGlobalVersion("T", &version));
  EXPECT_EQ("2", version);

  m_net.Queue(S_OK, Reply("serverBusy"));
  version = "kept";
  EXPECT_EQ(E_CV_SRV_SERVER_BUSY, m_rs->GetGlobalVersion("T", &version));
  EXPECT_EQ("kept", version);

  m_net.Queue(S_OK, Reply("ok", "<globalVersion>3</globalVersion>"));
  ASSERT_EQ(S_OK, m_rs->GetGlobalVersion("T", &version));
  EXPECT_EQ("3", version);
  size_t sent = m_net.Count();
  RefPtr<IRemoteStorage> other;
  ASSERT_EQ(S_OK, CreateRemoteStorage(other.Receive()));
  version.clear();
  EXPECT_EQ(S_OK, other->GetGlobalVersion("T2", &version));
  EXPECT_EQ("3", version);
  EXPECT_EQ(sent, m_net.Count()) << "no request once the answer was 3";

  remotestoragecontrol::ResetGlobalVersionFlag();
  m_net.Queue(S_OK, Reply("ok", "<globalVersion> 3</globalVersion>"));
  EXPECT_EQ(S_OK, m_rs->GetGlobalVersion("T", &version));
  EXPECT_EQ(sent + 1, m_net.Count());
  EXPECT_EQ(S_OK, m_rs->GetGlobalVersion("T", &version));
  EXPECT_EQ(sent + 2, m_net.Count()) << "only the exact text 3 sticks";
}

TEST_F(RemoteStorageTest, UnsafeValuesAreRefusedBeforeAnythingIsSent) {
  TaskDataPtr<TaskData_Rename> rename(CreateTaskData_Rename("T", false, "F", "a", std::string("x\x01y")));
  TaskDataPtr<TaskData_DirectoryAdd> folder(CreateTaskData_CreateDirectory("T", "P", "a\\bad\xff"));
  RecordTree result;
  EXPECT_EQ(E_INVALIDARG, m_rs->Rename(*rename, nullptr, nullptr, &result));
  EXPECT_EQ(E_INVALIDARG, m_rs->NewFolder(*folder, nullptr, nullptr, &result));
  for (const char* uid : {"4 2", "42#x", "4&x=1", "4\n2"}) {
    TaskData_PushNotify push;
    push.strUserId = uid;
    EXPECT_EQ(E_INVALIDARG, m_rs->PushNotify(push, nullptr, nullptr, &result)) << uid;
  }
  EXPECT_EQ(0u, m_net.Count());
}

// A transport that cannot be made, or an allocation that fails while a reply is read,
// fails the request with the code and a log line.
TEST_F(RemoteStorageTest, CreationAndAllocationFailuresFailTheRequestWithALogLine) {
  TaskDataPtr<TaskData_GetSpace> space(CreateTaskData_GetSpace("T"));
  RecordTree result;
  {
    LogCapture log;
    m_net.FailCreation(E_OUTOFMEMORY);
    std::string reply;
    EXPECT_EQ(E_OUTOFMEMORY, m_rs->GetSpace(*space, nullptr, nullptr, &result));
    EXPECT_EQ(E_OUTOFMEMORY, m_rs->HttpRequest("http://x/", "", nullptr, nullptr, nullptr, &reply, 30));
    EXPECT_EQ(E_OUTOFMEMORY, m_rs->CheckProxyServer(&result));
    EXPECT_EQ(3, log.Count("ERROR_CHECK_COM: hr = 8007000e MSG: Create CTransport Failed!")) << log.All();
    m_net.FailCreation(S_OK);
  }
  RMT_FS::MetadataDownloader blocks;
  const std::pair<std::string, std::function<HRESULT()>> cases[] = {
      {Reply("ok", "<total>1</total>"), [&] { return m_rs->GetSpace(*space, nullptr, nullptr, &result); }},
      {"{\"code\":\"ok\",\"blocks\":[]}", [&] { return blocks.Perform(m_rs.get()); }},
  };
  for (const auto& [reply, call] : cases) {
    LogCapture log;
    m_net.Queue(S_OK, reply);
    recordtreecontrol::FailReplyNodeAfter(0);
    EXPECT_EQ(E_OUTOFMEMORY, call()) << reply;
    EXPECT_TRUE(log.Contains("ERROR_CHECK_COM hr = 8007000e")) << log.All();
  }
  recordtreecontrol::FailReplyNodeAfter(-1);
}

// A whole-file download is bounded by the encoded size of the item's size, asked of the
// service after the ticket, when the item's record is of the ticket's content (its
// version or plain SHA-1); otherwise by the largest file the format holds.
TEST_F(RemoteStorageTest, AWholeFileDownloadIsBoundedByTheSizeOfTheTicketsContent) {
  const std::string sha1(40, 'a'), other(40, 'b');
  const std::string ticket = Reply("ok", "<url>http://blob.test/wf/download?</url><stub>S</stub><compressSha1>" +
                                             std::string(40, 'c') + "</compressSha1><modTime>1</modTime><sha1>" +
                                             sha1 + "</sha1><fileVer>7</fileVer>");
  auto item = [](const std::string& fileVer, const std::string& itemSha1, const std::string& size) {
    return Reply("ok", "<fileVer>" + fileVer + "</fileVer><sha1>" + itemSha1 + "</sha1><size>" + size + "</size>");
  };
  const uint64_t kLargest = MaxFileHeaderFileSize(ZAesFile::kMaxFileHeaderSource);
  struct Case {
    const char* name;
    int previous;
    std::string itemReply;  // "" when the service is not asked
    uint64_t limit;
  } cases[] = {
      {"the ticket's version", 0, item("7", other, "123456"), MaxFileHeaderFileSize(123456)},
      {"the ticket's content under another version", 0, item("8", sha1, "5000"), MaxFileHeaderFileSize(5000)},
      {"another version and content", 0, item("8", other, "5000"), kLargest},
      {"no such item", 0, Reply("targetNotExist"), kLargest},
      {"a size that is no plain decimal", 0, item("7", sha1, "-5"), kLargest},
      {"a size beyond the format", 0, item("7", sha1, "4294967296"), kLargest},
      {"a previous version", 1, "", kLargest},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m_net.Clear();
    m_net.Queue(S_OK, ticket);
    if (!c.itemReply.empty()) m_net.Queue(S_OK, c.itemReply);
    m_net.Queue(S_OK, "blob");
    TaskDataPtr<TaskData_DownloadFile> rec(CreateTaskData_DownloadFile("F", "\\f", ""));
    rec->strToken = "T";
    rec->nPreviousVer = c.previous;
    rec->strTempPath = PathIn("blob");
    EXPECT_EQ(E_CV_SHA1_MISMATCH, m_rs->DownloadFile(*rec, nullptr, nullptr, nullptr));
    ASSERT_EQ(c.itemReply.empty() ? 2u : 3u, m_net.Count());
    EXPECT_EQ(0u, m_net.Last().url.find("http://blob.test/wf/download?stub=S")) << m_net.Last().url;
    EXPECT_EQ(c.limit, m_net.Last().downloadLimit);
  }
}

TEST(RequestFrameTest, SecretsAreMaskedInBodiesQueriesAndJson) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"<nuvra><user>u</user><password>p&amp;w</password><token>T1</token></nuvra>",
       "<nuvra><user>u</user><password>__password__</password><token>__token__</token></nuvra>"},
      {"<token></token><token>b</token>", "<token>__token__</token><token>__token__</token>"},
      {"<password>cut", "<password>__password__"},
      {"http://t/x?token=abc&fileId=f&fileKey=1a2b", "http://t/x?token=__token__&fileId=f&fileKey=__filekey__"},
      {"http://t/x?mytoken=keep", "http://t/x?mytoken=keep"},
      {"{\"fileKey\":\"00ff\",\"index\":\"1\"}", "{\"fileKey\":\"__filekey__\",\"index\":\"1\"}"},
      {"/xsvr/dir/", "/xsvr/dir/"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.out, MaskSecrets(c.in)) << c.in;
}

}  // namespace
