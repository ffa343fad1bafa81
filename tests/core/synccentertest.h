// The fixture of the sync centre's tests with fake components: a configuration
// folder "cfg" in the test's root, a fake shell adapter, and a sync centre made on
// FakeComponents and initialised.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "common/db/dbhelper.h"
#include "common/registry.h"
#include "core/synccenter.h"
#include "core/synccenterfakes.h"
#include "support/enginefakes.h"
#include "support/testenv.h"

class SyncCenterTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    m_config = PathIn("cfg");
    m_center = NewCenter();
    ASSERT_EQ(S_OK, m_center->Init(m_config, m_shell.get()));
  }
  void TearDown() override {
    if (m_center) {
      m_center->Stop();
      m_center->UnInit();
      m_center.reset();
    }
    CloseUserDB();
    OstrelTest::TearDown();
  }

  RefPtr<ISyncCenter> NewCenter(FileEnv* env = FileEnv::Default()) {
    RefPtr<ISyncCenter> center;
    EXPECT_EQ(S_OK, CreateSyncCenter(center.Receive(), m_fakes.Factory(), env));
    return center;
  }

  static std::string RootValue(const std::string& name) {
    std::string value;
    GetRegValue(&value, "", name, "");
    return value;
  }
  static std::string UserValue(const std::string& userId, const std::string& name) {
    std::string value;
    GetRegValue(&value, userId, name, "");
    return value;
  }
  static bool IsDir(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  uint32_t StateKind() {
    NuvraState state;
    EXPECT_EQ(S_OK, m_center->GetState(&state));
    return state.kind;
  }
  std::string UserFolder(const std::string& userId = "u1001") const { return m_config + "/" + userId; }

  std::string m_config;
  FakeComponents m_fakes;
  RefPtr<FakeShellAdapter> m_shell{new FakeShellAdapter};
  RefPtr<ISyncCenter> m_center;
};
