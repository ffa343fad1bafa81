#include "support/logcapture.h"

#include "common/log.h"

LogCapture::LogCapture() {
  logcontrol::SetLineObserver([this](int level, const std::string& line) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_lines.push_back(line);
    m_failures += level == kLogError || level == kLogWarn;
    m_added.notify_all();
  });
}

LogCapture::~LogCapture() { logcontrol::SetLineObserver(nullptr); }

std::vector<std::string> LogCapture::Lines() {
  std::lock_guard<std::mutex> g(m_mutex);
  return m_lines;
}

int LogCapture::Count(const std::string& text) {
  int n = 0;
  for (const auto& l : Lines()) n += l.find(text) != std::string::npos;
  return n;
}

bool LogCapture::WaitFor(std::initializer_list<std::string> texts, std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> g(m_mutex);
  size_t seen = 0;  // lines already looked at
  auto found = [&] {
    for (; seen < m_lines.size(); ++seen)
      for (const std::string& t : texts)
        if (m_lines[seen].find(t) != std::string::npos) return true;
    return false;
  };
  return m_added.wait_for(g, bound, found);
}

bool LogCapture::WaitForInOrder(std::initializer_list<std::string> texts, std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> g(m_mutex);
  size_t seen = 0;  // lines already looked at
  auto next = texts.begin();
  auto found = [&] {
    for (; seen < m_lines.size() && next != texts.end(); ++seen)
      if (m_lines[seen].find(*next) != std::string::npos) ++next;
    return next == texts.end();
  };
  return m_added.wait_for(g, bound, found);
}

int LogCapture::Failures() {
  std::lock_guard<std::mutex> g(m_mutex);
  return m_failures;
}

std::string LogCapture::All() {
  std::string out;
  for (const auto& l : Lines()) out += l;
  return out;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> g(m_mutex);
  m_lines.clear();
  m_failures = 0;
}
