// The item operations, quota and search of the file system against the local service,
// each checked in the service's own state and in the local storage.
#include "servicerig.h"

namespace {

using ItemOpsServiceTest = FileSystemServiceTest;

TEST_F(ItemOpsServiceTest, NewFolderAndATakenName) {
  std::string id, again = "unset";
  ASSERT_EQ(m_fs->NewFolder("", "\\Docs", &id), S_OK);
  EXPECT_FALSE(id.empty());
  EXPECT_EQ(m_fs->NewFolder("", "\\Docs", &again), E_CV_TARGET_EXISTS);
  EXPECT_EQ(again, id);
  EXPECT_EQ(m_fs->NewFolder("", "\\Docs", nullptr), E_CV_TARGET_EXISTS);
  std::string inside;
  ASSERT_EQ(m_fs->NewFolder(id, "\\Docs\\Old", &inside), S_OK);
  EXPECT_EQ(m_fs->NewFolder("no-such-folder", "\\x\\y", &again), E_CV_PARENT_NOT_EXIST);
  EXPECT_EQ(again, id);
  const auto root = MyFiles("");
  EXPECT_EQ(Names(root), "Docs;");
  EXPECT_EQ(root[0].strSvrId, id);
  EXPECT_EQ(root[0].bIsDir, kItemFolder);
  EXPECT_EQ(Names(MyFiles(id)), "Old;");
}

TEST_F(ItemOpsServiceTest, RenameAndMoveAreSeenByTheNextListingOfTheFoldersConcerned) {
  const std::string a = Seed("A", "", true), b = Seed("B", "", true), f = Seed("f.txt", a);
  MyFiles("");
  MyFiles(a);
  MyFiles(b);
  ASSERT_EQ(m_fs->Rename(false, f, "g.txt"), S_OK);
  ASSERT_EQ(m_fs->Rename(true, b, "B2"), S_OK);
  EXPECT_EQ(Names(MyFiles(a)), "f.txt;");  // the store still holds the folder as listed
  CatchUpVersions();
  EXPECT_EQ(Names(MyFiles(a)), "g.txt;");
  ASSERT_EQ(m_fs->Move(false, f, b), S_OK);
  CatchUpVersions();
  EXPECT_EQ(Names(MyFiles(a)), "");
  EXPECT_EQ(Names(MyFiles(b)), "g.txt;");
  EXPECT_EQ(Names(MyFiles("")), "A;B2;");
  EXPECT_EQ(m_fs->Rename(false, "no-such-file", "x"), E_CV_TARGET_NOT_EXISTS);
}

TEST_F(ItemOpsServiceTest, MoveOntoATakenNameAsksAndMovesNothing) {
  const std::string a = Seed("A", "", true), b = Seed("B", "", true);
  const std::string inA = Seed("same.txt", a), inB = Seed("same.txt", b);
  const std::string dirA = Seed("sub", a, true), dirB = Seed("sub", b, true);
  for (int32_t answer : {1, 2, -1}) {
    m_shell->Answer(answer);
    EXPECT_EQ(m_fs->Move(false, inA, b), E_CV_TARGET_EXISTS) << answer;
    EXPECT_EQ(m_fs->Move(true, dirA, b), E_CV_TARGET_EXISTS) << answer;
  }
  const auto prompts = m_shell->Prompts();
  ASSERT_EQ(prompts.size(), 6u);
  EXPECT_EQ(prompts[0].key, "Wizard_MoveFileExist");
  EXPECT_EQ(prompts[1].key, "Wizard_MoveFolderExist");
  CatchUpVersions();
  EXPECT_EQ(Names(MyFiles(a)), Names(MyFiles(b)));
  EXPECT_EQ(Named(MyFiles(a), "same.txt").strSvrId, inA);
  EXPECT_EQ(Named(MyFiles(b), "sub").strSvrId, dirB);
  EXPECT_FALSE(inB.empty());
}

TEST_F(ItemOpsServiceTest, DeleteRecycleBinRestoreAndClean) {
  const std::string d = Seed("D", "", true), x = Seed("x.txt", d), y = Seed("y.txt");
  MyFiles("");
  MyFiles(d);
  ASSERT_EQ(Cli("SELECT count(*) FROM files"), "3\n");

  ASSERT_EQ(m_fs->Delete(true, d, ItemSpace::MyFile), S_OK);
  // The folder and what the store holds below it are gone at once.
  EXPECT_EQ(Cli("SELECT localname FROM files"), "y.txt\n");
  ASSERT_EQ(m_fs->Delete(false, y, ItemSpace::MyFile), S_OK);
  EXPECT_EQ(Cli("SELECT count(*) FROM files"), "0\n");
  EXPECT_EQ(m_fs->Delete(false, y, ItemSpace::MyFile), E_CV_TARGET_NOT_EXISTS);

  std::vector<CFileItemRecord> bin{CFileItemRecord()};
  ASSERT_EQ(m_fs->GetRecycle("0", 100, &bin), S_OK);
  ASSERT_EQ(Names(bin), ";D;y.txt;");
  for (size_t i = 1; i < bin.size(); ++i) {
    EXPECT_EQ(bin[i].bIsDir, kItemFile);  // the bin shows no folders as such
    EXPECT_EQ(bin[i].strParentId, "");
  }

  ASSERT_EQ(m_fs->Recover(d, ""), S_OK);
  ASSERT_EQ(m_fs->CleanRecycle(y), S_OK);
  EXPECT_EQ(m_fs->Recover(y, ""), E_CV_TARGET_NOT_EXISTS);
  bin.clear();
  ASSERT_EQ(m_fs->GetRecycle("0", 100, &bin), S_OK);
  EXPECT_EQ(Names(bin), "");
  CatchUpVersions();
  EXPECT_EQ(Names(MyFiles("")), "D;");
  EXPECT_EQ(Names(MyFiles(d)), "x.txt;");
  EXPECT_EQ(Named(MyFiles(d), "x.txt").strSvrId, x);
}

TEST_F(ItemOpsServiceTest, QuotaIsAskedOnceUntilForced) {
  Seed("one.txt");
  int64_t used = 0, total = 0;
  ASSERT_EQ(m_fs->GetSpaceInfo(&used, &total, false), S_OK);
  EXPECT_EQ(used, 3);
  EXPECT_EQ(total, int64_t(10) << 30);
  Seed("two.txt");
  ASSERT_EQ(m_fs->GetSpaceInfo(&used, &total, false), S_OK);
  EXPECT_EQ(used, 3);
  EXPECT_EQ(Service().Requests("/xsvr/getSpace/").size(), 1u);
  ASSERT_EQ(m_fs->GetSpaceInfo(&used, &total, true), S_OK);
  EXPECT_EQ(used, 6);
}

TEST_F(ItemOpsServiceTest, SearchMergesTheServicesHitsWithTheStoredOnesMatchingLiterally) {
  const std::string underscore = Seed("report_1.txt"), percent = Seed("report%2.txt"), plain = Seed("reportX1.txt");
  MyFiles("");
  // An item only the store knows (listed earlier, gone from the service since).
  CFileItemRecord gone = Named(MyFiles(""), "reportX1.txt");
  gone.strSvrId = "zz-gone";
  gone.strName = "report_gone.txt";
  ASSERT_EQ(m_store->AddOrUpdateFileItem(gone, ItemSpace::MyFile), S_OK);

  std::vector<CFileItemRecord> hits;
  ASSERT_EQ(m_fs->FullTextSearch("report_", 0, &hits), S_OK);
  ASSERT_EQ(Names(hits), "report_1.txt;report_gone.txt;");  // in fileId order
  EXPECT_EQ(hits[0].strSvrId, underscore);
  EXPECT_EQ(hits[0].strDigest, "report_1.txt");  // the service's hit, not the stored twin
  EXPECT_EQ(hits[1].strDigest, "");

  hits.clear();
  ASSERT_EQ(m_fs->FullTextSearch("%", 0, &hits), S_OK);
  ASSERT_EQ(Names(hits), "report%2.txt;");
  EXPECT_EQ(hits[0].strSvrId, percent);
  EXPECT_FALSE(plain.empty());

  // Without the service the stored hits stand alone, and the failure says so.
  ASSERT_EQ(Service().Stop(), 0);
  hits.clear();
  ASSERT_EQ(m_fs->FullTextSearch("_", 0, &hits), E_CV_NETWORK_ERROR2);
  EXPECT_EQ(Names(hits), "report_1.txt;report_gone.txt;");
}

TEST_F(ItemOpsServiceTest, ThumbnailLandsAtTheCachePathAndItsPackageGoes) {
  const std::string f = Seed("photo.jpg");
  FsControl(Service(), "/test/xfer/thumbnail",
            {{"fileId", f}, {"entries", nlohmann::json::array({{{"name", "p.jpg"}, {"text", "picture bytes"}}})}});
  const std::string target = PathIn("cache/" + f + ".jpg");
  auto tempFiles = [&] {
    std::string files;
    RunCommand("find " + ShellQuote(PathIn("sync/.tmp")) + " -type f | sort", &files);
    return files;
  };
  const std::string before = tempFiles();
  ASSERT_EQ(m_fs->GetThumbnail(f, target, 90, 120), S_OK);
  EXPECT_EQ(ReadFileBytes(target), "picture bytes");
  const auto got = Service().Requests("/dsAgent/getHtmlPackage/");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_NE(got[0].query.find("clientWidth=120&clientHeight=90"), std::string::npos) << got[0].query;
  EXPECT_EQ(tempFiles(), before);  // the package is gone
  EXPECT_EQ(m_fs->GetThumbnail("no-such-file", PathIn("cache/none.jpg"), 90, 120), E_CV_SRV_SERVER_ERROR);
  EXPECT_FALSE(FileExists(PathIn("cache/none.jpg")));
}

TEST_F(ItemOpsServiceTest, ViewModesOfRootViewsAndStoredFolders) {
  const std::string a = Seed("A", "", true);
  MyFiles("");
  ASSERT_EQ(m_fs->SetFolderViewMode("", 3, 7, ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_fs->SetFolderViewMode(a, 2, 7, ItemSpace::MyFile), S_OK);
  ASSERT_EQ(m_fs->SetFolderViewMode("unlisted", 4, 7, ItemSpace::MyFile), S_OK);
  EXPECT_EQ(m_fs->GetFolderViewMode("", 7, ItemSpace::MyFile), 3);
  EXPECT_EQ(m_fs->GetFolderViewMode("", 8, ItemSpace::MyFile), 0);
  EXPECT_EQ(m_fs->GetFolderViewMode(a, 7, ItemSpace::MyFile), 2);
  EXPECT_EQ(m_fs->GetFolderViewMode("unlisted", 7, ItemSpace::MyFile), 0);
}

}  // namespace
