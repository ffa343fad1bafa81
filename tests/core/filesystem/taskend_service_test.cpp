// What the user is told when a file task fails, each failure brought about by its real
// cause at the test's own local service (a file another client deleted, a session that
// expired or that the service never gave, a full quota, a service that wants a newer
// client, a stall, a dropped connection, a damaged transfer, a service that is down, a
// cancel, a target another program holds, a source that is gone): the task ends with
// the cause's result, and its text reaches the main window once, as a notice, after a
// message box for an old version and an expired session.
#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>

#include "common/sha1.h"
#include "support/heldfile.h"
#include "syncservicerig.h"

namespace {

class TaskEndServiceTest : public SyncServiceRig {
 protected:
  // The main window's messages and notices since the call numbered from, each as
  // "op: text", sorted.
  std::vector<std::string> ShownSince(size_t from) {
    std::vector<std::string> shown;
    const std::vector<ScriptedMainWindow::Call> calls = m_window.Calls();
    for (size_t i = from; i < calls.size(); ++i) {
      if (calls[i].op != "ShowMessage" && calls[i].op != "ShowNotify") continue;
      EXPECT_EQ(calls[i].caption, "Sepra便携版") << calls[i].text;
      shown.push_back(calls[i].op + ": " + calls[i].text);
    }
    std::sort(shown.begin(), shown.end());
    return shown;
  }
  // The file as another client deletes it.
  void DeleteOnService(const std::string& fileId) {
    const HttpReply reply = HttpExchange(Service().Port(), "POST", "/xsvr/delete/",
                                         "<?xml version=\"1.0\" encoding=\"utf-8\" ?><nuvra><token>" + m_token +
                                             "</token><fileId>" + fileId + "</fileId></nuvra>",
                                         {"v: 2"});
    EXPECT_NE(reply.body.find("result=\"ok\""), std::string::npos) << reply.body;
  }
  void Inject(const nlohmann::json& fault) { Service().Inject(fault.dump()); }
};

TEST_F(TaskEndServiceTest, EachFailureFromItsRealCauseIsToldOnceWithItsText) {
  std::atomic<int> exitCode{0};  // a forced upgrade tells the user but does not end the test
  shellcontrol::SetProcessExit([&exitCode](int code) { exitCode = code; });
  const std::string fileId = SeedFile("a.txt", "the file's content, as the service holds it");
  const std::string goneId = SeedFile("gone.txt", "deleted by another client");
  const std::string small = PathIn("small.txt"), big = PathIn("big.bin");
  WriteFileBytes(small, "a new version");
  WriteFileBytes(big, std::string(2 * kQuota, 'b'));
  std::unique_ptr<HeldFile> held;
  std::string target;  // the row's download target

  const char* kSession = "您的会话已经过期，为了您的安全，请重新登录Vendro。";
  const char* kNetwork = "网络链接出错，请检查网络是否顺畅。";
  const char* kOld = "当前Vendro版本太旧，请重启Vendro，Vendro会自动为您升级。";
  const char* kUpgrade = "您的版本太旧，Sepra将立即升级。";
  enum Act { kDownload, kUpload, kCancelledDownload };
  const struct Row {
    const char* cause;
    Act act;
    std::string fileId;
    std::string source;  // of an upload
    std::function<void()> arm, disarm;
    HRESULT result;
    std::string text;
    bool message;      // a message box with the text first
    bool clears;       // the cached listings go
    bool upgrade;      // the forced upgrade's message too
  } rows[] = {
      {"another client deleted the file", kDownload, goneId, "", [&] { DeleteOnService(goneId); }, [] {},
       E_CV_TARGET_NOT_EXISTS, "当前文件不存在，请刷新后检查文件是否存在。", false, false, false},
      {"the session expired", kUpload, fileId, small,
       [&] { FsControl(Service(), "/test/fs/token", {{"token", m_token}, {"expired", true}}); },
       [&] { FsControl(Service(), "/test/fs/token", {{"token", m_token}, {"expired", false}}); },
       E_CV_SRV_CLIENT_TOKEN_EXPIRED, kSession, true, true, false},
      {"the service never gave the session", kDownload, fileId, "",
       [&] { m_center->SignIn("ann", "a-token-the-service-never-gave"); }, [&] { m_center->SignIn("ann", m_token); },
       E_CV_SRV_CLIENT_NO_LOGIN, kSession, true, true, false},
      {"the new version does not fit into the quota", kUpload, fileId, big, [] {}, [] {}, E_CV_SRV_OVER_SPACE,
       "您的Sepra空间已满，当前操作失败。", false, false, false},
      {"the service wants a newer client", kDownload, fileId, "",
       [&] { Inject({{"path", "/xsvr/requestDownload/"}, {"word", "methodVersionNotMatch"}, {"count", 5}}); },
       [] {}, E_CV_SRV_METHOD_VERSION_NOT_MATCH, kOld, true, false, true},
      {"the service stalls and the transfer times out", kDownload, fileId, "",
       [&] {
         ShortTimeouts(1);
         Inject({{"path", "/wf/download"}, {"delay_ms", 2000}, {"count", 5}});
       },
       [&] { ShortTimeouts(0); }, E_CV_NETWORK_ERROR, kNetwork, false, false, false},
      {"the service is down", kDownload, fileId, "", [&] { Service().Stop(); }, [&] { Service().Restart(); },
       E_CV_NETWORK_ERROR2, kNetwork, false, false, false},
      {"the connection drops", kDownload, fileId, "",
       [&] { Inject({{"path", "/xsvr/requestDownload/"}, {"drop", true}, {"count", 5}}); }, [] {},
       E_CV_NETWORK_ERROR3, kNetwork, false, false, false},
      {"the file arrives damaged", kDownload, fileId, "",
       [&] { Inject({{"path", "/wf/download"}, {"zeros", 16}, {"count", 5}}); }, [] {}, E_CV_SHA1_MISMATCH,
       kNetwork, false, false, false},
      {"the user cancels the download", kCancelledDownload, fileId, "",
       [&] {
         Inject({{"path", "/wf/download"}, {"chunk", 8}, {"chunk_ms", 200}});
         WatchWrites("");
       },
       [&] { m_wire.SetHook(nullptr); }, E_CV_CURL_CANCEL, "下载“a.txt”被取消", false, false, false},
      {"another program holds the download's target", kDownload, fileId, "",
       [&] {
         WriteFileBytes(target, "the other program's");
         held = std::make_unique<HeldFile>(target, HeldFile::kFlock);
       },
       [&] { held.reset(); }, E_CV_LOCAL_LOCKED, "下载“a.txt”失败", false, false, false},
      {"the file to upload is gone", kUpload, fileId, PathIn("removed.txt"), [] {}, [] {}, E_CV_TASK_FAILED,
       "上传“a.txt”失败", false, false, false},
  };
  int ends = 0, n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.cause);
    const std::string fullPath = row.fileId == goneId ? "\\gone.txt" : "\\a.txt";
    const std::string folder = PathIn("out" + std::to_string(++n));
    ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(folder)), 0);
    target = folder + "/" + fullPath.substr(1);
    CFileItemRecord kept;  // a cached listing row
    kept.strSvrId = "kept" + std::to_string(n);
    kept.strParentId = "P";
    kept.strName = "kept.txt";
    kept.fileVer = 1;
    kept.size = 1;
    kept.strSha1 = Sha1Hex("k", 1);
    kept.strLocalCTime = kept.strLocalMTime = "2024-03-05 10:00:00";
    ASSERT_EQ(m_store->AddOrUpdateFileItem(kept, ItemSpace::MyFile), S_OK);
    const size_t calls = m_window.Calls().size();
    row.arm();

    if (row.act == kUpload) {
      ASSERT_EQ(m_mgr->UploadFile(row.fileId, "", 1, fullPath, row.source, true), S_OK);
    } else {
      ASSERT_EQ(m_mgr->DownloadFile(row.fileId, fullPath, target, true, ItemSpace::MyFile), S_OK);
    }
    if (row.act == kCancelledDownload) {
      ASSERT_TRUE(WaitWritten()) << "the download never began";
      ASSERT_EQ(m_scripted->CancelTask(row.fileId), S_OK);
    }
    ASSERT_TRUE(m_scripted->WaitCallbacks(++ends, std::chrono::seconds(60)));
    row.disarm();

    EXPECT_EQ(Finished(fullPath).hrResult, row.result) << std::hex << Finished(fullPath).hrResult;
    std::vector<std::string> expected = {"ShowNotify: " + row.text};
    if (row.message) expected.push_back("ShowMessage: " + row.text);
    if (row.upgrade) expected.push_back(std::string("ShowMessage: ") + kUpgrade);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ShownSince(calls), expected);
    CFileItemRecord item;
    EXPECT_EQ(SUCCEEDED(m_store->GetItemInfo(kept.strSvrId, &item, ItemSpace::MyFile)), !row.clears);
    if (row.act != kUpload) {
      EXPECT_FALSE(FileExists(target + ".otl"));
    }
    EXPECT_EQ(m_scripted->RemoveFinishedTask(""), S_OK);
    Service().Reset();
  }
  EXPECT_EQ(exitCode, -3) << "the forced upgrade ends the process with -3";
  // The service still has what it had: no failure changed it.
  EXPECT_EQ(XferContent(Service(), fileId), std::optional<std::string>("the file's content, as the service holds it"));
}

}  // namespace
