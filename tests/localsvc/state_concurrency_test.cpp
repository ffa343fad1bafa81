// A service keeping its state in a folder, killed (SIGKILL) while clients change things
// as fast as it answers and while its journal keeps folding into new snapshots: started
// again, it holds every change it answered, and its state is whole (it starts, every
// item lies in a folder of its owner, no folder holds one name twice).
#include <tinyxml2.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "peerclient.h"

namespace {

// Names are told apart ignoring ASCII case.
std::string Folded(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return s;
}

// One API request that may find the service gone: the reply, or nullopt when none
// came whole with HTTP 200.
std::optional<Reply> TryApi(int port, const std::string& path, const Params& params, const std::string& v = "2") {
  std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\" ?><nuvra>";
  for (const auto& [k, value] : params) body += "<" + k + ">" + value + "</" + k + ">";
  HttpReply http = HttpExchange(port, "POST", path, body + "</nuvra>", {"User-Agent:ostrel", "v:" + v});
  tinyxml2::XMLDocument doc;
  if (!http.ok || http.status != 200 || doc.Parse(http.body.data(), http.body.size()) != tinyxml2::XML_SUCCESS ||
      !doc.RootElement() || !doc.RootElement()->Attribute("result"))
    return std::nullopt;
  Reply r;
  r.body = http.body;
  r.word = doc.RootElement()->Attribute("result");
  for (auto* c = doc.RootElement()->FirstChildElement(); c; c = c->NextSiblingElement())
    if (!c->FirstChildElement()) r.values[c->Name()] = c->GetText() ? c->GetText() : "";
  return r;
}

// A new file of content in the root, uploaded whole; true once the upload was answered ok.
bool TryNewFileWithContent(int port, const std::string& token, const std::string& name, const std::string& content,
                           std::string* fileId) {
  auto made = TryApi(port, "/xsvr/newFile/", {{"token", token}, {"parentId", ""}, {"name", name}});
  if (!made || made->word != "ok") return false;
  *fileId = made->values["fileId"];
  auto ticket = TryApi(port, "/xsvr/requestUpload/",
                       {{"token", token}, {"fileVer", "0"}, {"size", std::to_string(content.size())},
                        {"fileId", *fileId}, {"sha1", PeerSha1(content)}});
  if (!ticket || ticket->word != "ok") return false;
  const std::string encoded = PeerFileHeader(content, ticket->values["fileKey"]);
  const std::string boundary = "----peer";
  const std::string body = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"FileCont\"; filename=\"x\"\r\n\r\n" +
                           encoded + "\r\n--" + boundary + "--\r\n";
  HttpReply r = HttpExchange(port, "POST",
                             "/wf/upload?stub=" + ticket->values["stub"] + "&uploadSize=" +
                                 std::to_string(encoded.size()) + "&uploadSha1=" + PeerSha1(encoded),
                             body, {"v:2", "Content-Type: multipart/form-data; boundary=" + boundary});
  return r.ok && r.status == 200 && r.body.find("result=\"ok\"") != std::string::npos;
}

class ServiceStateKillTest : public LocalServiceTest {
 protected:
  // A journal this small folds into a new snapshot every few changes.
  std::vector<std::string> ServiceArgs() override {
    return {"--state", PathIn("state"), "--state-compact-bytes", "20000", "--state-sync-ms", "5"};
  }
};

TEST_F(ServiceStateKillTest, EveryAnsweredChangeOutlivesAKillInTheMiddleOfWrites) {
  const nlohmann::json alice = FsAccount(Service(), "alice");
  const std::string token = alice["token"], userId = alice["userId"];
  std::set<std::string> folders, items;               // names answered ok
  std::vector<std::pair<std::string, std::string>> files;  // fileId, content
  size_t answered = 0;
  constexpr int kWorkers = 4;

  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::mutex mutex;
    std::condition_variable progress;
    size_t answeredThisRound = 0;
    std::atomic<bool> stop{false};
    const int port = Service().Port();
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
      workers.emplace_back([&, w] {
        for (int k = 0; !stop; ++k) {
          const std::string name = "r" + std::to_string(round) + " w" + std::to_string(w) + " " + std::to_string(k);
          bool ok = false;
          std::string fileId, content;
          if (k % 3 == 0) {
            auto r = TryApi(port, "/xsvr/newFolder/", {{"token", token}, {"parentId", ""}, {"name", name}});
            ok = r && r->word == "ok";
          } else if (k % 3 == 1) {
            HttpReply r = HttpExchange(port, "POST", "/test/fs/item",
                                       nlohmann::json{{"userId", userId}, {"name", name}, {"size", k}}.dump());
            ok = r.ok && r.status == 200;
          } else {
            content = RandomBytes(1000 + static_cast<size_t>(k), static_cast<uint32_t>(round * 1000 + w * 100 + k));
            ok = TryNewFileWithContent(port, token, name, content, &fileId);
          }
          if (!ok) continue;
          std::lock_guard<std::mutex> lock(mutex);
          if (k % 3 == 0) folders.insert(name);
          if (k % 3 == 1) items.insert(name);
          if (k % 3 == 2) files.emplace_back(fileId, content);
          ++answered;
          ++answeredThisRound;
          progress.notify_all();
        }
      });
    }
    {
      std::unique_lock<std::mutex> lock(mutex);
      EXPECT_TRUE(progress.wait_for(lock, std::chrono::seconds(120), [&] { return answeredThisRound >= 150; }));
    }
    ASSERT_TRUE(Service().Kill());
    stop = true;
    for (auto& t : workers) t.join();

    ASSERT_TRUE(Service().Restart());
    const nlohmann::json state = FsState(Service(), userId);
    std::set<std::string> ids, names;
    for (const auto& item : state["items"]) ids.insert(item["fileId"].get<std::string>());
    for (const auto& item : state["items"]) {
      const std::string parent = item["parentId"];
      EXPECT_TRUE(parent.empty() || ids.count(parent)) << item.dump();
      EXPECT_TRUE(names.insert(Folded(item["name"].get<std::string>())).second) << "twice: " << item.dump();
    }
    for (const auto& name : folders) EXPECT_TRUE(names.count(Folded(name))) << name;
    for (const auto& name : items) EXPECT_TRUE(names.count(Folded(name))) << name;
    EXPECT_GE(state["opVer"].get<size_t>(), answered);
    PeerClient peer(Service(), Root());
    for (const auto& [fileId, content] : files) EXPECT_EQ(content, peer.DownloadWhole(alice, fileId)) << fileId;
  }
}

}  // namespace
