// The file system's transfers of whole files and folder trees, through the facade with
// the real task manager running fake file tasks: the upload size limit and its
// once-per-process message, folder walks both ways (nested, empty, non-ASCII; links,
// fifos and names the other side cannot take skipped or refused), the merge and replace
// questions, links or other files in a folder's place of a download, and where an
// opened file is put.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>

#include "filesyncrig.h"
#include "support/filefault.h"
#include "support/inthewaypath.h"

namespace {

class TransfersTest : public FileSyncRig {
 protected:
  void SetUp() override {
    FileSyncRig::SetUp();
    MakeFacade();
    m_scripted->SetAnswer("GetRemoteOptVer", [](TaskDataBase&, RecordTree* reply) {
      reply->AddValue("opVer", "5");
      reply->AddValue("shareVer", "7");
      return S_OK;
    });
    // Every new folder is made, named by its cloud path; those in m_existing exist.
    m_scripted->SetAnswer("CreateDirectory", [this](TaskDataBase& record, RecordTree* reply) {
      std::lock_guard<std::mutex> guard(m_lock);
      m_created.push_back(record.strFullPath);
      auto it = m_existing.find(record.strFullPath);
      reply->AddValue("fileId", it != m_existing.end() ? it->second : "D:" + record.strFullPath);
      return it != m_existing.end() ? E_CV_TARGET_EXISTS : S_OK;
    });
    // Folder listings from m_folders.
    m_scripted->SetAnswer("Dir", [this](TaskDataBase& record, RecordTree* reply) {
      std::lock_guard<std::mutex> guard(m_lock);
      if (m_unanswered.count(record.strId)) return E_CV_NETWORK_ERROR2;
      for (const Item& item : m_folders[record.strId]) {
        RecordTree& node = reply->AddChild("item");
        node.AddValue("type", item.folder ? "folder" : "file");
        node.AddValue("fileId", item.id);
        node.AddValue("parentId", record.strId);
        node.AddValue("name", item.name);
        node.AddValue("sha1", item.folder ? "" : Sha1Of(item.id));
        node.AddValue("size", item.folder ? "0" : std::to_string(item.id.size()));
        node.AddValue("fileVer", "1");
        node.AddValue("createdTime", "2024-03-05 10:00:00");
        node.AddValue("modTime", "2024-03-05 11:00:00");
        if (!item.folder) m_tasks.SetRemote(item.id, item.id, 1);
      }
      return S_OK;
    });
  }

  struct Item {
    std::string id, name;
    bool folder;
  };
  std::vector<std::string> Created() {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::string> created = m_created;
    std::sort(created.begin(), created.end());
    return created;
  }
  // "parent id|cloud path" of each upload queued, sorted.
  std::vector<std::string> Uploads() {
    std::vector<std::string> uploads;
    for (const auto& added : m_scripted->AddedOf("UpdateNewFile")) uploads.push_back(added.fullPath);
    std::sort(uploads.begin(), uploads.end());
    return uploads;
  }
  // Everything below folder, as "path" lines (folders with a trailing "/"), sorted.
  std::string Tree(const std::string& folder) {
    std::string out;
    RunCommand("cd " + ShellQuote(folder) +
                   " && find . -mindepth 1 \\( -type d -printf '%P/\\n' \\) -o -printf '%P\\n' | LC_ALL=C sort",
               &out);
    return out;
  }

