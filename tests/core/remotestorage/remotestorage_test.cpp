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
#include "core/remotestorage/requestframe.h"
#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>";
const std::string kOk = "<?xml version=\"1.0\"?><nuvra result=\"ok\"/>";

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

// One request of the file-system API as it must reach the transport.
struct RequestCase {
  const char* name;
  std::function<HRESULT(IRemoteStorage*, RecordTree*)> call;
  std::string url;
  std::string body;  // after the declaration; empty for a GET
  int32_t timeoutSec;
};

TEST_F(RemoteStorageTest, EveryRequestSendsItsPathParametersAndTimeOut) {
  TaskData_UpdateFile update;
  update.strToken = "T";
  update.strId = "F";
  update.strFileVer = "4";
  update.strSizeOrg = "5000000000";
  update.strSha1Org = "ab";
  update.strMTime = "2024-05-01 12:00:00";
  const RequestCase cases[] = {
      {"Login",
       [](IRemoteStorage* rs, RecordTree* r) {
         TaskDataPtr<TaskData_Login> t(CreateTaskData_Login("u", "p", "d", "ostrel", "1.0.0.1"));
         return rs->Login(*t, nullptr, nullptr, r);
       },
       "http://api.test:81/xsvr/login/",
       "<nuvra><user>u</user><password>p</password><deviceId>d</deviceId><clientName>ostrel</clientName>"
       "<clientVersion>1.0.0.1</clientVersion></nuvra>",
       30},
      {"ReLogin",
       [](IRemoteStorage* rs, RecordTree* r) {
         TaskDataPtr<TaskData_ReLogin> t(CreateTaskData_ReLogin("T", "d"));
         return rs->ReLogin(*t, nullptr, nullptr, r);
       },
       "http://api.test:81/xsvr/forkToken/",
       "<nuvra><token>T</token><deviceId>d</deviceId><clientName>ostrel</clientName></nuvra>", 30},
      {"GetSpace",
       [](IRemoteStorage* rs, RecordTree* r) {
         TaskDataPtr<TaskData_GetSpace> t(CreateTaskData_GetSpace("T"));
         return rs->GetSpace(*t, nullptr, nullptr, r);
       },
       "http://api.test:81/xsvr/getSpace/", "<nuvra><token>T</token></nuvra>", 30},
      {"GetMaxVers",
       [](IRemoteStorage* rs, RecordTree* r) {
         TaskDataPtr<TaskData_GetRemoteOptVer> t(CreateTaskData_GetMaxVer("T"));
         return rs->GetMaxVers(*t, nullptr, nullptr, r);
       },
       "http://api.test:81/xsvr/getMaxVers/", "<nuvra><token>T</token></nuvra>", 0},
      {"GetRecycle",
       [](IRemoteStorage* rs, RecordTree* r) {
         TaskDataPtr<TaskData_GetRecycle> t(CreateTaskData_GetRecycle("T", "12", -7));
         return rs->GetRecycle(*t, nullptr, nullptr, r);
       },
       "http://api.test:81/xsvr/getRecycle/", "<nuvra><token>T</token><opVer>12</opVer><size>-7</size></nuvra>",
       30},
      {"CleanRecycle",
       [](IRemoteStorage* rs, RecordTree* r) {
         TaskDataPtr<TaskData_CleanRecycle> t(CreateTaskData_CleanRecycle("T", "F"));
         return rs->CleanRecycle(*t, nullptr, nullptr, r);
       },
       "http://api.test:81/xsvr/cleanRecycle/", "<nuvra><token>T</token><fileId>F</fileId></nuvra>", 30},
      {"Recover",
       [](IRemoteStorage* rs, RecordTree* r) {
         TaskDataPtr<TaskData_Recover> t(CreateTaskData_Recover("T", "F", "P"));
         return rs->Recover(*t, nullptr, nullptr, r);
       },
       "http://api.test:81/xsvr/recover/",
       "<nuvra><token>T</token><fileId>F</fileId><parentId>P</parentId></nuvra>", 30},
      {"PushNotify",
       [](IRemoteStorage* rs, RecordTree* r) {
         TaskData_PushNotify t;
         t.strUserId = "42";
         return rs->PushNotify(t, nullptr, nullptr, r);
       },
       "http://push.test:82/sync/get?uid=42", "", 270},
      {"GetNormalItemSnapshot",
       [](IRemoteStorage* rs, RecordTree* r) {
         return rs->GetNormalItemSnapshot({"T", "12", "100"}, nullptr, nullptr, r);
       },
       "http://api.test:81/xsvr/syncFile/", "<nuvra><token>T</token><opVer>12</opVer><size>100</size></nuvra>",
       30},
      {"GetDeletedItemSnapshot",
       [](IRemoteStorage* rs, RecordTree* r) {
         return rs->GetDeletedItemSnapshot({"T", "12", "x"}, nullptr, nullptr, r);
       },
       "http://api.test:81/xsvr/syncDelFile/", "<nuvra><token>T</token><opVer>12</opVer><size>x</size></nuvra>",
       30},
      {"GetAllShareFile out",
       [](IRemoteStorage* rs, RecordTree* r) {
         TaskDataPtr<TaskData_GetAllShareFile> t(CreateTaskData_GetAllShareFile("T", 0));
         return rs->GetAllShareFile(*t, nullptr, nullptr, r);
       },
       "http://api.test:81/xsvr/asmGetAllSharedFiles/", "<nuvra><token>T</token><type>out</type></nuvra>", 30},
      {"GetAllShareFile toMe",
       [](IRemoteStorage* rs, RecordTree* r) {
         TaskDataPtr<TaskData_GetAllShareFile> t(CreateTaskData_GetAllShareFile("T", 7));
         return rs->GetAllShareFile(*t, nullptr, nullptr, r);
       },
       "http://api.test:81/xsvr/asmGetAllSharedFiles/", "<nuvra><token>T</token><type>toMe</type></nuvra>", 30},
      {"Dir",
       [](IRemoteStorage* rs, RecordTree* r) {
         TaskDataPtr<TaskData_Dir> t(CreateTaskData_Dir("T", ""));
         return rs->Dir(*t, nullptr, nullptr, r);
       },
       "http://api.test:81/xsvr/dir/", "<nuvra><token>T</token><fileId></fileId></nuvra>", 30},
      {"Delete",
       [](IRemoteStorage* rs, RecordTree*) {
         TaskDataPtr<TaskData_Delete> t(CreateTaskData_Delete("T", false, "F", "a\\b"));
         return rs->Delete(*t, nullptr, nullptr);
       },
       "http://api.test:81/xsvr/delete/", "<nuvra><token>T</token><fileId>F</fileId></nuvra>", 30},
      {"DeleteEx",
       [](IRemoteStorage* rs, RecordTree*) {
         TaskDataPtr<TaskData_Delete> t(CreateTaskData_Delete("T", true, "F", "a\\b"));
         return rs->DeleteEx(*t, nullptr, nullptr);
       },
       "http://api.test:81/xsvr/deleteEx/", "<nuvra><token>T</token><fileId>F</fileId></nuvra>", 30},
      {"Rename",
       [](IRemoteStorage* rs, RecordTree* r) {
         TaskDataPtr<TaskData_Rename> t(CreateTaskData_Rename("T", false, "F", "a\\b", "n 'q\""));
         return rs->Rename(*t, nullptr, nullptr, r);
       },
       "http://api.test:81/xsvr/rename/",
       "<nuvra><token>T</token><fileId>F</fileId><name>n 'q\"</name></nuvra>", 30},
      {"NewFolder",
       [](IRemoteStorage* rs, RecordTree* r) {
         TaskDataPtr<TaskData_DirectoryAdd> t(CreateTaskData_CreateDirectory("T", "P", "a\\新建"));
         return rs->NewFolder(*t, nullptr, nullptr, r);
       },
       "http://api.test:81/xsvr/newFolder/",
       "<nuvra><token>T</token><parentId>P</parentId><name>新建</name></nuvra>", 30},
      {"Move",
       [](IRemoteStorage* rs, RecordTree* r) {
         TaskDataPtr<TaskData_Move> t(CreateTaskData_Move("T", false, "F", "a\\b", "P", ""));
         return rs->Move(*t, nullptr, nullptr, r);
       },
       "http://api.test:81/xsvr/move/",
       "<nuvra><token>T</token><fileId>F</fileId><parentId>P</parentId><name></name></nuvra>", 30},
      {"Move2",
       [](IRemoteStorage* rs, RecordTree* r) {
         TaskDataPtr<TaskData_Move> t(CreateTaskData_Move("T", true, "F", "a\\b", "P", "n"));
         return rs->Move2(*t, nullptr, nullptr, r);
       },
       "http://api.test:81/xsvr/move/",
       "<nuvra><token>T</token><fileId>F</fileId><parentId>P</parentId><name>n</name></nuvra>", 30},
      {"NewFile",
       [](IRemoteStorage* rs, RecordTree* r) {
         TaskDataPtr<TaskData_NewFile> t(CreateTaskData_UpdateNewFile("P", "a\\f.txt", "/tmp/f.txt"));
         t->strToken = "T";
         return rs->NewFile(*t, nullptr, nullptr, r);
       },
       "http://api.test:81/xsvr/newFile/",
       "<nuvra><token>T</token><parentId>P</parentId><name>f.txt</name></nuvra>", 30},
      {"UpdateFile",
       [&update](IRemoteStorage* rs, RecordTree* r) { return rs->UpdateFile(update, nullptr, nullptr, r); },
       "http://api.test:81/xsvr/requestUpload/",
       "<nuvra><token>T</token><fileVer>4</fileVer><size>5000000000</size><fileId>F</fileId><sha1>ab</sha1>"
       "</nuvra>",
       30},
      {"FullTextSearch",
       [](IRemoteStorage* rs, RecordTree* r) {
         TaskDataPtr<TaskData_FullTextSearch> t(CreateTaskData_FullTextSearch("T", "a&b", 2));
         return rs->FullTextSearch(*t, nullptr, nullptr, r);
       },
       "http://api.test:81/xsvr/fullTextSearch",
       "<nuvra><token>T</token><searchText>a&amp;b</searchText><searchType>2</searchType></nuvra>", 30},
      {"GetItemInfo",
       [](IRemoteStorage* rs, RecordTree* r) {
         TaskDataPtr<TaskData_GetItemInfo> t(CreateTaskData_GetFileInfo("F"));
         t->strToken = "T";
         return rs->GetItemInfo(*t, nullptr, nullptr, r);
       },
       "http://api.test:81/xsvr/getItemInfo/", "<nuvra><token>T</token><fileId>F</fileId></nuvra>", 30},
      {"SetFileModTime",
       [&update](IRemoteStorage* rs, RecordTree* r) { return rs->SetFileModTime(update, nullptr, nullptr, r); },
       "http://api.test:81/xsvr/setModTime/",
       "<nuvra><token>T</token><fileId>F</fileId><modTime>2024-05-01 12:00:00</modTime></nuvra>", 30},
      {"CheckProxyServer", [](IRemoteStorage* rs, RecordTree* r) { return rs->CheckProxyServer(r); },
       "http://api.test:81/xsvr/", "", 5},
  };
  m_net.SetDefault(S_OK, kOk);
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.name);
    size_t before = m_net.Count();
    RecordTree result;
    HRESULT hr = c.call(m_rs.get(), &result);
    EXPECT_EQ(c.name == std::string("CheckProxyServer") ? S_FALSE : S_OK, hr);
    ASSERT_EQ(before + 1, m_net.Count());
    RecordedCall call = m_net.Last();
    EXPECT_EQ(c.url, call.url);
    EXPECT_TRUE(call.hasHeader);
    EXPECT_EQ("v:2&User-Agent:ostrel", call.header);
    EXPECT_EQ(!c.body.empty(), call.hasBody);
    if (!c.body.empty()) {
      EXPECT_EQ(kDecl + c.body, call.body);
    }
    EXPECT_EQ(c.timeoutSec, call.timeoutSec);
    EXPECT_TRUE(call.reportNetworkState);
    EXPECT_FALSE(call.hasCallback);
  }
  EXPECT_EQ(0, m_net.Alive()) << "every request releases its transport";
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

