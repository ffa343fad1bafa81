// The registry store: its text form (escapes, damaged lines) and its file (location,
// modes, atomic replace, refusal to replace what it cannot read, no copy of it left
// behind by writers that were killed). Names without case are the accessors' test.
#include "platform/registrystore.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>

#include "platform/guid.h"
#include "support/filefault.h"
#include "support/testenv.h"

namespace {

struct Sample { std::string key, name; RegValue value; };

std::vector<Sample> AwkwardSamples() {
  return {
      {"Software\\Ostrel", "UserId", RegValue::String("u1")},
      {"Software\\Ostrel", "LoginMode", RegValue::Dword(2)},
      {"Software\\Ostrel", "Max", RegValue::Dword(0xFFFFFFFF)},
      {"Software\\Ostrel", "Empty", RegValue::String("")},
      {"Software\\Ostrel", "multi\nline \"name\"", RegValue::String("a\nb\r\nc\td\\e\"f")},
      {"Software\\Ostrel", "[bracket]=eq", RegValue::String("]=[\"")},
      {"Software\\Ostrel", "控制\x01\x1f\x7f", RegValue::String(std::string("nul\0mid\x02", 8))},
      {"Software\\Ostrel\\用户]\n\"x\"", "昵称", RegValue::String("张三的云盘 ]\"=\\")},
      {"Software\\Ostrel\\u1", "{5f3cde84-0629-43e4-8ec2-98524cf82edf}", RegValue::String("tok=en;\\x41")},
      {"Software\\Ostrel\\u1", "SyncRoot", RegValue::String("/home/u/云 盘/Cache")},
  };
}

class RegistryStoreTest : public OstrelTest {};

constexpr char kUserKey[] = "Software\\Ostrel\\u1";
constexpr char kTokenName[] = "{5f3cde84-0629-43e4-8ec2-98524cf82edf}";

CRegistryStore::UpdateResult SetToken(CRegistryStore& store, const std::string& token) {
  return store.Update([&](CRegistryData& d) { d.Set(kUserKey, kTokenName, RegValue::String(token)); });
}

// The names in the folder; with holding, those of its regular files that hold the text.
std::set<std::string> NamesIn(const std::string& folder, const std::string& holding = "") {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    if (holding.empty() || (std::filesystem::is_regular_file(e.symlink_status()) &&
                            ReadFileBytes(e.path()).find(holding) != std::string::npos))
      names.insert(e.path().filename());
  return names;
}

// Awkward names and values read back whole; every truncation of the text reads as a
// subset of them with no wrong value.
TEST_F(RegistryStoreTest, AwkwardNamesAndValuesRoundTripAndEveryTruncationReadsAsASubset) {
  CRegistryData data;
  for (const auto& s : AwkwardSamples()) data.Set(s.key, s.name, s.value);
  std::string text = data.Serialize();
  CRegistryData whole;
  EXPECT_EQ(whole.Parse(text), 0u) << text;
  EXPECT_EQ(whole.ValueCount(), AwkwardSamples().size());
  EXPECT_EQ(whole.Serialize(), text) << "the text form is stable";
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    CRegistryData back;
    back.Parse(std::string_view(text).substr(0, cut));
    size_t found = 0;
    for (const auto& s : AwkwardSamples()) {
      if (const RegValue* v = back.Find(s.key, s.name)) {
        ++found;
        EXPECT_EQ(*v, s.value) << "cut at " << cut;
      }
    }
    EXPECT_EQ(found, back.ValueCount()) << "cut at " << cut << ": a value appeared under another name";
  }
}

TEST_F(RegistryStoreTest, DamagedLinesAreSkippedAndCounted) {
  std::string text =
      "[\"Software\\\\Ostrel\"]\n"
      "\"Good\"=\"1\"\n"
      "\"BadEscape\"=\"\\q\"\n"
      "\"ShortDword\"=dword:123\n"
      "\"Trailing\"=\"x\"dword:00000001\n"
      "garbage\n"
      "[\"Unclosed]\n"
      "\"Misfiled\"=\"must not land in the key above\"\n"
      "[\"Software\\\\Ostrel\"]\n"
      "\"Good2\"=dword:0000000A\n"
      "\"Good\"=\"second\"\n";
  CRegistryData data;
  EXPECT_EQ(data.Parse(text), 6u);
  ASSERT_NE(data.Find("Software\\Ostrel", "Good"), nullptr);
  EXPECT_EQ(data.Find("Software\\Ostrel", "Good")->text, "1");
  ASSERT_NE(data.Find("Software\\Ostrel", "Good2"), nullptr);
  EXPECT_EQ(data.Find("Software\\Ostrel", "Good2")->number, 10u);
  EXPECT_EQ(data.ValueCount(), 2u);
}