  std::mutex m_lock;
  std::vector<std::string> m_created;
  std::map<std::string, std::string> m_existing;  // cloud path -> id of a folder that exists
  std::map<std::string, std::vector<Item>> m_folders;
  std::set<std::string> m_unanswered;  // folders whose listing fails
};

TEST_F(TransfersTest, AnUploadTakesUpTo300MiBAndTellsOfALargerFileOncePerProcess) {
  const struct {
    const char* name;
    int64_t size;
    HRESULT result;
  } rows[] = {
      {"exact.bin", 314572800, S_OK},
      {"over.bin", 314572801, E_FAIL},
      {"far-over.bin", int64_t{4} << 30, E_FAIL},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = PathIn(row.name);
    // Sparse: the size without the bytes.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, row.size), 0);
    close(fd);
    EXPECT_EQ(m_fs->UploadFile("", "P", 0, std::string("\\docs\\") + row.name, path, true), row.result);
  }
  EXPECT_EQ(Uploads(), std::vector<std::string>{"\\docs\\exact.bin"});
  EXPECT_EQ(Messages(), std::vector<std::string>{"您要上传的文件“over.bin”大于300M，不允许上传哦~"});
  for (const auto& call : m_window.Script().Calls()) {
    if (call.op == "ShowMessage") {
      EXPECT_EQ(call.caption, "Sepra便携版");
    }
  }

  // A new file system in the same process does not tell it again.
  m_fs->UnInit();
  MakeFacade();
  EXPECT_EQ(m_fs->UploadFile("", "P", 0, "\\docs\\over.bin", PathIn("over.bin"), false), E_FAIL);
  EXPECT_EQ(Messages().size(), 1u);
}

TEST_F(TransfersTest, AFolderUploadMakesEveryFolderAndQueuesEveryRegularFile) {
  const std::string src = PathIn("src");
  ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(src + "/sub/deeper") + " " + ShellQuote(src + "/空文件夹") + " " +
                       ShellQuote(src + "/bad\\dir/inner")),
            0);
  WriteFileBytes(src + "/a.txt", "a");
  WriteFileBytes(src + "/sub/b.txt", "b");
  WriteFileBytes(src + "/文件.txt", "c");
  WriteFileBytes(src + "/back\\slash.txt", "d");
  WriteFileBytes(src + "/bad\\dir/inner/e.txt", "e");
  ASSERT_EQ(symlink((src + "/a.txt").c_str(), (src + "/link.txt").c_str()), 0);
  ASSERT_EQ(symlink((src + "/sub").c_str(), (src + "/dirlink").c_str()), 0);
  ASSERT_EQ(symlink("/etc/passwd", (src + "/outside").c_str()), 0);
  ASSERT_EQ(mkfifo((src + "/pipe").c_str(), 0600), 0);

  LogCapture log;
  m_fs->UploadFolder("P", "v", "\\dst\\src", src);
  EXPECT_EQ(Created(), (std::vector<std::string>{"\\dst\\src", "\\dst\\src\\sub", "\\dst\\src\\sub\\deeper",
                                                 "\\dst\\src\\空文件夹"}));
  EXPECT_EQ(Uploads(), (std::vector<std::string>{"\\dst\\src\\a.txt", "\\dst\\src\\sub\\b.txt", "\\dst\\src\\文件.txt"}));
  for (const auto& added : m_scripted->AddedOf("UpdateNewFile")) EXPECT_FALSE(added.force);
  ASSERT_TRUE(m_scripted->WaitCallbacks(3));
  std::vector<std::string> parents;
  for (const auto& run : m_tasks.RunsOf("UpdateNewFile")) parents.push_back(run.parentId + "|" + run.secondPath);
  std::sort(parents.begin(), parents.end());
  EXPECT_EQ(parents, (std::vector<std::string>{"D:\\dst\\src\\sub|" + src + "/sub/b.txt",
                                               "D:\\dst\\src|" + src + "/a.txt", "D:\\dst\\src|" + src + "/文件.txt"}));
  // Names the service cannot take are refused, and the user is told.
  std::vector<std::string> notices = Notices();
  std::sort(notices.begin(), notices.end());
  EXPECT_EQ(notices, (std::vector<std::string>{"“back\\slash.txt”的名字中含有“\\”或无法上传的字符，不能上传。",
                                               "“bad\\dir”的名字中含有“\\”或无法上传的字符，不能上传。"}));
  EXPECT_EQ(log.Count("neither a folder nor a regular file"), 4);
}