TEST_F(RemoteStorageTest, ShareBodyJoinsSharersAndWritesFlagsInLowerCase) {
  struct Case {
    std::vector<std::string> sharers;
    bool writable, sendMail;
    std::string body;
    bool assertion;
  } cases[] = {
      {{"a", "b"}, true, false,
       "<nuvra><token>T</token><fileId>F</fileId><sharers>a,b</sharers><writable>true</writable>"
       "<sendMail>false</sendMail></nuvra>",
       false},
      {{}, false, true,
       "<nuvra><token>T</token><fileId>F</fileId><sharers></sharers><writable>false</writable>"
       "<sendMail>true</sendMail></nuvra>",
       true},
  };
  for (const Case& c : cases) {
    LogCapture log;
    ShareRecord share{"T", "F", c.sharers, c.writable, c.sendMail};
    RecordTree result;
    ASSERT_EQ(S_OK, m_rs->ShareFile(share, nullptr, nullptr, &result));
    EXPECT_EQ("http://api.test:81/xsvr/asmShare/", m_net.Last().url);
    EXPECT_EQ(kDecl + c.body, m_net.Last().body);
    EXPECT_EQ(c.assertion, log.Contains("*ASSERT*: TaskData.vecSharers.size()"));
  }
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
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m_net.Queue(c.transport, c.reply);
    RecordTree result;
    EXPECT_EQ(c.expected, m_rs->NewFolder(*t, nullptr, nullptr, &result));
    if (c.value) {
      EXPECT_EQ(c.value, result.GetValue("fileId"));
    }
  }
}