TEST_F(RegistryStoreTest, DefaultLocation) {
  EXPECT_EQ(CRegistryStore::DefaultPath(), PathIn("config/registry")) << "the test fixture's store";
  unsetenv("OSTREL_REGISTRY");
  EXPECT_EQ(CRegistryStore::DefaultPath(), PathIn("config/Ostrel/registry"));
  setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
  EXPECT_EQ(CRegistryStore::DefaultPath(), PathIn("home/.config/Ostrel/registry"));
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(CRegistryStore::DefaultPath(), PathIn("home/.config/Ostrel/registry"));
}

TEST_F(RegistryStoreTest, CreatesPrivateFolderAndFileAndLeavesNoTempFiles) {
  std::string path = PathIn("config/Ostrel/registry");
  CRegistryStore store(path);
  ASSERT_EQ(store.Update([](CRegistryData& d) { d.Set("K", "V", RegValue::Dword(1)); }),
            CRegistryStore::UpdateResult::kOk);
  const std::pair<std::string, mode_t> modes[] = {
      {path, 0600}, {PathIn("config/Ostrel"), 0700}, {path + ".lock", 0600}};
  for (const auto& [file, mode] : modes) {
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0) << file;
    EXPECT_EQ(st.st_mode & 07777, mode) << file;
  }
  EXPECT_EQ(NamesIn(PathIn("config/Ostrel")), (std::set<std::string>{"registry", "registry.lock"}));
}

