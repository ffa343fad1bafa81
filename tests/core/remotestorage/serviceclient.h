// The fixture of the tests that run CRemoteStorage against the test's own local
// service: every root (API, push, thumbnails) names the service, connections are direct
// and unlimited, and the process-wide global-version flag is forgotten before and after
// each test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "common/config.h"
#include "common/registry.h"
#include "core/remotestorage/remotestorage.h"
#include "support/localservice.h"

class ServiceClientTest : public LocalServiceTest {
 protected:
  void SetUp() override {
    LocalServiceTest::SetUp();
    const std::string root = Service().Root();
    WriteFileBytes(PathIn("config.ini"),
                   "[Ostrel]\nServerRoot=" + root + "\nPushNotifyRoot=" + root + "\nThumbnailRoot=" + root + "\n");
    CConfig::Instance().Init(Root());
    ASSERT_EQ(S_OK, SaveProxySettings("", "", "", "", 0));
    ASSERT_EQ(S_OK, SetUploadSpeed(0));
    ASSERT_EQ(S_OK, SetDownloadSpeed(0));
    remotestoragecontrol::ResetGlobalVersionFlag();
    ASSERT_EQ(S_OK, CreateRemoteStorage(m_rs.Receive()));
  }
  void TearDown() override {
    remotestoragecontrol::ResetGlobalVersionFlag();
    LocalServiceTest::TearDown();
  }

  RefPtr<IRemoteStorage> m_rs;
};
