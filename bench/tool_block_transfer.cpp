// The block protocol against the local service, for timing against xz and curl:
//   bench_block_transfer upload <port> <user:password> <workdir> <file>
//       signs in, makes a new file "code.bin", and uploads <file> the way the upload
//       task does: a temp copy, split, every block packed, enciphered and sent, the
//       commit. The copy is the file rotated by an offset of its own (so that the
//       service holds none of its blocks from an earlier run: the same bytes, cut at
//       other places). Prints the new file's id and the offset.
//   bench_block_transfer download <port> <user:password> <workdir> <fileId> <out>
//       signs in and downloads the file by its blocks into <out>
// No proxy and no speed limits; <workdir> holds the configuration and the temp
// folder. Exits with 0 only when the transfer succeeded.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/db/dbhelper.h"
#include "common/filehelper.h"
#include "core/interfaces/createtaskdata.h"
#include "core/localstorage/localstorage.h"
#include "core/remotestorage/blockfiles.h"
#include "core/remotestorage/clsfactory.h"
#include "core/remotestorage/remotestorage.h"
#include "core/remotestorage/transport/transport.h"
#include "platform/atomicfile.h"
#include "platform/posixfile.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: bench_block_transfer upload <port> <user:password> <workdir> <file>\n"
               "       bench_block_transfer download <port> <user:password> <workdir> <fileId> <out>\n");
  return 2;
}

int Fail(const char* what, HRESULT hr) {
  std::fprintf(stderr, "bench_block_transfer: %s failed: %x\n", what, static_cast<unsigned>(hr));
  return 1;
}

// The temp copy of the upload task: the source from offset on, then its first offset
// bytes.
bool CopyRotated(const std::string& source, const std::string& copy, off_t offset) {
  PosixFile in, out;
  if (!in.Open(source, O_RDONLY) || !out.Open(copy, O_WRONLY | O_CREAT | O_TRUNC, 0600)) return false;
  if (::lseek(in.fd(), offset, SEEK_SET) != offset || !CopyFileData(in, out)) return false;
  std::string head(static_cast<size_t>(offset), '\0');
  if (::lseek(in.fd(), 0, SEEK_SET) != 0 || in.ReadFull(head.data(), head.size()) != static_cast<ssize_t>(head.size()))
    return false;
  return out.WriteFull(head.data(), head.size()) && out.Close();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) return Usage();
  const std::string mode = argv[1], port = argv[2], account = argv[3], work = argv[4];
  const size_t colon = account.find(':');
  if (colon == std::string::npos || (mode == "upload" && argc != 6) || (mode == "download" && argc != 7))
    return Usage();

  const std::string root = "http://127.0.0.1:" + port;
  if (!AtomicWriteFile(work + "/config.ini", "[Ostrel]\nServerRoot=" + root + "\n")) return Fail("config", E_FAIL);
  CConfig::Instance().Init(work);
  CClsFactory::GetInstance().SetTransportCreator(
      [](ITransport** out) { return CreateTransportWith(DirectTransportSettings(), out); });
  RefPtr<ILocalStorage> storage;
  HRESULT hr = OpenUserDB(work);
  if (SUCCEEDED(hr)) hr = CreateLocalStorage(storage.Receive());
  if (SUCCEEDED(hr)) hr = storage->Init(work, work + "/sync");
  if (FAILED(hr)) return Fail("local storage", hr);

  RefPtr<IRemoteStorage> rs;
  CreateRemoteStorage(rs.Receive());
  TaskDataPtr<TaskData_Login> login(CreateTaskData_Login(account.substr(0, colon), account.substr(colon + 1),
                                                         "ostrel-00000000000000000000000000000000|BENCH", "ostrel",
                                                         "1.0.0.1"));
  RecordTree signedIn;
  hr = rs->Login(*login, nullptr, nullptr, &signedIn);
  if (FAILED(hr)) return Fail("sign-in", hr);
  const std::string token = signedIn.GetValue("token");

  if (mode == "upload") {
    TaskDataPtr<TaskData_NewFile> entry(CreateTaskData_UpdateNewFile("", "\\code.bin", argv[5]));
    entry->strToken = token;
    RecordTree created;
    hr = rs->NewFile(*entry, nullptr, nullptr, &created);
    if (hr == E_CV_TARGET_EXISTS) {
      entry.reset(CreateTaskData_UpdateNewFile("", "\\code-" + std::to_string(getpid()) + ".bin", argv[5]));
      entry->strToken = token;
      hr = rs->NewFile(*entry, nullptr, nullptr, &created);
    }
    if (FAILED(hr)) return Fail("new file", hr);
    int64_t sourceSize = 0;
    if (FAILED(GetFileSizeByPath(argv[5], &sourceSize)) || sourceSize == 0) return Fail("source", E_FAIL);
    const uint64_t seed = static_cast<uint64_t>(getpid()) * 2654435761u +
                          static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const off_t offset = static_cast<off_t>(seed % static_cast<uint64_t>(sourceSize));
    const std::string copy = storage->GetTempFilePath();
    if (!CopyRotated(argv[5], copy, offset)) return Fail("temp copy", E_FAIL);
    std::vector<std::string> blocks;
    int64_t size = 0;
    std::string sha1;
    hr = SplitFileToBlocks(copy, &blocks, &size, &sha1);
    if (SUCCEEDED(hr)) {
      TaskData_UpdateFile_UFA rec;
      rec.strToken = token;
      rec.strFileVer = created.GetValue("fileVer");
      rec.strFileName = "code.bin";
      rec.strFileId = created.GetValue("fileId");
      rec.strSizeOrg = std::to_string(size);
      rec.strFileOrgSha1 = sha1;
      rec.pathEncode = storage->GetTempFilePath();
      std::string version;
      hr = rs->UploadFile_UFA(rec, blocks, nullptr, nullptr, &version);
    }
    DeleteBlockFiles(blocks);
    ForceDeleteFile(copy);
    if (FAILED(hr)) return Fail("upload", hr);
    std::printf("%s %lld\n", created.GetValue("fileId").c_str(), static_cast<long long>(offset));
  } else if (mode == "download") {
    TaskData_DownloadFile_UFA rec;
    rec.strToken = token;
    rec.strFileId = argv[5];
    rec.pathDownload = argv[6];
    hr = rs->DownloadFile_UFA(rec, storage.get(), nullptr, nullptr, false);
    if (FAILED(hr)) return Fail("download", hr);
  } else {
    return Usage();
  }
  storage = nullptr;
  CloseUserDB();
  return 0;
}
