// The share views against a scripted remote storage: the three levels of the
// shared-with-me view, what each level stores, and the shared-out root.
#include "core/interfaces/createtaskdata.h"
#include "filesystemrig.h"
#include "support/logcapture.h"

namespace {

// One item shared with the user by the person with that nickName and email.
void AddShared(RecordTree* reply, const std::string& id, const std::string& name, const std::string& nickName,
               const std::string& email, const char* right = "read", const char* parentId = "owner-folder") {
  RecordTree& item = reply->AddChild("item");
  item.AddValue("type", "file");
  item.AddValue("fileId", id);
  item.AddValue("parentId", parentId);
  item.AddValue("name", name);
  item.AddValue("sha1", "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  item.AddValue("createdTime", "2024-03-05 10:00:00");
  item.AddValue("modTime", "2024-03-05 11:00:00");
  if (email.empty()) return;
  RecordTree& sharer = item.AddChild("sharer");
  sharer.AddValue("nickName", nickName);
  sharer.AddValue("email", email);
  sharer.AddValue("userId", "u-" + nickName);
  sharer.AddValue("right", right);
}

class ShareListingsTest : public FileSystemRig<OstrelTest> {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    OpenStore();
    RecordTree versions("nuvra");
    versions.AddValue("opVer", "5");
    versions.AddValue("shareVer", "7");
    m_rec->Queue("GetMaxVers", S_OK, versions);
    ASSERT_EQ(MakeFileSystem(m_rec.get()), S_OK);
    // Bob shares two files; Eve, whose nickName is her email, one; one item names no
    // sharer, one a sharer without "@".
    AddShared(&m_toMe, "b1", "b one", "Bob", "bob@x", "read,write");
    AddShared(&m_toMe, "e1", "e one", "EVE@Y", "eve@y");
    AddShared(&m_toMe, "b2", "b two", "Bob", "BOB@X");
    AddShared(&m_toMe, "n1", "nobody's", "", "");
    AddShared(&m_toMe, "z1", "z one", "Zed", "zed");
  }
  void TearDown() override {
    CloseStore();
    OstrelTest::TearDown();
  }
  std::vector<CFileItemRecord> ShareToMe(const std::string& id, bool force, HRESULT expected = S_OK) {
    std::vector<CFileItemRecord> items;
    EXPECT_EQ(m_fs->DirShareToMe(id, "", &items, force), expected) << id;
    return items;
  }
  size_t Requests() { return m_rec->Calls().size(); }

  RefPtr<RecordingRemoteStorage> m_rec{new RecordingRemoteStorage};
  RecordTree m_toMe{"nuvra"};
};

TEST_F(ShareListingsTest, TheRootListsOnePseudoFolderPerSharer) {
  m_rec->Queue("GetAllShareFile", S_OK, m_toMe);
  LogCapture log;
  const auto root = ShareToMe("", false);
  EXPECT_EQ(Names(root), "Bob(bob@x);EVE@Y;");
  for (const auto& folder : root) {
    EXPECT_EQ(folder.bIsDir, kItemSharerFolder);
    EXPECT_EQ(folder.strParentId, "");
    EXPECT_EQ(folder.bShared, 0);
  }
  EXPECT_EQ(root[0].strSvrId, "bob@x");
  EXPECT_TRUE(log.Contains("its email has no \"@\"")) << log.All();
  // Stored as folders of the root, current at the share version.
  EXPECT_EQ(Cli("SELECT svrid, isdir, svrparentid, localname FROM shareinfiles ORDER BY svrid"),
            "bob@x|1||Bob(bob@x)\neve@y|1||EVE@Y\n");
  EXPECT_FALSE(m_fs->FolderNeedUpdate("", ItemSpace::ShareToMe));

  // Served again from the store, still as pseudo-folders; no request.
  const size_t sent = Requests();
  const auto again = ShareToMe("", false);
  EXPECT_EQ(Names(again), Names(root));
  for (const auto& folder : again) EXPECT_EQ(folder.bIsDir, kItemSharerFolder);
  EXPECT_EQ(Requests(), sent);
}

TEST_F(ShareListingsTest, ASharersFolderListsOnlyThatSharersItems) {
  m_rec->Queue("GetAllShareFile", S_OK, m_toMe);
  ShareToMe("", false);
  m_rec->Queue("GetAllShareFile", S_OK, m_toMe);
  const auto bob = ShareToMe("bob@x", false);  // never listed: stale
  EXPECT_EQ(Names(bob), "b one;b two;");
  for (const auto& item : bob) {
    EXPECT_EQ(item.strParentId, "bob@x");
    EXPECT_EQ(item.bShared, 1);
    ASSERT_EQ(item.shareEntries.size(), 1u);
    EXPECT_EQ(item.shareEntries[0].nickName, "Bob");
  }
  EXPECT_EQ(bob[0].shareEntries[0].rights, kShareRightRead | kShareRightWrite);
  EXPECT_EQ(Cli("SELECT svrid, svrparentid, sharers FROM shareinfiles WHERE svrparentid = 'bob@x' ORDER BY svrid"),
            "b1|bob@x|u-Bob,3,bob@x,Bob\nb2|bob@x|u-Bob,1,BOB@X,Bob\n");
  // The pseudo-folder's mark is its row: current now.
  EXPECT_FALSE(m_fs->FolderNeedUpdate("bob@x", ItemSpace::ShareToMe));
  std::vector<ShareEntry> rights;
  EXPECT_EQ(m_fs->GetItemShareRight("b1", &rights, ItemSpace::ShareToMe), S_OK);
  ASSERT_EQ(rights.size(), 1u);
  EXPECT_EQ(rights[0].rights, 3u);

  // A real folder below is listed by id as a folder of the shared-with-me table.
  EXPECT_EQ(m_rec->Methods().back(), "GetAllShareFile");
  ShareToMe("b1", true);
  const auto calls = m_rec->Calls();
  EXPECT_EQ(calls[calls.size() - 2].method, "GetMaxVers");
  EXPECT_EQ(calls.back().method, "Dir");
}

TEST_F(ShareListingsTest, WithoutAnAnswerTheStoredLevelIsShownWithTheFailure) {
  m_rec->Queue("GetAllShareFile", S_OK, m_toMe);
  ShareToMe("", true);
  m_rec->Queue("GetAllShareFile", S_OK, m_toMe);
  ShareToMe("bob@x", true);
  for (int i = 0; i < 4; ++i) m_rec->Queue("GetAllShareFile", E_CV_NETWORK_ERROR3);
  const auto root = ShareToMe("", true, E_CV_NETWORK_ERROR3);
  EXPECT_EQ(Names(root), "Bob(bob@x);EVE@Y;");
  EXPECT_EQ(root[1].bIsDir, kItemSharerFolder);
  EXPECT_EQ(Names(ShareToMe("bob@x", true, E_CV_NETWORK_ERROR3)), "b one;b two;");
  // Eve's folder was never listed: nothing stored, nothing shown, the service's answer.
  m_rec->Queue("GetAllShareFile", E_CV_TARGET_NOT_EXISTS);
  EXPECT_EQ(Names(ShareToMe("eve@y", true, E_CV_TARGET_NOT_EXISTS)), "");
}

TEST_F(ShareListingsTest, TheSharedOutRootComesFromTheServiceWithShareEntriesAndIsNotStored) {
  RecordTree out("nuvra");
  AddShared(&out, "mine", "shared.txt", "Cy", "cy@x", "write");
  m_rec->Queue("GetAllShareFile", S_OK, out);
  std::vector<CFileItemRecord> items;
  ASSERT_EQ(m_fs->DirShareToOther("", "", &items, false), S_OK);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].bShared, 1);
  EXPECT_EQ(items[0].shareEntries, (std::vector<ShareEntry>{{"Cy", "u-Cy", "cy@x", kShareRightWrite}}));
  EXPECT_EQ(Cli("SELECT count(*) FROM files"), "0\n");
  // A failure is returned as it is.
  m_rec->Queue("GetAllShareFile", E_CV_SRV_SERVER_ERROR);
  items.clear();
  EXPECT_EQ(m_fs->DirShareToOther("", "", &items, true), E_CV_SRV_SERVER_ERROR);
  EXPECT_TRUE(items.empty());
}

