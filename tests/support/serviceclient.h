// The client aimed at the test's own local service: every root (API, push, thumbnails)
// names the service, connections are direct and unlimited, and the process-wide
// global-version flag is forgotten before and after each test. Header-only: include it
// only from tests that link the remote storage.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "common/config.h"
#include "common/db/dbhelper.h"
#include "common/filehelper.h"
#include "common/registry.h"
#include "core/remotestorage/remotestorage.h"
#include "support/localservice.h"

// Writes <configFolder>/config.ini naming the service, reads it, and sets the proxy to
// direct and both speed limits to none. Fatal failures in the calling test.
inline void AimClientAtService(const LocalService& service, const std::string& configFolder) {
  const std::string root = service.Root();
  WriteFileBytes(configFolder + "/config.ini",
                 "[Ostrel]\nServerRoot=" + root + "\nPushNotifyRoot=" + root + "\nThumbnailRoot=" + root + "\n");
  CConfig::Instance().Init(configFolder);
  ASSERT_EQ(S_OK, SaveProxySettings("", "", "", "", 0));
  ASSERT_EQ(S_OK, SetUploadSpeed(0));
  ASSERT_EQ(S_OK, SetDownloadSpeed(0));
}

// A test of the client against its own local service, with a remote storage aimed at it.
class ServiceClientTest : public LocalServiceTest {
 protected:
  void SetUp() override {
    LocalServiceTest::SetUp();
    AimClientAtService(Service(), Root());
    remotestoragecontrol::ResetGlobalVersionFlag();
    ASSERT_EQ(S_OK, CreateRemoteStorage(m_rs.Receive()));
  }
  void TearDown() override {
    remotestoragecontrol::ResetGlobalVersionFlag();
    LocalServiceTest::TearDown();
  }

  // Opens the user's data base in the folder userFolder (made when missing), with no
  // pause between the retries of a busy data base. Fatal failures in the calling test.
  void OpenUserDbIn(const std::string& userFolder) {
    ASSERT_EQ(S_OK, EnsureDirectory(userFolder));
    ASSERT_EQ(S_OK, OpenUserDB(userFolder));
    GetUserDB()->SetRetryPause(std::chrono::milliseconds(0));
  }

  RefPtr<IRemoteStorage> m_rs;
};
