// CRemoteStorage end to end against the local service's file-system API: sign-in,
// quota, listings, the item operations, the recycle bin, shares, search and the push
// long poll.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "core/interfaces/createtaskdata.h"
#include "support/serviceclient.h"
#include "support/fsseed.h"

namespace {

const char kDevice[] = "ostrel-0123456789abcdef0123456789abcdef|TESTPC";

class RemoteStorageServiceTest : public ServiceClientTest {
 protected:
  std::vector<std::string> ServiceArgs() override { return {"--account", "ann:pw-ann", "--push-hold-ms", "0"}; }
  void SetUp() override {
    ServiceClientTest::SetUp();
    RecordTree reply;
    TaskDataPtr<TaskData_Login> login(CreateTaskData_Login("ann", "pw-ann", kDevice, "ostrel", "1.0.0.1"));
    ASSERT_EQ(S_OK, m_rs->Login(*login, nullptr, nullptr, &reply));
    m_token = reply.GetValue("token");
    m_userId = reply.GetValue("userId");
    ASSERT_FALSE(m_token.empty());
  }
  // The listed item with that name, or null.
  static const RecordTree* Find(const RecordTree& list, const std::string& name) {
    for (size_t i = 0; i < list.GetChildCount(); ++i)
      if (list.GetChild(i).GetValue("name") == name) return &list.GetChild(i);
    return nullptr;
  }
  RecordTree Dir(const std::string& folderId) {
    TaskDataPtr<TaskData_Dir> t(CreateTaskData_Dir(m_token, folderId));
    RecordTree list;
    EXPECT_EQ(S_OK, m_rs->Dir(*t, nullptr, nullptr, &list));
    return list;
  }
  RecordTree Recycle() {
    TaskDataPtr<TaskData_GetRecycle> t(CreateTaskData_GetRecycle(m_token, "0", 100));
    RecordTree list;
    EXPECT_EQ(S_OK, m_rs->GetRecycle(*t, nullptr, nullptr, &list));
    return list;
  }
  HRESULT NewFolder(const std::string& parentId, const std::string& name, std::string* id) {
    TaskDataPtr<TaskData_DirectoryAdd> t(CreateTaskData_CreateDirectory(m_token, parentId, "\\x\\" + name));
    RecordTree reply;
    HRESULT hr = m_rs->NewFolder(*t, nullptr, nullptr, &reply);
    *id = reply.GetValue("fileId");
    return hr;
  }
  std::string MaxOpVer() {
    TaskDataPtr<TaskData_GetRemoteOptVer> t(CreateTaskData_GetMaxVer(m_token));
    RecordTree reply;
    EXPECT_EQ(S_OK, m_rs->GetMaxVers(*t, nullptr, nullptr, &reply));
    return reply.GetValue("opVer");
  }