TEST_F(ShareListingsTest, AnUnreadableSharedOutRootIsAskedForAsSuchNeverAsTheOwnRoot) {
  std::vector<CFileItemRecord> items;
  ASSERT_EQ(m_fs->DirMyFile("", "", &items, false), S_OK);  // marks the own root
  m_rec->Queue("GetAllShareFile", S_OK, RecordTree("nuvra"));
  ASSERT_EQ(m_fs->DirShareToOther("", "", &items, false), S_OK);
  ASSERT_FALSE(m_fs->FolderNeedUpdate("", ItemSpace::ShareToOther));
  // The stored root of the view: the own root's shared rows.
  CFileItemRecord mine;
  mine.strSvrId = "mine";
  mine.strName = "mine.txt";
  mine.strSha1 = "ab";
  mine.strLocalCTime = mine.strLocalMTime = "t";
  mine.bShared = 1;
  ASSERT_EQ(m_store->AddOrUpdateFileItem(mine, ItemSpace::MyFile), S_OK);
  mine.strSvrId = "private";
  mine.strName = "private.txt";
  mine.bShared = 0;
  ASSERT_EQ(m_store->AddOrUpdateFileItem(mine, ItemSpace::MyFile), S_OK);
  const size_t sent = Requests();
  items.clear();
  ASSERT_EQ(m_fs->DirShareToOther("", "", &items, false), S_OK);
  EXPECT_EQ(Names(items), "mine.txt;");
  EXPECT_EQ(Requests(), sent);

  Cli("UPDATE files SET local_ctime = NULL WHERE svrid = 'mine'");
  RecordTree out("nuvra");
  AddShared(&out, "mine", "mine.txt", "Cy", "cy@x");
  m_rec->Queue("GetAllShareFile", S_OK, out);
  items.clear();
  ASSERT_EQ(m_fs->DirShareToOther("", "", &items, false), S_OK);
  EXPECT_EQ(Names(items), "mine.txt;");
  EXPECT_EQ(m_rec->Methods().back(), "GetAllShareFile");
  EXPECT_EQ(Requests(), sent + 1);
}

TEST_F(ShareListingsTest, ASharedOutFolderListsAllItsChildrenAlsoFromTheStore) {
  RecordTree children("nuvra");
  AddShared(&children, "c1", "child.txt", "", "", "", "S");  // not shared by itself
  m_rec->Queue("Dir", S_OK, children);
  CFileItemRecord folder;
  folder.bIsDir = kItemFolder;
  folder.strSvrId = "S";
  folder.strName = "shared";
  folder.bShared = 1;
  ASSERT_EQ(m_store->AddOrUpdateFileItem(folder, ItemSpace::MyFile), S_OK);
  std::vector<CFileItemRecord> items;
  ASSERT_EQ(m_fs->DirShareToOther("S", "", &items, false), S_OK);
  EXPECT_EQ(Names(items), "child.txt;");
  const size_t sent = Requests();
  items.clear();
  ASSERT_EQ(m_fs->DirShareToOther("S", "", &items, false), S_OK);
  EXPECT_EQ(Names(items), "child.txt;");
  EXPECT_EQ(Requests(), sent);
}

}  // namespace
