// Threads changing the registry store at once: every change is kept.
#include <thread>
#include <vector>

#include "platform/registrystore.h"
#include "support/testenv.h"

namespace {

class RegistryStoreConcurrencyTest : public OstrelTest {};

TEST_F(RegistryStoreConcurrencyTest, ChangesFromEightThreadsAreAllKept) {
  constexpr int kThreads = 8;
  constexpr int kEach = 40;
  std::string path = PathIn("config/Ostrel/registry");
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      CRegistryStore store(path);  // one object per thread, as every accessor makes its own
      for (int i = 0; i < kEach; ++i) {
        auto r = store.Update([&](CRegistryData& d) {
          d.Set("Software\\Ostrel\\t" + std::to_string(t), "v" + std::to_string(i), RegValue::Dword(t * 1000 + i));
        });
        failures[t] += r != CRegistryStore::UpdateResult::kOk;
        CRegistryData seen;  // readers run beside writers and never see a torn file
        size_t bad = 0;
        EXPECT_TRUE(store.Read(&seen, &bad));
        EXPECT_EQ(bad, 0u);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int f : failures) EXPECT_EQ(f, 0);
  CRegistryData data;
  ASSERT_TRUE(CRegistryStore(path).Read(&data));
  EXPECT_EQ(data.ValueCount(), static_cast<size_t>(kThreads * kEach));
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kEach; ++i) {
      const RegValue* v = data.Find("software\\ostrel\\T" + std::to_string(t), "V" + std::to_string(i));
      ASSERT_NE(v, nullptr) << t << "/" << i;
      EXPECT_EQ(v->number, static_cast<uint32_t>(t * 1000 + i));
    }
}

}  // namespace
