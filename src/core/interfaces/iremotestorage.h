// IRemoteStorage: the client of the storage service. Each request slot turns one
// engine operation into one HTTP exchange on a transport of its own and returns a
// result code: S_OK, a transport failure (E_CV_NETWORK_ERROR..3, E_CV_CURL_CANCEL),
// E_FAIL for an empty or unreadable reply, E_CV_SRV_SERVER_ERROR for a reply without a
// result word, or the code of the service's word (ServerResultMap). Whenever the reply
// was read, the caller's result record holds it, also when the word is a failure.
//
// Records are read, not kept; the object holds no per-request state, so any thread may
// call any slot at any time. A request blocks its caller for up to its time-out; the
// progress callback (may be null) can cancel it by returning E_FAIL.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/unknown.h"
#include "core/interfaces/itransport.h"
#include "core/interfaces/taskdata.h"

class ILocalStorage;
class RecordTree;

// The request of the two item snapshots (no task name).
struct SnapshotRecord {
  std::string strToken;
  std::string strOpVersion;
  std::string strSize;  // sent as it stands
};

// The request of a share (no task name).
struct ShareRecord {
  std::string strToken;
  std::string strId;
  std::vector<std::string> vecSharers;  // sent joined by ","
  bool bWritable = false;
  bool bSendMail = false;
};

class IRemoteStorage : public IUnknown {
 public:
  static constexpr IID kIID = GuidFromString("{F66A882A-1348-47D2-BE00-75B6A1113E16}");

  // Do nothing; S_OK.
  virtual HRESULT Init() = 0;
  virtual HRESULT UnInit() = 0;
  // The account's global version ("3" selects the block protocol). Once the service has
  // answered "3" in this process, every later call answers "3" without a request.
  virtual HRESULT GetGlobalVersion(const std::string& token, std::string* version) = 0;
  // Reply values: userId, token, email, nickName.
  virtual HRESULT Login(const TaskData_Login& TaskData, TransportProgressCallback callback, void* context,
                        RecordTree* result) = 0;
  virtual HRESULT ReLogin(const TaskData_ReLogin& TaskData, TransportProgressCallback callback, void* context,
                          RecordTree* result) = 0;
  // Reply values: total, used.
  virtual HRESULT GetSpace(const TaskData_GetSpace& TaskData, TransportProgressCallback callback, void* context,
                           RecordTree* result) = 0;
  // Reply values: opVer, shareVer. No overall time limit.
  virtual HRESULT GetMaxVers(const TaskData_GetRemoteOptVer& TaskData, TransportProgressCallback callback,
                             void* context, RecordTree* result) = 0;
  virtual HRESULT GetRecycle(const TaskData_GetRecycle& TaskData, TransportProgressCallback callback,
                             void* context, RecordTree* result) = 0;
  virtual HRESULT CleanRecycle(const TaskData_CleanRecycle& TaskData, TransportProgressCallback callback,
                               void* context, RecordTree* result) = 0;
  virtual HRESULT Recover(const TaskData_Recover& TaskData, TransportProgressCallback callback, void* context,
                          RecordTree* result) = 0;
  // The long poll of the push root (up to 270 s). Reply values: opVer, shareVer, deviceId.
  virtual HRESULT PushNotify(const TaskData_PushNotify& TaskData, TransportProgressCallback callback,
                             void* context, RecordTree* result) = 0;
  virtual HRESULT GetNormalItemSnapshot(const SnapshotRecord& TaskData, TransportProgressCallback callback,
                                        void* context, RecordTree* result) = 0;
  virtual HRESULT GetDeletedItemSnapshot(const SnapshotRecord& TaskData, TransportProgressCallback callback,
                                         void* context, RecordTree* result) = 0;
  virtual HRESULT GetAllShareFile(const TaskData_GetAllShareFile& TaskData, TransportProgressCallback callback,
                                  void* context, RecordTree* result) = 0;
  virtual HRESULT Dir(const TaskData_Dir& TaskData, TransportProgressCallback callback, void* context,
                      RecordTree* result) = 0;
  // Only the result code reaches the caller.
  virtual HRESULT Delete(const TaskData_Delete& TaskData, TransportProgressCallback callback, void* context) = 0;
  virtual HRESULT DeleteEx(const TaskData_Delete& TaskData, TransportProgressCallback callback, void* context) = 0;
  virtual HRESULT Rename(const TaskData_Rename& TaskData, TransportProgressCallback callback, void* context,
                         RecordTree* result) = 0;
  // Reply value: fileId (also with E_CV_TARGET_EXISTS: the existing folder's).
  virtual HRESULT NewFolder(const TaskData_DirectoryAdd& TaskData, TransportProgressCallback callback,
                            void* context, RecordTree* result) = 0;
  // Move and Move2 are two identical slots; the dispatcher uses the first.
  virtual HRESULT Move(const TaskData_Move& TaskData, TransportProgressCallback callback, void* context,
                       RecordTree* result) = 0;
  virtual HRESULT Move2(const TaskData_Move& TaskData, TransportProgressCallback callback, void* context,
                        RecordTree* result) = 0;
  virtual HRESULT NewFile(const TaskData_NewFile& TaskData, TransportProgressCallback callback, void* context,
                          RecordTree* result) = 0;
  // Reply values: url, stub (and fileKey for the whole-file upload).
  virtual HRESULT UpdateFile(const TaskData_UpdateFile& TaskData, TransportProgressCallback callback,
                             void* context, RecordTree* result) = 0;

