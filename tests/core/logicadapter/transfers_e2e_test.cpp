// Folder trees and single files up and down through the process-wide logic adapter, as
// the windows drive them, against the test's own local service, which decodes every
// upload with its own code: on both protocols of the service (one encoded file and
// blocks), with the prompts a transfer asks through the main window, the size limit of
// uploads, and a cancel from the tasks pane.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "core/logicadapter/transfersrig.h"
#include "support/textlike.h"

namespace {

using namespace std::chrono_literals;

// Random letters and blanks: text that packs (under a name the compress policy packs
// at any size), but slowly.
std::string Letters(size_t n, uint32_t seed) {
  std::string out = RandomBytes(n, seed);
  for (char& c : out) {
    const int v = static_cast<unsigned char>(c) % 27;
    c = v == 26 ? ' ' : static_cast<char>('a' + v);
  }
  return out;
}

// The tree uploaded: folders nested two deep, an empty one, names outside ASCII, an
// empty file and files at the edges of the 4 MiB blocks. Large files are random bytes
// under media names, which are never packed.
Tree UploadTree() {
  Tree tree;
  tree["空文件.txt"] = {false, ""};
  tree["笔记 notes.txt"] = {false, TextLike(70000, 1)};
  tree["空文件夹"] = {true, ""};
  tree["子目录"] = {true, ""};
  tree["子目录/四兆少一 clip.mp4"] = {false, RandomBytes(4 * kMiB - 1, 2)};
  tree["子目录/Ünïcødé"] = {true, ""};
  tree["子目录/Ünïcødé/九兆 film.mp4"] = {false, RandomBytes(9 * kMiB, 3)};
  return tree;
}

void WriteTree(const std::string& root, const Tree& tree) {
  std::filesystem::create_directories(root);
  for (const auto& [rel, entry] : tree) {
    if (entry.folder)
      std::filesystem::create_directories(root + "/" + rel);
    else
      WriteFileBytes(root + "/" + rel, entry.bytes);
  }
}

// The cloud paths of the tree's files below the cloud folder root.
std::set<std::string> CloudPaths(const std::string& root, const Tree& tree) {
  std::set<std::string> out;
  for (const auto& [path, entry] : tree) {
    if (entry.folder) continue;
    std::string rel = path;
    std::replace(rel.begin(), rel.end(), '/', '\\');
    out.insert(root + "\\" + rel);
  }
  return out;
}

size_t FileCount(const Tree& tree) {
  size_t n = 0;
  for (const auto& [rel, entry] : tree) n += !entry.folder;
  return n;
}

using TransfersVersionE2eTest = TransfersVersionTest;

TEST_P(TransfersVersionE2eTest, AFolderTreeGoesUpAndComesBackByteIdentical) {
  const Tree tree = UploadTree();
  const std::string source = PathIn("up/树 Tree");
  WriteTree(source, tree);

  ASSERT_EQ(S_OK, Adapter().UploadFolder("", "", "\\树 Tree", source));
  std::set<std::string> uploaded;
  for (const TaskListEntry& task : WaitForFinished(FileCount(tree))) {
    EXPECT_EQ(S_OK, task.hrResult) << task.strFullPath;
    EXPECT_EQ(1, task.nDirection) << task.strFullPath;
    uploaded.insert(task.strFullPath);
  }
  EXPECT_EQ(CloudPaths("\\树 Tree", tree), uploaded) << "one task per file";
  EXPECT_EQ(0, m_window.CountOf("ShowWizard")) << "nothing was there to ask about";
  EXPECT_EQ(0, m_window.CountOf("ShowNotify")) << "no transfer failed";

  // The cloud holds the tree as the adapter lists it, and each file as the service
  // decodes it on its own.
  const std::string folderId = CloudId("", "树 Tree");
  ASSERT_FALSE(folderId.empty());
  const std::map<std::string, CloudEntry> cloud = ListCloudTree(folderId, "\\树 Tree");
  ASSERT_EQ(tree.size(), cloud.size());
  for (const auto& [rel, entry] : tree) {
    SCOPED_TRACE(rel);
    auto it = cloud.find(rel);
    ASSERT_NE(cloud.end(), it);
    const CFileItemRecord& item = it->second.item;
    EXPECT_EQ(entry.folder, item.bIsDir != kItemFile);
    if (entry.folder) continue;
    EXPECT_EQ(static_cast<int64_t>(entry.bytes.size()), item.size);
    EXPECT_EQ(PeerSha1(entry.bytes), item.strSha1);
    const std::optional<std::string> decoded = XferContent(Service(), item.strSvrId);
    EXPECT_TRUE(decoded == entry.bytes) << "the service decodes " << (decoded ? decoded->size() : 0) << " bytes";
  }

  // Down into another folder, whose parent does not exist yet either: the same tree,
  // the empty folder included, byte for byte, and nothing else.
  ASSERT_EQ(S_OK, Adapter().RemoveFinishedTask(""));
  const std::string target = PathIn("down/树 Tree");
  const HRESULT hr = Adapter().DownloadFolder(folderId, "", "\\树 Tree", target, 1);
  EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
  std::set<std::string> downloaded;
  for (const TaskListEntry& task : WaitForFinished(FileCount(tree), target)) {
    EXPECT_EQ(S_OK, task.hrResult) << task.strFullPath;
    EXPECT_EQ(0, task.nDirection) << task.strFullPath;
    downloaded.insert(task.strFullPath);
  }
  EXPECT_EQ(CloudPaths("\\树 Tree", tree), downloaded) << "one task per file";
  const Tree back = ReadLocalTree(target);
  EXPECT_TRUE(back == tree) << "came back:\n" << Describe(back) << "went up:\n" << Describe(tree);
  EXPECT_EQ(0, m_window.CountOf("ShowWizard"));
  EXPECT_EQ(0, m_window.CountOf("ShowNotify"));
}

// The requests of the content of an upload: one encoded file, or blocks and their
// commit.
size_t ContentUploads(LocalService& service) {
  return service.Requests("/wf/upload").size() + service.Requests("/blk/uploadBlock").size() +
         service.Requests("/xsvr/commit/").size();
}

// A cancel from the tasks pane while the client encodes a large new file (packing it,
// which takes a while): the task ends cancelled, nothing of the content is sent, and
// the temp folder is left clean. The pane cancels and removes the task by the id it
// lists, although the task has meanwhile taken the service's id for the new file.
TEST_P(TransfersVersionE2eTest, ACancelWhileALargeFileIsEncodedSendsNothing) {
  const std::string source = PathIn("large notes.log");
  WriteFileBytes(source, Letters(24 * kMiB, 4));
  // The last step before the encoding: for one encoded file its modification time, for
  // blocks the block list (each block is packed just before it is sent).
  const std::string encoding = GetParam() == "2" ? "CTraceStack Out,CRemoteStorage::SetFileModTime()"
                                                 : "CTraceStack Out,MetadataUploader::Perform";
  const std::vector<std::string> sending = {"CTraceStack In, CRemoteStorage::_UploadFile()",
                                            "CTraceStack In, CRemoteStorage::UploadBlock()"};
  for (const std::string& text : sending) m_lines.Watch(text);
  m_lines.Watch(encoding);
  ASSERT_EQ(S_OK, Adapter().UploadFile("", "", 0, "\\large notes.log", source, true));
  ASSERT_TRUE(m_lines.WaitForSeen(encoding, 2min)) << "the encoding never began";
  const std::vector<TaskListEntry> running = Running();
  ASSERT_EQ(1u, running.size());
  ASSERT_EQ(S_OK, Adapter().CancelTask(running[0].strId));

  const std::vector<TaskListEntry> finished = WaitForFinished(1);
  ASSERT_EQ(1u, finished.size());
  EXPECT_EQ(E_CV_CURL_CANCEL, finished[0].hrResult);
  EXPECT_EQ(0u, ContentUploads(Service())) << "no content reached the service";
  for (const std::string& text : sending) EXPECT_FALSE(m_lines.Seen(text)) << "the client began to send: " << text;
  EXPECT_TRUE(Leftovers().empty()) << ::testing::PrintToString(Leftovers());
  // The tasks pane removes the ended task by the id it lists.
  ASSERT_EQ(S_OK, Adapter().RemoveFinishedTask(finished[0].strId));
  EXPECT_TRUE(Finished().empty());
}

INSTANTIATE_TEST_SUITE_P(ServiceVersions, TransfersVersionE2eTest, ::testing::Values("2", "3"), VersionName);

using TransfersE2eTest = TransfersTest;

// Uploading a folder whose name the cloud folder holds already asks whether to merge;
// only the answer "确定" puts the files into the folder that is there.
TEST_F(TransfersE2eTest, AFolderOntoAnExistingCloudFolderMergesOnlyWhenTheUserSaysSo) {
  struct Row {
    const char* what;
    int button;  // of "确定|取消"
    HRESULT hr;
    const char* names;  // the cloud folder's files afterwards
  } rows[] = {
      {"确定 merges the files into the folder there", 0, S_OK, "new.txt;old.txt;"},
      {"取消 leaves the folder there as it was", 1, E_CV_TARGET_EXISTS, "old.txt;"},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string name = "Docs " + std::to_string(n++);
    std::string folderId;
    ASSERT_EQ(S_OK, Adapter().NewFolder("", "\\" + name, &folderId));
    FsSeedFile(Service(), UserId(), "old.txt", "held before", "blocks", folderId);
    const std::string source = PathIn("merge/" + name);
    std::filesystem::create_directories(source);
    WriteFileBytes(source + "/new.txt", "uploaded now");
    Service().Reset();
    const int prompts = m_window.CountOf("ShowWizard");

    m_window.QueueWizardChoice(row.button);
    EXPECT_EQ(row.hr, Adapter().UploadFolder("", "", "\\" + name, source));
    ASSERT_EQ(prompts + 1, m_window.CountOf("ShowWizard"));
    const ScriptedMainWindow::Call prompt = m_window.Calls().back();
    EXPECT_EQ("文件夹已经存在，是否进行文件合并?", prompt.prompt.text);
    EXPECT_EQ((std::vector<std::string>{"确定", "取消"}), prompt.prompt.buttons);
    EXPECT_EQ("Sepra便携版", prompt.prompt.caption);
    if (row.hr == S_OK) {
      for (const TaskListEntry& task : WaitForFinished(1)) EXPECT_EQ(S_OK, task.hrResult);
    } else {
      EXPECT_TRUE(Running().empty());
      EXPECT_TRUE(Service().Requests("/xsvr/newFile/").empty());
    }
    ASSERT_EQ(S_OK, Adapter().RemoveFinishedTask(""));

    std::string names;
    for (const auto& [rel, entry] : ListCloudTree(folderId, "\\" + name)) names += rel + ";";
    EXPECT_EQ(row.names, names);
    std::vector<CFileItemRecord> root;
    ASSERT_EQ(S_OK, Adapter().DirMyFile("", "", &root, true));
    EXPECT_EQ(1, std::count_if(root.begin(), root.end(), [&](const CFileItemRecord& i) { return i.strName == name; }))
        << "one folder of that name";
  }
}

// Downloading onto a local file asks whether to replace it; "取消" leaves the file as
// it was, content and modification time, and downloads nothing. "替换" fetches the
// cloud's content (the local file, unlike what the cache knows, is first offered to be
// saved elsewhere, and goes to the trash).
TEST_F(TransfersE2eTest, ADownloadOntoALocalFileReplacesItOnlyWhenTheUserSaysSo) {
  const std::string cloudBytes = "the cloud's content";
  const std::string fileId = FsSeedFile(Service(), UserId(), "a.txt", cloudBytes)["fileId"].get<std::string>();
  std::vector<CFileItemRecord> root;
  ASSERT_EQ(S_OK, Adapter().DirMyFile("", "", &root, true));  // as the explorer shows it
  struct Row {
    const char* what;
    std::vector<int> buttons;  // of "替换|取消", then of "另存...|放弃"
    bool replaced;
  } rows[] = {
      {"取消", {1}, false},
      {"替换, then 放弃 the local copy", {0, 1}, true},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string target = PathIn("local " + std::to_string(n++) + ".txt");
    WriteFileBytes(target, "the local file");
    const struct timespec times[2] = {{978307200, 0}, {978307200, 0}};  // 2001-01-01
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, target.c_str(), times, 0));
    Service().Reset();
    const int prompts = m_window.CountOf("ShowWizard");
    for (int button : row.buttons) m_window.QueueWizardChoice(button);