  std::string m_token;
  std::string m_userId;
};

TEST_F(RemoteStorageServiceTest, ItemOperationsOnOwnFolders) {
  std::string docs, again, box, before = MaxOpVer();
  ASSERT_EQ(S_OK, NewFolder("", "docs", &docs));
  EXPECT_LT(std::stoll(before), std::stoll(MaxOpVer()));
  EXPECT_EQ(E_CV_TARGET_EXISTS, NewFolder("", "docs", &again));
  EXPECT_EQ(docs, again) << "targetExist names the existing folder";
  ASSERT_EQ(S_OK, NewFolder("", "box", &box));

  TaskDataPtr<TaskData_Rename> rename(CreateTaskData_Rename(m_token, true, docs, "\\docs", "papers & notes"));
  RecordTree reply;
  ASSERT_EQ(S_OK, m_rs->Rename(*rename, nullptr, nullptr, &reply));
  TaskDataPtr<TaskData_Move> move(CreateTaskData_Move(m_token, true, docs, "\\papers", box, ""));
  ASSERT_EQ(S_OK, m_rs->Move(*move, nullptr, nullptr, &reply));
  RecordTree root = Dir(""), inBox = Dir(box);
  EXPECT_EQ(nullptr, Find(root, "docs"));
  ASSERT_NE(nullptr, Find(inBox, "papers & notes"));
  EXPECT_EQ(docs, Find(inBox, "papers & notes")->GetValue("fileId"));
  EXPECT_EQ("folder", Find(inBox, "papers & notes")->GetValue("type"));

  TaskData_UpdateFile mtime;
  mtime.strToken = m_token;
  mtime.strId = docs;
  mtime.strMTime = "2024-05-01 12:00:00";
  ASSERT_EQ(S_OK, m_rs->SetFileModTime(mtime, nullptr, nullptr, &reply));
  TaskDataPtr<TaskData_GetItemInfo> info(CreateTaskData_GetFileInfo(docs));
  info->strToken = m_token;
  RecordTree item;
  ASSERT_EQ(S_OK, m_rs->GetItemInfo(*info, nullptr, nullptr, &item));
  EXPECT_EQ("papers & notes", item.GetValue("name"));
  EXPECT_EQ(box, item.GetValue("parentId"));
  EXPECT_EQ("2024-05-01 12:00:00", item.GetValue("modTime"));

  TaskDataPtr<TaskData_FullTextSearch> search(CreateTaskData_FullTextSearch(m_token, "NOTES", 0));
  RecordTree hits;
  ASSERT_EQ(S_OK, m_rs->FullTextSearch(*search, nullptr, nullptr, &hits));
  ASSERT_EQ(1u, hits.GetChildCount());
  EXPECT_EQ(docs, hits.GetChild(0).GetValue("fileId"));

  TaskDataPtr<TaskData_Dir> missing(CreateTaskData_Dir(m_token, "no-such-id"));
  EXPECT_EQ(E_CV_TARGET_NOT_EXISTS, m_rs->Dir(*missing, nullptr, nullptr, &reply));
}

TEST_F(RemoteStorageServiceTest, ReSignInQuotaAndTheRecycleBin) {
  RecordTree reply;
  TaskDataPtr<TaskData_ReLogin> relogin(CreateTaskData_ReLogin(m_token, kDevice));
  ASSERT_EQ(S_OK, m_rs->ReLogin(*relogin, nullptr, nullptr, &reply));
  EXPECT_EQ(m_userId, reply.GetValue("userId"));
  EXPECT_FALSE(reply.GetValue("token").empty());
  EXPECT_NE(std::string::npos, reply.GetValue("email").find('@'));
  EXPECT_FALSE(reply.GetValue("nickName").empty());
  TaskDataPtr<TaskData_GetSpace> space(CreateTaskData_GetSpace(m_token));
  ASSERT_EQ(S_OK, m_rs->GetSpace(*space, nullptr, nullptr, &reply));
  EXPECT_EQ("10737418240", reply.GetValue("total"));
  EXPECT_EQ("0", reply.GetValue("used"));

  std::string a, b;
  ASSERT_EQ(S_OK, NewFolder("", "a", &a));
  ASSERT_EQ(S_OK, NewFolder("", "b", &b));
  TaskDataPtr<TaskData_Delete> delA(CreateTaskData_Delete(m_token, true, a, "\\a"));
  TaskDataPtr<TaskData_Delete> delB(CreateTaskData_Delete(m_token, true, b, "\\b"));
  ASSERT_EQ(S_OK, m_rs->Delete(*delA, nullptr, nullptr));
  ASSERT_EQ(S_OK, m_rs->Delete(*delB, nullptr, nullptr));
  EXPECT_EQ(0u, Dir("").GetChildCount());
  RecordTree bin = Recycle();
  EXPECT_EQ(2u, bin.GetChildCount());
  ASSERT_NE(nullptr, Find(bin, "a"));

  TaskDataPtr<TaskData_Recover> recover(CreateTaskData_Recover(m_token, a, ""));
  ASSERT_EQ(S_OK, m_rs->Recover(*recover, nullptr, nullptr, &reply));
  EXPECT_NE(nullptr, Find(Dir(""), "a"));
  TaskDataPtr<TaskData_CleanRecycle> clean(CreateTaskData_CleanRecycle(m_token, b));
  ASSERT_EQ(S_OK, m_rs->CleanRecycle(*clean, nullptr, nullptr, &reply));
  EXPECT_EQ(0u, Recycle().GetChildCount());
  EXPECT_EQ(E_CV_TARGET_NOT_EXISTS, m_rs->Recover(*recover, nullptr, nullptr, &reply));
}

TEST_F(RemoteStorageServiceTest, SharesOutAndToMe) {
  nlohmann::json bob = FsAccount(Service(), "bob");
  ASSERT_FALSE(bob.is_null());
  std::string shared;
  ASSERT_EQ(S_OK, NewFolder("", "team", &shared));
  ShareRecord share{m_token, shared, {bob["email"].get<std::string>()}, true, false};
  RecordTree reply;
  ASSERT_EQ(S_OK, m_rs->ShareFile(share, nullptr, nullptr, &reply));

  TaskDataPtr<TaskData_GetAllShareFile> out(CreateTaskData_GetAllShareFile(m_token, 0));
  RecordTree outList;
  ASSERT_EQ(S_OK, m_rs->GetAllShareFile(*out, nullptr, nullptr, &outList));
  const RecordTree* item = Find(outList, "team");
  ASSERT_NE(nullptr, item);
  ASSERT_EQ(1u, item->GetChildCount());
  EXPECT_EQ(bob["email"].get<std::string>(), item->GetChild(0).GetValue("email"));
  EXPECT_NE(std::string::npos, item->GetChild(0).GetValue("right").find("write"));

  TaskDataPtr<TaskData_GetAllShareFile> toMe(CreateTaskData_GetAllShareFile(bob["token"].get<std::string>(), 1));
  RecordTree toMeList;
  ASSERT_EQ(S_OK, m_rs->GetAllShareFile(*toMe, nullptr, nullptr, &toMeList));
  item = Find(toMeList, "team");
  ASSERT_NE(nullptr, item);
  EXPECT_EQ(shared, item->GetValue("fileId"));
  ASSERT_EQ(1u, item->GetChildCount());
  EXPECT_EQ(m_userId, item->GetChild(0).GetValue("userId"));
}

TEST_F(RemoteStorageServiceTest, PushPollReturnsWhenAnotherClientChangesSomething) {
  std::string before = MaxOpVer();
  auto poll = std::async(std::launch::async, [this] {
    TaskData_PushNotify push;
    push.strUserId = m_userId;
    RecordTree reply;
    HRESULT hr = m_rs->PushNotify(push, nullptr, nullptr, &reply);
    return std::make_pair(hr, reply);
  });
  // The change must come while the poll is held, or the poll would wait for the next.
  while (!HasFailure() && FsState(Service())["heldPolls"] != 1) std::this_thread::yield();

  // Another client of the same account: its own token, its own remote storage.
  RefPtr<IRemoteStorage> other;
  ASSERT_EQ(S_OK, CreateRemoteStorage(other.Receive()));
  TaskDataPtr<TaskData_DirectoryAdd> add(CreateTaskData_CreateDirectory("", "", "\\elsewhere"));
  RecordTree reply;
  TaskDataPtr<TaskData_ReLogin> fork(CreateTaskData_ReLogin(m_token, kDevice));
  ASSERT_EQ(S_OK, other->ReLogin(*fork, nullptr, nullptr, &reply));
  add->strToken = reply.GetValue("token");
  ASSERT_EQ(S_OK, other->NewFolder(*add, nullptr, nullptr, &reply));

  ASSERT_EQ(std::future_status::ready, poll.wait_for(std::chrono::seconds(20)));
  auto [hr, pushed] = poll.get();
  ASSERT_EQ(S_OK, hr);
  EXPECT_EQ(MaxOpVer(), pushed.GetValue("opVer"));
  EXPECT_NE(before, pushed.GetValue("opVer"));
  EXPECT_FALSE(pushed.GetValue("shareVer").empty());
  EXPECT_EQ(kDevice, pushed.GetValue("deviceId"));
  auto polls = Service().Requests("/sync/get");
  ASSERT_EQ(1u, polls.size());
  EXPECT_EQ("GET", polls[0].method);
  EXPECT_EQ("uid=" + m_userId, polls[0].query);
}

}  // namespace
