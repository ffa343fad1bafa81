// CRemoteStorage: the IRemoteStorage of the service client. Every request creates its
// own transport through CClsFactory, so the object holds no per-request state and
// requests on different threads never share anything but the read-only result table
// and the process-wide global-version flag.
//
// Logging: request bodies and URLs are written only through MaskSecrets, and trace
// details show "__password__" and "__token__" in place of the secrets.
//
// The transfers' local files (block files, temp files, encoded and decoded files,
// thumbnails) are reached through the FileEnv given at creation; the transports open
// their own files through theirs (see CClsFactory).
#pragma once

#include <string>

#include "common/recordtree.h"
#include "common/unknown.h"
#include "core/interfaces/iremotestorage.h"
#include "platform/fileenv.h"

class CRemoteStorage final : public CUnknownImpl<IRemoteStorage> {
 public:
  // env must outlive the object.
  explicit CRemoteStorage(FileEnv* env = FileEnv::Default()) : m_env(env) {}

  HRESULT Init() override;
  HRESULT UnInit() override;
  HRESULT GetGlobalVersion(const std::string& token, std::string* version) override;
  HRESULT Login(const TaskData_Login& TaskData, TransportProgressCallback callback, void* context,
                RecordTree* result) override;
  HRESULT ReLogin(const TaskData_ReLogin& TaskData, TransportProgressCallback callback, void* context,
                  RecordTree* result) override;
  HRESULT GetSpace(const TaskData_GetSpace& TaskData, TransportProgressCallback callback, void* context,
                   RecordTree* result) override;
  HRESULT GetMaxVers(const TaskData_GetRemoteOptVer& TaskData, TransportProgressCallback callback, void* context,
                     RecordTree* result) override;
  HRESULT GetRecycle(const TaskData_GetRecycle& TaskData, TransportProgressCallback callback, void* context,
                     RecordTree* result) override;
  HRESULT CleanRecycle(const TaskData_CleanRecycle& TaskData, TransportProgressCallback callback, void* context,
                       RecordTree* result) override;
  HRESULT Recover(const TaskData_Recover& TaskData, TransportProgressCallback callback, void* context,
                  RecordTree* result) override;
  HRESULT PushNotify(const TaskData_PushNotify& TaskData, TransportProgressCallback callback, void* context,
                     RecordTree* result) override;
  HRESULT GetNormalItemSnapshot(const SnapshotRecord& TaskData, TransportProgressCallback callback, void* context,
                                RecordTree* result) override;
  HRESULT GetDeletedItemSnapshot(const SnapshotRecord& TaskData, TransportProgressCallback callback,
                                 void* context, RecordTree* result) override;
  HRESULT GetAllShareFile(const TaskData_GetAllShareFile& TaskData, TransportProgressCallback callback,
                          void* context, RecordTree* result) override;
  HRESULT Dir(const TaskData_Dir& TaskData, TransportProgressCallback callback, void* context,
              RecordTree* result) override;
  HRESULT Delete(const TaskData_Delete& TaskData, TransportProgressCallback callback, void* context) override;
  HRESULT DeleteEx(const TaskData_Delete& TaskData, TransportProgressCallback callback, void* context) override;
  HRESULT Rename(const TaskData_Rename& TaskData, TransportProgressCallback callback, void* context,
                 RecordTree* result) override;
  HRESULT NewFolder(const TaskData_DirectoryAdd& TaskData, TransportProgressCallback callback, void* context,
                    RecordTree* result) override;
  HRESULT Move(const TaskData_Move& TaskData, TransportProgressCallback callback, void* context,
               RecordTree* result) override;
  HRESULT Move2(const TaskData_Move& TaskData, TransportProgressCallback callback, void* context,
                RecordTree* result) override;
  HRESULT NewFile(const TaskData_NewFile& TaskData, TransportProgressCallback callback, void* context,
                  RecordTree* result) override;
  HRESULT UpdateFile(const TaskData_UpdateFile& TaskData, TransportProgressCallback callback, void* context,
                     RecordTree* result) override;

