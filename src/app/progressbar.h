// The progress bar of a transfer command on a terminal: bytes done of the total, the
// speed and the time left, redrawn in place on one line. Drawn only on a terminal and
// only once the transfer has run for the delay, so that short transfers and scripts
// see no bar at all.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// One line of at most width columns (counting every byte as a column):
// "label  [=====>     ]  42%  4.2 MiB/10.0 MiB  1.5 MiB/s  0:04 left". A total of 0
// shows no percentage; a speed is shown once elapsedSeconds > 0 and bytes have moved,
// the time left once the speed is known. The label is shortened from the front to fit.
std::string FormatProgressLine(const std::string& label, int64_t done, int64_t total, double elapsedSeconds,
                               size_t width);

// "0:04", "1:02:03".
std::string FormatDuration(int64_t seconds);

class CProgressBar {
 public:
  // Draws on fd when enabled (the caller decides: fd is a terminal); the bar appears at
  // the first Update at least delay after Start.
  CProgressBar(int fd, bool enabled, std::chrono::milliseconds delay);

  void Start();
  // Redraws the bar (once the delay has passed).
  void Update(const std::string& label, int64_t done, int64_t total);
  // Ends the bar's line, when one was drawn, leaving its last state visible.
  void Finish();
  bool Drawn() const { return m_drawn; }

 private:
  const int m_fd;
  const bool m_enabled;
  const std::chrono::milliseconds m_delay;
  std::chrono::steady_clock::time_point m_start;
  bool m_drawn = false;
};