TEST_F(TransfersTest, AnEmptyFolderUploadsAsAFolderAndAFolderNameWithABackslashIsRefused) {
  ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(PathIn("empty")) + " " + ShellQuote(PathIn("a\\b"))), 0);
  EXPECT_EQ(m_fs->UploadFolder("P", "", "\\empty", PathIn("empty")), S_OK);
  EXPECT_EQ(Created(), std::vector<std::string>{"\\empty"});
  EXPECT_EQ(m_fs->UploadFolder("P", "", "\\a\\b", PathIn("a\\b")), E_INVALIDARG);
  EXPECT_EQ(m_fs->UploadFile("", "P", 0, "\\x", PathIn("a\\b"), true), E_INVALIDARG);
  EXPECT_EQ(Created().size(), 1u);
  EXPECT_EQ(Notices().size(), 2u);
  EXPECT_TRUE(m_scripted->AddedTasks().empty());
}

TEST_F(TransfersTest, AFolderThatExistsIsMergedIntoOnlyWhenTheUserAgrees) {
  const std::string src = PathIn("src");
  ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(src)), 0);
  WriteFileBytes(src + "/a.txt", "a");
  m_existing["\\src"] = "EXISTING";
  const struct {
    const char* what;
    int button;  // of "确定|取消"; kWizardNotShown: the prompt was not shown
    HRESULT result;
    bool merged;
  } rows[] = {
      {"merge", 0, S_OK, true},
      {"cancel", 1, E_CV_TARGET_EXISTS, false},
      {"not shown", kWizardNotShown, S_OK, true},
  };
  size_t uploads = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    m_window.Script().QueueWizardChoice(row.button);
    EXPECT_EQ(m_fs->UploadFolder("P", "", "\\src", src), row.result);
    uploads += row.merged;
    const auto added = m_scripted->AddedOf("UpdateNewFile");
    ASSERT_EQ(added.size(), uploads);
  }
  ASSERT_TRUE(m_scripted->WaitCallbacks(2));
  for (const auto& run : m_tasks.RunsOf("UpdateNewFile")) EXPECT_EQ(run.parentId, "EXISTING");
  for (const auto& call : m_window.Script().Calls()) {
    if (call.op != "ShowWizard") continue;
    EXPECT_EQ(call.prompt.text, "文件夹已经存在，是否进行文件合并?");
    EXPECT_EQ(call.prompt.buttons, (std::vector<std::string>{"确定", "取消"}));
  }

  // Any other failure of the new folder ends the upload with it.
  m_scripted->SetAnswer("CreateDirectory", [](TaskDataBase&, RecordTree*) { return E_CV_PARENT_NOT_EXIST; });
  LogCapture log;
  EXPECT_EQ(m_fs->UploadFolder("P", "", "\\src", src), E_CV_PARENT_NOT_EXIST);
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOLEX:hr == S_OK || hr == E_CV_TARGET_EXISTS"));
  EXPECT_EQ(m_scripted->AddedOf("UpdateNewFile").size(), uploads);
}

TEST_F(TransfersTest, ADownloadOntoAFileAsksBeforeReplacingIt) {
  m_tasks.SetRemote("F1", "from the service", 2);
  const std::string dest = PathIn("a.txt");
  const struct {
    const char* what;
    int button;  // of "替换|取消"; kWizardNotShown: the prompt was not shown
    bool downloaded;
  } rows[] = {
      {"取消", 1, false},
      {"替换", 0, true},
      {"a prompt that was not shown counts as consent", kWizardNotShown, true},
  };
  int downloads = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    WriteFileBytes(dest, "mine");
    m_window.Script().QueueWizardChoice(row.button);
    EXPECT_EQ(m_fs->DownloadFile("F1", "P", "\\P\\a.txt", dest, true, ItemSpace::MyFile), S_OK);
    downloads += row.downloaded;
    ASSERT_EQ(m_scripted->AddedTasks().size(), static_cast<size_t>(downloads));
    if (row.downloaded) {
      ASSERT_TRUE(m_scripted->WaitCallbacks(downloads));
    }
    EXPECT_EQ(ReadFileBytes(dest), row.downloaded ? "from the service" : "mine");
    EXPECT_FALSE(FileExists(dest + ".otl"));
    const auto calls = m_window.Script().Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().prompt.text, "\"a.txt\" 已经存在，是否进行文件替换?");
    EXPECT_EQ(calls.back().prompt.buttons, (std::vector<std::string>{"替换", "取消"}));
  }

  // No question where nothing lies.
  EXPECT_EQ(m_fs->DownloadFile("F1", "P", "\\P\\a.txt", PathIn("b.txt"), false, ItemSpace::MyFile), S_OK);
  EXPECT_EQ(ReadFileBytes(PathIn("b.txt")), "from the service");
  EXPECT_EQ(m_window.Script().CountOf("ShowWizard"), 3);
}