    EXPECT_EQ(S_OK, Adapter().DownloadFile(fileId, "", "\\a.txt", target, true, ItemSpace::MyFile));
    ASSERT_LT(prompts, m_window.CountOf("ShowWizard"));
    std::vector<WizardPrompt> asked;
    for (const ScriptedMainWindow::Call& call : m_window.Calls())
      if (call.op == "ShowWizard") asked.push_back(call.prompt);
    const WizardPrompt& first = asked.at(static_cast<size_t>(prompts));
    EXPECT_EQ("\"" + std::filesystem::path(target).filename().string() + "\" 已经存在，是否进行文件替换?",
              first.text);
    EXPECT_EQ((std::vector<std::string>{"替换", "取消"}), first.buttons);
    EXPECT_EQ(prompts + static_cast<int>(row.buttons.size()), m_window.CountOf("ShowWizard"));
    if (row.replaced) {
      for (const TaskListEntry& task : WaitForFinished(1, Root())) EXPECT_EQ(S_OK, task.hrResult);
      EXPECT_EQ(cloudBytes, ReadFileBytes(target));
      ASSERT_EQ(S_OK, Adapter().RemoveFinishedTask(""));
      continue;
    }
    EXPECT_TRUE(Running().empty());
    EXPECT_TRUE(Finished().empty());
    EXPECT_TRUE(Service().Requests("/xsvr/requestDownload/").empty());
    EXPECT_EQ("the local file", ReadFileBytes(target));
    struct stat st {};
    ASSERT_EQ(0, ::stat(target.c_str(), &st));
    EXPECT_EQ(978307200, st.st_mtim.tv_sec);
    EXPECT_EQ(0, st.st_mtim.tv_nsec);
    EXPECT_TRUE(Markers(Root()).empty());
  }
}

