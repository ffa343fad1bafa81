#include "support/logcapture.h"

#include "common/log.h"

LogCapture::LogCapture() {
  logcontrol::SetLineObserver([this](int level, const std::string& line) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_lines.push_back(line);
    m_failures += level == kLogError || level == kLogWarn;
  });
}

LogCapture::~LogCapture() { logcontrol::SetLineObserver(nullptr); }

std::vector<std::string> LogCapture::Lines() {
  std::lock_guard<std::mutex> g(m_mutex);
  return m_lines;
}

bool LogCapture::Contains(const std::string& text) { return Count(text) > 0; }

int LogCapture::Count(const std::string& text) {
  std::lock_guard<std::mutex> g(m_mutex);
  int n = 0;
  for (const auto& l : m_lines)
    if (l.find(text) != std::string::npos) ++n;
  return n;
}

int LogCapture::Failures() {
  std::lock_guard<std::mutex> g(m_mutex);
  return m_failures;
}

std::string LogCapture::All() {
  std::lock_guard<std::mutex> g(m_mutex);
  std::string out;
  for (const auto& l : m_lines) out += l;
  return out;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> g(m_mutex);
  m_lines.clear();
  m_failures = 0;
}
