// The whole path a window takes, against the test's own local service: the
// process-wide logic adapter on the real shell adapter, sync centre and components
// signs a user in, lists and changes the user's items, logs out and shuts down, and
// leaves no thread behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/db/dbhelper.h"
#include "common/registry.h"
#include "core/logicadapter/logicadapter.h"
#include "core/remotestorage/remotestorage.h"
#include "core/synccenter.h"
#include "support/serviceclient.h"
#include "support/scriptedmainwindow.h"

namespace {

namespace fs = std::filesystem;

size_t ThreadCount() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) ++n;
  return n;
}

class SignInEndToEndTest : public LocalServiceTest {
 protected:
  std::vector<std::string> ServiceArgs() override { return {"--push-hold-ms", "200"}; }
  void SetUp() override {
    LocalServiceTest::SetUp();
    AimClientAtService(Service(), Root());
    remotestoragecontrol::ResetGlobalVersionFlag();
    Service().Control("POST", "/test/fs/account", R"({"user":"alice","password":"pw-alice","userId":"alice01"})");
    Service().Control("POST", "/test/fs/item", R"({"userId":"alice01","name":"Docs","type":"folder"})");
  }
  void TearDown() override {
    remotestoragecontrol::ResetGlobalVersionFlag();
    LocalServiceTest::TearDown();
  }
};

TEST_F(SignInEndToEndTest, AUserSignsInListsAndChangesItemsThenLogsOut) {
  CLogicAdapter& adapter = GetLogicAdapter();
  ScriptedMainWindow window;
  const size_t threadsBefore = ThreadCount();
  ASSERT_EQ(S_OK, adapter.Init(PathIn("cfg"), &window));
  ASSERT_EQ(S_OK, adapter.Login("alice", "pw-alice", kLoginModeMyComputer));
  EXPECT_TRUE(adapter.IsLoggedIn());
  EXPECT_EQ(PathIn("cfg") + "/alice01/Cache", adapter.GetLocalSyncPath());

  std::vector<CFileItemRecord> items;
  ASSERT_EQ(S_OK, adapter.DirMyFile("", "\\", &items, true));
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ("Docs", items[0].strName);
  std::string newId;
  ASSERT_EQ(S_OK, adapter.NewFolder("", "\\Reports", &newId));
  EXPECT_FALSE(newId.empty());
  items.clear();
  ASSERT_EQ(S_OK, adapter.DirMyFile("", "\\", &items, true));
  EXPECT_EQ(2u, items.size());

  ASSERT_EQ(S_OK, adapter.UnBind());
  EXPECT_FALSE(adapter.IsLoggedIn());
  items.clear();
  EXPECT_EQ(E_FAIL, adapter.DirMyFile("", "\\", &items, false));
  EXPECT_TRUE(items.empty());
  std::string userId;
  GetRegValue(&userId, "", "UserId", "");
  EXPECT_EQ("", userId);
  EXPECT_EQ(S_OK, adapter.UnInit());
  EXPECT_EQ(nullptr, GetUserDB());
  EXPECT_EQ(threadsBefore, ThreadCount());
}

}  // namespace

