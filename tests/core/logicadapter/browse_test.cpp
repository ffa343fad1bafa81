// Browsing as the front end does it: every call goes through the process-wide logic
// adapter, on the real sync centre and components, against the test's own local
// service, whose push poll answers at once when a version moves and every 200 ms
// otherwise (so a change made between two polls is told by the next).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/logicadapter/logicadapter.h"
#include "core/synccenter.h"
#include "support/fsseed.h"
#include "support/logcapture.h"
#include "support/serviceclient.h"
#include "support/scriptedmainwindow.h"

namespace {

using namespace std::chrono_literals;

// The items' names in name order, each followed by ";".
std::string Names(const std::vector<CFileItemRecord>& items) {
  std::vector<std::string> names;
  for (const CFileItemRecord& i : items) names.push_back(i.strName);
  std::sort(names.begin(), names.end());
  std::string out;
  for (const std::string& name : names) out += name + ";";
  return out;
}

class BrowseTest : public ServiceClientTest {
 protected:
  std::vector<std::string> ServiceArgs() override { return {"--push-hold-ms", "200"}; }
  void SetUp() override {
    ServiceClientTest::SetUp();
    m_ann = FsAccount(Service(), "ann");
    m_bob = FsAccount(Service(), "bob");
    ASSERT_EQ(S_OK, Adapter().Init(PathIn("cfg"), &m_window));
    ASSERT_EQ(S_OK, Adapter().Login("ann", "pw-ann", kLoginModeMyComputer));
  }
  void TearDown() override {
    EXPECT_EQ(S_OK, Adapter().UnInit());
    ServiceClientTest::TearDown();
  }

  static CLogicAdapter& Adapter() { return GetLogicAdapter(); }
  std::string Seed(const std::string& name, const std::string& parentId = "", bool folder = false,
                   const nlohmann::json& owner = nlohmann::json()) {
    const nlohmann::json& who = owner.is_null() ? m_ann : owner;
    return FsControl(Service(), "/test/fs/item",
                     {{"userId", who["userId"]}, {"parentId", parentId}, {"name", name},
                      {"type", folder ? "folder" : "file"}, {"size", 3}})
        .value("fileId", "");
  }
  std::vector<CFileItemRecord> Mine(const std::string& folderId, bool force = false) {
    std::vector<CFileItemRecord> items;
    EXPECT_EQ(S_OK, Adapter().DirMyFile(folderId, "", &items, force)) << folderId;
    return items;
  }
  size_t ApiRequests() {
    size_t n = 0;
    for (const RecordedRequest& r : Service().Requests()) n += r.path.rfind("/xsvr/", 0) == 0;
    return n;
  }
  // Waits (bounded, for a hang only) until the heartbeat has carried the service's
  // current operation version into the cache.
  bool CacheCatchesUp(LogCapture& log) {
    const int64_t opVer = FsState(Service(), m_ann["userId"])["opVer"].get<int64_t>();
    return log.WaitForInOrder({"CLocalStorage::AdoptServiceVersions() : opVer = " + std::to_string(opVer) + ",",
                               "CTraceStack Out,CLocalStorage::AdoptServiceVersions()"},
                              60s);
  }

