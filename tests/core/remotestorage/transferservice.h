// The fixture of the transfer tests against the local service: an account, the
// remote storage aimed at the service, a local storage (on the user's data base in
// root/user, its sync folder root/sync) whose temp folder the transfers use, and the
// flows of the file tasks over the transfer slots. A failed download leaves its target
// alone, so after every test the temp folder must hold nothing but kept blocks of
// unfinished downloads.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/db/dbhelper.h"
#include "common/filehelper.h"
#include "common/sha1.h"
#include "core/encrypt/encodefile.h"
#include "core/interfaces/createtaskdata.h"
#include "core/localstorage/localstorage.h"
#include "core/remotestorage/blockfiles.h"
#include "core/remotestorage/blockid.h"
#include "support/serviceclient.h"
#include "support/fsseed.h"
#include "support/tempfolder.h"

// Text-like bytes (words of a small vocabulary, pseudo-random order): packs the way
// program text does.
inline std::string TextBytes(size_t n, uint32_t seed) {
  static const char* const kWords[] = {"int ", "return ", "if (", "x", "y", ") {\n", "}\n", "for ", "const ",
                                       "std::string ", "0x", "while ", "= ", "+ ", "; ", "// note\n"};
  std::string out;
  out.reserve(n + 16);
  uint32_t s = seed * 2654435761u + 1;
  while (out.size() < n) {
    s = s * 1664525u + 1013904223u;
    out += kWords[(s >> 24) % 16];
    if ((s & 0xFF) < 8) out += std::to_string(s);
  }
  out.resize(n);
  return out;
}

class TransferServiceTest : public ServiceClientTest {
 protected:
  void SetUp() override {
    ServiceClientTest::SetUp();
    const std::string user = Root() + "/user";
    ASSERT_NO_FATAL_FAILURE(OpenUserDbIn(user));
    ASSERT_EQ(S_OK, CreateLocalStorage(m_store.Receive()));
    ASSERT_EQ(S_OK, m_store->Init(user, Root() + "/sync"));
    nlohmann::json account = FsAccount(Service(), "ann");
    m_token = account["token"].get<std::string>();
    m_userId = account["userId"].get<std::string>();
  }
  void TearDown() override {
    EXPECT_TRUE(Leftovers().empty()) << ::testing::PrintToString(Leftovers());
    m_store = nullptr;
    CloseUserDB();
    ServiceClientTest::TearDown();
  }

  static std::string Sha1(const std::string& s) { return Sha1Hex(s.data(), s.size()); }
  std::string Temp() { return m_store->GetTempFolder(); }

  // Every path below the temp folder, and those a transfer must never leave behind.
  std::vector<std::string> Entries() { return TempFolderEntries(m_store.get()); }
  std::vector<std::string> Leftovers() { return TempLeftovers(m_store.get()); }
  // The kept blocks of every resume folder.
  std::vector<std::string> KeptBlocks() {
    std::vector<std::string> out;
    for (const std::string& e : Entries())
      if (e.ends_with(".done")) out.push_back(e);
    return out;
  }

  // A new empty file entry in the root.
  std::string NewFile(const std::string& name) {
    TaskDataPtr<TaskData_NewFile> t(CreateTaskData_UpdateNewFile("", "\\" + name, "/unused"));
    t->strToken = m_token;
    RecordTree reply;
    EXPECT_EQ(S_OK, m_rs->NewFile(*t, nullptr, nullptr, &reply));
    return reply.GetValue("fileId");
  }

  // The block upload as the upload task makes it: a temp copy, split, uploaded under
  // the item's real name, everything removed after.
  HRESULT UploadBlocks(const std::string& fileId, const std::string& fileVer, const std::string& name,
                       const std::string& plain, std::string* newVer, TransportProgressCallback callback = nullptr,
                       void* context = nullptr) {
    const std::string copy = m_store->GetTempFilePath();
    WriteFileBytes(copy, plain);
    std::vector<std::string> blocks;
    int64_t size = 0;
    std::string sha1;
    HRESULT hr = SplitFileToBlocks(copy, &blocks, &size, &sha1);
    if (SUCCEEDED(hr)) {
      TaskData_UpdateFile_UFA rec;
      rec.strToken = m_token;
      rec.strFileVer = fileVer;
      rec.strFileName = name;
      rec.strFileId = fileId;
      rec.strSizeOrg = std::to_string(size);
      rec.strFileOrgSha1 = sha1;
      rec.pathEncode = m_store->GetTempFilePath();
      hr = m_rs->UploadFile_UFA(rec, blocks, callback, context, newVer);
    }
    DeleteBlockFiles(blocks);
    ForceDeleteFile(copy);
    return hr;
  }

