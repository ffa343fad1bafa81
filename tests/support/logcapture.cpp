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

int LogCapture::Count(const std::string& text) {
  int n = 0;
  for (const auto& l : Lines()) n += l.find(text) != std::string::npos;
  return n;
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
