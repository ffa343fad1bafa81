// The component base's reference count is atomic: copies made and dropped on many
// threads at once leave it balanced, and the object goes once. The smart pointer's
// ownership rules are shown by every component's tests under the leak checker.
#include "common/unknown.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

class IThing : public IUnknown {
 public:
  static constexpr IID kIID = GuidFromString("{6AC03FFE-A947-499F-97F4-BA11FCCDDD7F}");
};

int g_destroyed = 0;

class CThing final : public CUnknownImpl<IThing> {
 public:
  ~CThing() override { ++g_destroyed; }
};

TEST(RefPtrTest, CountsFromManyThreadsBalance) {
  {
    RefPtr<IThing> shared(new CThing());
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
      threads.emplace_back([&shared] {
        for (int i = 0; i < 10000; ++i) RefPtr<IThing> copy = shared;
      });
    for (auto& th : threads) th.join();
    EXPECT_EQ(shared->AddRef(), 2u);
    EXPECT_EQ(shared->Release(), 1u);
    EXPECT_EQ(g_destroyed, 0);
  }
  EXPECT_EQ(g_destroyed, 1);
}

}  // namespace
