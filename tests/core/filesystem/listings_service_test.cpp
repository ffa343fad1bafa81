// The listings of the file system against the local service: served from the local
// storage while current, from the stored snapshot (with the failure) while the service
// is down, the share views with a second account, and what hostile or deep trees leave
// in the store.
#include <functional>
#include <thread>

#include "core/interfaces/createtaskdata.h"
#include "servicerig.h"
#include "support/logcapture.h"

namespace {

using ListingsServiceTest = FileSystemServiceTest;

TEST_F(ListingsServiceTest, ACurrentFolderIsListedWithoutAsking) {
  const std::string a = Seed("A", "", true);
  Seed("b.txt");
  Seed("c.txt", a);
  const auto first = MyFiles("");
  EXPECT_EQ(Names(first), "A;b.txt;");
  EXPECT_EQ(Named(first, "b.txt").size, 3);
  Service().Reset();
  EXPECT_EQ(Shown(MyFiles("")), Shown(first));
  EXPECT_EQ(ApiRequests(), 0u);
  EXPECT_EQ(Names(MyFiles(a)), "c.txt;");  // never listed: asked
  EXPECT_EQ(Service().Requests("/xsvr/dir/").size(), 1u);

  // Another client's change makes every folder stale once the version is known.
  Seed("d.txt");
  Service().Reset();
  EXPECT_EQ(Names(MyFiles("")), "A;b.txt;");
  EXPECT_EQ(ApiRequests(), 0u);
  CatchUpVersions();
  EXPECT_EQ(Names(MyFiles("")), "A;b.txt;d.txt;");
  EXPECT_EQ(Service().Requests("/xsvr/dir/").size(), 1u);
}

TEST_F(ListingsServiceTest, WithTheServiceDownTheStoredSnapshotIsShownWithTheFailure) {
  const std::string a = Seed("A", "", true);
  Seed("c.txt", a);
  const auto root = MyFiles("");
  const auto inA = MyFiles(a);
  Seed("d.txt");
  CatchUpVersions();  // the stored listings are stale now
  ASSERT_EQ(Service().Stop(), 0);
  EXPECT_EQ(Shown(MyFiles("", true, E_CV_NETWORK_ERROR2)), Shown(root));
  EXPECT_EQ(Shown(MyFiles("", false, E_CV_NETWORK_ERROR2)), Shown(root));
  EXPECT_EQ(Shown(MyFiles(a, true, E_CV_NETWORK_ERROR2)), Shown(inA));
  EXPECT_EQ(Names(MyFiles("never-listed", true, E_CV_NETWORK_ERROR2)), "");
  int64_t used = 0, total = 0;
  EXPECT_EQ(m_fs->GetSpaceInfo(&used, &total, true), E_CV_NETWORK_ERROR2);
}

TEST_F(ListingsServiceTest, AFileMadeEmptyHasNoSha1AndItsFolderStaysReadable) {
  TaskDataPtr<TaskData_NewFile> record(CreateTaskData_UpdateNewFile("", "\\empty.txt", PathIn("unused")));
  record->strToken = m_ann["token"].get<std::string>();
  RecordTree reply;
  ASSERT_EQ(m_remote->NewFile(*record, nullptr, nullptr, &reply), S_OK);
  Seed("full.txt");
  const auto listed = MyFiles("");
  ASSERT_EQ(Names(listed), "empty.txt;full.txt;");
  EXPECT_EQ(Named(listed, "empty.txt").strSha1, "");
  Service().Reset();
  EXPECT_EQ(Shown(MyFiles("")), Shown(listed));  // from the store
  EXPECT_EQ(ApiRequests(), 0u);
  std::vector<CFileItemRecord> hits;
  ASSERT_EQ(m_fs->FullTextSearch("empty", 0, &hits), S_OK);
  EXPECT_EQ(Names(hits), "empty.txt;");
}

TEST_F(ListingsServiceTest, ItemsSharedBothWaysWithASecondAccount) {
  const nlohmann::json bob = FsAccount(Service(), "bob");
  const std::string bobId = bob["userId"], bobEmail = bob["email"], bobNick = bob["nickName"];
  const std::string f = Seed("F", "", true, bobId), g = Seed("g.txt", f, false, bobId);
  const std::string h = Seed("h.txt", "", false, bobId);
  const std::string mine = Seed("Mine", "", true);
  Seed("private.txt");
  FsControl(Service(), "/test/fs/share", {{"fileId", f}, {"to", "ann"}, {"writable", true}});
  FsControl(Service(), "/test/fs/share", {{"fileId", h}, {"to", "ann"}});
  FsControl(Service(), "/test/fs/share", {{"fileId", mine}, {"to", bobEmail}, {"writable", true}});
  CatchUpVersions();

  std::vector<CFileItemRecord> out;
  ASSERT_EQ(m_fs->DirShareToOther("", "", &out, false), S_OK);
  ASSERT_EQ(Names(out), "Mine;");
  EXPECT_EQ(out[0].shareEntries, (std::vector<ShareEntry>{{bobNick, bobId, bobEmail, 3}}));

  std::vector<CFileItemRecord> sharers;
  ASSERT_EQ(m_fs->DirShareToMe("", "", &sharers, false), S_OK);
  ASSERT_EQ(sharers.size(), 1u);
  EXPECT_EQ(sharers[0].strSvrId, bobEmail);
  EXPECT_EQ(sharers[0].strName, bobNick + "(" + bobEmail + ")");
  EXPECT_EQ(sharers[0].bIsDir, kItemSharerFolder);
  std::vector<CFileItemRecord> shared;
  ASSERT_EQ(m_fs->DirShareToMe(bobEmail, "", &shared, false), S_OK);
  EXPECT_EQ(Names(shared), "F;h.txt;");
  std::vector<CFileItemRecord> inF;
  ASSERT_EQ(m_fs->DirShareToMe(f, "", &inF, false), S_OK);
  EXPECT_EQ(Names(inF), "g.txt;");

  // The rights of an item come from the nearest stored share list.
  const struct { std::string id; uint32_t rights; } rows[] = {{g, 3}, {f, 3}, {h, 1}};
  for (const auto& row : rows) {
    std::vector<ShareEntry> entries;
    ASSERT_EQ(m_fs->GetItemShareRight(row.id, &entries, ItemSpace::ShareToMe), S_OK) << row.id;
    EXPECT_EQ(entries, (std::vector<ShareEntry>{{bobNick, bobId, bobEmail, row.rights}})) << row.id;
  }
  std::vector<ShareEntry> none;
  EXPECT_EQ(m_fs->GetItemShareRight("unknown", &none, ItemSpace::ShareToMe), E_FAIL);
  // Both share levels are current now.
  Service().Reset();
  sharers.clear();
  ASSERT_EQ(m_fs->DirShareToMe("", "", &sharers, false), S_OK);
  ASSERT_EQ(m_fs->DirShareToMe(bobEmail, "", &shared, false), S_OK);
  EXPECT_EQ(ApiRequests(), 0u);
  EXPECT_EQ(sharers[0].bIsDir, kItemSharerFolder);
}

// Another client's change made while a listing is under way, and pushed to the store
// before the listing is stored: the listing must not count as holding the change unless
// its rows hold it, so the next listings without a refresh show it, from the service and
// then from the store. Own folders ask the version before their listing; the share
// listings keep the share version stored before theirs.
TEST_F(ListingsServiceTest, AChangeMadeDuringAListingShowsInTheNextListings) {
  const nlohmann::json bob = FsAccount(Service(), "bob"), carol = FsAccount(Service(), "carol");
  FsControl(Service(), "/test/fs/share", {{"fileId", Seed("h.txt", "", false, bob["userId"])}, {"to", "ann"}});
  Seed("old.txt");
  const std::string doomed = Seed("doomed.txt");
  CatchUpVersions();
  const std::string token = m_ann["token"].get<std::string>();
  // A request of ann's to the file-system API, as another client sends it.
  auto ask = [&](const std::string& path, const std::string& params) {
    return HttpExchange(Service().Port(), "POST", path,
                        "<?xml version=\"1.0\"?><nuvra><token>" + token + "</token>" + params + "</nuvra>", {"v: 2"})
        .body;
  };
  auto ownRoot = [&](bool force) { return Names(MyFiles("", force)); };
  auto sharedWithMe = [&](bool force) {
    std::vector<CFileItemRecord> items;
    EXPECT_EQ(m_fs->DirShareToMe("", "", &items, force), S_OK);
    return Names(items);
  };
  const struct {
    const char* what;
    const char* heldPath;       // the request held while the change is made
    const char* answeredBefore; // its parameters when its reply is the one given before the change
    std::function<void()> change;
    std::function<std::string(bool force)> list;
    std::string shown, gone;
  } rows[] = {
      {"own folder, a new item: its version query", "/xsvr/getMaxVers/", nullptr, [&] { Seed("new.txt"); }, ownRoot,
       "new.txt;", ""},
      {"own folder, an item deleted: its listing", "/xsvr/dir/", "<fileId></fileId>",
       [&] { ask("/xsvr/delete/", "<fileId>" + doomed + "</fileId>"); }, ownRoot, "old.txt;", "doomed.txt;"},
      {"shared-with-me root, a new sharer: its listing", "/xsvr/asmGetAllSharedFiles/", "<type>toMe</type>",
       [&] {
         FsControl(Service(), "/test/fs/share",
                   {{"fileId", Seed("c.txt", "", false, carol["userId"])}, {"to", "ann"}});
       },
       sharedWithMe, carol["nickName"].get<std::string>() + "(", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    nlohmann::json fault{{"path", row.heldPath}, {"hold", "listing"}};
    if (row.answeredBefore) fault["body"] = ask(row.heldPath, row.answeredBefore);
    Service().Reset();  // the log then holds the listing's requests alone
    Service().Inject(fault.dump());
    std::thread listing([&] { row.list(true); });
    EXPECT_TRUE(Service().AwaitRequests(row.heldPath));
    row.change();
    CatchUpVersions();  // as the push of the change would
    Service().Release("listing");
    listing.join();
    for (const char* which : {"the next listing", "the one after"}) {
      const std::string names = row.list(false);
      EXPECT_NE(names.find(row.shown), std::string::npos) << which << ": " << names;
      if (!row.gone.empty()) {
        EXPECT_EQ(names.find(row.gone), std::string::npos) << which << ": " << names;
      }
    }
  }
}

// Every path under the test's folder, except the user's folder (the data base) and the log.
std::string PathsOutsideTheUsersFolder(const std::string& root) {
  std::string out;
  RunCommand("cd " + ShellQuote(root) + " && find . -path ./user -prune -o -path ./log -prune -o -print | sort", &out);
  return out;
}

TEST_F(ListingsServiceTest, AHostileListingStoresNothingUnsafe) {
  Seed("..");
  Seed("a/b");
  const std::string safe = Seed("safe.txt");
  const std::string before = PathsOutsideTheUsersFolder(Root());
  LogCapture log;
  EXPECT_EQ(Names(MyFiles("")), "safe.txt;");
  // A folder whose listing names itself, an item that is its own parent, "../x", one
  // without id, and a fine one.
  const std::string loop = Seed("loop", "", true);
  Service().Inject(nlohmann::json{
      {"path", "/xsvr/dir/"},
      {"body", "<?xml version=\"1.0\" encoding=\"utf-8\" ?><nuvra result=\"ok\">"
               "<item><type>folder</type><fileId>" + loop + "</fileId><parentId>" + loop +
               "</parentId><name>loop</name></item>"
               "<item><type>folder</type><fileId>self</fileId><parentId>SELF</parentId><name>self</name></item>"
               "<item><type>file</type><fileId>up</fileId><parentId>" + loop +
               "</parentId><name>../x</name><sha1>ab</sha1></item>"
               "<item><type>file</type><name>no id</name></item>"
               "<item><type>file</type><fileId>fine</fileId><parentId>" + loop +
               "</parentId><name>fine.txt</name><sha1>ab</sha1><createdTime>t</createdTime>"
               "<modTime>t</modTime></item></nuvra>"}}.dump());
  EXPECT_EQ(Names(MyFiles(loop)), "fine.txt;");
  EXPECT_EQ(log.Count("left out"), 5) << log.All();
  EXPECT_EQ(Cli("SELECT svrid, svrparentid, localname FROM files WHERE localname <> 'loop' ORDER BY localname"),
            "fine|" + loop + "|fine.txt\n" + safe + "||safe.txt\n");
  EXPECT_EQ(PathsOutsideTheUsersFolder(Root()), before);
}

TEST_F(ListingsServiceTest, WalksOverATenThousandDeepChainEndWithinTheirCaps) {
  const std::string top = Seed("top", "", true);
  MyFiles("");
  const std::string stamp = Cli("SELECT itemversion FROM files WHERE svrid = '" + top + "'");
  // The chain below top, as deep listings would have stored it, with the share list on top.
  Cli("WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM c WHERE n < 10000) "
      "INSERT INTO files (isdir, svrid, svrparentid, localname, sha1, itemversion, sharers) "
      "SELECT 1, 'c' || n, CASE n WHEN 1 THEN '" + top + "' ELSE 'c' || (n - 1) END, 'c' || n, '', " + stamp +
      ", '' FROM c; "
      "INSERT INTO files (isdir, svrid, svrparentid, localname, sha1, local_ctime, local_mtime, itemversion, sharers) "
      "VALUES (0, 'leaf', 'c10000', 'leaf', 'ab', 't', 't', " + stamp + ", ''); "
      "UPDATE files SET sharers = 'u-x,1,x@y,X' WHERE svrid = '" + top + "';");
  ASSERT_EQ(Cli("SELECT count(*) FROM files"), "10002\n");

  std::vector<ShareEntry> entries;
  EXPECT_EQ(m_fs->GetItemShareRight("leaf", &entries, ItemSpace::MyFile), E_FAIL);
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(m_fs->GetItemShareRight("c3", &entries, ItemSpace::MyFile), S_OK);  // near the top it is found
  EXPECT_EQ(entries.size(), 1u);

  LogCapture log;
  EXPECT_EQ(m_fs->Delete(true, top, ItemSpace::MyFile), S_OK);  // the service's delete stands
  EXPECT_TRUE(log.Contains("nested deeper than")) << log.All();
  EXPECT_TRUE(log.Contains("*ASSERT*: (((HRESULT)(hr)) >= 0)"));
  // The root's listing sweeps top away as far as the walk reaches; its own rows are not
  // kept then and the root stays stale.
  log.Clear();
  EXPECT_EQ(Names(MyFiles("", true)), "");
  EXPECT_TRUE(log.Contains("nested deeper than")) << log.All();
  EXPECT_TRUE(m_fs->FolderNeedUpdate("", ItemSpace::MyFile));
}

}  // namespace