  HRESULT DownloadBlocks(const std::string& fileId, std::string* plain, bool previous = false,
                         TransportProgressCallback callback = nullptr, void* context = nullptr,
                         TaskData_DownloadFile_UFA* out = nullptr) {
    TaskData_DownloadFile_UFA rec;
    rec.strToken = m_token;
    rec.strFileId = fileId;
    rec.pathDownload = m_store->GetTempFilePath();
    HRESULT hr = m_rs->DownloadFile_UFA(rec, m_store.get(), callback, context, previous);
    if (hr == S_OK) *plain = ReadFileBytes(rec.pathDownload);
    if (hr == S_OK) ForceDeleteFile(rec.pathDownload);
    if (out) *out = rec;
    return hr;
  }

  // The whole-file upload as the upload task makes it: the ticket, the file encoded by
  // EncodeFile under the item's name, the upload; everything removed after.
  HRESULT UploadWhole(const std::string& fileId, const std::string& fileVer, const std::string& name,
                      const std::string& plain, std::string* newVer) {
    const std::string copy = m_store->GetTempFilePath();
    WriteFileBytes(copy, plain);
    TaskDataPtr<TaskData_UpdateFile> rec(CreateTaskData_UpdateFile(fileId, "\\" + name, fileVer, copy));
    rec->strToken = m_token;
    rec->strSizeOrg = std::to_string(plain.size());
    rec->strSha1Org = Sha1(plain);
    RecordTree ticket;
    HRESULT hr = m_rs->UpdateFile(*rec, nullptr, nullptr, &ticket);
    if (hr == S_OK) {
      rec->strTempPath = m_store->GetTempFilePath();
      rec->strUrl = ticket.GetValue("url");
      rec->strStub = ticket.GetValue("stub");
      hr = EncodeFile(name, copy, rec->strTempPath, ticket.GetValue("fileKey"), false);
      int64_t size = 0;
      if (hr == S_OK) hr = GetFileSizeAndSha1(rec->strTempPath, &size, &rec->strSha1Check, nullptr);
      rec->strSizeCheck = std::to_string(size);
      RecordTree reply;
      if (hr == S_OK) hr = m_rs->_UploadFile(*rec, nullptr, nullptr, &reply);
      *newVer = reply.GetValue("fileVer");
      ForceDeleteFile(rec->strTempPath);
    }
    ForceDeleteFile(copy);
    return hr;
  }

  // The whole-file download and its decode, as the download task makes them; the blob
  // stays where the download put it unless it succeeds.
  HRESULT DownloadWhole(const std::string& fileId, std::string* plain, int previous = 0) {
    TaskDataPtr<TaskData_DownloadFile> rec(CreateTaskData_DownloadFile(fileId, "\\f", ""));
    rec->strToken = m_token;
    rec->nPreviousVer = previous;
    rec->strTempPath = m_store->GetTempFilePath();
    RecordTree reply;
    HRESULT hr = m_rs->DownloadFile(*rec, nullptr, nullptr, &reply);
    if (hr != S_OK) return hr;
    const std::string decoded = m_store->GetTempFilePath();
    hr = DecodeFile(rec->strTempPath, decoded, reply.GetValue("fileKey"));
    if (hr == S_OK) *plain = ReadFileBytes(decoded);
    if (hr == S_OK && reply.GetValue("sha1") != Sha1(*plain)) hr = E_CV_TASK_FAILED;
    ForceDeleteFile(decoded);
    ForceDeleteFile(rec->strTempPath);
    return hr;
  }

  // Every path below the test's folder except the temp folder and the log: what a
  // transfer must never write to.
  std::string OutsideTemp() {
    std::string out;
    RunCommand("cd " + ShellQuote(Root()) +
                   " && find . -path ./sync/.tmp -prune -o -path ./log -prune -o -print | sort",
               &out);
    return out;
  }

  RefPtr<ILocalStorage> m_store;
  std::string m_token;
  std::string m_userId;
};