  // File transfers and thumbnails. Contents travel with a time-out of 10800 s per
  // transfer (per block for the block protocol). Every temp file a transfer makes is
  // removed on every path, with one exception: a block download that fails keeps the
  // blocks it verified in its resume folder (below the local storage's temp folder) for
  // the next attempt, and removes that folder when it succeeds.
  //
  // Every download is bounded by what it can be (encodedsize.h): a block by the
  // encoded bound of the size its blockId names (DownloadBlock alone, which knows no
  // blockId, by the largest block's); a whole file by the encoded bound of the item's
  // size, which the record carries (nItemSize for the version nItemFileVer) or else
  // DownloadFile asks the service for (getItemInfo) when the ticket is for the current
  // version and the item's record names the ticket's version or plain SHA-1, and
  // otherwise by the largest file the FileHeader format holds; a thumbnail
  // package by kThumbnailPackageCap. A reply that passes its bound fails the transfer
  // at once with E_CV_NETWORK_ERROR3 (logged), and its file is removed.
  HRESULT _UploadFile(const TaskData_UpdateFile& TaskData, TransportProgressCallback callback, void* context,
                      RecordTree* result) override;
  HRESULT UploadFile_UFA(const TaskData_UpdateFile_UFA& TaskData, const std::vector<std::string>& blocks,
                         TransportProgressCallback callback, void* context, std::string* newFileVersion) override;
  HRESULT UploadBlock(const std::string& url, TransportProgressCallback callback, void* context,
                      const std::string& blockPath, const std::string& header, RecordTree* result) override;
  HRESULT DownloadFile(const TaskData_DownloadFile& TaskData, TransportProgressCallback callback, void* context,
                       RecordTree* result) override;
  HRESULT DownloadFile_UFA(TaskData_DownloadFile_UFA& TaskData, ILocalStorage* localStorage,
                           TransportProgressCallback callback, void* context, bool previousVersion) override;
  HRESULT DownloadBlock(const std::string& url, TransportProgressCallback callback, void* context,
                        const std::string& localPath, const std::string& header, const std::string& body) override;
  // DownloadBlock whose reply may bring at most maxBytes bytes (0: the bound of the
  // largest block); RMT_FS::BlockDownloader gives its block's bound here.
  HRESULT DownloadBlockWithin(const std::string& url, TransportProgressCallback callback, void* context,
                              const std::string& localPath, const std::string& body, uint64_t maxBytes);
  HRESULT GetThumbnail(const TaskData_GetThumbnail& TaskData, TransportProgressCallback callback, void* context,
                       RecordTree* result) override;

  HRESULT FullTextSearch(const TaskData_FullTextSearch& TaskData, TransportProgressCallback callback,
                         void* context, RecordTree* result) override;
  HRESULT HttpRequest(const std::string& url, const std::string& header, const std::string* body,
                      TransportProgressCallback callback, void* context, std::string* reply,
                      int32_t timeoutSec) override;
  HRESULT GetItemInfo(const TaskData_GetItemInfo& TaskData, TransportProgressCallback callback, void* context,
                      RecordTree* result) override;
  HRESULT ShareFile(const ShareRecord& TaskData, TransportProgressCallback callback, void* context,
                    RecordTree* result) override;
  HRESULT SetFileModTime(const TaskData_UpdateFile& TaskData, TransportProgressCallback callback, void* context,
                         RecordTree* result) override;
  HRESULT CheckProxyServer(RecordTree* result) override;

  // True when the file's SHA-1 can be computed and equals expected, ignoring case.
  static bool CheckFileSha1(const std::string& path, const std::string& expected,
                            FileEnv* env = FileEnv::Default());

 private:
  ~CRemoteStorage() override = default;

  // One exchange with the service root (or, with push, the push root) + path: a POST
  // of body, or a GET without one; the reply is parsed into *result and its result
  // word mapped to the returned code. *result stays filled once the reply parsed.
  HRESULT _HttpRequest(const std::string& path, const std::string& header, const std::string* body,
                       TransportProgressCallback callback, void* context, RecordTree* result, int32_t timeoutSec,
                       bool push);
  // Writes the nuvra tree as the body and runs _HttpRequest with header version 2
  // against the service root.
  HRESULT _XmlRequest(const char* path, const RecordTree& request, TransportProgressCallback callback,
                      void* context, RecordTree* result, int32_t timeoutSec);
  HRESULT _Delete(const char* path, const TaskData_Delete& TaskData, TransportProgressCallback callback,
                  void* context);
  HRESULT _Move(const TaskData_Move& TaskData, TransportProgressCallback callback, void* context,
                RecordTree* result);
  // The whole-file download ticket ("/xsvr/requestDownload/", or the previous
  // version's) into *result.
  HRESULT _RequestDownload(const TaskData_DownloadFile& TaskData, TransportProgressCallback callback, void* context,
                           RecordTree* result);
  // GET url + "stub=<stub>&bakVer=nowVer|previousVer" into localPath; the reply may
  // bring at most maxBytes bytes.
  HRESULT _DownloadFile(const std::string& url, const std::string& stub, const std::string& localPath,
                        bool previousVersion, TransportProgressCallback callback, void* context,
                        uint64_t maxBytes);
  // The most bytes the whole file of the ticket may take: the encoded bound of the
  // item's size when the record (nItemSize, nItemFileVer) or else getItemInfo gives the
  // size of the ticket's content, else of the largest file the FileHeader format holds.
  uint64_t _WholeFileLimit(const TaskData_DownloadFile& TaskData, const RecordTree& ticket);
  HRESULT _Snapshot(const char* function, const char* path, const SnapshotRecord& TaskData,
                    TransportProgressCallback callback, void* context, RecordTree* result);

  FileEnv* m_env;
};

// A new CRemoteStorage on env with one reference in *ppObj. E_FAIL when it cannot be made.
HRESULT CreateRemoteStorage(IRemoteStorage** ppObj, FileEnv* env = FileEnv::Default());

namespace remotestoragecontrol {
// Forgets that the service answered the global version "3" in this process (tests).
void ResetGlobalVersionFlag();
}  // namespace remotestoragecontrol