TEST_F(RemoteStorageTest, AcceptedCodesOnlySilenceTheErrorLine) {
  TaskDataPtr<TaskData_DirectoryAdd> folder(CreateTaskData_CreateDirectory("T", "P", "a\\b"));
  TaskDataPtr<TaskData_Dir> dir(CreateTaskData_Dir("T", "F"));
  RecordTree result;
  {
    LogCapture log;
    m_net.Queue(S_OK, Reply("targetExist", "<fileId>old</fileId>"));
    EXPECT_EQ(E_CV_TARGET_EXISTS, m_rs->NewFolder(*folder, nullptr, nullptr, &result));
    EXPECT_FALSE(log.Contains("ERROR_CHECK_BOOL:S_OK == hr || E_CV_TARGET_EXISTS == hr")) << log.All();
    EXPECT_FALSE(log.Contains("ERROR_CHECK_COM hr = 80041018")) << log.All();
  }
  {
    LogCapture log;
    m_net.Queue(S_OK, Reply("parentNotExist"));
    EXPECT_EQ(E_CV_PARENT_NOT_EXIST, m_rs->NewFolder(*folder, nullptr, nullptr, &result));
    EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOL:S_OK == hr || E_CV_TARGET_EXISTS == hr")) << log.All();
  }
  {
    LogCapture log;
    m_net.Queue(S_OK, Reply("targetExist"));
    EXPECT_EQ(E_CV_TARGET_EXISTS, m_rs->Dir(*dir, nullptr, nullptr, &result));
    EXPECT_TRUE(log.Contains("ERROR_CHECK_COM hr = 80041018: hr")) << log.All();
    EXPECT_TRUE(log.Contains("CRemoteStorage::_HttpRequest() Failed, URL = http://api.test:81/xsvr/dir/, "
                             "Param = <?xml version=\"1.0\" encoding=\"utf-8\" ?><nuvra><token>__token__</token>"
                             "<fileId>F</fileId></nuvra>, ResultCode = 'targetExist'"))
        << log.All();
  }
  {
    LogCapture log;
    m_net.Queue(E_CV_NETWORK_ERROR, "");
    EXPECT_EQ(E_CV_NETWORK_ERROR, m_rs->Dir(*dir, nullptr, nullptr, &result));
    EXPECT_TRUE(log.Contains("CHECK_COM hr = 80044001: hr")) << log.All();
  }
}

