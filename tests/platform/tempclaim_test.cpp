// One holder of a claim at a time, also when the holder removes its lock file while
// another claimant is about to lock it. More in tempfolder_test.cpp.
#include "platform/tempclaim.h"

#include <cerrno>

#include "support/testenv.h"

namespace {

using TempClaimTest = OstrelTest;

// B opens the lock file while A holds the claim; before B locks it, A releases (its
// lock file goes) and, in the second row, C claims anew. B then locks a removed file,
// which is no claim: B holds the entry only when no one else does.
TEST_F(TempClaimTest, ALockFileRemovedBeforeItIsLockedIsNoClaim) {
  struct Race {
    CTempClaim a, c;
    std::string entry;
    bool otherClaims;
  };
  for (bool otherClaims : {false, true}) {
    SCOPED_TRACE(otherClaims);
    Race race{{}, {}, PathIn("entry"), otherClaims};
    ASSERT_TRUE(race.a.TryClaim(race.entry));
    SetTempClaimHook(
        [](void* context, const std::string&) {
          auto* r = static_cast<Race*>(context);
          SetTempClaimHook(nullptr, nullptr);
          r->a.Release();
          if (r->otherClaims) r->c.TryClaim(r->entry);
        },
        &race);
    CTempClaim b, d;
    EXPECT_EQ(b.TryClaim(race.entry), !otherClaims);
    SetTempClaimHook(nullptr, nullptr);
    EXPECT_FALSE(d.TryClaim(race.entry)) << "two holders at once";
    EXPECT_EQ(errno, EWOULDBLOCK);
  }
}

}  // namespace