// A folder download whose sub-folder is swapped for a link to another folder after the
// walk made it, while its file is on the way: the file is not delivered through the
// link, the task fails, and the other folder is left as it was.
TEST_F(TransfersE2eTest, AFolderSwappedForALinkBeforeItsFileArrivesIsNotWrittenThrough) {
  std::string dirId, subId;
  ASSERT_EQ(S_OK, Adapter().NewFolder("", "\\Dir", &dirId));
  ASSERT_EQ(S_OK, Adapter().NewFolder(dirId, "\\Dir\\Sub", &subId));
  FsSeedFile(Service(), UserId(), "a.txt", "the cloud's content", "blocks", subId);
  const std::string dest = PathIn("dest"), other = PathIn("other");
  std::filesystem::create_directories(other);
  WriteFileBytes(other + "/keep.txt", "keep");
  Service().Inject(R"({"path":"/xsvr/requestDownload/","hold":"swap"})");

  ASSERT_EQ(S_OK, Adapter().DownloadFolder(dirId, "", "\\Dir", dest + "/Dir", 1));
  ASSERT_TRUE(Service().AwaitRequests("/xsvr/requestDownload/", 1));
  std::filesystem::rename(dest + "/Dir/Sub", dest + "/Sub walked");
  std::filesystem::create_directory_symlink(other, dest + "/Dir/Sub");
  Service().Release("swap");

  const std::vector<TaskListEntry> finished = WaitForFinished(1);
  ASSERT_EQ(1u, finished.size());
  EXPECT_EQ(E_CV_LOCAL_NOT_FOLDER, finished[0].hrResult);
  EXPECT_TRUE(ReadLocalTree(other) == (Tree{{"keep.txt", {false, "keep"}}})) << Describe(ReadLocalTree(other));
  EXPECT_FALSE(FileExists(dest + "/Sub walked/a.txt"));
  EXPECT_TRUE(std::filesystem::is_symlink(dest + "/Dir/Sub"));
}

