// The fixture of the transfer tests against the local service: an account, the
// remote storage aimed at the service, a local storage whose temp folder the transfers
// use, and the flows of the file tasks over the transfer slots. After every test the
// temp folder must hold nothing but kept blocks of unfinished downloads.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/filehelper.h"
#include "common/sha1.h"
#include "core/encrypt/encodefile.h"
#include "core/interfaces/createtaskdata.h"
#include "core/remotestorage/blockfiles.h"
#include "core/remotestorage/serviceclient.h"
#include "core/remotestorage/transfertestutil.h"
#include "support/fsseed.h"

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
    m_storage.Open(Root());
    nlohmann::json account = FsAccount(Service(), "ann");
    m_token = account["token"].get<std::string>();
    m_userId = account["userId"].get<std::string>();
  }
  void TearDown() override {
    EXPECT_TRUE(m_storage.Leftovers().empty()) << ::testing::PrintToString(m_storage.Leftovers());
    m_storage.Close();
    ServiceClientTest::TearDown();
  }

  static std::string Sha1(const std::string& s) { return Sha1Hex(s.data(), s.size()); }

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
    const std::string copy = m_storage.Store()->GetTempFilePath();
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
      rec.pathEncode = m_storage.Store()->GetTempFilePath();
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
    rec.pathDownload = m_storage.Store()->GetTempFilePath();
    HRESULT hr = m_rs->DownloadFile_UFA(rec, m_storage.Store(), callback, context, previous);
    if (hr == S_OK) *plain = ReadFileBytes(rec.pathDownload);
    ForceDeleteFile(rec.pathDownload);
    if (out) *out = rec;
    return hr;
  }

  // The whole-file upload as the upload task makes it: the ticket, the file encoded by
  // EncodeFile under the item's name, the upload; everything removed after.
  HRESULT UploadWhole(const std::string& fileId, const std::string& fileVer, const std::string& name,
                      const std::string& plain, std::string* newVer) {
    const std::string copy = m_storage.Store()->GetTempFilePath();
    WriteFileBytes(copy, plain);
    TaskDataPtr<TaskData_UpdateFile> rec(CreateTaskData_UpdateFile(fileId, "\\" + name, fileVer, copy));
    rec->strToken = m_token;
    rec->strSizeOrg = std::to_string(plain.size());
    rec->strSha1Org = Sha1(plain);
    RecordTree ticket;
    HRESULT hr = m_rs->UpdateFile(*rec, nullptr, nullptr, &ticket);
    if (hr == S_OK) {
      rec->strTempPath = m_storage.Store()->GetTempFilePath();
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

  HRESULT DownloadWhole(const std::string& fileId, std::string* plain) {
    TaskDataPtr<TaskData_DownloadFile> rec(CreateTaskData_DownloadFile(fileId, "\\f", ""));
    rec->strToken = m_token;
    rec->strTempPath = m_storage.Store()->GetTempFilePath();
    RecordTree reply;
    HRESULT hr = m_rs->DownloadFile(*rec, nullptr, nullptr, &reply);
    const std::string decoded = m_storage.Store()->GetTempFilePath();
    if (hr == S_OK) hr = DecodeFile(rec->strTempPath, decoded, reply.GetValue("fileKey"));
    if (hr == S_OK) *plain = ReadFileBytes(decoded);
    if (hr == S_OK && reply.GetValue("sha1") != Sha1(*plain)) hr = E_CV_TASK_FAILED;
    ForceDeleteFile(decoded);
    ForceDeleteFile(rec->strTempPath);
    return hr;
  }

  // The service's checks of one file's uploads ("step word format" each).
  std::vector<std::string> Checks(const std::string& fileId) {
    std::vector<std::string> out;
    const nlohmann::json state = XferState(Service());
    for (const auto& c : state["checks"])
      if (c["fileId"] == fileId)
        out.push_back(c["step"].get<std::string>() + " " + c["word"].get<std::string>() + " " +
                      c["format"].get<std::string>());
    return out;
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

  TransferStorage m_storage;
  std::string m_token;
  std::string m_userId;
};
