// The file system against the test's own local service: the real remote storage aimed
// at it (direct, unlimited), the real task manager and local storage, and the account
// "ann" signed in.
#pragma once

#include <nlohmann/json.hpp>

#include "common/config.h"
#include "common/registry.h"
#include "core/remotestorage/remotestorage.h"
#include "filesystemrig.h"
#include "support/fsseed.h"
#include "support/serviceclient.h"

class FileSystemServiceTest : public FileSystemRig<LocalServiceTest> {
 protected:
  void SetUp() override {
    LocalServiceTest::SetUp();
    AimClientAtService(Service(), Root());
    remotestoragecontrol::ResetGlobalVersionFlag();
    m_ann = FsAccount(Service(), "ann");
    ASSERT_TRUE(m_ann.is_object());
    OpenStore();
    RefPtr<IRemoteStorage> remote;
    ASSERT_EQ(CreateRemoteStorage(remote.Receive()), S_OK);
    ASSERT_EQ(MakeFileSystem(remote.get(), m_ann["token"].get<std::string>()), S_OK);
  }
  void TearDown() override {
    CloseStore();
    remotestoragecontrol::ResetGlobalVersionFlag();
    LocalServiceTest::TearDown();
  }

  // Seeds an item of the user ("" = ann) as another client would; its fileId.
  std::string Seed(const std::string& name, const std::string& parentId = "", bool folder = false,
                   const std::string& userId = "") {
    nlohmann::json reply = FsControl(Service(), "/test/fs/item",
                                     {{"userId", userId.empty() ? AnnId() : userId},
                                      {"parentId", parentId},
                                      {"name", name},
                                      {"type", folder ? "folder" : "file"},
                                      {"size", 3}});
    return reply.is_object() ? reply.value("fileId", "") : "";
  }
  std::string AnnId() const { return m_ann["userId"].get<std::string>(); }
  // Tells the local storage the service's current versions, as the push would.
  void CatchUpVersions() {
    nlohmann::json state = FsState(Service(), AnnId());
    ASSERT_EQ(m_store->SetCurCacheVesion(state["opVer"].get<int64_t>()), S_OK);
    m_store->SetCurShareCacheVesion(state["shareVer"].get<int64_t>());
  }
  // How many requests went to the file-system API since the last Service().Reset().
  size_t ApiRequests() {
    size_t n = 0;
    for (const auto& r : Service().Requests()) n += r.path.rfind("/xsvr/", 0) == 0;
    return n;
  }
  std::vector<CFileItemRecord> MyFiles(const std::string& folderId, bool force = false, HRESULT expected = S_OK) {
    std::vector<CFileItemRecord> items;
    EXPECT_EQ(m_fs->DirMyFile(folderId, "", &items, force), expected) << folderId;
    return items;
  }
  // What a listing shows of each item, as the store keeps it: folder flag, name, id,
  // parent, size, file version, SHA-1, times, shared flag and share list (the item's own
  // operation version and the modifier are not kept).
  static std::string Shown(const std::vector<CFileItemRecord>& items) {
    std::string text;
    for (const CFileItemRecord& i : items) {
      text += std::to_string(i.bIsDir) + "|" + i.strName + "|" + i.strSvrId + "|" + i.strParentId + "|" +
              std::to_string(i.size) + "|" + std::to_string(i.fileVer) + "|" + i.strSha1 + "|" + i.strLocalCTime +
              "|" + i.strLocalMTime + "|" + std::to_string(i.bShared) + "|" + std::to_string(i.shareEntries.size()) +
              "\n";
    }
    return text;
  }
  // The item with that name, or an empty record.
  static CFileItemRecord Named(const std::vector<CFileItemRecord>& items, const std::string& name) {
    for (const CFileItemRecord& item : items)
      if (item.strName == name) return item;
    return CFileItemRecord();
  }

  nlohmann::json m_ann;
};
