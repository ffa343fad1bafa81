#include "core/remotestorage/transport/networkstate.h"

#include <strings.h>

#include "common/log.h"
#include "common/utf8.h"
#include "common/xmlhelper.h"
#include "core/remotestorage/transport/curlhelper.h"

namespace {

struct StatePage {
  std::string state, title, content, url;
};

// Reads the page's values (child elements with text, names compared ignoring case).
bool ParseStatePage(const std::string& text, StatePage* page) {
  RecordTree tree;
  if (FAILED(ParseXmlToRecordTree(&tree, text))) return false;
  page->state = tree.GetValue("State");
  page->title = tree.GetValue("Title");
  page->content = tree.GetValue("Content");
  page->url = tree.GetValue("URL");
  return true;
}

}  // namespace

CNetworkState& CNetworkState::GetInstance() {
  // Never destroyed: a worker's transport may still report while the process exits.
  static CNetworkState* instance = new CNetworkState();
  return *instance;
}

void CNetworkState::Enable(ISyncCenter* syncCenter, const std::string& stateUrl) {
  RefPtr<ISyncCenter> old;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    old = std::move(m_syncCenter);
    m_syncCenter = RefPtr<ISyncCenter>(syncCenter);
    m_stateUrl = stateUrl;
    ++m_epoch;
    m_lastState = false;
    m_maintenance = false;
    m_unusableCount = 0;
    m_checking = false;
    m_wanted.reset();
    m_appliedSeq = m_wantedSeq;
    m_enabled = syncCenter != nullptr;
  }
}

void CNetworkState::Disable() {
  RefPtr<ISyncCenter> old;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_enabled = false;
    old = std::move(m_syncCenter);
    m_syncCenter = nullptr;
    ++m_epoch;
    m_checking = false;
    m_appliedSeq = m_wantedSeq;
  }
}

void CNetworkState::WantOverride(std::optional<NuvraState> record) {
  m_wanted = std::move(record);
  ++m_wantedSeq;
}

void CNetworkState::Deliver() {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_delivering) return;  // the thread delivering picks the latest decision up
  m_delivering = true;
  while (m_appliedSeq != m_wantedSeq && m_syncCenter) {
    uint64_t seq = m_wantedSeq;
    std::optional<NuvraState> record = m_wanted;
    RefPtr<ISyncCenter> center = m_syncCenter;
    lock.unlock();
    if (record)
      center->SetOverrideState(&*record);
    else
      center->ClearOverrideState();
    lock.lock();
    m_appliedSeq = seq;
  }
  m_delivering = false;
}

void CNetworkState::UpdateNetworkState(bool usable) {
  if (!m_enabled.load()) return;
  bool check = false;
  uint64_t epoch = 0;
  std::string url;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_syncCenter) return;
    if (usable != m_lastState) {
      if (usable) {
        WantOverride(std::nullopt);
      } else {
        NuvraState lost;
        lost.kind = kNuvraStateNetworkLost;
        WantOverride(lost);
      }
      m_lastState = usable;
    }
    if (usable) {
      check = m_maintenance;
    } else if (!m_maintenance && ++m_unusableCount > 3) {
      check = true;
      m_unusableCount = 0;
    }
    // One fetch at a time: its answer serves the reports made meanwhile.
    if (check && m_checking) check = false;
    if (check) {
      m_checking = true;
      epoch = m_epoch;
      url = m_stateUrl;
    }
  }
  Deliver();
  if (check) CheckServiceState(epoch, url);
}

void CNetworkState::CheckServiceState(uint64_t epoch, const std::string& url) {
  enum class Answer { kUnchanged, kNotInMaintenance, kMaintenance } answer = Answer::kUnchanged;
  NuvraState record;
  {
    CCurlHelper curl;
    CurlStatus status = kCurlFailed;
    // Fetched directly: no proxy (not even one from the environment), no limits.
    if (curl.Init() && SUCCEEDED(curl.SetOpt(CURLOPT_PROXY, ""))) status = curl.Request_URL_GET(url.c_str(), 10);
    const std::string& bytes = curl.ReplyBytes();
    StatePage page;
    if (status != kCurlOk) {
      answer = Answer::kNotInMaintenance;
    } else if (bytes.empty()) {
      answer = Answer::kUnchanged;
    } else if (!ParseStatePage(bytes.substr(0, bytes.find('\0')), &page)) {
      OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOL:S_OK == hr");
      answer = Answer::kNotInMaintenance;
    } else if (strcasecmp(page.state.c_str(), "maintain") == 0) {
      answer = Answer::kMaintenance;
      record.kind = kNuvraStateMaintenance;
      record.title = Utf8CutChars(page.title, kNuvraTextMax);
      record.content = Utf8CutChars(page.content, kNuvraTextMax);
      record.link = Utf8CutChars(page.url, kNuvraTextMax);
    }
  }
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (epoch != m_epoch) return;  // disabled or enabled anew meanwhile
    m_checking = false;
    if (answer == Answer::kNotInMaintenance) m_maintenance = false;
    if (answer == Answer::kMaintenance) {
      m_maintenance = true;
      WantOverride(record);
    }
  }
  Deliver();
}