TEST_F(TransfersTest, AFolderDownloadRebuildsTheTreeAndSkipsWhatCannotBeALocalName) {
  m_folders["R"] = {{"F1", "a.txt", false},
                    {"D1", "sub", true},
                    {"D2", "空", true},
                    {"F2", "文件.txt", false},
                    {"F3", std::string(300, 'n'), false}};
  m_folders["D1"] = {{"F4", "b.txt", false}, {"D3", "deeper", true}};
  m_folders["D3"] = {{"F5", "c.txt", false}};
  const std::string dest = PathIn("out");
  LogCapture log;
  // On this thread, then in the background.
  EXPECT_EQ(m_fs->DownloadFolder("R", "", "\\R", dest, 0), S_OK);
  EXPECT_EQ(Tree(dest), "a.txt\nsub/\nsub/b.txt\nsub/deeper/\nsub/deeper/c.txt\n文件.txt\n空/\n");
  EXPECT_EQ(ReadFileBytes(dest + "/sub/deeper/c.txt"), "F5");
  EXPECT_TRUE(log.Contains("the path is too long for the file system"));
  EXPECT_TRUE(m_window.Script().Calls().empty());

  const std::string dest2 = PathIn("out2");
  EXPECT_EQ(m_fs->DownloadFolder("R", "", "\\R", dest2, 1), S_OK);
  ASSERT_TRUE(m_scripted->WaitCallbacks(4));
  EXPECT_EQ(Tree(dest2), Tree(dest)) << "no marker is left";
  std::vector<std::string> paths;
  for (const auto& added : m_scripted->AddedOf("DownloadFile")) paths.push_back(added.fullPath);
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths, (std::vector<std::string>{"\\R\\a.txt", "\\R\\sub\\b.txt", "\\R\\sub\\deeper\\c.txt",
                                             "\\R\\文件.txt"}));
}

