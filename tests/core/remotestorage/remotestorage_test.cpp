// CRemoteStorage through a recording transport: the exact URL, header, body and
// time-out of every request, the reply handling of the request frame, the proxy check,
// the sticky global version, and what reaches the log.
#include "core/remotestorage/remotestorage.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "common/config.h"
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

TEST_F(RemoteStorageTest, EveryRequestSendsItsPathParametersAndTimeOut) {
  IRemoteStorage* rs = m_rs.get();
  TaskDataPtr<TaskData_Login> login(CreateTaskData_Login("u", "p", "d", "ostrel", "1.0.0.1"));
  TaskDataPtr<TaskData_ReLogin> relogin(CreateTaskData_ReLogin("T", "d"));
  TaskDataPtr<TaskData_GetSpace> space(CreateTaskData_GetSpace("T"));
  TaskDataPtr<TaskData_GetRemoteOptVer> maxVer(CreateTaskData_GetMaxVer("T"));
  TaskDataPtr<TaskData_GetRecycle> recycle(CreateTaskData_GetRecycle("T", "12", -7));
  TaskDataPtr<TaskData_CleanRecycle> clean(CreateTaskData_CleanRecycle("T", "F"));
  TaskDataPtr<TaskData_Recover> recover(CreateTaskData_Recover("T", "F", "P"));
  TaskDataPtr<TaskData_GetAllShareFile> out(CreateTaskData_GetAllShareFile("T", 0));
  TaskDataPtr<TaskData_GetAllShareFile> toMe(CreateTaskData_GetAllShareFile("T", 7));
  TaskDataPtr<TaskData_Dir> dir(CreateTaskData_Dir("T", ""));
  TaskDataPtr<TaskData_Delete> del(CreateTaskData_Delete("T", false, "F", "a\\b"));
  TaskDataPtr<TaskData_Rename> rename(CreateTaskData_Rename("T", false, "F", "a\\b", "n 'q\""));
  TaskDataPtr<TaskData_DirectoryAdd> mkdir(CreateTaskData_CreateDirectory("T", "P", "a\\新建"));
  TaskDataPtr<TaskData_Move> move(CreateTaskData_Move("T", false, "F", "a\\b", "P", ""));
  TaskDataPtr<TaskData_NewFile> newFile(CreateTaskData_UpdateNewFile("P", "a\\f.txt", "/tmp/f.txt"));
  newFile->strToken = "T";
  TaskDataPtr<TaskData_UpdateFile> update(CreateTaskData_UpdateFile("F", "a\\f", "4", "/s"));
  update->strToken = "T";
  update->strSizeOrg = "5000000000";
  update->strSha1Org = "ab";
  update->strMTime = "2024-05-01 12:00:00";
  TaskDataPtr<TaskData_FullTextSearch> search(CreateTaskData_FullTextSearch("T", "a&b", 2));
  TaskDataPtr<TaskData_GetItemInfo> info(CreateTaskData_GetFileInfo("F"));
  info->strToken = "T";
  TaskData_PushNotify push;
  push.strUserId = "42";
  ShareRecord share{"T", "F", {"a", "b"}, true, false}, shareNone{"T", "F", {}, false, true};
  const std::string tokenFile = "<token>T</token><fileId>F</fileId>";
  const RequestCase cases[] = {
      {"Login", [&](RecordTree* r) { return rs->Login(*login, nullptr, nullptr, r); }, "/xsvr/login/",
       "<user>u</user><password>p</password><deviceId>d</deviceId><clientName>ostrel</clientName>"
       "<clientVersion>1.0.0.1</clientVersion>", 30},
      {"ReLogin", [&](RecordTree* r) { return rs->ReLogin(*relogin, nullptr, nullptr, r); }, "/xsvr/forkToken/",
       "<token>T</token><deviceId>d</deviceId><clientName>ostrel</clientName>", 30},
      {"GetSpace", [&](RecordTree* r) { return rs->GetSpace(*space, nullptr, nullptr, r); }, "/xsvr/getSpace/",
       "<token>T</token>", 30},
      {"GetMaxVers", [&](RecordTree* r) { return rs->GetMaxVers(*maxVer, nullptr, nullptr, r); },
       "/xsvr/getMaxVers/", "<token>T</token>", 0},
      {"GetRecycle", [&](RecordTree* r) { return rs->GetRecycle(*recycle, nullptr, nullptr, r); },
       "/xsvr/getRecycle/", "<token>T</token><opVer>12</opVer><size>-7</size>", 30},
      {"CleanRecycle", [&](RecordTree* r) { return rs->CleanRecycle(*clean, nullptr, nullptr, r); },
       "/xsvr/cleanRecycle/", tokenFile, 30},
      {"Recover", [&](RecordTree* r) { return rs->Recover(*recover, nullptr, nullptr, r); }, "/xsvr/recover/",
       tokenFile + "<parentId>P</parentId>", 30},
      {"PushNotify", [&](RecordTree* r) { return rs->PushNotify(push, nullptr, nullptr, r); },
       "http://push.test:82/sync/get?uid=42", "", 270},
      {"GetNormalItemSnapshot",
       [&](RecordTree* r) { return rs->GetNormalItemSnapshot({"T", "12", "100"}, nullptr, nullptr, r); },
       "/xsvr/syncFile/", "<token>T</token><opVer>12</opVer><size>100</size>", 30},
      {"GetDeletedItemSnapshot",
       [&](RecordTree* r) { return rs->GetDeletedItemSnapshot({"T", "12", "x"}, nullptr, nullptr, r); },
       "/xsvr/syncDelFile/", "<token>T</token><opVer>12</opVer><size>x</size>", 30},
      {"GetAllShareFile out", [&](RecordTree* r) { return rs->GetAllShareFile(*out, nullptr, nullptr, r); },
       "/xsvr/asmGetAllSharedFiles/", "<token>T</token><type>out</type>", 30},
      {"GetAllShareFile toMe", [&](RecordTree* r) { return rs->GetAllShareFile(*toMe, nullptr, nullptr, r); },
       "/xsvr/asmGetAllSharedFiles/", "<token>T</token><type>toMe</type>", 30},
      {"Dir", [&](RecordTree* r) { return rs->Dir(*dir, nullptr, nullptr, r); }, "/xsvr/dir/",
       "<token>T</token><fileId></fileId>", 30},
      {"Delete", [&](RecordTree*) { return rs->Delete(*del, nullptr, nullptr); }, "/xsvr/delete/", tokenFile, 30},
      {"DeleteEx", [&](RecordTree*) { return rs->DeleteEx(*del, nullptr, nullptr); }, "/xsvr/deleteEx/", tokenFile,
       30},
      {"Rename", [&](RecordTree* r) { return rs->Rename(*rename, nullptr, nullptr, r); }, "/xsvr/rename/",
       tokenFile + "<name>n 'q\"</name>", 30},
      {"NewFolder", [&](RecordTree* r) { return rs->NewFolder(*mkdir, nullptr, nullptr, r); }, "/xsvr/newFolder/",
       "<token>T</token><parentId>P</parentId><name>新建</name>", 30},
      {"Move", [&](RecordTree* r) { return rs->Move(*move, nullptr, nullptr, r); }, "/xsvr/move/",
       tokenFile + "<parentId>P</parentId><name></name>", 30},
      {"Move2", [&](RecordTree* r) { return rs->Move2(*move, nullptr, nullptr, r); }, "/xsvr/move/",
       tokenFile + "<parentId>P</parentId><name></name>", 30},
      {"NewFile", [&](RecordTree* r) { return rs->NewFile(*newFile, nullptr, nullptr, r); }, "/xsvr/newFile/",
       "<token>T</token><parentId>P</parentId><name>f.txt</name>", 30},
      {"UpdateFile", [&](RecordTree* r) { return rs->UpdateFile(*update, nullptr, nullptr, r); },
       "/xsvr/requestUpload/",
       "<token>T</token><fileVer>4</fileVer><size>5000000000</size><fileId>F</fileId><sha1>ab</sha1>", 30},
      {"FullTextSearch", [&](RecordTree* r) { return rs->FullTextSearch(*search, nullptr, nullptr, r); },
       "/xsvr/fullTextSearch", "<token>T</token><searchText>a&amp;b</searchText><searchType>2</searchType>", 30},
      {"GetItemInfo", [&](RecordTree* r) { return rs->GetItemInfo(*info, nullptr, nullptr, r); },
       "/xsvr/getItemInfo/", tokenFile, 30},
      {"SetFileModTime", [&](RecordTree* r) { return rs->SetFileModTime(*update, nullptr, nullptr, r); },
       "/xsvr/setModTime/", tokenFile + "<modTime>2024-05-01 12:00:00</modTime>", 30},
      {"CheckProxyServer", [&](RecordTree* r) { return rs->CheckProxyServer(r) == S_FALSE ? S_OK : E_FAIL; },
       "/xsvr/", "", 5},
      {"ShareFile", [&](RecordTree* r) { return rs->ShareFile(share, nullptr, nullptr, r); }, "/xsvr/asmShare/",
       tokenFile + "<sharers>a,b</sharers><writable>true</writable><sendMail>false</sendMail>", 30},
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
}

TEST_F(RemoteStorageTest, LoginBodyEscapesThePasswordAndTheTraceHidesIt) {
  LogCapture log;
  TaskDataPtr<TaskData_Login> t(CreateTaskData_Login("ann@x", "p&<>\"'w", "ostrel-0|PC", "ostrel", "1.0.0.1"));
  RecordTree result;
  ASSERT_EQ(S_OK, m_rs->Login(*t, nullptr, nullptr, &result));
  EXPECT_EQ(
      "<?xml version=\"1.0\" encoding=\"utf-8\" ?><nuvra><user>ann@x</user><password>p&amp;&lt;&gt;\"'w</password>"
      "<deviceId>ostrel-0|PC</deviceId><clientName>ostrel</clientName><clientVersion>1.0.0.1</clientVersion>"
      "</nuvra>",
      m_net.Last().body);
  EXPECT_TRUE(log.Contains("CTraceStack In, CRemoteStorage::Login() : User = ann@x, Password = __password__, "
                           "DeviceId = ostrel-0|PC, ClientName = ostrel, ClientVersion = 1.0.0.1"))
      << log.All();
  EXPECT_FALSE(log.Contains("p&<>")) << log.All();
}

TEST_F(RemoteStorageTest, RootsAndPathsJoinWithNothingBetween) {
  struct Case {
    const char* root;
    const char* url;
  } cases[] = {
      {"http://h:1", "http://h:1/xsvr/dir/"},
      {"http://h:1/", "http://h:1//xsvr/dir/"},
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
  WriteFileBytes(PathIn("config.ini"), "");
  EXPECT_EQ(std::string(kDefaultServerRoot) + "/xsvr/", GetServerRootUrl("/xsvr/"));
  EXPECT_EQ(std::string(kDefaultThumbnailRoot) + "/x", GetThumbnailRoot("/x"));
}

TEST_F(RemoteStorageTest, ReplyHandlingMapsEveryOutcomeAndKeepsTheValues) {
  struct Case {
    const char* name;
    HRESULT transport;
    std::string reply;
    HRESULT expected;
    const char* value;  // the reply's fileId that must stay readable, or null
  } cases[] = {
      {"ok", S_OK, Reply("ok", "<fileId>n1</fileId>"), S_OK, "n1"},
      {"Ok", S_OK, Reply("Ok"), S_OK, nullptr},
      {"targetExist", S_OK, Reply("targetExist", "<fileId>old</fileId>"), E_CV_TARGET_EXISTS, "old"},
      {"no result word", S_OK, "<nuvra><fileId>x</fileId></nuvra>", E_CV_SRV_SERVER_ERROR, "x"},
      {"unknown word", S_OK, Reply("OK"), E_CV_SRV_UNKNOWN_WORD, nullptr},
      {"empty reply", S_OK, "", E_FAIL, nullptr},
      {"not xml", S_OK, "<html><body>502", E_FAIL, nullptr},
      {"time-out", E_CV_NETWORK_ERROR, "", E_CV_NETWORK_ERROR, nullptr},
      {"no connection", E_CV_NETWORK_ERROR2, "", E_CV_NETWORK_ERROR2, nullptr},
      {"transfer error", E_CV_NETWORK_ERROR3, "", E_CV_NETWORK_ERROR3, nullptr},
      {"cancel", E_CV_CURL_CANCEL, "", E_CV_CURL_CANCEL, nullptr},
      {"http status of a GET", E_CV_SRV_SERVER_ERROR, "", E_CV_SRV_SERVER_ERROR, nullptr},
  };
  TaskDataPtr<TaskData_DirectoryAdd> t(CreateTaskData_CreateDirectory("T", "P", "a\\b"));
  RecordTree reused;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m_net.Queue(c.transport, c.reply);
    RecordTree& result = reused;  // a record used again shows the latest reply only
    EXPECT_EQ(c.expected, m_rs->NewFolder(*t, nullptr, nullptr, &result));
    if (c.value) {
      EXPECT_EQ(c.value, result.GetValue("fileId"));
    }
  }
}

TEST_F(RemoteStorageTest, AcceptedCodesOnlySilenceTheErrorLine) {
  TaskDataPtr<TaskData_DirectoryAdd> folder(CreateTaskData_CreateDirectory("T", "P", "a\\b"));
  TaskDataPtr<TaskData_Dir> dir(CreateTaskData_Dir("T", "F"));
  const std::string kWordLine = "ERROR_CHECK_BOOL:S_OK == hr || E_CV_TARGET_EXISTS == hr";
  struct Case {
    bool newFolder;
    HRESULT transport;
    std::string reply;
    HRESULT expected;
    std::vector<std::string> logged, notLogged;
  } cases[] = {
      {true, S_OK, Reply("targetExist", "<fileId>old</fileId>"), E_CV_TARGET_EXISTS, {},
       {kWordLine, "ERROR_CHECK_COM hr = 80041018"}},
      {true, S_OK, Reply("parentNotExist"), E_CV_PARENT_NOT_EXIST, {kWordLine}, {}},
      {false, S_OK, Reply("targetExist"), E_CV_TARGET_EXISTS,
       {"ERROR_CHECK_COM hr = 80041018: hr",
        "CRemoteStorage::_HttpRequest() Failed, URL = http://api.test:81/xsvr/dir/, Param = <?xml version=\"1.0\" "
        "encoding=\"utf-8\" ?><nuvra><token>__token__</token><fileId>F</fileId></nuvra>, ResultCode = 'targetExist'"},
       {}},
      {false, E_CV_NETWORK_ERROR, "", E_CV_NETWORK_ERROR, {"CHECK_COM hr = 80044001: hr"}, {}},
  };
  for (const Case& c : cases) {
    LogCapture log;
    RecordTree result;
    m_net.Queue(c.transport, c.reply);
    EXPECT_EQ(c.expected, c.newFolder ? m_rs->NewFolder(*folder, nullptr, nullptr, &result)
                                      : m_rs->Dir(*dir, nullptr, nullptr, &result));
    for (const std::string& line : c.logged) EXPECT_TRUE(log.Contains(line)) << line << "\n" << log.All();
    for (const std::string& line : c.notLogged) EXPECT_FALSE(log.Contains(line)) << line << "\n" << log.All();
  }
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
  EXPECT_EQ("http://api.test:81/xsvr/getGlobalVersion", m_net.Last().url);
  EXPECT_EQ(kDecl + "<nuvra><token>T</token></nuvra>", m_net.Last().body);
  EXPECT_EQ("v:2&User-Agent:ostrel", m_net.Last().header);
  EXPECT_EQ(30, m_net.Last().timeoutSec);

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

TEST_F(RemoteStorageTest, TransportCreationFailureIsReturned) {
  LogCapture log;
  m_net.FailCreation(E_OUTOFMEMORY);
  TaskDataPtr<TaskData_GetSpace> t(CreateTaskData_GetSpace("T"));
  RecordTree result;
  std::string reply;
  EXPECT_EQ(E_OUTOFMEMORY, m_rs->GetSpace(*t, nullptr, nullptr, &result));
  EXPECT_EQ(E_OUTOFMEMORY, m_rs->HttpRequest("http://x/", "", nullptr, nullptr, nullptr, &reply, 30));
  EXPECT_EQ(E_OUTOFMEMORY, m_rs->CheckProxyServer(&result));
  EXPECT_EQ(3, log.Count("ERROR_CHECK_COM: hr = 8007000e MSG: Create CTransport Failed!")) << log.All();
}

TEST_F(RemoteStorageTest, RawRequestPassesTextThroughUnparsed) {
  HRESULT (*progress)(void*, double, double, double, double, double) = [](void*, double, double, double, double,
                                                                          double) { return S_OK; };
  m_net.Queue(S_OK, "{\"code\":\"ok\"}");
  std::string reply, body = "{\"stub\":\"s\"}";
  ASSERT_EQ(S_OK, m_rs->HttpRequest("http://blk/downloadMetadata", "v:3&User-Agent:ostrel", &body, progress,
                                    nullptr, &reply, 30));
  EXPECT_EQ("{\"code\":\"ok\"}", reply);
  RecordedCall call = m_net.Last();
  EXPECT_EQ("http://blk/downloadMetadata", call.url);
  EXPECT_EQ("v:3&User-Agent:ostrel", call.header);
  EXPECT_EQ(body, call.body);
  EXPECT_TRUE(call.hasCallback);

  m_net.Queue(S_OK, "");
  EXPECT_EQ(E_FAIL, m_rs->HttpRequest("http://blk/x", "", nullptr, nullptr, nullptr, &reply, 30));
  EXPECT_FALSE(m_net.Last().hasHeader) << "an empty header text sends no header";
  EXPECT_FALSE(m_net.Last().hasBody);
}

TEST_F(RemoteStorageTest, AnAllocationFailureWhileReadingAReplyFailsTheRequestWithALogLine) {
  TaskDataPtr<TaskData_GetSpace> space(CreateTaskData_GetSpace("T"));
  RMT_FS::MetadataDownloader blocks;
  const std::pair<std::string, std::function<HRESULT()>> cases[] = {
      {Reply("ok", "<total>1</total>"), [&] { RecordTree r; return m_rs->GetSpace(*space, nullptr, nullptr, &r); }},
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

TEST(RequestFrameTest, RawQueryValuesRefuseSeparatorsAndControls) {
  for (const char* ok : {"", "42", "a@b.c", "s+t/u%20", "é"}) EXPECT_TRUE(IsRawQueryValueSafe(ok)) << ok;
  for (const char* bad : {" ", "a#", "a&b", "a\tb", "\x7f"}) EXPECT_FALSE(IsRawQueryValueSafe(bad)) << bad;
  EXPECT_FALSE(IsRawQueryValueSafe(std::string("a\0b", 3)));
}

}  // namespace
