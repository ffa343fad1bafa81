// The failures of the file tasks, each injected at the service (or on the local disk)
// on the protocol it belongs to: the result each ends with, that a download's target
// stays as it was, and that no temporary file remains; and where a folder download's
// file may be delivered.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "core/taskmgr/task/filetasktest.h"
#include "platform/posixfile.h"
#include "support/heldfile.h"
#include "support/inthewaypath.h"

namespace {

using FileTaskFailureTest = FileTaskTest;

constexpr char kPlain[] = "the file's content, long enough to say something";
constexpr char kPrevious[] = "what the target held before";

// The names in a folder, sorted.
std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Arms the service to answer the next request to path with the result word.
std::function<void()> Word(LocalService& service, const char* path, const char* word) {
  return [&service, path, word] { service.Inject(nlohmann::json{{"path", path}, {"word", word}}.dump()); };
}
// Arms the service to answer the next request to path with body.
std::function<void()> Body(LocalService& service, const char* path, const std::string& body) {
  return [&service, path, body] { service.Inject(nlohmann::json{{"path", path}, {"body", body}}.dump()); };
}

TEST_F(FileTaskFailureTest, UploadFailuresEndTheTaskAndLeaveNothingBehind) {
  const std::string noKey =
      "<nuvra result=\"ok\"><stub>s1</stub><url>" + Service().Url("/wf/upload?") + "</url></nuvra>";
  LocalService& service = Service();
  struct Row {
    const char* what;
    const char* version;
    std::function<void()> arm;
    HRESULT hr;
    const char* notAsked;  // a request the failure comes before ("" none)
  } rows[] = {
      {"ticket: failureToApplyStub", "2", Word(service, "/xsvr/requestUpload/", "failureToApplyStub"),
       E_CV_TASK_FAILED, "/wf/upload"},
      {"ticket: forbidden", "2", Word(service, "/xsvr/requestUpload/", "forbidden"), E_CV_TASK_FAILED, "/wf/upload"},
      {"ticket: fileVerConflict", "2", Word(service, "/xsvr/requestUpload/", "fileVerConflict"),
       E_CV_FILE_VER_CONFLICT, "/wf/upload"},
      {"ticket without a file key", "2", Body(service, "/xsvr/requestUpload/", noKey), E_FAIL, "/wf/upload"},
      {"upload: uploadError", "2", Body(service, "/wf/upload", "<nuvra><result>uploadError</result></nuvra>"),
       E_CV_TASK_FAILED, ""},
      {"the source cannot be read", "2", [&] { m_env.Fail(FileOp::kRead, "/src/", EIO); }, E_CV_TASK_FAILED,
       "/xsvr/requestUpload/"},
      {"blocks, ticket: failureToApplyStub", "3", Word(service, "/xsvr/requestUpload/", "failureToApplyStub"),
       E_CV_SRV_FAILURE_TO_APPLY_STUB, "/blk/uploadMetadata"},
      {"blocks, a block: uploadError", "3", Body(service, "/blk/uploadBlock", R"({"code":"uploadError"})"),
       E_CV_SRV_UPLOAD_ERROR, "/xsvr/commit/"},
      {"blocks, the source cannot be read", "3", [&] { m_env.Fail(FileOp::kRead, "/src/", EIO); }, E_CV_TASK_FAILED,
       "/xsvr/requestUpload/"},
  };
  const std::string fileId = Seed("a.txt", kPlain);
  const std::string source = Source("a.txt", TextLike(3000, 3));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    UseVersion(row.version);
    Service().Reset();
    row.arm();
    auto record = UpdateRecord(fileId, "a.txt", "1", source);
    EXPECT_EQ(row.hr, Run(record.get()));
    m_env.Clear();
    if (*row.notAsked) {
      EXPECT_TRUE(Service().Requests(row.notAsked).empty());
    }
    EXPECT_EQ(std::optional<std::string>(kPlain), XferContent(Service(), fileId)) << "the service keeps its version";
    EXPECT_TRUE(Leftovers().empty()) << ::testing::PrintToString(Leftovers());
  }
}

