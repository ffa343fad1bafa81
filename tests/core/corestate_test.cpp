// The state record holder: queued records first and once each, then the override
// while set, then the current record; and the record a conflict event builds.
#include "core/corestate.h"

#include <gtest/gtest.h>

#include <string>

#include "common/recordtree.h"
#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

NuvraState Kind(uint32_t kind, const std::string& origin = "") {
  NuvraState s;
  s.kind = kind;
  s.originPath = origin;
  return s;
}

RecordTree Conflict(const std::string& org, const std::string& cur, const std::string& type) {
  RecordTree info("conflict");
  info.AddValue("OrgFullPath", org);
  info.AddValue("CurFullPath", cur);
  info.AddValue("ConflictType", type);
  return info;
}

class CoreStateTest : public OstrelTest {};

TEST_F(CoreStateTest, StartsAsCreated) {
  CCoreState state;
  EXPECT_EQ(kNuvraStateCreated, state.GetState().kind);
}

TEST_F(CoreStateTest, QueuedRecordsComeOnceEachBeforeTheOverrideWhichHidesTheCurrentUntilCleared) {
  CCoreState state;
  state.PostState(Kind(kNuvraStateNotSignedIn), false);
  state.PostState(Kind(kNuvraStateConflict, "/a"), true);
  state.PostState(Kind(kNuvraStateConflict, "/b"), true);
  state.SetOverrideState(Kind(kNuvraStateNetworkLost));

  EXPECT_EQ(Kind(kNuvraStateConflict, "/a"), state.GetState());
  EXPECT_EQ(Kind(kNuvraStateConflict, "/b"), state.GetState());
  EXPECT_EQ(kNuvraStateNetworkLost, state.GetState().kind);
  EXPECT_EQ(kNuvraStateNetworkLost, state.GetState().kind);
  state.ClearOverrideState();
  EXPECT_EQ(kNuvraStateNotSignedIn, state.GetState().kind);
  EXPECT_EQ(kNuvraStateNotSignedIn, state.GetState().kind);
}

TEST_F(CoreStateTest, AnOverrideOfKindZeroIsNoOverride) {
  CCoreState state;
  state.PostState(Kind(kNuvraStateSigningIn), false);
  NuvraState none;
  none.title = "ignored";
  state.SetOverrideState(none);
  EXPECT_EQ(kNuvraStateSigningIn, state.GetState().kind);
}

TEST_F(CoreStateTest, TextsAreCutToTheFieldOnACharacterBoundary) {
  CCoreState state;
  NuvraState big = Kind(kNuvraStateMaintenance);
  big.title = std::string(300, 't');
  // 258 units, then a character of two units that would end at 260.
  big.content = std::string(258, 'c') + "\xF0\x9F\x98\x80";
  big.link = std::string(kNuvraTextMax, 'l');
  state.SetOverrideState(big);
  const NuvraState got = state.GetState();
  EXPECT_EQ(std::string(kNuvraTextMax, 't'), got.title);
  EXPECT_EQ(std::string(258, 'c'), got.content);
  EXPECT_EQ(big.link, got.link);
}

struct ConflictCase {
  const char* name;
  std::string type;
  uint32_t subKind;
  bool asserts;
};

TEST_F(CoreStateTest, ConflictTypeIsMatchedExactly) {
  const ConflictCase cases[] = {
      {"name conflict", "NameConflict", kConflictName, false},
      {"version conflict", "VersionConflict", kConflictVersion, false},
      {"other letter case", "versionconflict", 0, true},
      {"unknown word", "Other", 0, true},
      {"missing", "", 0, true},
  };
  for (const ConflictCase& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    const RecordTree info = Conflict("/cloud/a.txt", "/local/a.txt", c.type);
    const NuvraState state = BuildEventState(kNuvraStateConflict, &info);
    EXPECT_EQ(kNuvraStateConflict, state.kind);
    EXPECT_EQ(c.subKind, state.subKind);
    EXPECT_EQ("/cloud/a.txt", state.originPath);
    EXPECT_EQ("/local/a.txt", state.currentPath);
    EXPECT_EQ(c.asserts, log.Contains("*ASSERT*:"));
  }
}

TEST_F(CoreStateTest, ConflictPathsAreCountedInUtf16UnitsAndNeverOverrunTheField) {
  const std::string smile = "\xF0\x9F\x98\x80";  // two UTF-16 units
  struct PathCase {
    const char* name;
    std::string path;
    bool asserts;
    std::string stored;
  };
  const PathCase cases[] = {
      {"259 units fit", std::string(259, 'p'), false, std::string(259, 'p')},
      {"260 units pass the check but are cut", std::string(260, 'p'), false, std::string(259, 'p')},
      {"261 units assert and are cut", std::string(261, 'p'), true, std::string(259, 'p')},
      {"a pair across the end is dropped whole", std::string(258, 'p') + smile, false, std::string(258, 'p')},
      {"130 pairs are 260 units", [&] {
         std::string s;
         for (int i = 0; i < 130; ++i) s += smile;
         return s;
       }(),
       false,
       [&] {
         std::string s;
         for (int i = 0; i < 129; ++i) s += smile;
         return s;
       }()},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    const RecordTree info = Conflict(c.path, "/x", "NameConflict");
    const NuvraState state = BuildEventState(kNuvraStateConflict, &info);
    EXPECT_EQ(c.stored, state.originPath);
    EXPECT_EQ(c.asserts, log.Contains("*ASSERT*: strOrgFullPath.GetLength() <= 260"));
  }
}

TEST_F(CoreStateTest, OtherKindsReadNoRecord) {
  LogCapture log;
  const NuvraState state = BuildEventState(kNuvraStateNotSignedIn, nullptr);
  EXPECT_EQ(Kind(kNuvraStateNotSignedIn), state);
  EXPECT_FALSE(log.Contains("*ASSERT*"));
}

TEST_F(CoreStateTest, AConflictWithoutRecordAssertsAndCarriesNoPaths) {
  LogCapture log;
  const NuvraState state = BuildEventState(kNuvraStateConflict, nullptr);
  EXPECT_EQ(Kind(kNuvraStateConflict), state);
  EXPECT_TRUE(log.Contains("*ASSERT*: prtInfo"));
}

}  // namespace
