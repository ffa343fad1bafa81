// The local service keeps its state in a folder (--state) across restarts: what
// clients see through its own routes is the same after a restart, contents download
// byte for byte, a change torn or damaged by a crash is dropped with everything after
// it, and a folder that can no longer be written ends the service without losing a
// change it answered.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "peerclient.h"

namespace {

class ServiceStateTest : public LocalServiceTest {
 protected:
  std::vector<std::string> ServiceArgs() override { return {"--state", PathIn("state")}; }

  void SetUp() override {
    LocalServiceTest::SetUp();
    peer = std::make_unique<PeerClient>(Service(), Root());
  }
  Reply As(const nlohmann::json& who, const std::string& path, const Params& params = {}) {
    return CallApi(Service(), path, params, "2", who);
  }
  std::string New(const nlohmann::json& who, const char* what, const std::string& parent, const std::string& name) {
    Reply r = As(who, std::string("/xsvr/") + what + "/", {{"parentId", parent}, {"name", name}});
    EXPECT_EQ("ok", r.word) << r.body;
    return r.values["fileId"];
  }
  // The one journal of the state folder (a start leaves one, and nothing here grows it
  // enough for another).
  std::string Journal() {
    std::vector<std::string> found;
    for (const auto& e : std::filesystem::directory_iterator(PathIn("state")))
      if (e.path().filename().string().starts_with("journal.")) found.push_back(e.path().string());
    EXPECT_EQ(1u, found.size());
    return found.empty() ? "" : found[0];
  }

