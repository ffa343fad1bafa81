// The component base: reference counts, interface look-up and the smart pointer's
// ownership rules, which every component relies on for its lifetime.
#include "common/unknown.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

class IThing : public IUnknown {
 public:
  static constexpr IID kIID = GuidFromString("{6AC03FFE-A947-499F-97F4-BA11FCCDDD7F}");
  virtual int Value() = 0;
};

class IOther : public IUnknown {
 public:
  static constexpr IID kIID = GuidFromString("{00000001-0002-0003-0405-060708090A0B}");
};

int g_destroyed = 0;

class CThing final : public CUnknownImpl<IThing> {
 public:
  int Value() override { return 42; }
  ~CThing() override { ++g_destroyed; }
};

TEST(GuidTest, ParsesRegistryForm) {
  constexpr GUID g = GuidFromString("{6AC03FFE-A947-499F-97F4-BA11FCCDDD7F}");
  EXPECT_EQ(g.Data1, 0x6AC03FFEu);
  EXPECT_EQ(g.Data2, 0xA947u);
  EXPECT_EQ(g.Data3, 0x499Fu);
  EXPECT_EQ(std::memcmp(g.Data4, "\x97\xF4\xBA\x11\xFC\xCD\xDD\x7F", 8), 0);
  EXPECT_FALSE(g == IOther::kIID);
}

TEST(RefPtrTest, OwnershipAndQueryInterfaceDestroyOnce) {
  g_destroyed = 0;
  {
    RefPtr<IThing> a(new CThing());
    RefPtr<IThing> b = a;                  // copy adds a reference
    RefPtr<IThing> owner = std::move(b);   // move transfers it
    EXPECT_FALSE(b);
    EXPECT_EQ(owner->Value(), 42);
    a = nullptr;
    IThing* raw = nullptr;
    owner.CopyTo(&raw);                    // as a creation function hands one out
    RefPtr<IThing> adopted = RefPtr<IThing>::Adopt(raw);

    RefPtr<IUnknown> unk;
    EXPECT_EQ(QueryInterfaceTo(owner.get(), &unk), S_OK);
    RefPtr<IOther> other;
    EXPECT_EQ(QueryInterfaceTo(owner.get(), &other), E_NOINTERFACE);
    EXPECT_FALSE(other);
    EXPECT_EQ(owner->QueryInterface(IThing::kIID, nullptr), E_POINTER);

    *adopted.Receive() = nullptr;          // Receive releases what it held
    EXPECT_EQ(g_destroyed, 0);
  }
  EXPECT_EQ(g_destroyed, 1);
}

TEST(RefPtrTest, CountsFromManyThreadsBalance) {
  g_destroyed = 0;
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
  }
  EXPECT_EQ(g_destroyed, 1);
}

}  // namespace
