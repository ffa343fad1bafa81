// Whole files and folder trees through the process-wide logic adapter, on the real
// sync centre and components, against the test's own local service: the fixture signs
// a user in, waits for the background transfers by watching the adapter's task list,
// and after every test checks that the client's temp folder holds nothing but resume
// folders of downloads that did not end.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/log.h"
#include "core/filesystem/transfers.h"
#include "core/logicadapter/logicadapter.h"
#include "core/synccenter.h"
#include "support/fsseed.h"
#include "support/peercodec.h"
#include "support/scriptedmainwindow.h"
#include "support/serviceclient.h"

inline constexpr size_t kMiB = size_t(1) << 20;

// Wakes a waiting test whenever an engine thread writes a log line (the heartbeat
// writes some every few hundred milliseconds), so that a test waits on what the
// engine does rather than for a time; and notes which watched texts a line held.
// Installs itself as the log's one line observer for its life.
class EngineLines {
 public:
  EngineLines() : m_tester(std::this_thread::get_id()) {
    logcontrol::SetLineObserver([this](int, const std::string& line) {
      std::lock_guard<std::mutex> guard(m_mutex);
      for (auto& [text, seen] : m_watched) seen = seen || line.find(text) != std::string::npos;
      if (std::this_thread::get_id() != m_tester) ++m_lines;
      m_added.notify_all();
    });
  }
  ~EngineLines() { logcontrol::SetLineObserver(nullptr); }
  EngineLines(const EngineLines&) = delete;
  EngineLines& operator=(const EngineLines&) = delete;

  // Checks done() now and after every line an engine thread writes, until it holds or
  // bound has passed (a bound for a hang only): whether it holds.
  template <typename Done>
  bool WaitUntil(Done done, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
      uint64_t seen;
      {
        std::lock_guard<std::mutex> guard(m_mutex);
        seen = m_lines;
      }
      if (done()) return true;
      std::unique_lock<std::mutex> guard(m_mutex);
      if (!m_added.wait_until(guard, deadline, [&] { return m_lines != seen; })) return done();
    }
  }
  // From now on, notes whether a line holds text.
  void Watch(const std::string& text) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_watched[text] = false;
  }
  bool Seen(const std::string& text) {
    std::lock_guard<std::mutex> guard(m_mutex);
    auto it = m_watched.find(text);
    return it != m_watched.end() && it->second;
  }
  // Waits (bounded, for a hang only) for a line holding the watched text.
  bool WaitForSeen(const std::string& text, std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> guard(m_mutex);
    return m_added.wait_for(guard, bound, [&] { return m_watched[text]; });
  }

 private:
  const std::thread::id m_tester;
  std::mutex m_mutex;
  std::condition_variable m_added;
  uint64_t m_lines = 0;
  std::map<std::string, bool> m_watched;  // text -> seen
};

// One file or folder of a tree: its path below the tree's root ('/' between
// elements), and a file's bytes.
struct TreeEntry {
  bool folder = false;
  std::string bytes;
  bool operator==(const TreeEntry&) const = default;
};
using Tree = std::map<std::string, TreeEntry>;

// Each entry's path, and a file's size and SHA-1, one a line: for failure messages.
inline std::string Describe(const Tree& tree) {
  std::string out;
  for (const auto& [rel, entry] : tree)
    out += rel + (entry.folder ? "/" : " " + std::to_string(entry.bytes.size()) + " " + PeerSha1(entry.bytes)) + "\n";
  return out;
}

// The local tree below root, links and markers included as they are.
inline Tree ReadLocalTree(const std::string& root) {
  namespace fs = std::filesystem;
  Tree tree;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string rel = fs::relative(e.path(), root).string();
    tree[rel] = e.is_directory() ? TreeEntry{true, ""} : TreeEntry{false, ReadFileBytes(e.path().string())};
  }
  return tree;
}

// One cloud item below a listed folder.
struct CloudEntry {
  CFileItemRecord item;
  std::string cloudPath;  // "\" between elements
};

class TransfersTest : public ServiceClientTest {
 protected:
  std::vector<std::string> ServiceArgs() override {
    std::vector<std::string> args{"--push-hold-ms", "200"};
    if (!GlobalVersion().empty()) args.insert(args.end(), {"--global-version", GlobalVersion()});
    return args;
  }
  // The service's global version ("2" one encoded file, "3" blocks); "" its default.
  virtual std::string GlobalVersion() { return ""; }