TEST_F(RegistryStoreTest, AStoreThatCannotBeReadIsNeverReplaced) {
  // A folder where the file should be.
  std::string folderPath = PathIn("config/is-a-folder");
  std::filesystem::create_directories(folderPath);
  CRegistryStore inFolder(folderPath);
  CRegistryData data;
  EXPECT_FALSE(inFolder.Read(&data));
  EXPECT_EQ(inFolder.Update([](CRegistryData& d) { d.Set("K", "V", RegValue::Dword(1)); }),
            CRegistryStore::UpdateResult::kOpenFailed);
  EXPECT_TRUE(std::filesystem::is_directory(folderPath));

  // A store too large to be ours.
  std::string big = PathIn("config/big");
  WriteFileBytes(big, "");
  ASSERT_EQ(truncate(big.c_str(), 65 * 1024 * 1024), 0);
  CRegistryStore bigStore(big);
  EXPECT_FALSE(bigStore.Read(&data));
  EXPECT_EQ(errno, EFBIG);
  EXPECT_EQ(bigStore.Update([](CRegistryData& d) { d.Set("K", "V", RegValue::Dword(1)); }),
            CRegistryStore::UpdateResult::kOpenFailed);
  struct stat st {};
  ASSERT_EQ(stat(big.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 65 * 1024 * 1024);
}

TEST_F(RegistryStoreTest, AChangeThatChangesNothingWritesNothing) {
  FaultFileEnv env;
  std::vector<FileOp> ops;
  std::mutex opsLock;
  env.SetHook([&](FileOp op, const std::string&) {
    std::lock_guard<std::mutex> g(opsLock);
    ops.push_back(op);
    return 0;
  });
  CRegistryStore store(PathIn("reg/registry"), &env);
  ASSERT_EQ(SetToken(store, "t1"), CRegistryStore::UpdateResult::kOk);
  auto renames = [&] {
    std::lock_guard<std::mutex> g(opsLock);
    return std::count(ops.begin(), ops.end(), FileOp::kRename);
  };
  ASSERT_EQ(renames(), 1);
  // The same value again, as a sign-in stores what it read.
  ASSERT_EQ(SetToken(store, "t1"), CRegistryStore::UpdateResult::kOk);
  ASSERT_EQ(store.Update([](CRegistryData&) {}), CRegistryStore::UpdateResult::kOk);
  EXPECT_EQ(renames(), 1) << "nothing was replaced";
  ASSERT_EQ(SetToken(store, "t2"), CRegistryStore::UpdateResult::kOk);
  EXPECT_EQ(renames(), 2);
  CRegistryData data;
  ASSERT_TRUE(store.Read(&data));
  EXPECT_EQ(data.Serialize().find("t1"), std::string::npos);
}

TEST_F(RegistryStoreTest, StaleCopiesGoWithTheNextWriteAndNothingElseDoes) {
  std::string folder = PathIn("shared");  // the store shares it with other files
  std::filesystem::create_directories(PathIn("elsewhere"));
  CRegistryStore store(folder + "/registry");
  ASSERT_EQ(SetToken(store, "tok-secret"), CRegistryStore::UpdateResult::kOk);
  std::string copy = ReadFileBytes(store.Path());  // what a writer killed before its rename leaves
  std::string other = copy.substr(0, copy.find("tok-secret")) + "tok-other\"\n";
  struct Row {
    std::string name;
    char kind;  // f(ile), l(ink), d(irectory), p(ipe)
    std::string bytes;
    bool removed;
  } rows[] = {
      {".registry." + NewGuidString() + ".tmp", 'f', copy, true},
      {".registry." + NewGuidString() + ".tmp", 'f', "", true},  // killed before it wrote
      {"." + NewGuidString() + ".tmp", 'f', copy, true},         // the form of earlier versions
      {"." + NewGuidString() + ".tmp", 'f', "", false},          // maybe another writer's, in progress
      {"." + NewGuidString() + ".tmp", 'f', "tok-other" + RandomBytes(300, 1), false},
      {".registry2." + NewGuidString() + ".tmp", 'f', other, false},  // another store's
      {".registry." + NewGuidString() + ".tmp.bak", 'f', other, false},
      {".registry." + NewGuidString() + ".tmp", 'l', copy, false},
      {"." + NewGuidString() + ".tmp", 'l', copy, false},
      {".registry." + NewGuidString() + ".tmp", 'd', "", false},
      {"." + NewGuidString() + ".tmp", 'p', "", false},
  };
  for (const Row& r : rows) {
    std::string at = folder + "/" + r.name;
    if (r.kind == 'f') WriteFileBytes(at, r.bytes);
    if (r.kind == 'd') std::filesystem::create_directory(at);
    if (r.kind == 'p') ::mkfifo(at.c_str(), 0600);
    if (r.kind == 'l') WriteFileBytes(PathIn("elsewhere/" + r.name), r.bytes);
    if (r.kind == 'l') std::filesystem::create_symlink(PathIn("elsewhere/" + r.name), at);
  }
  // Copies that cannot be removed, or a folder that cannot be listed, are reported and
  // do not fail the change; the next one removes them.
  FaultFileEnv env;
  CRegistryStore failing(store.Path(), &env);
  for (FileOp op : {FileOp::kList, FileOp::kUnlink}) {
    env.Clear();
    env.Fail(op, op == FileOp::kList ? folder : rows[0].name, EIO);
    ASSERT_EQ(SetToken(failing, "tok-" + std::to_string(static_cast<int>(op))), CRegistryStore::UpdateResult::kOk);
    ASSERT_EQ(failing.UnremovedTemps().size(), 1u);
    EXPECT_EQ(failing.UnremovedTemps()[0].path, op == FileOp::kList ? folder : folder + "/" + rows[0].name);
    EXPECT_EQ(failing.UnremovedTemps()[0].error, EIO);
  }
  ASSERT_EQ(SetToken(store, ""), CRegistryStore::UpdateResult::kOk);  // log-out
  EXPECT_TRUE(store.UnremovedTemps().empty());
  for (const Row& r : rows)
    EXPECT_EQ(std::filesystem::exists(std::filesystem::symlink_status(folder + "/" + r.name)), !r.removed) << r.name;
  EXPECT_EQ(NamesIn(folder, "tok-secret"), std::set<std::string>{});
  EXPECT_EQ(NamesIn(PathIn("elsewhere"), "tok-secret").size(), 2u) << "links are not followed";
}

// Writers killed mid-write after a random number of writes: each is held in the fsync
// of its temp copy, after the copy was written, until the kill.
TEST_F(RegistryStoreTest, CopiesLeftByKilledWritersGoWithTheNextWrite) {
  CRegistryStore store(PathIn("config/registry"));
  for (uint32_t seed = 1; seed <= 5; ++seed) {
    std::mt19937 rng(seed);
    const uint32_t killAt = 1 + rng() % 12;
    const std::string counter = "Writes" + std::to_string(seed);
    int ready[2], hold[2];
    ASSERT_EQ(::pipe(ready) | ::pipe(hold), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      uint32_t n = 0;
      FaultFileEnv env;
      env.SetHook([&](FileOp op, const std::string& p) {
        char c = 'x';
        if (op == FileOp::kSync && p.ends_with(".tmp") && n == killAt && ::write(ready[1], &c, 1) == 1)
          (void)!::read(hold[0], &c, 1);  // held here until killed
        return 0;
      });
      CRegistryStore writer(store.Path(), &env);
      for (;; ++n)
        if (writer.Update([&](CRegistryData& d) {
              d.Set(kUserKey, kTokenName, RegValue::String("tok-" + std::to_string(rng())));
              d.Set(kUserKey, counter, RegValue::Dword(n));
            }) != CRegistryStore::UpdateResult::kOk)
          ::_exit(1);
    }
    ::close(ready[1]);
    char c;
    bool held = ::read(ready[0], &c, 1) == 1;
    CRegistryData seen;
    store.Read(&seen);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    for (int fd : {ready[0], hold[0], hold[1]}) ::close(fd);
    ASSERT_TRUE(held) << "the writer died before write " << killAt;
    ASSERT_NE(seen.Find(kUserKey, counter), nullptr);
    EXPECT_EQ(seen.Find(kUserKey, counter)->number, killAt - 1) << "the write in progress is not seen";
    EXPECT_EQ(NamesIn(PathIn("config")).size(), 3u) << "the copy of this writer, none of those before";
  }
  ASSERT_EQ(SetToken(store, ""), CRegistryStore::UpdateResult::kOk);  // log-out
  EXPECT_EQ(NamesIn(PathIn("config")), (std::set<std::string>{"registry", "registry.lock"}));
  EXPECT_EQ(NamesIn(PathIn("config"), "tok-"), std::set<std::string>{});
}

}  // namespace