  std::unique_ptr<PeerClient> peer;
};

TEST_F(ServiceStateTest, ARestartKeepsWhatClientsSeeAndEveryContent) {
  const nlohmann::json alice = FsAccount(Service(), "alice"), bob = FsAccount(Service(), "bob");
  const std::string aliceId = alice["userId"], bobId = bob["userId"];
  // Alice signs in as the client does: a token and a device of her own.
  Reply login = CallApi(Service(), "/xsvr/login/",
                        {{"user", "alice"}, {"password", "pw-alice"}, {"deviceId", "ostrel-0123|pc"},
                         {"clientName", "ostrel"}, {"clientVersion", "1.0.0.1"}});
  ASSERT_EQ("ok", login.word);
  const nlohmann::json me = {{"token", login.values["token"]}};
  const nlohmann::json expired = FsControl(Service(), "/test/fs/token", {{"userId", aliceId}, {"expired", true}});
  FsControl(Service(), "/test/fs/global-version", {{"version", "3"}});

  const std::string docs = New(me, "newFolder", "", "Docs"), sub = New(me, "newFolder", docs, "Sub");
  const std::string old = New(me, "newFolder", "", "Old");
  New(me, "newFolder", old, "inner");
  const std::string gone = New(me, "newFile", docs, "gone.txt");
  // A name of bytes that are no UTF-8 (the XML API takes them as they come).
  New(me, "newFolder", sub, "caf\xe9 \xff");
  const std::string blocksFile = New(me, "newFile", docs, "blocks.bin"), wholeFile = New(me, "newFile", sub, "w.txt");
  const std::string big = RandomBytes((size_t(4) << 20) + 1000, 1), small = RandomBytes(70000, 2);
  ASSERT_EQ("ok", peer->UploadByBlocks(me, blocksFile, 0, big).word);
  ASSERT_EQ("ok", peer->UploadByBlocks(me, blocksFile, 1, small).word);
  ASSERT_EQ("ok", peer->UploadWhole(me, wholeFile, 0, "first text").word);
  ASSERT_EQ("ok", peer->UploadWhole(me, wholeFile, 1, "second text").word);
  const std::string lzma = FsSeedFile(Service(), aliceId, "packed.log", std::string(100000, 'a'), "blocks-lzma", docs)["fileId"];
  const std::string seven = FsSeedFile(Service(), bobId, "bob.txt", "bob's words", "whole-7z")["fileId"];
  // Downloads in the other protocol convert a content once; the form made is kept.
  EXPECT_EQ("second text", peer->DownloadByBlocks(me, wholeFile));
  EXPECT_EQ(small, peer->DownloadWhole(me, blocksFile));
  EXPECT_EQ("ok", As(me, "/xsvr/asmShare/", {{"fileId", docs}, {"sharers", bob["email"]}, {"writable", "true"},
                                             {"sendMail", "false"}}).word);
  New(bob, "newFolder", docs, "from bob");
  EXPECT_EQ("ok", As(me, "/xsvr/rename/", {{"fileId", sub}, {"name", "Renamed"}}).word);
  EXPECT_EQ("ok", As(me, "/xsvr/move/", {{"fileId", wholeFile}, {"parentId", ""}, {"name", "moved.txt"}}).word);
  EXPECT_EQ("ok", As(me, "/xsvr/setModTime/", {{"fileId", blocksFile}, {"modTime", "2024-01-02 03:04:05"}}).word);
  EXPECT_EQ("ok", As(me, "/xsvr/delete/", {{"fileId", old}}).word);
  EXPECT_EQ("ok", As(me, "/xsvr/delete/", {{"fileId", gone}}).word);

  const std::vector<std::string> files = {blocksFile, wholeFile, lzma, seven};
  auto views = [&] {
    std::map<std::string, std::string> v;
    for (const auto& [who, name] : {std::pair{me, "alice"}, std::pair{bob, "bob"}}) {
      const std::vector<std::pair<std::string, Params>> reads = {
          {"/xsvr/getMaxVers/", {}}, {"/xsvr/getSpace/", {}}, {"/xsvr/getGlobalVersion", {}},
          {"/xsvr/dir/", {{"fileId", ""}}}, {"/xsvr/dir/", {{"fileId", docs}}}, {"/xsvr/dir/", {{"fileId", sub}}},
          {"/xsvr/getRecycle/", {{"opVer", "0"}, {"size", "0"}}},
          {"/xsvr/asmGetAllSharedFiles/", {{"type", "out"}}}, {"/xsvr/asmGetAllSharedFiles/", {{"type", "toMe"}}},
          {"/xsvr/fullTextSearch", {{"searchText", "e"}, {"searchType", "0"}}}};
      for (const auto& [path, params] : reads) {
        std::string key = std::string(name) + " " + path + (params.empty() ? "" : " " + params[0].second);
        v[key] = As(who, path, params).body;
      }
      for (const auto& id : files) v[std::string(name) + " getItemInfo " + id] = As(who, "/xsvr/getItemInfo/", {{"fileId", id}}).body;
    }
    v["state alice"] = FsState(Service(), aliceId).dump();
    v["state bob"] = FsState(Service(), bobId).dump();
    v["blocks held"] = XferState(Service())["blocks"].dump();
    for (const auto& id : files) {
      const nlohmann::json x = XferState(Service(), id);  // its checks are not kept
      v["contents " + id] = x["fileVer"].dump() + x["versions"].dump();
    }
    return v;
  };
  const auto before = views();
  ASSERT_TRUE(Service().Restart());
  const auto after = views();
  for (const auto& [key, body] : before) EXPECT_EQ(body, after.at(key)) << key;

  // Tokens: hers and bob's still sign requests, the expired one stays expired.
  EXPECT_EQ("clientTokenExpired", As(expired, "/xsvr/getMaxVers/").word);
  EXPECT_EQ("ok", CallApi(Service(), "/xsvr/login/", {{"user", "alice"}, {"password", "pw-alice"}, {"deviceId", "d"}}).word);
  // Every kept version downloads as it was, in both protocols.
  const struct {
    const nlohmann::json* who;
    std::string fileId;
    bool previous;
    std::string content;
  } rows[] = {{&me, blocksFile, false, small},      {&me, blocksFile, true, big},
              {&me, wholeFile, false, "second text"}, {&me, wholeFile, true, "first text"},
              {&me, lzma, false, std::string(100000, 'a')}, {&bob, seven, false, "bob's words"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fileId + (row.previous ? " previous" : " current"));
    EXPECT_EQ(row.content, peer->DownloadWhole(*row.who, row.fileId, row.previous));
    EXPECT_EQ(row.content, peer->DownloadByBlocks(*row.who, row.fileId, row.previous));
  }
  // Changes go on from where they were: new ids, the next version, the bin.
  const int64_t opVer = std::stoll(As(me, "/xsvr/getMaxVers/").values["opVer"]);
  const std::string later = New(me, "newFolder", "", "Later");
  EXPECT_GT(std::stoll(later), std::stoll(seven));
  EXPECT_EQ(std::to_string(opVer + 1), As(me, "/xsvr/getMaxVers/").values["opVer"]);
  EXPECT_EQ("targetExist", As(me, "/xsvr/newFolder/", {{"parentId", docs}, {"name", "BLOCKS.bin"}}).word);
  EXPECT_EQ("ok", As(me, "/xsvr/recover/", {{"fileId", old}, {"parentId", ""}}).word);
  EXPECT_EQ("3", peer->UploadWhole(me, wholeFile, 2, "third text").values["fileVer"]);
  EXPECT_EQ("second text", peer->DownloadWhole(me, wholeFile, true));
  EXPECT_EQ("ok", As(me, "/xsvr/cleanRecycle/", {{"fileId", ""}}).word);
}

// Each change is one frame of the journal: cut short in the middle, or with a byte
// changed, it is dropped at start together with every change after it, and the state
// is the one before it.
TEST_F(ServiceStateTest, ATornOrDamagedChangeIsDroppedWithEverythingAfterIt) {
  const nlohmann::json alice = FsAccount(Service(), "alice"), bob = FsAccount(Service(), "bob");
  const std::string aliceId = alice["userId"], bobId = bob["userId"];
  std::string folder, file;
  const std::vector<std::function<void()>> changes = {
      [&] { folder = New(alice, "newFolder", "", "A"); },
      [&] { file = New(alice, "newFile", folder, "a.txt"); },
      [&] { As(alice, "/xsvr/rename/", {{"fileId", file}, {"name", "b.txt"}}); },
      [&] { As(alice, "/xsvr/asmShare/", {{"fileId", folder}, {"sharers", bob["email"]}, {"writable", "false"}, {"sendMail", "false"}}); },
      [&] { FsControl(Service(), "/test/fs/item", {{"userId", bobId}, {"name", "seeded"}, {"size", 5}}); },
      [&] { As(alice, "/xsvr/delete/", {{"fileId", folder}}); },
      [&] { FsControl(Service(), "/test/fs/versions", {{"userId", aliceId}, {"opVer", 500}}); },
      [&] { As(alice, "/xsvr/recover/", {{"fileId", folder}, {"parentId", ""}}); },
  };
  auto state = [&] { return FsState(Service(), aliceId).dump() + FsState(Service(), bobId).dump(); };
  const std::string journal = Journal();
  std::vector<uint64_t> ends = {std::filesystem::file_size(journal)};
  std::vector<std::string> states = {state()};
  for (const auto& change : changes) {
    change();
    ends.push_back(std::filesystem::file_size(journal));
    states.push_back(state());
    ASSERT_GT(ends.back(), ends[ends.size() - 2]) << "every change is written";
  }
  ASSERT_TRUE(Service().Kill());
  ASSERT_EQ(0, RunCommand("cp -a " + ShellQuote(PathIn("state")) + " " + ShellQuote(PathIn("kept"))));
  auto fresh = [&] {
    return RunCommand("rm -rf " + ShellQuote(PathIn("state")) + " && cp -a " + ShellQuote(PathIn("kept")) + " " +
                      ShellQuote(PathIn("state"))) == 0;
  };

  for (size_t i = 0; i < changes.size(); ++i) {
    for (const char* damage : {"cut", "flip"}) {
      SCOPED_TRACE(std::string(damage) + " in change " + std::to_string(i + 1));
      ASSERT_TRUE(fresh());
      const uint64_t middle = ends[i] + (ends[i + 1] - ends[i]) / 2;
      if (damage == std::string("cut")) {
        ASSERT_EQ(0, ::truncate(journal.c_str(), static_cast<off_t>(middle)));
      } else {
        std::string bytes = ReadFileBytes(journal);
        bytes[middle] = static_cast<char>(bytes[middle] ^ 0x20);
        WriteFileBytes(journal, bytes);
      }
      ASSERT_TRUE(Service().Restart());
      EXPECT_EQ(states[i], state());
      EXPECT_EQ(0, Service().Stop());
    }
  }
  ASSERT_TRUE(fresh());
  ASSERT_TRUE(Service().Restart());
  EXPECT_EQ(states.back(), state()) << "the journal as it was holds every change";
}

// A damaged snapshot or blob is not taken for a state: the service refuses to start.
TEST_F(ServiceStateTest, ADamagedSnapshotOrBlobStopsTheStart) {
  const nlohmann::json alice = FsAccount(Service(), "alice");
  FsSeedFile(Service(), alice["userId"], "f", "content of f", "blocks");
  FsSeedFile(Service(), alice["userId"], "g", "content of g", "whole");
  ASSERT_EQ(0, Service().Stop());
  ASSERT_EQ(0, RunCommand("cp -a " + ShellQuote(PathIn("state")) + " " + ShellQuote(PathIn("kept"))));
  std::vector<std::string> blobs;
  for (const auto& e : std::filesystem::directory_iterator(PathIn("kept/blobs"))) blobs.push_back(e.path().filename());
  ASSERT_EQ(2u, blobs.size()) << "one block, one whole file";
  const std::string path = OSTREL_LOCALSVC_PATH;
  for (const std::string& victim : {std::string("snapshot"), "blobs/" + blobs[0], "blobs/" + blobs[1]}) {
    SCOPED_TRACE(victim);
    for (const char* damage : {"flip", "remove"}) {
      ASSERT_EQ(0, RunCommand("rm -rf " + ShellQuote(PathIn("state")) + " && cp -a " + ShellQuote(PathIn("kept")) + " " +
                              ShellQuote(PathIn("state"))));
      const std::string file = PathIn("state/" + victim);
      if (damage == std::string("flip")) {
        std::string bytes = ReadFileBytes(file);
        bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 1);
        WriteFileBytes(file, bytes);
      } else if (victim != "snapshot") {  // a state without a snapshot is an empty one
        ASSERT_EQ(0, ::unlink(file.c_str()));
      } else {
        continue;
      }
      EXPECT_EQ(1, RunCommand(path + " --state " + ShellQuote(PathIn("state")) + " 2>/dev/null")) << damage;
    }
  }
}

