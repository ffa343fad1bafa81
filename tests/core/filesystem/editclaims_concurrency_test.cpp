// Waiting for this process to let go of a cache copy: the wait ends with the last drop
// or with Stop, whichever comes first, and never holds the claims' lock meanwhile.
#include <future>
#include <thread>

#include "core/filesystem/editclaims.h"
#include "support/testenv.h"

namespace {

using EditClaimsConcurrencyTest = OstrelTest;

TEST_F(EditClaimsConcurrencyTest, AWaitEndsWithTheLastDropOrWithStop) {
  // A guard against a hang (the run then fails), never a wait for time to pass.
  constexpr std::chrono::seconds kBound{60};
  const std::string copy = "/home/a/sync/a.txt";
  for (bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "stopped" : "dropped");
    CEditClaims claims;
    claims.SetFolder(PathIn(""));
    ASSERT_EQ(claims.Hold(copy), S_OK);
    ASSERT_EQ(claims.Hold(copy), S_OK);
    std::promise<bool> result;
    std::future<bool> waited = result.get_future();
    std::thread waiting([&] { result.set_value(claims.WaitUntilDropped(copy)); });
    // Meanwhile the claims answer (the wait holds no lock of theirs).
    EXPECT_TRUE(claims.HeldHere(copy));
    claims.Drop(copy);
    EXPECT_EQ(claims.Hold("/home/a/sync/b.txt"), S_OK);
    if (stop)
      claims.Stop();
    else
      claims.Drop(copy);
    ASSERT_EQ(waited.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(waited.get(), !stop);
    waiting.join();
    EXPECT_EQ(claims.HeldHere(copy), stop) << "a stop keeps what is held";
    if (stop) {
      EXPECT_FALSE(claims.WaitUntilDropped(copy)) << "after a stop no wait begins";
    }
  }
}

}  // namespace