TEST_F(FileTaskFailureTest, DownloadFailuresLeaveTheTargetAsItWasAndNothingBehind) {
  const std::string fileId = Seed("a.txt", kPlain);
  const std::string sha1 = Sha1Of(kPlain), other = Sha1Of("other");
  auto upper = [](std::string s) {
    for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
  };
  LocalService& service = Service();
  auto ticket = [&](const std::string& version, const std::string& from, const std::string& to) {
    return Body(service, "/xsvr/requestDownload/", Ticket(fileId, version, from, to));
  };
  // A service whose joined file is spoilt between its own check and the hand-over.
  auto spoilJoined = [this] {
    m_env.SetHook([](FileOp op, const std::string& path) {
      if (op == FileOp::kRename && path.ends_with(".join")) {
        PosixFile f(FileEnv::Default());
        if (f.Open(path, O_WRONLY | O_APPEND)) f.WriteFull("x", 1);
      }
      return 0;
    });
  };
  ASSERT_EQ(S_OK, EnsureDirectory(FolderOfPath(Target("a.txt"))));
  std::unique_ptr<HeldFile> held;
  struct Row {
    const char* what;
    const char* version;
    std::function<void()> arm;
    HRESULT hr;
  } rows[] = {
      {"ticket: emptyFile", "2", Word(service, "/xsvr/requestDownload/", "emptyFile"), E_CV_SRV_EMPTY_FILE},
      {"ticket: fileMissInAgent", "2", Word(service, "/xsvr/requestDownload/", "fileMissInAgent"),
       E_CV_SRV_FILE_MISS_IN_AGENT},
      {"ticket: failureToApplyStub", "2", Word(service, "/xsvr/requestDownload/", "failureToApplyStub"),
       E_CV_SRV_FAILURE_TO_APPLY_STUB},
      {"ticket naming another SHA-1", "2", ticket("2", "<sha1>" + sha1, "<sha1>" + other), E_CV_TASK_FAILED},
      {"ticket without a file key", "2", ticket("2", "<fileKey>", "<unused>"), E_FAIL},
      {"a blob unlike its ticket", "2", ticket("2", "<compressSha1>", "<compressSha1>0"), E_CV_SHA1_MISMATCH},
      {"the target held by another program", "2",
       [&] { held = std::make_unique<HeldFile>(Target("a.txt"), HeldFile::kFlock); }, E_CV_LOCAL_LOCKED},
      {"blocks, ticket: fileMissInAgent", "3", Word(service, "/xsvr/requestDownload/", "fileMissInAgent"),
       E_CV_SRV_FILE_MISS_IN_AGENT},
      {"blocks, ticket naming another SHA-1", "3", ticket("3", "<sha1>" + sha1, "<sha1>" + other),
       E_CV_SHA1_MISMATCH},
      {"blocks, the joined file spoilt after the service's check", "3", spoilJoined, E_CV_TASK_FAILED},
      {"blocks, the target held by another program", "3",
       [&] { held = std::make_unique<HeldFile>(Target("a.txt"), HeldFile::kFlock); }, E_CV_LOCAL_LOCKED},
      // Not a failure: SHA-1 texts compare in any letter case.
      {"ticket naming the SHA-1 in upper case", "2", ticket("2", "<sha1>" + sha1, "<sha1>" + upper(sha1)), S_OK},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    UseVersion(row.version);
    Service().Reset();
    WriteFileBytes(Target("a.txt"), kPrevious);
    row.arm();
    auto record = DownloadRecord(fileId, "a.txt", Target("a.txt"));
    EXPECT_EQ(row.hr, Run(record.get()));
    m_env.SetHook(nullptr);
    held.reset();
    EXPECT_EQ(row.hr == S_OK ? kPlain : kPrevious, ReadFileBytes(Target("a.txt")));
    EXPECT_TRUE(Leftovers().empty()) << ::testing::PrintToString(Leftovers());
  }
}

// A file of a folder download goes into its folder entered below the folder the user
// chose, never through what lies in a folder's place by the time it arrives.
TEST_F(FileTaskFailureTest, AFileOfAFolderDownloadIsDeliveredOnlyIntoRealFoldersBelowItsRoot) {
  const std::string fileId = Seed("a.txt", kPlain);
  const std::string outside = Root() + "/outside";
  ASSERT_EQ(S_OK, EnsureDirectory(outside));
  WriteFileBytes(outside + "/keep.txt", "keep");
  std::unique_ptr<HeldFile> held;
  struct Row {
    const char* what;
    const char* where;  // below the root
    InTheWay kind;
    const char* target;  // below the root ("../x" lies outside it)
    HRESULT hr;
  } rows[] = {
      {"its missing folders are made", "", InTheWay::kNothing, "Dir/Sub/a.txt", S_OK},
      {"a link at the folder's place", "Dir/Sub", InTheWay::kLink, "Dir/Sub/a.txt", E_CV_LOCAL_NOT_FOLDER},
      {"a link at an upper folder's place", "Dir", InTheWay::kLink, "Dir/Sub/a.txt", E_CV_LOCAL_NOT_FOLDER},
      {"a regular file at the folder's place", "Dir/Sub", InTheWay::kFile, "Dir/Sub/a.txt", E_CV_LOCAL_NOT_FOLDER},
      {"a fifo at an upper folder's place", "Dir", InTheWay::kFifo, "Dir/Sub/a.txt", E_CV_LOCAL_NOT_FOLDER},
      {"a target not below the root", "", InTheWay::kNothing, "../outside/a.txt", E_INVALIDARG},
      {"the target held by another program", "", InTheWay::kNothing, "Dir/held.txt", E_CV_LOCAL_LOCKED},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string root = Root() + "/dest" + std::to_string(n++);
    const std::string inTheWay = root + "/" + row.where, target = root + "/" + row.target;
    ASSERT_EQ(S_OK, EnsureDirectory(FolderOfPath(inTheWay)));
    ASSERT_NO_FATAL_FAILURE(PlantInTheWay(row.kind, inTheWay, outside));
    if (row.hr == E_CV_LOCAL_LOCKED) {
      ASSERT_EQ(S_OK, EnsureDirectory(FolderOfPath(target)));
      WriteFileBytes(target, kPrevious);
      held = std::make_unique<HeldFile>(target, HeldFile::kFlock);
    }
    auto record = DownloadRecord(fileId, "a.txt", target);
    record->strDestRoot = root;
    EXPECT_EQ(row.hr, Run(record.get()));
    held.reset();
    if (row.hr == S_OK || row.hr == E_CV_LOCAL_LOCKED) {
      EXPECT_EQ(row.hr == S_OK ? kPlain : kPrevious, ReadFileBytes(target));
    }
    EXPECT_TRUE(StillInTheWay(row.kind, inTheWay));
    EXPECT_EQ((std::vector<std::string>{"keep.txt"}), Names(outside)) << "nothing reached the link's target";
    EXPECT_TRUE(Leftovers().empty()) << ::testing::PrintToString(Leftovers());
  }
}

}  // namespace