// Starts the service with its files limited to limit bytes (RLIMIT_FSIZE), so that the
// state folder's writes fail once the journal reaches it. Returns the pid, *port set.
pid_t StartWithFileLimit(const std::string& stateDir, rlim_t limit, int* port) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    rlimit r{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &r);
    ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
    ::dup2(fds[1], STDOUT_FILENO);
    ::execl(OSTREL_LOCALSVC_PATH, OSTREL_LOCALSVC_PATH, "--state", stateDir.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string line;
  char c = 0;
  pollfd p{fds[0], POLLIN, 0};
  while (::poll(&p, 1, 30000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') line += c;
  ::close(fds[0]);
  *port = line.starts_with("listening on 127.0.0.1:") ? std::atoi(line.c_str() + 23) : 0;
  return pid;
}

// The exit status of pid once it ends (at most 30 s; then it is killed and -1).
int ExitStatus(pid_t pid) {
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  pollfd p{pidfd, POLLIN, 0};
  if (pidfd < 0 || ::poll(&p, 1, 30000) <= 0) ::kill(pid, SIGKILL);
  if (pidfd >= 0) ::close(pidfd);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

using ServiceStateFailureTest = OstrelTest;

// Once the journal cannot grow, the change that could not be written answers 500 and
// the service ends with status 1; started again, it holds every change it answered ok.
TEST_F(ServiceStateFailureTest, AFolderThatCannotBeWrittenEndsTheServiceWithNothingAnsweredLost) {
  int port = 0;
  const pid_t pid = StartWithFileLimit(PathIn("state"), 64 * 1024, &port);
  ASSERT_GT(port, 0);
  HttpReply r = HttpExchange(port, "POST", "/test/fs/account", R"({"user":"alice","password":"pw","userId":"a1"})");
  ASSERT_EQ(200, r.status) << r.body;
  std::vector<std::string> answered;
  for (int k = 0; k < 100000; ++k) {
    const std::string name = "item " + std::to_string(k);
    r = HttpExchange(port, "POST", "/test/fs/item", nlohmann::json{{"userId", "a1"}, {"name", name}}.dump());
    if (r.status != 200) break;
    answered.push_back(name);
  }
  EXPECT_EQ(500, r.status) << r.body;
  EXPECT_NE(std::string::npos, r.body.find("the state cannot be kept")) << r.body;
  EXPECT_EQ(1, ExitStatus(pid));
  ASSERT_GT(answered.size(), 10u);

  LocalService again;
  ASSERT_TRUE(again.Start({"--state", PathIn("state")}));
  const nlohmann::json state = FsState(again, "a1");
  std::vector<std::string> names;
  for (const auto& item : state["items"]) names.push_back(item["name"]);
  EXPECT_EQ(answered, names) << "every item answered, in order, and nothing else";
  EXPECT_EQ(static_cast<int64_t>(answered.size()), state["opVer"]);
  EXPECT_EQ(0, again.Stop());
}

}  // namespace