// One byte over 300 MiB is refused before anything reaches the service, through
// UploadFile and inside UploadFolder alike; the user is told once per process, by the
// first refusal, wherever it comes from.
TEST_F(TransfersE2eTest, AFileOverTheLimitIsRefusedAndTheUserToldOnce) {
  constexpr int64_t kOver = 314572801;
  struct Row {
    const char* what;
    bool folderFirst;
  } rows[] = {{"first through UploadFile", false}, {"first inside UploadFolder", true}};
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    filesystemcontrol::ResetOversizeNotice();  // as a new process
    const std::string tag = std::to_string(n++);
    const std::string huge = PathIn("huge " + tag + ".mp4");
    SparseFile(huge, kOver);
    const std::string folder = PathIn("folder " + tag);
    std::filesystem::create_directories(folder);
    SparseFile(folder + "/inside.mp4", kOver);
    WriteFileBytes(folder + "/small.txt", "small");
    Service().Reset();
    const int messages = m_window.CountOf("ShowMessage");
    auto uploadFile = [&] { EXPECT_EQ(E_FAIL, Adapter().UploadFile("", "", 0, "\\huge " + tag + ".mp4", huge, true)); };
    auto uploadFolder = [&] {
      Adapter().UploadFolder("", "", "\\folder " + tag, folder);
      for (const TaskListEntry& task : WaitForFinished(1)) EXPECT_EQ(S_OK, task.hrResult) << task.strFullPath;
      ASSERT_EQ(S_OK, Adapter().RemoveFinishedTask(""));
    };

    if (row.folderFirst) {
      uploadFolder();
    } else {
      uploadFile();
    }
    ASSERT_EQ(messages + 1, m_window.CountOf("ShowMessage"));
    const ScriptedMainWindow::Call message = m_window.Calls().back();
    EXPECT_EQ("ShowMessage", message.op);
    EXPECT_EQ(std::string("您要上传的文件“") + (row.folderFirst ? "inside.mp4" : "huge " + tag + ".mp4") +
                  "”大于300M，不允许上传哦~",
              message.text);
    EXPECT_EQ("Sepra便携版", message.caption);
    uploadFile();
    if (row.folderFirst) {
      uploadFile();
    } else {
      uploadFolder();
    }
    EXPECT_EQ(messages + 1, m_window.CountOf("ShowMessage")) << "later refusals are silent";

    for (const RecordedRequest& r : Service().Requests("/xsvr/newFile/"))
      EXPECT_EQ(std::string::npos, r.body.find(".mp4")) << "an oversize file reached the service: " << r.body;
    EXPECT_EQ("small.txt;", [&] {
      std::string names;
      for (const auto& [rel, entry] : ListCloudTree(CloudId("", "folder " + tag), "\\folder " + tag)) names += rel + ";";
      return names;
    }());
  }
}

