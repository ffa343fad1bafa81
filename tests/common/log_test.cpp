// The log writer: exact line formats, level handling, the dated file and its day roll,
// the size rule and the start-up sweep, all on real files with a fake clock.
#include "common/log.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>

#include "common/checks.h"
#include "common/tracestack.h"
#include "platform/fileenv.h"
#include "support/fakeclock.h"
#include "support/filefault.h"
#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

class LogTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    logcontrol::SetClock(&m_clock);
    m_base = PathIn("log/ostrel.log");
  }
  void Init(int level, uint32_t flags = 0, int days = -1) { LogInit("Ostrel", m_base, level, flags, days); }
  std::string Dated(const char* date) { return PathIn(std::string("log/ostrel_") + date + ".log"); }

  FakeClock m_clock{1709632800};  // 2024-03-05 10:00:00 UTC
  std::string m_base;
};

// Below threshold 5 a line has no source field; from 5 on it has one. The file is 0600.
TEST_F(LogTest, LineFormatsAndThePrivateDatedFile) {
  Init(4);
  LogWriteFormat(kLogInfo, "/src/common/some_unit.cpp", 42, "hello %s %d", "world", 7);
  Init(5);
  LogWriteFormat(kLogWarn, "/src/common/some_unit.cpp", 42, "x");
  std::string text = ReadFileBytes(Dated("2024_03_05"));
  std::regex re(
      "^2024/03/05 10:00:00 \tI \tOstrel \t[0-9a-f]{8}:[0-9a-f]{8} \thello world 7\r\n"
      "2024/03/05 10:00:00 \tW \tOstrel \t[0-9a-f]{8}:[0-9a-f]{8} \tx \tFL:some_unit\\.cpp\\(42\\)\r\n$");
  EXPECT_TRUE(std::regex_match(text, re)) << text;
  struct stat st {};
  ASSERT_EQ(::stat(Dated("2024_03_05").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Levels run 0..9 whatever the threshold: the edges 0 and 9 are written when the
// threshold allows them, -1 and 10 never, not even under a threshold above 9.
TEST_F(LogTest, LevelsOutsideTheRangeAreDropped) {
  struct Row { int threshold; const char* letters; } rows[] = {
      {-1, ""}, {0, "EE"}, {8, "EE"}, {9, "EETT"}, {10, "EETT"}, {1000, "EETT"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.threshold);
    Init(r.threshold);
    LogCapture cap;
    for (int level : {-1, 0, 9, 10}) {
      LogWrite(level, "f.cpp", 1, "m");
      LogWriteFormat(level, "f.cpp", 1, "%s", "m");
    }
    std::string letters;
    for (const auto& line : cap.Lines()) letters += line.substr(line.find(" \t") + 2, 1);
    EXPECT_EQ(letters, r.letters) << cap.All();
    for (int level : {-1, 10}) EXPECT_FALSE(LogIsEnabled(level)) << level;
  }
}

// Gives the first write to a log file only the bytes keep(count) and forgets it.
class ShortWriteEnv : public FileEnvWrapper {
 public:
  ShortWriteEnv() : FileEnvWrapper(FileEnv::Default()) {}
  std::function<size_t(size_t)> keep;
  ssize_t Write(int fd, const void* buffer, size_t count) override {
    if (!keep) return target()->Write(fd, buffer, count);
    size_t part = keep(count);
    keep = nullptr;
    return target()->Write(fd, buffer, part);
  }
};

// A disk that fills in the middle of a line leaves the start of it in the file (a
// short write, then ENOSPC); the next line ends that fragment first, so it stands
// whole on a line of its own. A fragment another process left is ended the same way.
TEST_F(LogTest, ALineCutByAFullDiskIsEndedBeforeTheNextLine) {
  struct Row { const char* what; std::function<size_t(size_t)> keep; const char* fragment; } rows[] = {
      {"half the line written, then ENOSPC", [](size_t n) { return n / 2; }, nullptr},
      {"all but the line feed written, then ENOSPC", [](size_t n) { return n - 1; }, nullptr},
      {"a fragment another process left", nullptr, "2024/03/05 09:59:59 \tI \tOther \t0000"},
  };
  ShortWriteEnv shortWrites;
  FaultFileEnv env(&shortWrites);
  logcontrol::SetFileEnv(&env);
  Init(4);
  std::string path = Dated("2024_03_05");
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    ::unlink(path.c_str());
    LogCapture cap;
    std::string fragment;
    if (r.fragment) {
      fragment = r.fragment;
      WriteFileBytes(path, fragment);
    } else {
      size_t kept = 0;
      shortWrites.keep = [&](size_t n) { return kept = r.keep(n); };
      env.Fail(FileOp::kWrite, "/log/", ENOSPC, 1);
      LogWrite(kLogInfo, "f.cpp", 1, "the line the disk cuts");
      env.Clear();
      ASSERT_EQ(cap.Lines().size(), 1u);
      ASSERT_GT(kept, 0u);
      fragment = cap.Lines()[0].substr(0, kept);
      ASSERT_EQ(ReadFileBytes(path), fragment);
    }
    LogWrite(kLogInfo, "f.cpp", 1, "the next line");
    ASSERT_FALSE(cap.Lines().empty());
    std::string next = cap.Lines().back();
    std::string ended = fragment.back() == '\r' ? fragment + "\n" : fragment + "\r\n";
    EXPECT_EQ(ReadFileBytes(path), ended + next);
  }
  logcontrol::SetFileEnv(nullptr);
}

// Sets an environment variable for the scope (nullptr unsets it).
class ScopedEnvVar {
 public:
  ScopedEnvVar(const char* name, const char* value) : m_name(name) {
    const char* old = std::getenv(name);
    if (old) m_old = old;
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnvVar() {
    if (m_old)
      ::setenv(m_name, m_old->c_str(), 1);
    else
      ::unsetenv(m_name);
  }

 private:
  const char* m_name;
  std::optional<std::string> m_old;
};

// The lock shared with the other processes is a file of the user's runtime folder or,
// without one, of the configuration folder (made when missing), never of the shared
// temp folder, where another user could hold it first.
TEST_F(LogTest, TheSharedLockIsAFileOfTheUsersOwnFolders) {
  const std::string lockName = "_#_LogFile_Z_MutxName_#_.lock";
  std::string tmp = PathIn("tmp");
  ASSERT_EQ(::mkdir(tmp.c_str(), 0777), 0);
  ScopedEnvVar tmpdir("TMPDIR", tmp.c_str());
  const std::string config = PathIn("data/Tarvelin/ostrel");
  struct Row { const char* what; std::optional<std::string> runtime; std::string folder; } rows[] = {
      {"no runtime folder", std::nullopt, config},
      {"a runtime folder that is not absolute", "runtime", config},
      {"the user's runtime folder", PathIn("runtime"), PathIn("runtime")},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    RemoveTree(PathIn("data/Tarvelin"));
    ScopedEnvVar env("XDG_RUNTIME_DIR", r.runtime ? r.runtime->c_str() : nullptr);
    Init(4);
    LogWrite(kLogInfo, "f.cpp", 1, "a line");
    EXPECT_TRUE(FileExists(r.folder + "/" + lockName));
    EXPECT_TRUE(std::filesystem::is_empty(tmp));
  }
}

TEST_F(LogTest, PauseComesBeforeTheLevelTestForLogWriteOnly) {
  logcontrol::SetPauseMs(3);
  Init(4);
  int before = m_clock.SleepCount();
  LogWriteFormat(kLogTrace, "f.cpp", 1, "dropped %d", 1);
  EXPECT_EQ(m_clock.SleepCount(), before) << "a dropped formatted line must not pause";
  LogWrite(kLogTrace, "f.cpp", 1, "dropped");
  EXPECT_EQ(m_clock.SleepCount(), before + 1);
  EXPECT_EQ(m_clock.TotalSlept(), std::chrono::milliseconds(3));
  EXPECT_FALSE(FileExists(Dated("2024_03_05")));
}

// The stored day starts as none, so a start on 1 January (day 0) still opens its file;
// the roll compares year and day.
TEST_F(LogTest, DayRollsAtMidnightAndAcrossYears) {
  struct Row { int64_t now; const char* date; } rows[] = {
      {1704067200, "2024_01_01"},  // 00:00:00, day 0 of the year
      {1709683199, "2024_03_05"},  // 23:59:59, day 64
      {1741219200, "2025_03_06"},  // 00:00:00, day 64 of the next year
      {1741305600, "2025_03_07"},
  };
  m_clock.SetNow(rows[0].now);
  Init(4);
  for (const auto& r : rows) {
    m_clock.SetNow(r.now);
    LogWrite(kLogInfo, "f.cpp", 1, r.date);
    EXPECT_NE(ReadFileBytes(Dated(r.date)).find(r.date), std::string::npos) << r.date;
  }
}

TEST_F(LogTest, InitMovesTodaysLinesToTheNewBase) {
  LogInit("Ostrel", PathIn("log/early.log"), 4, 0, -1);
  LogWrite(kLogInfo, "f.cpp", 1, "early");
  Init(4);
  LogWrite(kLogInfo, "f.cpp", 1, "late");
  EXPECT_NE(ReadFileBytes(PathIn("log/early_2024_03_05.log")).find("early"), std::string::npos);
  EXPECT_NE(ReadFileBytes(Dated("2024_03_05")).find("late"), std::string::npos);
}

TEST_F(LogTest, SizeRuleComparesTheFull64BitSize) {
  struct Row { int64_t size; bool deleted; } rows[] = {
      {104857600, false}, {104857601, true}, {(int64_t(1) << 32) + 1, true}};  // low 32 bits: 1 byte
  for (const auto& r : rows) {
    SCOPED_TRACE(r.size);
    Init(4);
    std::string path = Dated("2024_03_05");
    ::unlink(path.c_str());
    // The line counter is process-wide, so one of 100 lines meets the check; before
    // each line the (sparse) file is set to the size under test.
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
      WriteFileBytes(path, "");
      ASSERT_EQ(::truncate(path.c_str(), r.size), 0);
      LogWrite(kLogInfo, "f.cpp", 1, "line");
      struct stat now {};
      gone = ::stat(path.c_str(), &now) == 0 && now.st_size < r.size;
    }
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    if (r.deleted)
      EXPECT_LT(st.st_size, 100 * 200);
    else
      EXPECT_GE(st.st_size, r.size);
  }
}

TEST_F(LogTest, StartupSweepDeletesOldFilesOfAnyName) {
  std::string folder = PathIn("log");
  int64_t now = 1709632800;
  struct Row { const char* name; int64_t age; bool kept; } rows[] = {
      {"old.log", 3 * 86400 + 1, false}, {"old.txt", 3 * 86400 + 1, false}, {"recent.log", 3 * 86400 - 60, true},
      {"today.dmp", 0, true},            {"sub", 10 * 86400, true}};  // a folder
  ::mkdir(folder.c_str(), 0700);
  ::mkdir((folder + "/sub").c_str(), 0700);
  for (const auto& r : rows) {
    std::string p = folder + "/" + r.name;
    if (!FileExists(p)) WriteFileBytes(p, "x");
    struct timeval tv[2] = {{static_cast<time_t>(now - r.age), 0}, {static_cast<time_t>(now - r.age), 0}};
    ASSERT_EQ(::utimes(p.c_str(), tv), 0);
  }
  Init(4, 1, -1);  // -1 keeps everything
  for (const auto& r : rows) EXPECT_TRUE(FileExists(folder + "/" + r.name)) << r.name;
  Init(4, 0x10000001, 3);
  for (const auto& r : rows) EXPECT_EQ(FileExists(folder + "/" + r.name), r.kept) << r.name;
}

TEST_F(LogTest, LongChineseTextIsCutOnACharacterBoundary) {
  Init(4);
  std::string text;
  for (int i = 0; i < 1500; ++i) text += "中";
  LogCapture cap;
  LogWriteFormat(kLogInfo, "f.cpp", 1, "%s", text.c_str());
  auto lines = cap.Lines();
  ASSERT_EQ(lines.size(), 1u);
  const std::string& line = lines[0];
  EXPECT_LE(line.size(), 1099u);
  EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
  std::string body = line.substr(0, line.size() - 2);
  // Every character of the text part is whole.
  size_t start = body.find("中");
  ASSERT_NE(start, std::string::npos);
  EXPECT_EQ((body.size() - start) % 3, 0u);
}

// The check conventions: texts, levels and what each returns.
HRESULT BoolCheck(bool ok) { ERROR_CHECK_BOOL(ok); return S_OK; }
bool FlagCheck(bool ok) { ERROR_CHECK_BOOL_FLAG(ok); return true; }
HRESULT BoolExCheck(bool ok) { ERROR_CHECK_BOOLEX_MSG(ok, "path %s", "/x"); return S_OK; }
HRESULT ComCheck(HRESULT hRt) { ERROR_CHECK_COM(hRt); return S_OK; }
HRESULT ComMsgCheck(HRESULT hr) { ERROR_CHECK_COM_MSG(hr, "call %d failed", 3); return S_OK; }
HRESULT SuccessCheck(HRESULT hr) { ERROR_CHECK_SUCCESS_MSG(hr, "%s", "must be S_OK"); return hr; }
HRESULT Traced(HRESULT result, FakeClock& clock) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE("CUnit::Traced()", &hr);
  clock.Advance(std::chrono::milliseconds(1050));
  hr = result;
  return hr;
}

TEST_F(LogTest, ChecksWriteTheirTextsAndReturnTheFailure) {
  Init(9);
  LogCapture cap;
  EXPECT_EQ(BoolCheck(true), S_OK);
  EXPECT_EQ(BoolCheck(false), E_FAIL);
  EXPECT_FALSE(FlagCheck(false));
  EXPECT_EQ(BoolExCheck(false), E_FAIL);
  EXPECT_EQ(ComCheck(E_CV_TARGET_EXISTS), E_CV_TARGET_EXISTS);
  EXPECT_EQ(ComCheck(S_FALSE), S_OK);
  EXPECT_EQ(ComMsgCheck(E_CV_DB_FULL), E_CV_DB_FULL);
  EXPECT_EQ(SuccessCheck(S_FALSE), S_FALSE);
  EXPECT_EQ(Traced(E_CV_LOCAL_LOCKED, m_clock), E_CV_LOCAL_LOCKED);
  int x = 0;
  ASSERT(x == 1);
  CHECK_COM(E_CV_CURL_CANCEL);
  CHECK_BOOL_MSG(x == 1, "url %s", "http://h/");

  struct Row { const char* letter; const char* text; } rows[] = {
      {"W", "\tERROR_CHECK_BOOL:ok \tFL:log_test.cpp("},
      {"W", "\tERROR_CHECK_BOOLEX:okMSG: path /x \tFL:"},
      {"W", "\tERROR_CHECK_COM hr = 80041018: hRt \tFL:"},
      {"E", "\tERROR_CHECK_COM: hr = 80048003 MSG: call 3 failed \tFL:"},
      {"E", "\tERROR_CHECK_BOOL:hr == S_OK--MSG:must be S_OK \tFL:"},
      {"T", "\tCTraceStack In, CUnit::Traced() : (null) \tFL:"},
      {"T", "\tCTraceStack Out,CUnit::Traced() : hr = 80046002, UserTime: 1'.50' \tFL:"},
      {"E", "\t*ASSERT*: x == 1 \tFL:"},
      {"T", "\tCHECK_COM hr = 80041014: E_CV_CURL_CANCEL \tFL:"},
      {"W", "\tCHECK_BOOL:x == 1MSG: url http://h/ \tFL:"},
  };
  std::string all = cap.All();
  for (const auto& r : rows) {
    bool found = false;
    for (const auto& l : cap.Lines())
      if (l.find(r.text) != std::string::npos && l.find(std::string(" \t") + r.letter + " \t") != std::string::npos)
        found = true;
    EXPECT_TRUE(found) << r.text << "\n" << all;
  }
  EXPECT_EQ(cap.Count("ERROR_CHECK_COM hr"), 1) << "a success code is not logged";
}

}  // namespace
