// ServerResultMap: every result word of the service and its code, exact matching, and
// what an unknown or missing word gives.
#include "core/remotestorage/serverresultmap.h"

#include <gtest/gtest.h>

#include <string>

#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

struct WordCase {
  const char* word;
  uint32_t code;
};

// The service's words and codes, written out independently of the implementation.
const WordCase kWords[] = {
    {"Ok", 0}, {"ok", 0}, {"clientBadParams", 0x80041001}, {"serverDeny", 0x80041002}, {"serverBusy", 0x80041003},
    {"clientTooFrequent", 0x80041004}, {"clientNoMethod", 0x80041005}, {"accountServerError", 0x80041006},
    {"accountNotActive", 0x80041007}, {"dataOperationFailed", 0x80041008}, {"permissionDenied", 0x80041009},
    {"serverDenyReadOnly", 0x8004100A}, {"failureToApplyStub", 0x8004100B}, {"badStub", 0x8004100C},
    {"getFileKeyFailed", 0x8004100D}, {"storageError", 0x8004100E}, {"getFileInfoFailed", 0x8004100F},
    {"serverError", 0x80041011}, {"clientTokenExpired", 0x80041012}, {"methodVersionNotMatch", 0x80041013},
    {"accountNotMatch", 0x80041015}, {"clientNoLogin", 0x80041016}, {"errorDeny", 0x80041017},
    {"targetExist", 0x80041018}, {"targetNotExist", 0x80041019}, {"overSpace", 0x8004101A},
    {"fileVerConflict", 0x8004101B}, {"forbidden", 0x8004101C}, {"parentNotExist", 0x8004101D},
    {"emptyFile", 0x80041020}, {"folderNonEmpty", 0x80041021}, {"uploadError", 0x80041022},
    {"fileMissInAgent", 0x80041023}, {"timeout", 0x80041024}, {"wssError", 0x80041025}
};

class ServerResultMapTest : public OstrelTest {};

TEST_F(ServerResultMapTest, EveryWordGivesItsCodeWithoutLogging) {
  LogCapture log;
  const ServerResultMap& map = ServerResultMap::Instance();
  for (const auto& c : kWords) {
    EXPECT_EQ(static_cast<HRESULT>(c.code), map[c.word]) << c.word;
    EXPECT_EQ(static_cast<HRESULT>(c.code), map[std::string(c.word)]) << c.word;
  }
  EXPECT_EQ("", log.All());
  size_t count = 0;
  ServerResultMap::Rows(&count);
  EXPECT_EQ(std::size(kWords), count) << "no other words";
}

TEST_F(ServerResultMapTest, UnknownWordsGiveTheUnknownCodeAndTwoErrorLines) {
  const ServerResultMap& map = ServerResultMap::Instance();
  struct Case {
    const char* word;
    const char* logged;  // control characters are written visibly
  };
  for (const Case& c : std::initializer_list<Case>{{"OK", "OK"}, {"", ""}, {" ok", " ok"},
                                                   {"serverError\n", "serverError\\n"}}) {
    const char* word = c.word;
    LogCapture log;
    EXPECT_EQ(E_CV_SRV_UNKNOWN_WORD, map[word]) << word;
    auto lines = log.Lines();
    ASSERT_EQ(2u, lines.size()) << word;
    for (const auto& line : lines) EXPECT_NE(std::string::npos, line.find(" \tE \t")) << line;
    EXPECT_NE(std::string::npos,
              lines[0].find("*ASSERT*: false && L\"ServerResultMap::[] Catched UnKnown Server Error\""));
    EXPECT_NE(std::string::npos,
              lines[1].find(std::string("ServerResultMap::[] Catched UnKnown Server Error, Code = ") + c.logged));
  }
}

TEST_F(ServerResultMapTest, AWordWithAnEmbeddedNulIsUnknownAndANullWordAFailure) {
  EXPECT_EQ(E_CV_SRV_UNKNOWN_WORD, ServerResultMap::Instance()[std::string_view("ok\0x", 4)]);
  LogCapture log;
  const char* none = nullptr;
  EXPECT_EQ(E_FAIL, ServerResultMap::Instance()[none]);
  EXPECT_TRUE(log.Contains("*ASSERT*: false"));
  EXPECT_FALSE(log.Contains("Catched UnKnown"));
}

}  // namespace