// The one encoded file's service sends no content for an empty file (it answers
// emptyFile): the download delivers an empty file when the listing says the file is
// empty, and fails, leaving nothing, when the listing says it holds bytes.
class TransfersWholeFileTest : public TransfersTest {
 protected:
  std::string GlobalVersion() override { return "2"; }
};

TEST_F(TransfersWholeFileTest, AnEmptyFileComesDownOnlyWhenTheListingSaysItIsEmpty) {
  struct Row {
    const char* what;
    const char* content;
    bool answerEmptyFile;  // the service answers emptyFile whatever it holds
    HRESULT hr;
  } rows[] = {
      {"a file the listing names empty", "", false, S_OK},
      {"emptyFile for a file the listing names 5 bytes long", "bytes", true, E_CV_SRV_EMPTY_FILE},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string name = "file " + std::to_string(n++) + ".txt";
    const std::string fileId = FsSeedFile(Service(), UserId(), name, row.content, "whole")["fileId"].get<std::string>();
    std::vector<CFileItemRecord> root;
    ASSERT_EQ(S_OK, Adapter().DirMyFile("", "", &root, true));
    Service().Reset();
    if (row.answerEmptyFile) Service().Inject(R"({"path":"/xsvr/requestDownload/","word":"emptyFile"})");
    const std::string target = PathIn("down/" + name);

    ASSERT_EQ(S_OK, Adapter().DownloadFile(fileId, "", "\\" + name, target, true, ItemSpace::MyFile));
    const std::vector<TaskListEntry> finished = WaitForFinished(1, PathIn("down"));
    ASSERT_EQ(1u, finished.size());
    EXPECT_EQ(row.hr, finished[0].hrResult);
    if (row.hr == S_OK) {
      EXPECT_EQ("", ReadFileBytes(target));
    } else {
      EXPECT_FALSE(FileExists(target));
    }
    ASSERT_EQ(S_OK, Adapter().RemoveFinishedTask(""));
  }
}

}  // namespace
