// One holder of a claim at a time, also when the holder removes its lock file while
// another claimant is about to lock it. More in tempfolder_test.cpp.
#include "platform/tempclaim.h"

#include <cerrno>

#include "support/filefault.h"
#include "support/testenv.h"

namespace {

using TempClaimTest = OstrelTest;

// B opens the lock file while A holds the claim; before B locks it, A releases (its
// lock file goes) and, in the second row, C claims anew. B then locks a removed file,
// which is no claim: B holds the entry only when no one else does.
TEST_F(TempClaimTest, ALockFileRemovedBeforeItIsLockedIsNoClaim) {
  for (bool otherClaims : {false, true}) {
    SCOPED_TRACE(otherClaims);
    FaultFileEnv env;
    const std::string entry = PathIn("entry");
    CTempClaim a(&env), c(&env);
    ASSERT_TRUE(a.TryClaim(entry));
    env.SetHook([&](FileOp op, const std::string&) {
      if (op != FileOp::kFlock) return 0;
      env.SetHook(nullptr);  // B's lock, the first one after A's
      a.Release();
      if (otherClaims) c.TryClaim(entry);
      return 0;
    });
    CTempClaim b(&env), d(&env);
    EXPECT_EQ(b.TryClaim(entry), !otherClaims);
    EXPECT_FALSE(d.TryClaim(entry)) << "two holders at once";
    EXPECT_EQ(errno, EWOULDBLOCK);
  }
}

}  // namespace
