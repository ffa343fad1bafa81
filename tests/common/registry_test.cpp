// The registry accessors over the file-backed store: names without case, global and
// per-user values, defaults, the proxy set written as one, failures and their log
// lines, and processes writing at once.
#include "common/registry.h"

#include <filesystem>
#include <set>

#include "platform/guid.h"
#include "platform/registrystore.h"
#include "support/filefault.h"
#include "support/logcapture.h"
#include "support/processes.h"
#include "support/testenv.h"

namespace {

class RegistryTest : public OstrelTest {
 protected:
  std::string Get(const std::string& sub, const std::string& name, const std::string& dflt = "<default>") {
    std::string out = "<unset>";
    GetRegValue(&out, sub, name, dflt);
    return out;
  }
  // Makes every write fail: the store's folder is a regular file.
  void BreakStore() {
    WriteFileBytes(PathIn("notafolder"), "x");
    setenv("OSTREL_REGISTRY", PathIn("notafolder/registry").c_str(), 1);
  }
};

TEST_F(RegistryTest, NamesIgnoreCaseAndUsersAreApart) {
  ASSERT_EQ(SetRegString("", "UserId", "u1"), S_OK);
  ASSERT_EQ(SetRegString("", "userid", ""), S_OK);
  EXPECT_EQ(Get("", "USERID"), "");
  CRegistryData data;
  ASSERT_TRUE(CRegistryStore(CRegistryStore::DefaultPath()).Read(&data));
  EXPECT_EQ(data.ValueCount(), 1u) << "one value, not two spellings";
  ASSERT_EQ(SetRegString("", "UserName", "root-level"), S_OK);
  ASSERT_EQ(SetRegString("u1", "UserName", "alice"), S_OK);
  ASSERT_EQ(SetRegString("U2", "UserName", "bob"), S_OK);
  EXPECT_EQ(Get("", "UserName"), "root-level") << "an empty user id reads the root key";
  EXPECT_EQ(Get("u1", "username"), "alice");
  EXPECT_EQ(Get("u2", "UserName"), "bob") << "sub-key names ignore case too";
  EXPECT_EQ(Get("u3", "UserName"), "<default>");
}

// Awkward texts are the store's test; here values past 260 characters read whole.
TEST_F(RegistryTest, LongValuesReadWholeAndTheOverLongOneIsLogged) {
  struct Row { std::string sub, name, value; } rows[] = {
      {"用户", "昵称", "张三的云盘"}, {"u1", kRegToken, std::string(300, 't')}, {"u1", "Long", std::string(10000, 'x')}};
  for (const Row& r : rows) ASSERT_EQ(SetRegString(r.sub, r.name, r.value), S_OK) << r.name;
  LogCapture cap;
  for (const Row& r : rows) EXPECT_EQ(Get(r.sub, r.name), r.value) << r.name;
  EXPECT_EQ(cap.Failures(), 1) << "an over-long value is read whole and logged\n" << cap.All();
}

TEST_F(RegistryTest, NumbersDefaultsAndTypes) {
  EXPECT_EQ(GetRegDWORD("", kRegLoginMode, 0), 0u);
  ASSERT_EQ(SetRegDWORD("", kRegLoginMode, 2), S_OK);
  EXPECT_EQ(GetRegDWORD("", "loginmode", 0), 2u);
  // A value of the other type reads as the default.
  ASSERT_EQ(SetRegString("", "Mixed", "5"), S_OK);
  EXPECT_EQ(GetRegDWORD("", "Mixed", 9), 9u);
  ASSERT_EQ(SetRegDWORD("", "Mixed", 5), S_OK);
  EXPECT_EQ(Get("", "Mixed"), "<default>");
  uint32_t found = 0;
  EXPECT_TRUE(FindRegDWORD("", "Mixed", &found));
  EXPECT_EQ(found, 5u);
  EXPECT_FALSE(FindRegDWORD("", "Nothing", &found));
  // No proxy saved: the type is the unset one (the round trip is the concurrency test's).
  std::string ip = "x", port = "x", user = "x", pass = "x";
  uint32_t type = 0;
  ASSERT_EQ(LoadProxySettings(&ip, &port, &user, &pass, &type), S_OK);
  EXPECT_EQ(ip + port + user + pass, "");
  EXPECT_EQ(type, 0xFFFFFFFFu);
}

TEST_F(RegistryTest, WriteFailuresAreLoggedAtLevelZeroWithoutThePassword) {
  BreakStore();
  LogCapture cap;
  EXPECT_EQ(SetRegString("", "UserId", "u1"), E_FAIL);
  EXPECT_EQ(SetRegDWORD("", "LoginMode", 1), E_FAIL);
  EXPECT_EQ(cap.Count("\tE \t"), 2) << cap.All();
  EXPECT_EQ(cap.Count("ERROR_CHECK_BOOLEX:lResult == ERROR_SUCCESSMSG: "
                      "Create Register HKEY_CURRENT_USER\\Software\\Ostrel Failed!"),
            2);
  EXPECT_EQ(SaveProxySettings("10.0.0.2", "8080", "proxyuser", "hunter2-secret", 2), E_FAIL);
  EXPECT_TRUE(cap.Contains("ERROR_CHECK_COM hr = 80004005: hr")) << cap.All();
  EXPECT_EQ(cap.All().find("hunter2-secret"), std::string::npos);
  // Reads of a store that cannot be had give the defaults.
  EXPECT_EQ(Get("", "UserId", "d"), "d");
}

TEST_F(RegistryTest, FailedReplaceLeavesTheStoreAsItWas) {
  ASSERT_EQ(SetRegString("", kRegUserId, "u1"), S_OK);
  ASSERT_EQ(SaveProxySettings("a", "1", "u", "p", 1), S_OK);
  std::string before = ReadFileBytes(CRegistryStore::DefaultPath());
  struct Row {
    FileOp op;
    int err;
  } rows[] = {{FileOp::kOpen, EACCES}, {FileOp::kWrite, ENOSPC}, {FileOp::kSync, EIO}, {FileOp::kRename, EXDEV}};
  for (const Row& r : rows) {
    FaultFileEnv env;
    env.Fail(r.op, ".tmp", r.err);
    LogCapture cap;
    EXPECT_EQ(SetRegString("", "userid", "u2", &env), E_FAIL);
    EXPECT_EQ(SaveProxySettings("b", "2", "v", "q", 2, &env), E_FAIL);
    EXPECT_GE(env.Injected(), 2);
    EXPECT_TRUE(cap.Contains("ERROR_CHECK_BOOLEX:lResult == ERROR_SUCCESSL\"Set Register Key/Value "
                             "HKEY_CURRENT_USER\\\\Software\\\\Ostrel\\\\userid Failed!\""))
        << cap.All();
    EXPECT_EQ(ReadFileBytes(CRegistryStore::DefaultPath()), before) << "none of the five may change";
  }
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(PathIn("config"))) names.insert(e.path().filename());
  EXPECT_EQ(names, (std::set<std::string>{"registry", "registry.lock"})) << "no temp file is left";
}