TEST_F(RemoteStorageTest, ProxyCheckWantsTheVersionWordInAnyCase) {
  struct Case {
    HRESULT transport;
    std::string reply;
    HRESULT expected;
  } cases[] = {
      {S_OK, Reply("methodVersionNotMatch"), S_OK},
      {S_OK, Reply("METHODVERSIONNOTMATCH"), S_OK},
      {S_OK, Reply("ok"), S_FALSE},
      {S_OK, "<nuvra/>", S_FALSE},
      {S_OK, "", E_FAIL},
      {E_CV_NETWORK_ERROR2, "", E_CV_NETWORK_ERROR2},
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
  RecordedCall call = m_net.Last();
  EXPECT_EQ("http://api.test:81/xsvr/getGlobalVersion", call.url);
  EXPECT_EQ(kDecl + "<nuvra><token>T</token></nuvra>", call.body);
  EXPECT_EQ("v:2&User-Agent:ostrel", call.header);
  EXPECT_EQ(30, call.timeoutSec);

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

TEST_F(RemoteStorageTest, TransferSlotsAreNotBuiltYet) {
  TaskData_UpdateFile update;
  TaskData_UpdateFile_UFA ufa;
  TaskData_DownloadFile download;
  TaskData_DownloadFile_UFA dufa;
  TaskData_GetThumbnail thumb;
  RecordTree result;
  std::string version;
  EXPECT_EQ(E_NOTIMPL, m_rs->_UploadFile(update, nullptr, nullptr, &result));
  EXPECT_EQ(E_NOTIMPL, m_rs->UploadFile_UFA(ufa, {}, nullptr, nullptr, &version));
  EXPECT_EQ(E_NOTIMPL, m_rs->UploadBlock("u", nullptr, nullptr, "p", "h", &result));
  EXPECT_EQ(E_NOTIMPL, m_rs->DownloadFile(download, nullptr, nullptr, &result));
  EXPECT_EQ(E_NOTIMPL, m_rs->DownloadFile_UFA(dufa, nullptr, nullptr, nullptr, false));
  EXPECT_EQ(E_NOTIMPL, m_rs->DownloadBlock("u", nullptr, nullptr, "p", "h", "b"));
  EXPECT_EQ(E_NOTIMPL, m_rs->GetThumbnail(thumb, nullptr, nullptr, &result));
  EXPECT_EQ(0u, m_net.Count());
  EXPECT_EQ(S_OK, m_rs->Init());
  EXPECT_EQ(S_OK, m_rs->UnInit());
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
  for (const Case& c : cases) {
    EXPECT_EQ(c.out, MaskSecrets(c.in)) << c.in;
  }
}

TEST(RequestFrameTest, RawQueryValuesRefuseSeparatorsAndControls) {
  for (const char* ok : {"", "42", "a@b.c", "s+t/u%20", "é"}) EXPECT_TRUE(IsRawQueryValueSafe(ok)) << ok;
  for (const char* bad : {" ", "a#", "a&b", "a\tb", "\x7f"}) EXPECT_FALSE(IsRawQueryValueSafe(bad)) << bad;
  EXPECT_FALSE(IsRawQueryValueSafe(std::string("a\0b", 3)));
}

}  // namespace
