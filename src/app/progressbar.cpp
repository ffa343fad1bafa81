#include "app/progressbar.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "app/itemoutput.h"

namespace {

size_t TerminalWidth(int fd) {
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) return size.ws_col;
  return 80;
}

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

std::string FormatDuration(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  char text[32];
  if (seconds >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  else
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  return text;
}

std::string FormatProgressLine(const std::string& label, int64_t done, int64_t total, double elapsedSeconds,
                               size_t width) {
  if (done < 0) done = 0;
  if (total < 0) total = 0;
  std::string figures;
  if (total > 0) {
    int percent = static_cast<int>(std::min<int64_t>(done, total) * 100 / total);
    figures += "  " + std::to_string(percent) + "%";
  }
  figures += "  " + HumanBytes(done) + "/" + HumanBytes(total);
  if (elapsedSeconds > 0 && done > 0) {
    double speed = static_cast<double>(done) / elapsedSeconds;
    figures += "  " + HumanBytes(static_cast<int64_t>(speed)) + "/s";
    if (total > done) figures += "  " + FormatDuration(static_cast<int64_t>((total - done) / speed + 0.5)) + " left";
  }
  // The bar has a fixed width; the label gives way when the line is too long.
  const size_t barWidth = 22;
  std::string bar;
  if (total > 0) {
    size_t filled = static_cast<size_t>(std::min<int64_t>(done, total) * static_cast<int64_t>(barWidth) / total);
    bar = "  [" + std::string(filled, '=') + (filled < barWidth ? ">" : "") +
          std::string(barWidth - filled - (filled < barWidth ? 1 : 0), ' ') + "]";
  }
  std::string shownLabel = label;
  const size_t fixed = bar.size() + figures.size();
  const size_t room = width > fixed ? width - fixed : 0;
  if (shownLabel.size() > room) {
    // Keep the end of the label (the file name), on a UTF-8 boundary.
    size_t cut = shownLabel.size() - (room > 3 ? room - 3 : 0);
    while (cut < shownLabel.size() && (static_cast<unsigned char>(shownLabel[cut]) & 0xC0) == 0x80) ++cut;
    shownLabel = (room > 3 ? "..." : "") + shownLabel.substr(cut);
  }
  std::string line = shownLabel + bar + figures;
  if (line.size() > width) {
    size_t cut = width;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    line.resize(cut);
  }
  return line;
}

CProgressBar::CProgressBar(int fd, bool enabled, std::chrono::milliseconds delay)
    : m_fd(fd), m_enabled(enabled), m_delay(delay), m_start(std::chrono::steady_clock::now()) {}

void CProgressBar::Start() {
  m_start = std::chrono::steady_clock::now();
  m_drawn = false;
}

void CProgressBar::Update(const std::string& label, int64_t done, int64_t total) {
  if (!m_enabled) return;
  const auto elapsed = std::chrono::steady_clock::now() - m_start;
  if (elapsed < m_delay) return;
  const double seconds = std::chrono::duration<double>(elapsed).count();
  const size_t width = TerminalWidth(m_fd) - 1;
  WriteAll(m_fd, "\r" + FormatProgressLine(PrintableText(label), done, total, seconds, width) + "\x1b[K");
  m_drawn = true;
}

void CProgressBar::Finish() {
  if (m_drawn) WriteAll(m_fd, "\n");
  m_drawn = false;
}
