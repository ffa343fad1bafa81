// Collects every log line written while it lives (the lines also go to the file).
#pragma once

#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> Lines();
  // True when some line contains the text.
  bool Contains(const std::string& text) { return Count(text) > 0; }
  // Waits until some line contains one of the texts, or bound has passed: whether one does.
  bool WaitFor(std::initializer_list<std::string> texts, std::chrono::milliseconds bound);
  // Waits until lines contain each of the texts in this order (each after the line
  // that held the one before), or bound has passed: whether they do.
  bool WaitForInOrder(std::initializer_list<std::string> texts, std::chrono::milliseconds bound);
  // Number of lines that contain the text.
  int Count(const std::string& text);
  // Number of error and warning lines (failed checks, refusals): for failures whose
  // text is our own, not one the system fixes.
  int Failures();
  // Every captured line joined, for failure messages and "never logged" checks.
  std::string All();
  void Clear();

 private:
  std::mutex m_mutex;
  std::condition_variable m_added;
  std::vector<std::string> m_lines;
  int m_failures = 0;
};