  // File transfers and thumbnails. Contents travel with a time-out of 10800 s (per
  // block for the block protocol); the progress callback may cancel (E_CV_CURL_CANCEL).
  //
  // _UploadFile: the encoded file strTempPath as the form part "FileCont" to strUrl
  // with strStub, strSizeCheck and strSha1Check. Reply values: result, fileVer;
  // E_CV_FILE_VER_CONFLICT and E_CV_TARGET_NOT_EXISTS come back without an error line.
  // UploadFile_UFA: the block upload of the blocks of SplitFileToBlocks, in order. Blocks
  // the service holds are not sent; the others are encoded into pathEncode (removed
  // afterwards) with the key the service gave each. A block that cannot be read, or one
  // the service gives no key, fails the upload (E_FAIL) before any block is sent; no
  // commit follows any failure. On success *newFileVersion gets the committed version.
  // UploadBlock: the block file as the raw body of a POST; the JSON reply into *result.
  // DownloadFile: the whole-file download into strTempPath, checked against the reply's
  // compressSha1 in any letter case (E_CV_SHA1_MISMATCH); the file is removed after any
  // failure. *result holds the ticket (url, stub, compressSha1, modTime, fileKey, sha1,
  // fileVer).
  // DownloadFile_UFA: the block download into pathDownload, which is replaced only by a
  // file whose size and SHA-1 are the ticket's; strFileSha1 and strFileVer receive the
  // ticket's values. Verified blocks are kept in the file's resume folder in the local
  // storage's temp folder after a failure, so the next attempt fetches only the others;
  // the folder goes with the success.
  // DownloadBlock: a POST of body whose reply bytes go to localPath (header is not used).
  // GetThumbnail: the thumbnail package into strPackagePath and its picture into the file
  // strOutputFolder; the package never remains.
  virtual HRESULT _UploadFile(const TaskData_UpdateFile& TaskData, TransportProgressCallback callback,
                              void* context, RecordTree* result) = 0;
  virtual HRESULT UploadFile_UFA(const TaskData_UpdateFile_UFA& TaskData, const std::vector<std::string>& blocks,
                                 TransportProgressCallback callback, void* context, std::string* newFileVersion) = 0;
  virtual HRESULT UploadBlock(const std::string& url, TransportProgressCallback callback, void* context,
                              const std::string& blockPath, const std::string& header, RecordTree* result) = 0;
  virtual HRESULT DownloadFile(const TaskData_DownloadFile& TaskData, TransportProgressCallback callback,
                               void* context, RecordTree* result) = 0;
  virtual HRESULT DownloadFile_UFA(TaskData_DownloadFile_UFA& TaskData, ILocalStorage* localStorage,
                                   TransportProgressCallback callback, void* context, bool previousVersion) = 0;
  virtual HRESULT DownloadBlock(const std::string& url, TransportProgressCallback callback, void* context,
                                const std::string& localPath, const std::string& header,
                                const std::string& body) = 0;
  virtual HRESULT GetThumbnail(const TaskData_GetThumbnail& TaskData, TransportProgressCallback callback,
                               void* context, RecordTree* result) = 0;

  virtual HRESULT FullTextSearch(const TaskData_FullTextSearch& TaskData, TransportProgressCallback callback,
                                 void* context, RecordTree* result) = 0;
  // One raw exchange with a full URL: a POST when body is given, else a GET. The reply
  // text goes to *reply on success; nothing is parsed. timeoutSec 0 means none.
  virtual HRESULT HttpRequest(const std::string& url, const std::string& header, const std::string* body,
                              TransportProgressCallback callback, void* context, std::string* reply,
                              int32_t timeoutSec) = 0;
  // Reply values: fileVer, name, sha1, size and the other item fields.
  virtual HRESULT GetItemInfo(const TaskData_GetItemInfo& TaskData, TransportProgressCallback callback,
                              void* context, RecordTree* result) = 0;
  virtual HRESULT ShareFile(const ShareRecord& TaskData, TransportProgressCallback callback, void* context,
                            RecordTree* result) = 0;
  // Reads strToken, strId and strMTime.
  virtual HRESULT SetFileModTime(const TaskData_UpdateFile& TaskData, TransportProgressCallback callback,
                                 void* context, RecordTree* result) = 0;
  // S_OK when the service root answers (a GET of "/xsvr/" must give the word
  // methodVersionNotMatch, in any letter case); S_FALSE for any other word; a transport
  // or reply failure as its code.
  virtual HRESULT CheckProxyServer(RecordTree* result) = 0;

 protected:
  ~IRemoteStorage() = default;
};