  ScriptedMainWindow m_window;
  nlohmann::json m_ann, m_bob;
};

TEST_F(BrowseTest, ItemOperationsWithTheirPromptsThroughTheAdapter) {
  std::string docs, again;
  ASSERT_EQ(S_OK, Adapter().NewFolder("", "\\Docs", &docs));
  EXPECT_EQ(E_CV_TARGET_EXISTS, Adapter().NewFolder("", "\\Docs", &again));
  EXPECT_EQ(docs, again) << "the folder that exists";
  const std::string old = Seed("Old", "", true), a = Seed("a.txt"), taken = Seed("a.txt", docs);
  ASSERT_EQ(S_OK, Adapter().Rename(true, old, "\\Old", "Archive"));

  // Moving onto a taken name asks through the main window and moves nothing.
  m_window.QueueWizardChoice(0);  // "替换"
  EXPECT_EQ(E_CV_TARGET_EXISTS, Adapter().Move(false, a, docs));
  const auto calls = m_window.Calls();
  ASSERT_EQ(1, m_window.CountOf("ShowWizard"));
  EXPECT_EQ("该文件已经存在，请选择以下操作方式。", calls.back().prompt.text);
  EXPECT_EQ((std::vector<std::string>{"替换", "更新", "取消"}), calls.back().prompt.buttons);
  EXPECT_EQ("Archive;Docs;a.txt;", Names(Mine("", true)));
  EXPECT_EQ(taken, Mine(docs, true).at(0).strSvrId);

  // Delete, the recycle bin, restore and clean.
  ASSERT_EQ(S_OK, Adapter().Delete(false, a, "\\a.txt", ItemSpace::MyFile));
  std::vector<CFileItemRecord> bin;
  ASSERT_EQ(S_OK, Adapter().GetRecycle("0", 100, &bin));
  EXPECT_EQ("a.txt;", Names(bin));
  ASSERT_EQ(S_OK, Adapter().Recover(a, ""));
  EXPECT_EQ("Archive;Docs;a.txt;", Names(Mine("", true)));
  ASSERT_EQ(S_OK, Adapter().Delete(true, docs, "\\Docs", ItemSpace::MyFile));
  ASSERT_EQ(S_OK, Adapter().CleanRecycle(docs));
  bin.clear();
  ASSERT_EQ(S_OK, Adapter().GetRecycle("0", 100, &bin));
  EXPECT_EQ("", Names(bin));
  EXPECT_EQ("Archive;a.txt;", Names(Mine("", true)));

  int64_t used = -1, total = -1;
  ASSERT_EQ(S_OK, Adapter().GetSpaceInfo(&used, &total, true));
  EXPECT_GE(total, used);
  EXPECT_GE(used, 0);
}

TEST_F(BrowseTest, ACurrentFolderIsServedFromTheCacheUntilAnotherClientChangesIt) {
  const std::string docs = Seed("Docs", "", true);
  Seed("one.txt", docs);
  // A folder's mark lives in its own row, which the listing of its parent stores.
  EXPECT_EQ("Docs;", Names(Mine("")));
  EXPECT_EQ("one.txt;", Names(Mine(docs)));
  Service().Reset();
  EXPECT_EQ("one.txt;", Names(Mine(docs)));
  EXPECT_EQ(0u, ApiRequests()) << "a current folder is listed from the cache";

  LogCapture log;
  Seed("two.txt", docs);  // as another client
  ASSERT_TRUE(CacheCatchesUp(log)) << "the change reached the engine through the push";
  EXPECT_TRUE(Adapter().FolderNeedUpdate(docs, ItemSpace::MyFile));
  Service().Reset();
  EXPECT_EQ("one.txt;two.txt;", Names(Mine(docs)));
  EXPECT_EQ(1u, Service().Requests("/xsvr/dir/").size()) << "a stale folder is listed from the service";

  // With the service gone, the listing falls back to what was stored.
  Service().Stop();
  std::vector<CFileItemRecord> items;
  Adapter().DirMyFile(docs, "", &items, true);
  EXPECT_EQ("one.txt;two.txt;", Names(items));
}

TEST_F(BrowseTest, ItemsSharedBothWaysWithASecondAccount) {
  const std::string bobs = Seed("Plans", "", true, m_bob), inside = Seed("plan.txt", bobs, false, m_bob);
  const std::string mine = Seed("Mine", "", true);
  FsControl(Service(), "/test/fs/share", {{"fileId", bobs}, {"to", "ann"}});
  FsControl(Service(), "/test/fs/share", {{"fileId", mine}, {"to", m_bob["email"]}, {"writable", true}});

  std::vector<CFileItemRecord> out;
  ASSERT_EQ(S_OK, Adapter().DirShareToOther("", "", &out, true));
  ASSERT_EQ("Mine;", Names(out));
  ASSERT_EQ(1u, out[0].shareEntries.size());
  EXPECT_EQ(kShareRightRead | kShareRightWrite, out[0].shareEntries[0].rights);

  std::vector<CFileItemRecord> sharers, shared, plans;
  ASSERT_EQ(S_OK, Adapter().DirShareToMe("", "", &sharers, true));
  ASSERT_EQ(1u, sharers.size());
  EXPECT_EQ(kItemSharerFolder, sharers[0].bIsDir);
  ASSERT_EQ(S_OK, Adapter().DirShareToMe(sharers[0].strSvrId, "", &shared, true));
  EXPECT_EQ("Plans;", Names(shared));
  ASSERT_EQ(S_OK, Adapter().DirShareToMe(bobs, "", &plans, true));
  EXPECT_EQ("plan.txt;", Names(plans));
  std::vector<ShareEntry> rights;
  ASSERT_EQ(S_OK, Adapter().GetItemShareRight(inside, &rights, ItemSpace::ShareToMe));
  ASSERT_EQ(1u, rights.size());
  EXPECT_EQ(m_bob["userId"].get<std::string>(), rights[0].userId);
  EXPECT_EQ(kShareRightRead, rights[0].rights);
}

}  // namespace