  void SetUp() override {
    ServiceClientTest::SetUp();
    m_ann = FsAccount(Service(), "ann");
    ASSERT_EQ(S_OK, Adapter().Init(PathIn("cfg"), &m_window));
    ASSERT_EQ(S_OK, Adapter().Login("ann", "pw-ann", kLoginModeMyComputer));
    filesystemcontrol::ResetOversizeNotice();
    m_temp = Adapter().GetLocalSyncPath() + "/.tmp";
  }
  void TearDown() override {
    EXPECT_TRUE(m_lines.WaitUntil([&] { return Running().empty(); }, std::chrono::minutes(2)))
        << "a transfer still runs";
    EXPECT_TRUE(Leftovers().empty()) << "signed in: " << ::testing::PrintToString(Leftovers());
    EXPECT_EQ(S_OK, Adapter().UnInit());
    EXPECT_TRUE(Leftovers().empty()) << "signed out: " << ::testing::PrintToString(Leftovers());
    ServiceClientTest::TearDown();
  }

  static CLogicAdapter& Adapter() { return GetLogicAdapter(); }
  std::string UserId() { return m_ann["userId"].get<std::string>(); }

  std::vector<TaskListEntry> Running() {
    std::vector<TaskListEntry> running;
    EXPECT_EQ(S_OK, Adapter().GetTaskList(&running, nullptr));
    return running;
  }
  std::vector<TaskListEntry> Finished() {
    std::vector<TaskListEntry> finished;
    EXPECT_EQ(S_OK, Adapter().GetTaskList(nullptr, &finished));
    return finished;
  }
  // Waits until nothing runs or waits and count tasks are listed as finished, and no
  // download marker is left below markersUnder (its completion is handled then);
  // the finished tasks.
  std::vector<TaskListEntry> WaitForFinished(size_t count, const std::string& markersUnder = "") {
    std::vector<TaskListEntry> finished;
    const bool ended = m_lines.WaitUntil(
        [&] {
          if (!Running().empty()) return false;
          finished = Finished();
          return finished.size() >= count && (markersUnder.empty() || Markers(markersUnder).empty());
        },
        std::chrono::minutes(3));
    EXPECT_TRUE(ended) << "running " << Running().size() << ", finished " << Finished().size() << " of " << count;
    return finished;
  }
  // The ".otl" markers below root.
  static std::vector<std::string> Markers(const std::string& root) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
      if (it->path().extension() == ".otl") out.push_back(it->path().string());
    return out;
  }

  // The cloud items below folderId (named cloudPath), listed through the adapter from
  // the service, by their path below it ('/' between elements).
  std::map<std::string, CloudEntry> ListCloudTree(const std::string& folderId, const std::string& cloudPath,
                                                  const std::string& prefix = "") {
    std::map<std::string, CloudEntry> out;
    std::vector<CFileItemRecord> items;
    EXPECT_EQ(S_OK, Adapter().DirMyFile(folderId, cloudPath, &items, true)) << cloudPath;
    for (const CFileItemRecord& item : items) {
      const std::string rel = prefix + item.strName, path = cloudPath + "\\" + item.strName;
      out[rel] = CloudEntry{item, path};
      if (item.bIsDir) out.merge(ListCloudTree(item.strSvrId, path, rel + "/"));
    }
    return out;
  }
  // The id of the item named name in the cloud folder folderId; "" when there is none.
  std::string CloudId(const std::string& folderId, const std::string& name) {
    std::vector<CFileItemRecord> items;
    EXPECT_EQ(S_OK, Adapter().DirMyFile(folderId, "", &items, true));
    for (const CFileItemRecord& item : items)
      if (item.strName == name) return item.strSvrId;
    return "";
  }

  // Every entry of the temp folder but the signed-in store's work folder and its lock
  // (what the work folder holds is listed), and resume folders with the blocks they
  // keep.
  std::vector<std::string> Leftovers() {
    namespace fs = std::filesystem;
    static const std::regex kept("resume-[0-9a-f]{40}(/[0-9a-f]{46}\\.done)?");
    static const std::regex work("work-\\{[^/]*\\}(\\.lock)?");
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(m_temp, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      const std::string rel = fs::relative(it->path(), m_temp).string();
      if (std::regex_match(rel, kept) || std::regex_match(rel, work)) continue;
      out.push_back(rel);
    }
    return out;
  }

  // A sparse file of size bytes (zeros) made without writing them.
  void SparseFile(const std::string& path, int64_t size) {
    ASSERT_EQ(0, RunCommand("truncate -s " + std::to_string(size) + " " + ShellQuote(path)));
  }

  ScriptedMainWindow m_window;
  nlohmann::json m_ann;
  EngineLines m_lines;
  std::string m_temp;
};

// A test on each of the service's protocols: one encoded file ("2") and blocks ("3").
class TransfersVersionTest : public TransfersTest, public ::testing::WithParamInterface<std::string> {
 protected:
  std::string GlobalVersion() override { return GetParam(); }
};

inline std::string VersionName(const ::testing::TestParamInfo<std::string>& info) { return "Version" + info.param; }
