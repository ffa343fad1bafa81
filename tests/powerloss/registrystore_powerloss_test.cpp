// The registry store through power losses: a run of changes stopped after every call
// in turn, the unsynced data dropped, the store opened again. It reads whole, holds
// every change that reported success and, of the change cut short, all or nothing;
// and the next change after the restart succeeds and leaves no copy behind.
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "platform/registrystore.h"
#include "support/powerloss.h"
#include "support/testenv.h"

namespace {

constexpr int kChanges = 4;
constexpr uint32_t kSeeds[] = {1, 2, 3};

// The i-th change of the run: a number and a string of a length of its own.
void Change(CRegistryData& d, int i) {
  d.Set("Software\\Ostrel", "Counter", RegValue::Dword(static_cast<uint32_t>(i)));
  d.Set("Software\\Ostrel\\u1", "Token", RegValue::String(std::string(300 + 70 * i, static_cast<char>('a' + i))));
}

struct StoreScenario {
  const char* name;
  bool storeExists;  // else neither the store nor its folder exists before the first change
};

constexpr StoreScenario kScenarios[] = {
    {"a store that exists", true},
    {"the first store, in a folder not made yet", false},
};

// One run that stopped after the call cut and lost power.
struct StoreRun {
  const StoreScenario* scenario;
  uint32_t seed;
  long cut;  // -1: never stopped
};

class RegistryStorePowerLossTest : public OstrelTest {
 protected:
  std::string Disk() { return PathIn("disk"); }
  std::string StorePath() { return Disk() + "/cfg/registry"; }

  // The store's text after the initial contents and the first n changes.
  std::string Expected(const StoreScenario& s, int n) {
    CRegistryData d;
    if (s.storeExists) d.Set("Software\\Ostrel", "Initial", RegValue::String("kept"));
    for (int i = 0; i < n; ++i) Change(d, i);
    return d.Serialize();
  }

  void Prepare(const StoreScenario& s) {
    RemoveTree(Disk());
    ASSERT_EQ(0, ::mkdir(Disk().c_str(), 0700));
    if (!s.storeExists) return;
    CRegistryStore store(StorePath());
    ASSERT_EQ(CRegistryStore::UpdateResult::kOk, store.Update([](CRegistryData& d) {
      d.Set("Software\\Ostrel", "Initial", RegValue::String("kept"));
    }));
  }

  // Runs the changes on a power-loss env stopped after run.cut calls, drops what was
  // not durable and checks the store as the next start finds it. "" when it is sound,
  // else what is wrong. *ops receives the calls counted.
  std::string Check(const StoreRun& run, long* ops = nullptr) {
    const StoreScenario& s = *run.scenario;
    Prepare(s);
    int done = 0;
    {
      PowerLossFileEnv env(Disk(), run.seed);
      env.CutAfter(run.cut);
      CRegistryStore store(StorePath(), &env);
      while (done < kChanges &&
             store.Update([&](CRegistryData& d) { Change(d, done); }) == CRegistryStore::UpdateResult::kOk)
        ++done;
      if (ops) *ops = env.Ops();
      env.DropUnsyncedData();
    }
    std::ostringstream out;
    CRegistryStore again(StorePath());
    CRegistryData data;
    size_t bad = 0;
    if (!again.Read(&data, &bad)) return "the store cannot be read";
    const std::string text = data.Serialize();
    if (bad != 0) out << bad << " damaged lines; ";
    if (text != Expected(s, done) && (done == kChanges || text != Expected(s, done + 1)))
      out << "after " << done << " changes the store holds neither them nor the next: " << text.size() << " bytes; ";
    if (again.Update([](CRegistryData& d) { Change(d, kChanges); }) != CRegistryStore::UpdateResult::kOk)
      out << "the next change fails; ";
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(Disk() + "/cfg")) names.insert(e.path().filename());
    if (names != std::set<std::string>{"registry", "registry.lock"}) out << "copies left beside the store; ";
    return out.str();
  }

  // Every run of the scenario: cut after each call of the whole run, with each seed.
  void CheckEveryCut(const StoreScenario& s) {
    long total = 0;
    ASSERT_EQ("", Check({&s, 0, -1}, &total)) << s.name << ", never stopped";
    ASSERT_GT(total, 10) << s.name;
    RecordProperty("calls", static_cast<int>(total));
    int runs = 0, failures = 0;
    std::string first;
    for (long cut = 0; cut <= total; ++cut) {
      for (uint32_t seed : kSeeds) {
        std::string wrong = Check({&s, seed, cut});
        ++runs;
        if (wrong.empty()) continue;
        if (failures++ < 5) first += "\n  seed " + std::to_string(seed) + ", cut " + std::to_string(cut) + ": " + wrong;
      }
    }
    EXPECT_EQ(0, failures) << s.name << ": " << failures << " of " << runs << " runs:" << first;
  }
};

// Runs that once lost the whole store: the folder made for it was never recorded in
// its parent, so every change written into it could vanish with it.
TEST_F(RegistryStorePowerLossTest, RunsThatOnceLostTheStoreInItsNewFolderKeepIt) {
  const StoreRun runs[] = {
      {&kScenarios[1], 3, 13},  // after the first change reported success
      {&kScenarios[1], 3, 57},  // after the third
  };
  for (const StoreRun& run : runs)
    EXPECT_EQ("", Check(run)) << run.scenario->name << ", seed " << run.seed << ", cut " << run.cut;
}

TEST_F(RegistryStorePowerLossTest, AnExistingStoreIsTheOldOrTheNewAfterALossAtAnyCall) {
  CheckEveryCut(kScenarios[0]);
}

TEST_F(RegistryStorePowerLossTest, TheFirstStoreInANewFolderIsTheOldOrTheNewAfterALossAtAnyCall) {
  CheckEveryCut(kScenarios[1]);
}

}  // namespace
