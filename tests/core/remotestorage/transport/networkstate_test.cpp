// CNetworkState: the override states it posts for a sequence of reports, and how it
// reads the state page of the local service.
#include "core/remotestorage/transport/networkstate.h"

#include <gtest/gtest.h>

#include "common/utf8.h"
#include "support/localservice.h"
#include "support/logcapture.h"
#include "transporttestutil.h"

namespace {

class NetworkStateTest : public LocalServiceTest {
 protected:
  void SetUp() override {
    LocalServiceTest::SetUp();
    m_center = RefPtr<TrackerSyncCenter>(new TrackerSyncCenter);
  }
  void TearDown() override {
    Tracker().Disable();
    LocalServiceTest::TearDown();
  }
  CNetworkState& Tracker() { return CNetworkState::GetInstance(); }
  void Enable() { Tracker().Enable(m_center.get(), Service().Url("/api_server/")); }
  size_t PageFetches() { return Service().Requests("/api_server/").size(); }
  void Report(std::initializer_list<bool> flags) {
    for (bool f : flags) Tracker().UpdateNetworkState(f);
  }
  // Arms the state page for the next fetches.
  void Page(const std::string& xml, int count = 1) {
    Service().Inject(R"({"path":"/api_server/","count":)" + std::to_string(count) + R"(,"body":")" + xml + R"("})");
  }

  RefPtr<TrackerSyncCenter> m_center;
};

TEST_F(NetworkStateTest, ChangesPostOverridesAndEveryFourthUnusableReportReadsThePage) {
  Report({false, false, false, false, true});  // never enabled: nothing happens
  Enable();
  Report({false});
  EXPECT_EQ(0u, m_center->CallCount()) << "the first unusable report posts nothing";
  Report({true});
  EXPECT_EQ(1u, m_center->CallCount());
  EXPECT_FALSE(m_center->Calls()[0].set);
  Report({false});
  ASSERT_EQ(2u, m_center->CallCount());
  EXPECT_TRUE(m_center->Calls()[1].set);
  EXPECT_EQ(kNuvraStateNetworkLost, m_center->Calls()[1].state.kind);
  Report({false});
  EXPECT_EQ(0u, PageFetches());
  Report({false});  // the fourth unusable report
  EXPECT_EQ(1u, PageFetches());
  // Usable reports in between do not reset the count.
  Report({false, false, true, false});
  EXPECT_EQ(1u, PageFetches());
  Report({false});
  EXPECT_EQ(2u, PageFetches());
  // Only changes are posted: clear, lost, clear, lost.
  EXPECT_EQ(4u, m_center->CallCount());
  // The page is fetched directly, with no header lines of the service's requests.
  auto fetch = Service().Requests("/api_server/")[0];
  EXPECT_EQ("GET", fetch.method);
  EXPECT_FALSE(fetch.proxied);
  EXPECT_FALSE(fetch.HasHeader("v"));
  // Disabled, it posts and reads nothing, and has given back its reference.
  Tracker().Disable();
  Report({false, false, false, false, true});
  EXPECT_EQ(4u, m_center->CallCount());
  EXPECT_EQ(2u, PageFetches());
  EXPECT_EQ(1u, m_center->AddRef() - 1);
  m_center->Release();
}

// The record's texts are cut on character boundaries: 259 UTF-16 units at most.
TEST_F(NetworkStateTest, MaintenancePageSetsTheMaintenanceRecord) {
  Enable();
  std::string content = "C &amp; more", link = "L";
  for (int i = 0; i < 200; ++i) content += "\xe4\xb8\xad";  // U+4E2D, one unit each
  for (int i = 0; i < 130; ++i) link += "\xf0\x9f\x98\x80";  // U+1F600, two units each
  Page("<s><State>MAINTAIN</State><Title>" + std::string(300, 'x') + "</Title><Content>" + content +
       "</Content><URL>" + link + "</URL></s>");
  Report({true, false, false, false, false});
  auto calls = m_center->Calls();
  ASSERT_EQ(3u, calls.size());
  EXPECT_TRUE(calls[2].set);
  EXPECT_EQ(kNuvraStateMaintenance, calls[2].state.kind);
  EXPECT_EQ(std::string(259, 'x'), calls[2].state.title);
  EXPECT_EQ("C & more" + content.substr(12), calls[2].state.content);
  EXPECT_EQ(259u, Utf8ToUtf16(calls[2].state.link).size());
  EXPECT_TRUE(IsValidUtf8(calls[2].state.link));
  EXPECT_EQ(0u, calls[2].state.subKind);

  // In maintenance unusable reports read nothing; every usable one reads the page again.
  Report({false, false, false, false, false});
  EXPECT_EQ(1u, PageFetches());
  Page("<s><State>maintain</State><Title>Again</Title></s>");
  Report({true});
  EXPECT_EQ(2u, PageFetches());
  calls = m_center->Calls();
  EXPECT_EQ("Again", calls.back().state.title);
  EXPECT_EQ("", calls.back().state.link);
}

TEST_F(NetworkStateTest, PageAnswersThatEndOrKeepTheMaintenance) {
  struct Case {
    std::string fault;  // what the second fetch gets
    bool stillInMaintenance;
  } cases[] = {
      {R"({"path":"/api_server/","status":404})", false},
      {R"({"path":"/api_server/","garbage":true})", false},
      {R"({"path":"/api_server/","drop":true})", false},
      {R"({"path":"/api_server/","body":"<s><State>normal</State></s>"})", true},
      {R"({"path":"/api_server/","body":""})", true},
  };
  for (const auto& c : cases) {
    Service().Reset();
    Enable();
    LogCapture log;
    Page("<s><State>maintain</State></s>");
    Report({false, false, false, false});  // the fourth reads: maintenance
    ASSERT_EQ(1u, PageFetches());
    Service().Inject(c.fault);
    Report({true});  // usable in maintenance: reads again
    EXPECT_EQ(2u, PageFetches()) << c.fault;
    // Still in maintenance: the next usable report reads again; otherwise not.
    Report({true});
    EXPECT_EQ(c.stillInMaintenance ? 3u : 2u, PageFetches()) << c.fault;
    if (c.fault.find("garbage") != std::string::npos) {
      EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOL:S_OK == hr")) << log.All();
      EXPECT_TRUE(log.Contains("networkstate")) << log.All();
    }
  }
}

}  // namespace