TEST_F(TransfersTest, AFolderDownloadEndsAtAnEmptyFolderTheFirstFailureOrAFolderInsideItself) {
  m_folders["E"] = {};
  EXPECT_EQ(m_fs->DownloadFolder("E", "", "\\E", PathIn("e"), 0), S_FALSE);
  struct stat st {};
  EXPECT_TRUE(stat(PathIn("e").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
  EXPECT_EQ(Tree(PathIn("e")), "");

  m_folders["A"] = {{"F1", "one.txt", false}, {"F2", "two.txt", false}, {"F3", "three.txt", false}};
  m_tasks.SetResult("F2", E_CV_SRV_OVER_SPACE);
  LogCapture log;
  EXPECT_EQ(m_fs->DownloadFolder("A", "", "\\A", PathIn("a"), 0), E_CV_SRV_OVER_SPACE);
  EXPECT_EQ(Tree(PathIn("a")), "one.txt\n");
  EXPECT_TRUE(log.Contains("ERROR_CHECK_COM hr = 8004101a: hr"));

  // Two folders that list each other.
  m_folders["L1"] = {{"L2", "down", true}};
  m_folders["L2"] = {{"L1", "up", true}};
  EXPECT_EQ(m_fs->DownloadFolder("L1", "", "\\L1", PathIn("l"), 0), E_FAIL);
  EXPECT_TRUE(log.Contains("lies inside itself"));
  EXPECT_EQ(Tree(PathIn("l")), "down/\n");
}

TEST_F(TransfersTest, AFolderDownloadNeverGoesThroughALinkOrIntoANonFolderInAFoldersPlace) {
  m_folders["R"] = {{"F1", "a.txt", false}, {"D1", "sub", true}};
  m_folders["D1"] = {{"F2", "b.txt", false}, {"D2", "deeper", true}};
  m_folders["D2"] = {{"F3", "c.txt", false}};
  const std::string outside = PathIn("outside");
  ASSERT_EQ(mkdir(outside.c_str(), 0700), 0);
  WriteFileBytes(outside + "/keep.txt", "keep");
  const struct {
    const char* what;
    const char* where;  // below the destination
    InTheWay kind;
    const char* after;  // the destination's tree afterwards: what came before the failure
  } rows[] = {
      {"a link to another folder at the downloaded folder's own place", "R", InTheWay::kLink, "R\n"},
      {"a link to another folder at a sub-folder's place", "R/sub", InTheWay::kLink, "R/\nR/a.txt\nR/sub\n"},
      {"a link at a deeper sub-folder's place", "R/sub/deeper", InTheWay::kLink,
       "R/\nR/a.txt\nR/sub/\nR/sub/b.txt\nR/sub/deeper\n"},
      {"a regular file at a sub-folder's place", "R/sub", InTheWay::kFile, "R/\nR/a.txt\nR/sub\n"},
      {"a fifo at a sub-folder's place", "R/sub", InTheWay::kFifo, "R/\nR/a.txt\nR/sub\n"},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string dest = PathIn("dest" + std::to_string(n++));
    const std::string inTheWay = dest + "/" + row.where;
    ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(FolderOfPath(inTheWay))), 0);
    ASSERT_NO_FATAL_FAILURE(PlantInTheWay(row.kind, inTheWay, outside));
    const size_t notices = Notices().size();

    EXPECT_EQ(m_fs->DownloadFolder("R", "", "\\R", dest + "/R", 0), E_CV_LOCAL_NOT_FOLDER);
    EXPECT_EQ(Tree(outside), "keep.txt\n") << "nothing reached the link's target";
    EXPECT_EQ(Tree(dest), row.after);
    EXPECT_TRUE(StillInTheWay(row.kind, inTheWay));
    // The notice names the path (as much of it as a notice holds).
    ASSERT_EQ(Notices().size(), notices + 1);
    const std::string notice = Notices().back(), prefix = "不能下载到链接或非文件夹中：“";
    EXPECT_GT(notice.size(), prefix.size() + 40) << notice;
    EXPECT_TRUE((prefix + inTheWay + "”").starts_with(notice)) << notice;
  }
}

TEST_F(TransfersTest, AFolderDownloadFollowsTheLinkTheUserChoseAsItsDestination) {
  m_folders["R"] = {{"F1", "a.txt", false}, {"D1", "sub", true}};
  m_folders["D1"] = {{"F2", "b.txt", false}};
  const std::string real = PathIn("real"), chosen = PathIn("chosen");
  ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
  ASSERT_EQ(symlink(real.c_str(), chosen.c_str()), 0);
  EXPECT_EQ(m_fs->DownloadFolder("R", "", "\\R", chosen + "/R/", 1), S_OK);
  ASSERT_TRUE(m_scripted->WaitCallbacks(2));
  EXPECT_EQ(Tree(real), "R/\nR/a.txt\nR/sub/\nR/sub/b.txt\n");
  EXPECT_TRUE(Notices().empty());
}

TEST_F(TransfersTest, AFolderThatCannotBeMadeEndsTheDownloadThere) {
  m_folders["R"] = {{"F1", "a.txt", false}, {"D1", "sub", true}, {"F2", "z.txt", false}};
  m_folders["D1"] = {{"F3", "b.txt", false}};
  FaultFileEnv env;
  env.SetHook([](FileOp op, const std::string& path) {
    return op == FileOp::kMkdir && path.ends_with("/sub") ? EIO : 0;
  });
  m_fs->UnInit();
  FileSyncOptions options = Options();
  options.env = &env;
  MakeFacade(options);
  EXPECT_EQ(m_fs->DownloadFolder("R", "", "\\R", PathIn("dest/R"), 0), E_FAIL);
  EXPECT_EQ(Tree(PathIn("dest")), "R/\nR/a.txt\n");
  EXPECT_TRUE(Notices().empty());
}

