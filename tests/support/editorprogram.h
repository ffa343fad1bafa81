// What tests that start the test editor (tests/tools) need around it: a fifo to talk
// with it, and what the process holds that a started program could leave behind
// (descriptors, children).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

// A guard against a program that never answers (the test then fails), never a wait
// for time to pass.
inline constexpr int kEditorGuardMs = 30000;

// A fifo between the test and the editor. The test keeps it open at both ends, so that
// neither side's open blocks and the editor's reads see an end only when the test is gone.
class EditorFifo {
 public:
  explicit EditorFifo(std::string path) : m_path(std::move(path)) {
    EXPECT_EQ(mkfifo(m_path.c_str(), 0600), 0) << m_path;
    m_fd = open(m_path.c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_GE(m_fd, 0) << m_path;
  }
  ~EditorFifo() {
    if (m_fd >= 0) close(m_fd);
  }
  EditorFifo(const EditorFifo&) = delete;
  EditorFifo& operator=(const EditorFifo&) = delete;

  const std::string& Path() const { return m_path; }
  void Send(const std::string& line) {
    const std::string bytes = line + "\n";
    EXPECT_EQ(write(m_fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // The next line the editor wrote, or "(nothing)" when none came within the guard.
  std::string Line() {
    std::string line;
    for (;;) {
      pollfd p{m_fd, POLLIN, 0};
      if (poll(&p, 1, kEditorGuardMs) != 1) return "(nothing)";
      char c = 0;
      if (read(m_fd, &c, 1) != 1) return "(nothing)";
      if (c == '\n') return line;
      line += c;
    }
  }

 private:
  std::string m_path;
  int m_fd = -1;
};

// What the descriptors this process holds open refer to, sorted ("pipe:[123]",
// "/tmp/x", ...): compared as a whole, a failure names what was left or closed.
inline std::vector<std::string> ProcessDescriptors() {
  std::vector<std::string> targets;
  DIR* dir = opendir("/proc/self/fd");
  const int own = dirfd(dir);
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.' || atoi(e->d_name) == own) continue;
    char target[4096];
    const ssize_t n = readlinkat(own, e->d_name, target, sizeof(target) - 1);
    targets.emplace_back(n < 0 ? std::string("(closed meanwhile)") : std::string(target, static_cast<size_t>(n)));
  }
  closedir(dir);
  std::sort(targets.begin(), targets.end());
  return targets;
}

// The descriptors open now that were not open in before (a list of ProcessDescriptors):
// what was left behind since. One that closed meanwhile (a thread of the code under
// test finishing its work) is not a leak.
inline std::vector<std::string> DescriptorsOpenedSince(const std::vector<std::string>& before) {
  const std::vector<std::string> now = ProcessDescriptors();
  std::vector<std::string> opened;
  std::set_difference(now.begin(), now.end(), before.begin(), before.end(), std::back_inserter(opened));
  return opened;
}

// The pids of this process's children, running or ended but not reaped, from every
// thread's list.
inline std::string ProcessChildren() {
  std::string all;
  DIR* dir = opendir("/proc/self/task");
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const std::string path = std::string("/proc/self/task/") + e->d_name + "/children";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;  // a thread that ended meanwhile
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0) all.append(buf, static_cast<size_t>(n));
    close(fd);
  }
  closedir(dir);
  return all;
}
