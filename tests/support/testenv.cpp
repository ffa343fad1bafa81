#include "support/testenv.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "common/log.h"

namespace fs = std::filesystem;

std::string MakeTempFolder(const std::string& tag) {
  const char* base = std::getenv("OSTREL_TEST_TMP");
  std::string parent = (base && *base) ? base : (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
  fs::create_directories(parent);
  std::string templ = parent + "/" + tag + "-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) {
    ADD_FAILURE() << "mkdtemp failed under " << parent;
    return parent;
  }
  return buf.data();
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  // remove_all does not follow symbolic links; it removes the links themselves.
  // Make every folder writable first so that nothing a test protected stays behind.
  if (fs::exists(fs::symlink_status(path, ec))) {
    for (auto it = fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
    }
  }
  fs::remove_all(path, ec);
}

void OstrelTest::SetUp() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string tag = std::string(info->test_suite_name()) + "." + info->name();
  for (char& c : tag)
    if (c == '/') c = '_';
  m_root = MakeTempFolder(tag);
  for (const char* sub : {"home", "data", "config", "cache", "runtime", "log"})
    fs::create_directories(m_root + "/" + sub);
  ::chmod((m_root + "/runtime").c_str(), 0700);
  setenv("HOME", (m_root + "/home").c_str(), 1);
  setenv("XDG_DATA_HOME", (m_root + "/data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (m_root + "/config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (m_root + "/cache").c_str(), 1);
  setenv("OSTREL_REGISTRY", (m_root + "/config/registry").c_str(), 1);
  setenv("TZ", "UTC", 1);
  tzset();
  logcontrol::SetClock(nullptr);
  logcontrol::SetPauseMs(0);
  LogInit("Ostrel", m_root + "/log/ostrel.log", 9, 0, -1);
}

void OstrelTest::TearDown() {
  logcontrol::SetClock(nullptr);
  logcontrol::SetLineObserver(nullptr);
  if (!std::getenv("OSTREL_KEEP_TMP") && !HasFailure()) RemoveTree(m_root);
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  ASSERT_TRUE(out.good()) << "cannot write " << path;
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in.good()) {
    ADD_FAILURE() << "cannot read " << path;
    return std::string();
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string out(n, '\0');
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    uint32_t v = gen();
    std::memcpy(&out[i], &v, 4);
  }
  for (; i < n; ++i) out[i] = static_cast<char>(gen());
  return out;
}

int RunCommand(const std::string& command, std::string* out) {
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0) text.append(buf, n);
  int status = ::pclose(p);
  if (out) *out = text;
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}