TEST_F(TransfersTest, AFolderTheServiceDoesNotListIsDownloadedAsStoredAndTheDownloadFails) {
  m_folders["S"] = {{"F1", "a.txt", false}, {"F2", "b.txt", false}};
  ASSERT_EQ(m_fs->DownloadFolder("S", "", "\\S", PathIn("first"), 0), S_OK);
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_unanswered = {"S", "N"};
  }
  // Listed before: what was stored comes down, and the failure says it may be old.
  EXPECT_EQ(m_fs->DownloadFolder("S", "", "\\S", PathIn("again"), 1), E_CV_NETWORK_ERROR2);
  ASSERT_TRUE(m_scripted->WaitCallbacks(2));
  EXPECT_EQ(Tree(PathIn("again")), "a.txt\nb.txt\n");
  // Never listed: nothing is known of it, which is no empty folder.
  EXPECT_EQ(m_fs->DownloadFolder("N", "", "\\N", PathIn("never"), 1), E_CV_NETWORK_ERROR2);
  EXPECT_EQ(Tree(PathIn("never")), "");
}

TEST_F(TransfersTest, AFolderSharedWithTheUserIsDownloadedInThatViewAndStoredThereOnly) {
  const struct {
    const char* what;
    ItemSpace found;  // the view the folder was listed in before
  } rows[] = {{"an own folder", ItemSpace::MyFile}, {"a folder shared with the user", ItemSpace::ShareToMe}};
  for (const auto& r : rows) {
    const std::string folder = r.found == ItemSpace::MyFile ? "OWN" : "SHR";
    m_folders[folder] = {{folder + "-f", "a.txt", false}, {folder + "-d", "sub", true}};
    m_folders[folder + "-d"] = {{folder + "-g", "b.txt", false}};
    CFileItemRecord dir = SeedItem(folder, "", folder, "", 1, r.found);
    dir.bIsDir = kItemFolder;
    ASSERT_EQ(m_store->AddOrUpdateFileItem(dir, r.found), S_OK);

    const std::string dest = PathIn(folder);
    EXPECT_EQ(m_fs->DownloadFolder(folder, "", "\\" + folder, dest, 0), S_OK) << r.what;
    EXPECT_EQ(Tree(dest), "a.txt\nsub/\nsub/b.txt\n") << r.what;
    const ItemSpace other = r.found == ItemSpace::MyFile ? ItemSpace::ShareToMe : ItemSpace::MyFile;
    for (const std::string& id : {folder + "-f", folder + "-d", folder + "-g"}) {
      CFileItemRecord item;
      EXPECT_EQ(m_store->GetItemInfo(id, &item, r.found), S_OK) << r.what << ": " << id;
      EXPECT_NE(m_store->GetItemInfo(id, &item, other), S_OK) << r.what << ": " << id << " stored in the other view";
    }
  }
}

TEST_F(TransfersTest, AnOpenedFileGoesToItsParentsFolderInTheCacheOnlyWhenTheIdsMakeOneLocalName) {
  m_tasks.SetRemote("F1", "one", 1);
  const struct {
    const char* parentId;
    const char* fullPath;
    const char* local;  // nullptr: not opened
  } rows[] = {
      {"P1", "\\docs\\a.txt", "P1/a.txt"},
      {"", "\\top.txt", "top.txt"},
      {"..", "\\docs\\b.txt", nullptr},
      {"x/y", "\\docs\\c.txt", nullptr},
      {".tmp", "\\docs\\d.txt", nullptr},
      {"P2", "\\docs\\..", nullptr},
  };
  int callbacks = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fullPath);
    const size_t before = m_scripted->AddedTasks().size();
    EXPECT_EQ(m_fs->OpenFile("F1", row.parentId, row.fullPath, ItemSpace::MyFile), S_OK);
    ASSERT_EQ(m_scripted->AddedTasks().size(), before + (row.local ? 1 : 0));
    if (!row.local) continue;
    EXPECT_EQ(m_scripted->AddedTasks().back().secondPath, Sync(row.local));
    ASSERT_TRUE(m_scripted->WaitCallbacks(++callbacks));
    EXPECT_EQ(ReadFileBytes(Sync(row.local)), "one");
    m_fs->RemoveOpenFile("");
  }
}

}  // namespace
