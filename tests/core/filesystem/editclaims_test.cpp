// This process's claims on cache copies: counted holds under one claim, another
// process's claim refused, and every failure to claim reported with nothing held.
#include "core/filesystem/editclaims.h"

#include <cerrno>
#include <filesystem>

#include "common/sha1.h"
#include "support/filefault.h"
#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

class EditClaimsTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    std::filesystem::create_directories(m_temp = PathIn("sync/.tmp"));
  }
  std::string LockOf(const std::string& copy) { return m_temp + "/" + CEditClaims::EntryName(copy) + ".lock"; }
  // Whether some claim other than the probe's holds the copy.
  bool Claimed(const std::string& copy) {
    CTempClaim probe;
    return !probe.TryClaim(m_temp + "/" + CEditClaims::EntryName(copy)) && errno == EWOULDBLOCK;
  }
  std::string m_temp;
};

TEST_F(EditClaimsTest, TheFirstHoldClaimsTheCopyAndTheLastDropEndsTheClaim) {
  const std::string copy = "/home/a/sync/P/a.txt";
  EXPECT_EQ(CEditClaims::EntryName(copy), "edit-" + Sha1Hex(copy.data(), copy.size()));
  CEditClaims claims;
  claims.SetFolder(m_temp + "/");
  ASSERT_EQ(claims.Hold(copy), S_OK);
  ASSERT_EQ(claims.Hold(copy), S_OK);
  EXPECT_TRUE(claims.HeldHere(copy));
  EXPECT_TRUE(Claimed(copy));
  EXPECT_FALSE(claims.HeldHere("/home/a/sync/P/b.txt"));
  claims.Drop(copy);
  EXPECT_TRUE(Claimed(copy)) << "one hold is left";
  claims.Drop(copy);
  EXPECT_FALSE(claims.HeldHere(copy));
  EXPECT_FALSE(Claimed(copy));
  EXPECT_FALSE(FileExists(LockOf(copy))) << "the claim removes its lock file";
  claims.Drop(copy);  // not held: nothing
  EXPECT_FALSE(claims.HeldHere(copy));

  // Whatever is held goes with ReleaseAll, and with the object.
  ASSERT_EQ(claims.Hold(copy), S_OK);
  ASSERT_EQ(claims.Hold(copy), S_OK);
  claims.ReleaseAll();
  EXPECT_FALSE(Claimed(copy));
  {
    CEditClaims other;
    other.SetFolder(m_temp);
    ASSERT_EQ(other.Hold(copy), S_OK);
  }
  EXPECT_FALSE(Claimed(copy));
}

TEST_F(EditClaimsTest, ACopyClaimedElsewhereOrNotClaimableIsNotHeld) {
  const std::string copy = "/home/a/sync/a.txt";
  const struct {
    const char* what;
    bool folder;         // SetFolder is called
    bool claimedElsewhere;
    FileOp failing;      // fails on the lock file, with EIO; kList: nothing fails
    HRESULT result;
    bool logged;
  } rows[] = {
      {"another process claims it", true, true, FileOp::kList, E_CV_LOCAL_IN_EDIT, false},
      {"no temp folder is known", false, false, FileOp::kList, E_FAIL, true},
      {"the lock file cannot be made", true, false, FileOp::kOpen, E_FAIL, true},
      {"the lock file cannot be locked", true, false, FileOp::kFlock, E_FAIL, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    FaultFileEnv env;
    if (row.failing != FileOp::kList) env.Fail(row.failing, ".lock", EIO);
    CEditClaims claims(&env);
    if (row.folder) claims.SetFolder(m_temp);
    CTempClaim other;
    if (row.claimedElsewhere) {
      ASSERT_TRUE(other.TryClaim(m_temp + "/" + CEditClaims::EntryName(copy)));
    }
    LogCapture log;
    EXPECT_EQ(claims.Hold(copy), row.result);
    EXPECT_FALSE(claims.HeldHere(copy));
    EXPECT_EQ(log.Contains("cannot be claimed in the temp folder"), row.logged) << log.All();
    EXPECT_EQ(Claimed(copy), row.claimedElsewhere) << "only the other claim holds it";
  }
}

}  // namespace
