// config.ini through CConfig, and the configuration folder.
#include "common/config.h"

#include "common/configfolder.h"
#include "common/registry.h"
#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

class ConfigTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    CConfig::Instance().Init(Root());
  }
  std::string String(const char* section, const char* key, const std::string& dflt) {
    std::string out;
    CConfig::Instance().GetString(&out, section, key, dflt);
    return out;
  }
};

TEST_F(ConfigTest, ValuesAreReadAtEveryCall) {
  CConfig& c = CConfig::Instance();
  EXPECT_EQ(c.IniPath(), PathIn("config.ini"));
  EXPECT_EQ(c.GetInt(kIniSectionOstrel, kIniLogLevel, 4), 4) << "no file: the default";
  EXPECT_EQ(String(kIniSectionShell, kIniWebServerRoot, "dflt"), "dflt");
  WriteFileBytes(PathIn("config.ini"),
                 "[Ostrel]\r\nLogLevel=9\r\nLogSaveDate=-1\r\nServerRoot=http://127.0.0.1:8123\r\n"
                 "[TevokShell]\r\nWebServerRoot=\"http://127.0.0.1:8124\"\r\n");
  EXPECT_EQ(c.GetInt(kIniSectionOstrel, kIniLogLevel, kDefaultLogLevel), 9);
  EXPECT_EQ(String(kIniSectionOstrel, kIniServerRoot, kDefaultServerRoot), "http://127.0.0.1:8123");
  EXPECT_EQ(String(kIniSectionShell, kIniWebServerRoot, ""), "http://127.0.0.1:8124");
  WriteFileBytes(PathIn("config.ini"), "[Ostrel]\nLogLevel=5\n");
  EXPECT_EQ(c.GetInt(kIniSectionOstrel, kIniLogLevel, kDefaultLogLevel), 5) << "nothing is cached";
}

TEST_F(ConfigTest, LongAddressIsReadWholeAndLogged) {
  std::string longRoot = "http://127.0.0.1:8123/" + std::string(400, 'p');
  WriteFileBytes(PathIn("config.ini"), "[Ostrel]\nServerRoot=" + longRoot + "\nPushNotifyRoot=" +
                                           std::string(259, 'q') + "\n");
  LogCapture cap;
  EXPECT_EQ(String(kIniSectionOstrel, kIniPushNotifyRoot, "").size(), 259u);
  EXPECT_EQ(cap.Count("PushNotifyRoot"), 0) << "259 characters fit";
  EXPECT_EQ(String(kIniSectionOstrel, kIniServerRoot, ""), longRoot);
  EXPECT_TRUE(cap.Contains("ServerRoot")) << "an over-long value is logged";
}

TEST_F(ConfigTest, ConfigFolderFromRegistryThenDataHome) {
  EXPECT_EQ(GetConfigFolder(), PathIn("data/Tarvelin/ostrel/"));
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(GetConfigFolder(), PathIn("home/.local/share/Tarvelin/ostrel/"));
  setenv("XDG_DATA_HOME", "not/absolute", 1);
  EXPECT_EQ(GetConfigFolder(), PathIn("home/.local/share/Tarvelin/ostrel/"));
  // A stored ConfigPath is taken exactly as stored: no separator is added.
  ASSERT_EQ(SetRegString("", kRegConfigPath, "/srv/ostrel-conf"), S_OK);
  EXPECT_EQ(GetConfigFolder(), "/srv/ostrel-conf");
}

}  // namespace