TEST_F(RegistryTest, AStaleCopyThatCannotBeRemovedIsLoggedAndTheWriteSucceeds) {
  ASSERT_EQ(SetRegString("u1", kRegToken, "tok"), S_OK);
  std::string stale = PathIn("config/.registry." + NewGuidString() + ".tmp");
  WriteFileBytes(stale, ReadFileBytes(CRegistryStore::DefaultPath()));
  FaultFileEnv env;
  env.Fail(FileOp::kUnlink, stale, EBUSY);
  LogCapture cap;
  EXPECT_EQ(SetRegString("u1", kRegToken, "", &env), S_OK);
  EXPECT_TRUE(FileExists(stale));
  EXPECT_EQ(cap.Count(stale), 1) << cap.All();
  EXPECT_EQ(SetRegString("u1", kRegToken, ""), S_OK);
  EXPECT_FALSE(FileExists(stale)) << "the next write removes it";
}

TEST_F(RegistryTest, ACompareAndSetWritesAllOnlyWhenEveryExpectedValueIsStored) {
  const struct {
    const char* what;
    std::vector<RegString> expected;
    HRESULT result;
    std::vector<std::string> current;
  } rows[] = {
      {"all as stored, names in any case", {{"", "USERID", "u1"}, {"U1", kRegToken, "tok"}}, S_OK, {"u1", "tok"}},
      {"one differs", {{"", kRegUserId, "u1"}, {"u1", kRegToken, "older"}}, S_FALSE, {"u1", "tok"}},
      {"a missing value is empty", {{"u9", kRegToken, ""}}, S_OK, {""}},
      {"a number is no text", {{"", kRegLoginMode, "1"}}, S_FALSE, {""}},
      {"nothing expected", {}, S_OK, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_EQ(SetRegString("", kRegUserId, "u1"), S_OK);
    ASSERT_EQ(SetRegString("u1", kRegToken, "tok"), S_OK);
    ASSERT_EQ(SetRegDWORD("", kRegLoginMode, 1), S_OK);
    const std::string before = ReadFileBytes(CRegistryStore::DefaultPath());
    std::vector<std::string> current = {"<unset>"};
    EXPECT_EQ(CompareAndSetRegStrings(row.expected, {{"u1", kRegToken, "new"}, {"", "Other", "x"}}, &current),
              row.result);
    EXPECT_EQ(current, row.current);
    if (row.result == S_OK) {
      EXPECT_EQ(Get("u1", kRegToken), "new");
      EXPECT_EQ(Get("", "Other"), "x");
    } else {
      EXPECT_EQ(ReadFileBytes(CRegistryStore::DefaultPath()), before) << "nothing may be written";
    }
    ASSERT_EQ(SetRegString("", "Other", ""), S_OK);
  }
  BreakStore();
  LogCapture cap;
  std::vector<std::string> current = {"<unset>"};
  EXPECT_EQ(CompareAndSetRegStrings({}, {{"", kRegUserId, "u2"}}, &current), E_FAIL);
  EXPECT_TRUE(current.empty());
  EXPECT_EQ(cap.Count("\tE \t"), 1) << cap.All();
}

TEST_F(RegistryTest, ReadFailuresAreLoggedOnlyWhenAsked) {
  LogCapture cap;
  std::string out;
  GetRegValue(&out, "", "UserName", "", false);
  EXPECT_EQ(cap.Count("Register"), 0);
  GetRegValue(&out, "", "UserName", "", true);
  EXPECT_TRUE(cap.Contains("\tT \t")) << cap.All();
  EXPECT_TRUE(cap.Contains("Open Register HKEY_CURRENT_USER\\Software\\Ostrel Failed!"));
  ASSERT_EQ(SetRegString("", "Other", "x"), S_OK);
  EXPECT_EQ(GetRegDWORD("", "LoginMode", 4, true), 4u);
  EXPECT_TRUE(cap.Contains("Get Register Key/Value HKEY_CURRENT_USER\\Software\\Ostrel\\LoginMode Failed!"));
}

TEST_F(RegistryTest, DamagedStoreReadsAsDefaultsAndIsRepairedByAWrite) {
  std::string path = CRegistryStore::DefaultPath();
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  WriteFileBytes(path, RandomBytes(4096, 7) + "\n[\"Software\\\\Ostrel\"]\n\"UserId\"=\"kept\"\n\"LoginMode\"=dword:zz\n");
  EXPECT_EQ(GetRegDWORD("", "LoginMode", 0), 0u);
  EXPECT_EQ(Get("", "UserId"), "kept");
  ASSERT_EQ(SetRegDWORD("", "LoginMode", 1), S_OK);
  EXPECT_EQ(GetRegDWORD("", "LoginMode", 0), 1u);
  EXPECT_EQ(Get("", "UserId"), "kept");
}

TEST_F(RegistryTest, FourProcessesWritingAtOnceLoseNothing) {
  constexpr int kProcesses = 4;
  constexpr int kEach = 100;
  ChildProcesses children(kProcesses, [&](int p) {
    int failed = 0;
    for (int i = 0; i < kEach; ++i) {
      std::string sub = "p" + std::to_string(p);
      failed += (i % 2 ? SetRegDWORD(sub, "n" + std::to_string(i), static_cast<uint32_t>(p * 1000 + i))
                       : SetRegString(sub, "n" + std::to_string(i), std::to_string(p * 1000 + i))) != S_OK;
    }
    return failed > 99 ? 99 : failed;
  });
  EXPECT_EQ(std::vector<int>(kProcesses, 0), children.Wait());
  for (int p = 0; p < kProcesses; ++p)
    for (int i = 0; i < kEach; ++i) {
      std::string sub = "p" + std::to_string(p), name = "n" + std::to_string(i);
      if (i % 2)
        EXPECT_EQ(GetRegDWORD(sub, name, 0xDEAD), static_cast<uint32_t>(p * 1000 + i)) << sub << "/" << name;
      else
        EXPECT_EQ(Get(sub, name), std::to_string(p * 1000 + i)) << sub << "/" << name;
    }
}

}  // namespace
