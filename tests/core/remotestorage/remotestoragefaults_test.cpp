// CRemoteStorage against the local service with injected replies: result words reach
// the caller of each kind of request as their codes with the reply's values readable
// and the failure line it logs, transport failures and a cancel keep their codes, and
// no secret reaches the log file.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/log.h"
#include "core/interfaces/createtaskdata.h"
#include "support/serviceclient.h"
#include "support/logcapture.h"

namespace {

class RemoteStorageFaultTest : public ServiceClientTest {
 protected:
  void InjectReply(const std::string& path, const std::string& word, const std::string& values) {
    std::string body = "<?xml version=\\\"1.0\\\"?><nuvra result=\\\"" + word + "\\\">" + values + "</nuvra>";
    Service().Inject("{\"path\":\"" + path + "\",\"body\":\"" + body + "\"}");
  }
};

struct WordCase {
  const char* word;
  HRESULT code;
  const char* path;
  std::function<HRESULT(IRemoteStorage*, RecordTree*)> call;
  std::string logged = "";  // "" asserts nothing
  std::vector<std::string> notLogged = {};
};

// A code a request accepts (a folder that exists already) is returned without the
// request's own failure lines; every failure word logs the failure line of the request
// frame, secrets masked.
TEST_F(RemoteStorageFaultTest, WordsTheEngineActsOnArriveAsTheirCodesWithValues) {
  const std::string kWordLine = "ERROR_CHECK_BOOL:S_OK == hr || E_CV_TARGET_EXISTS == hr";
  auto login = [](IRemoteStorage* rs, RecordTree* r) {
    TaskDataPtr<TaskData_Login> t(CreateTaskData_Login("ann", "pw", "ostrel-0|PC", "ostrel", "1.0.0.1"));
    return rs->Login(*t, nullptr, nullptr, r);
  };
  auto relogin = [](IRemoteStorage* rs, RecordTree* r) {
    TaskDataPtr<TaskData_ReLogin> t(CreateTaskData_ReLogin("tok", "ostrel-0|PC"));
    return rs->ReLogin(*t, nullptr, nullptr, r);
  };
  auto newFolder = [](IRemoteStorage* rs, RecordTree* r) {
    TaskDataPtr<TaskData_DirectoryAdd> t(CreateTaskData_CreateDirectory("tok", "", "\\a"));
    return rs->NewFolder(*t, nullptr, nullptr, r);
  };
  auto newFile = [](IRemoteStorage* rs, RecordTree* r) {
    TaskDataPtr<TaskData_NewFile> t(CreateTaskData_UpdateNewFile("p", "\\f", "/s/f"));
    t->strToken = "tok";
    return rs->NewFile(*t, nullptr, nullptr, r);
  };
  auto update = [](IRemoteStorage* rs, RecordTree* r) {
    TaskDataPtr<TaskData_UpdateFile> t(CreateTaskData_UpdateFile("F", "\\f", "1", "/s/f"));
    t->strToken = "tok";
    t->strSizeOrg = "3";
    t->strSha1Org = "a9993e364706816aba3e25717850c26c9cd0d89d";
    return rs->UpdateFile(*t, nullptr, nullptr, r);
  };
  auto dir = [](IRemoteStorage* rs, RecordTree* r) {
    TaskDataPtr<TaskData_Dir> t(CreateTaskData_Dir("tok", "F"));
    return rs->Dir(*t, nullptr, nullptr, r);
  };
  auto remove = [](IRemoteStorage* rs, RecordTree*) {
    TaskDataPtr<TaskData_Delete> t(CreateTaskData_Delete("tok", true, "F", "\\a"));
    return rs->Delete(*t, nullptr, nullptr);
  };
  const WordCase cases[] = {
      {"accountNotMatch", E_CV_SRV_ACCOUNT_NOT_MATCH, "/xsvr/login/", login},
      {"clientTokenExpired", E_CV_SRV_CLIENT_TOKEN_EXPIRED, "/xsvr/forkToken/", relogin},
      {"targetExist", E_CV_TARGET_EXISTS, "/xsvr/newFolder/", newFolder, "", {kWordLine, "ERROR_CHECK_COM hr = 80041018"}},
      {"parentNotExist", E_CV_PARENT_NOT_EXIST, "/xsvr/newFolder/", newFolder, kWordLine},
      {"parentNotExist", E_CV_PARENT_NOT_EXIST, "/xsvr/newFile/", newFile},
      {"targetExist", E_CV_TARGET_EXISTS, "/xsvr/newFile/", newFile},
      {"fileVerConflict", E_CV_FILE_VER_CONFLICT, "/xsvr/requestUpload/", update},
      {"targetNotExist", E_CV_TARGET_NOT_EXISTS, "/xsvr/requestUpload/", update},
      {"overSpace", E_CV_SRV_OVER_SPACE, "/xsvr/requestUpload/", update},
      {"serverDenyReadOnly", E_CV_SRV_SERVER_DENY_READ_ONLY, "/xsvr/dir/", dir},
      {"targetExist", E_CV_TARGET_EXISTS, "/xsvr/dir/", dir,
       "CRemoteStorage::_HttpRequest() Failed, URL = " + Service().Url("/xsvr/dir/") +
           ", Param = <?xml version=\"1.0\" encoding=\"utf-8\" ?><nuvra><token>__token__</token><fileId>F</fileId>"
           "</nuvra>, ResultCode = 'targetExist'"},
      {"folderNonEmpty", E_CV_FOLDER_NON_EMPTY, "/xsvr/delete/", remove},
  };
  for (const WordCase& c : cases) {
    SCOPED_TRACE(std::string(c.word) + " at " + c.path);
    InjectReply(c.path, c.word, "<fileId>existing-1</fileId><fileVer>7</fileVer>");
    RecordTree result;
    LogCapture log;
    EXPECT_EQ(c.code, c.call(m_rs.get(), &result));
    EXPECT_TRUE(log.Contains(c.logged)) << log.All();
    for (const std::string& line : c.notLogged) EXPECT_FALSE(log.Contains(line)) << line;
    if (std::string(c.path) != "/xsvr/delete/") {
      EXPECT_EQ(c.word, result.GetAttribute("result"));
      EXPECT_EQ("existing-1", result.GetValue("fileId"));
      EXPECT_EQ("7", result.GetValue("fileVer"));
    }
    ASSERT_EQ(1u, Service().Requests(c.path).size());
    Service().Reset();
  }
}

TEST_F(RemoteStorageFaultTest, TransportAndReplyFaultsKeepTheirCodes) {
  struct Case {
    const char* fault;
    HRESULT code;
    const char* opVer = "";  // the reply's value that stays readable
    const char* logged = "";
  } cases[] = {
      {"\"status\":504,\"body\":\"x\"", E_CV_NETWORK_ERROR, "", "CHECK_COM hr = 80044001: hr"},
      {"\"drop\":true", E_CV_NETWORK_ERROR3},
      {"\"garbage\":true", E_FAIL},
      {"\"body\":\"\"", E_FAIL},
      {"\"body\":\"<nuvra><opVer>1</opVer></nuvra>\"", E_CV_SRV_SERVER_ERROR, "1"},
      {"\"word\":\"noSuchWord\"", E_CV_SRV_UNKNOWN_WORD},
      {"\"status\":500,\"word\":\"serverError\"", E_CV_SRV_SERVER_ERROR},
  };
  TaskDataPtr<TaskData_GetRemoteOptVer> t(CreateTaskData_GetMaxVer("tok"));
  RecordTree result;  // used again: it shows the latest reply only
  for (const Case& c : cases) {
    Service().Inject(std::string("{\"path\":\"/xsvr/getMaxVers/\",") + c.fault + "}");
    LogCapture log;
    EXPECT_EQ(c.code, m_rs->GetMaxVers(*t, nullptr, nullptr, &result)) << c.fault;
    EXPECT_TRUE(log.Contains(c.logged)) << log.All();
    EXPECT_EQ(c.opVer, result.GetValue("opVer")) << c.fault;
  }
  // A progress callback that answers E_FAIL cancels a slow reply.
  Service().Inject(R"({"path":"/xsvr/getMaxVers/","chunk":1,"chunk_ms":200})");
  auto cancel = [](void*, double, double dlNow, double, double, double) { return dlNow > 0 ? E_FAIL : S_OK; };
  EXPECT_EQ(E_CV_CURL_CANCEL, m_rs->GetMaxVers(*t, cancel, nullptr, &result));
  // A GET answered with another status than 200 fails as the service's error.
  Service().Inject("{\"path\":\"/sync/get\",\"status\":404,\"word\":\"ok\"}");
  TaskData_PushNotify push;
  push.strUserId = "42";
  EXPECT_EQ(E_CV_SRV_SERVER_ERROR, m_rs->PushNotify(push, nullptr, nullptr, &result));
  auto polls = Service().Requests("/sync/get");
  ASSERT_EQ(1u, polls.size());
  EXPECT_EQ("2", polls[0].Header("v"));
}

TEST_F(RemoteStorageFaultTest, RefusedSignInLeavesNoSecretInTheLogFile) {
  const std::string password = "Pw-7f3a&<x>";
  const std::string token = "tok-9c1e5d";
  InjectReply("/xsvr/login/", "accountNotMatch", "");
  InjectReply("/xsvr/forkToken/", "clientTokenExpired", "");
  Service().Inject("{\"path\":\"/xsvr/getGlobalVersion\",\"word\":\"serverBusy\"}");
  Service().Inject("{\"path\":\"/xsvr/setModTime/\",\"drop\":true}");
  RecordTree result;
  TaskDataPtr<TaskData_Login> login(CreateTaskData_Login("ann", password, "ostrel-0|PC", "ostrel", "1.0.0.1"));
  EXPECT_EQ(E_CV_SRV_ACCOUNT_NOT_MATCH, m_rs->Login(*login, nullptr, nullptr, &result));
  TaskDataPtr<TaskData_ReLogin> relogin(CreateTaskData_ReLogin(token, "ostrel-0|PC"));
  EXPECT_EQ(E_CV_SRV_CLIENT_TOKEN_EXPIRED, m_rs->ReLogin(*relogin, nullptr, nullptr, &result));
  std::string version;
  EXPECT_EQ(E_CV_SRV_SERVER_BUSY, m_rs->GetGlobalVersion(token, &version));
  TaskData_UpdateFile mtime;
  mtime.strToken = token;
  mtime.strId = "F";
  mtime.strMTime = "2024-05-01 12:00:00";
  EXPECT_EQ(E_CV_NETWORK_ERROR3, m_rs->SetFileModTime(mtime, nullptr, nullptr, &result));

  // The secrets did reach the service.
  ASSERT_EQ(1u, Service().Requests("/xsvr/login/").size());
  EXPECT_NE(std::string::npos, Service().Requests("/xsvr/login/")[0].body.find("Pw-7f3a&amp;&lt;x&gt;"));

  const std::string log = ReadFileBytes(logcontrol::CurrentPath());
  EXPECT_NE(std::string::npos, log.find("CTraceStack In, CRemoteStorage::Login() : User = ann, Password = __password__, "
                                        "DeviceId = ostrel-0|PC, ClientName = ostrel, ClientVersion = 1.0.0.1"))
      << log;
  EXPECT_NE(std::string::npos, log.find("ResultCode = 'accountNotMatch'")) << log;
  EXPECT_NE(std::string::npos, log.find("<password>__password__</password>")) << log;
  EXPECT_NE(std::string::npos, log.find("<token>__token__</token>")) << log;
  EXPECT_NE(std::string::npos, log.find("RMT_FS::GlobalversionGetter Failed")) << log;
  for (const std::string& secret : {std::string("Pw-7f3a"), std::string("&lt;x&gt;"), token})
    EXPECT_EQ(std::string::npos, log.find(secret)) << secret << " in\n" << log;
}

}  // namespace
