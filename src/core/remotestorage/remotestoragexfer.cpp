// The whole-file transfers of CRemoteStorage, the single-block transfers the block
// protocol calls back into, and thumbnails.
#include <algorithm>
#include <string>

#include "common/checks.h"
#include "common/filehelper.h"
#include "common/jsonparse.h"
#include "common/sha1.h"
#include "common/strformat.h"
#include "common/strhelper.h"
#include "common/tracestack.h"
#include "common/xmlhelper.h"
#include "core/encrypt/encodedsize.h"
#include "core/encrypt/zaesfile.h"
#include "core/remotestorage/blockid.h"
#include "core/remotestorage/remotestorage.h"
#include "core/remotestorage/requestframe.h"
#include "core/remotestorage/serverresultmap.h"
#include "core/remotestorage/thumbnailpackage.h"

namespace {

constexpr int32_t kRequestTimeoutSec = 30;
constexpr int32_t kTransferTimeoutSec = 10800;

// Refuses a value from the service that would go into a URL query unencoded.
bool QueryValuesSafe(std::initializer_list<const std::string*> values) {
  for (const std::string* v : values) {
    if (!IsRawQueryValueSafe(*v)) {
      OSTREL_LOG(kLogWarn, "ERROR_CHECK_BOOLEX:IsRawQueryValueSafe(value)MSG: %s",
                 "a value from the service holds characters a URL query cannot carry raw");
      return false;
    }
  }
  return true;
}

// Deletes a temp file the caller handed in, after a failure.
void RemoveAfterFailure(FileEnv* env, const std::string& path) {
  if (!path.empty()) CHECK_COM(ForceDeleteFile(path, env));
}

// The reply word of an upload mapped; the three accepted codes are returned without a
// line, any other failure with the upload's error line.
HRESULT MapUploadWord(const std::string& word) {
  if (word.empty()) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:!IsStrEmpty(strResultCode)");
    return E_CV_SRV_SERVER_ERROR;
  }
  HRESULT hr = ServerResultMap::Instance()[word];
  if (hr != S_OK && hr != E_CV_FILE_VER_CONFLICT && hr != E_CV_TARGET_NOT_EXISTS)
    OSTREL_LOG(kLogWarn, "%s",
               "ERROR_CHECK_BOOL:S_OK == hr || E_CV_FILE_VER_CONFLICT == hr || E_CV_TARGET_NOT_EXISTS == hr");
  return hr;
}

}  // namespace

bool CRemoteStorage::CheckFileSha1(const std::string& path, const std::string& expected, FileEnv* env) {
  std::string sha1;
  if (FAILED(GetFileSha1(path, nullptr, &sha1, env)) || sha1.empty()) return false;
  return Sha1TextEquals(sha1, expected);
}

HRESULT CRemoteStorage::_RequestDownload(const TaskData_DownloadFile& TaskData, TransportProgressCallback callback,
                                         void* context, RecordTree* result) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::_RequestDownload()", &hr, "Id = %s", TaskData.strId.c_str());
  RecordTree request("nuvra");
  request.AddValue("token", TaskData.strToken);
  request.AddValue("fileId", TaskData.strId);
  hr = _XmlRequest(TaskData.nPreviousVer ? "/xsvr/requestDownloadPreviousVer/" : "/xsvr/requestDownload/", request,
                   callback, context, result, kRequestTimeoutSec);
  ERROR_CHECK_COM(hr);
  return hr;
}

HRESULT CRemoteStorage::_DownloadFile(const std::string& url, const std::string& stub, const std::string& localPath,
                                      bool previousVersion, TransportProgressCallback callback, void* context,
                                      uint64_t maxBytes) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("RemoteStorage::_DownloadFile()", &hr, "szUrl = %s, szStub = %s", url.c_str(), stub.c_str());
  RecordTree query;
  query.AddValue("stub", stub);
  query.AddValue("bakVer", previousVersion ? "previousVer" : "nowVer");
  RefPtr<ITransport> transport;
  hr = NewTransport(&transport, callback, context);
  if (FAILED(hr)) return hr;
  transport->SetDownloadLimit(maxBytes);
  hr = transport->Download(url + RecordTreeToKeyValueText(query, '&', '='), localPath, MakeRequestHeader(2), "",
                           kTransferTimeoutSec);
  ERROR_CHECK_COM_MSG(hr, "%s", "CRemoteStorage::_DownloadFile() Call CTransport::Download() Failed");
  return hr;
}

uint64_t CRemoteStorage::_WholeFileLimit(const TaskData_DownloadFile& TaskData, const RecordTree& ticket) {
  // The item's record describes the content the ticket serves when it names the same
  // version or the same plain SHA-1; a version committed meanwhile, and a previous
  // version, leave the size unknown.
  auto same = [&ticket](const RecordTree& item) {
    int64_t ticketVer = 0, itemVer = 0;
    const std::string sha1 = ticket.GetValue("sha1");
    return (ParseServiceVersion(ticket.GetValue("fileVer"), &ticketVer) &&
            ParseServiceVersion(item.GetValue("fileVer"), &itemVer) && itemVer == ticketVer) ||
           (IsHexText(sha1, 40) && Sha1TextEquals(sha1, item.GetValue("sha1")));
  };
  // The size the creator knows, when it is that of the ticket's version.
  int64_t ticketVer = 0;
  if (!TaskData.nPreviousVer && TaskData.nItemSize >= 0 && TaskData.nItemFileVer > 0 &&
      ParseServiceVersion(ticket.GetValue("fileVer"), &ticketVer) && ticketVer == TaskData.nItemFileVer)
    return MaxFileHeaderFileSize(std::min(static_cast<uint64_t>(TaskData.nItemSize), ZAesFile::kMaxFileHeaderSource));
  if (!TaskData.nPreviousVer) {
    TaskData_GetItemInfo info;
    info.strToken = TaskData.strToken;
    info.strId = TaskData.strId;
    RecordTree item;
    int64_t size = 0;
    if (SUCCEEDED(GetItemInfo(info, nullptr, nullptr, &item)) && same(item) &&
        ParsePlainDecimal(item.GetValue("size"), ZAesFile::kMaxFileHeaderSource, &size))
      return MaxFileHeaderFileSize(static_cast<uint64_t>(size));
  }
  OSTREL_LOG(kLogInfo, "%s",
             "CRemoteStorage::DownloadFile(): the size of the ticket's version is not known; the download is "
             "bounded by the largest whole file");
  return MaxFileHeaderFileSize(ZAesFile::kMaxFileHeaderSource);
}

HRESULT CRemoteStorage::DownloadFile(const TaskData_DownloadFile& TaskData, TransportProgressCallback callback,
                                     void* context, RecordTree* result) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::DownloadFile()", &hr, "Id = %s, TempPath = %s", TaskData.strId.c_str(),
                     TaskData.strTempPath.c_str());
  ASSERT_FIELD(strToken);
  ASSERT_FIELD(strId);
  ASSERT_FIELD(strTempPath);
  RecordTree local;
  if (result == nullptr) result = &local;
  hr = _RequestDownload(TaskData, callback, context, result);
  ERROR_CHECK_COM(hr);
  std::string url = result->GetValue("url"), stub = result->GetValue("stub");
  std::string sha1Check = result->GetValue("compressSha1"), modTime = result->GetValue("modTime");
  if (url.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(strUrl)");
  if (stub.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(strStub)");
  if (sha1Check.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(strSha1Check)");
  if (modTime.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(strModTime)");
  if (!QueryValuesSafe({&url, &stub})) return hr = E_FAIL;

  const uint64_t limit = _WholeFileLimit(TaskData, *result);
  hr = _DownloadFile(url, stub, TaskData.strTempPath, TaskData.nPreviousVer != 0, callback, context, limit);
  if (FAILED(hr)) {
    RemoveAfterFailure(m_env, TaskData.strTempPath);
    return hr;
  }
  std::string sha1Now;
  hr = GetFileSha1(TaskData.strTempPath, nullptr, &sha1Now, m_env);
  if (FAILED(hr)) {
    RemoveAfterFailure(m_env, TaskData.strTempPath);
    ERROR_CHECK_COM(hr);
  }
  if (sha1Now.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(szSha1Now)");
  if (!Sha1TextEquals(sha1Now, sha1Check)) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:0 == _wcsicmp(szSha1Now, strSha1Check)");
    RemoveAfterFailure(m_env, TaskData.strTempPath);
    return hr = E_CV_SHA1_MISMATCH;
  }
  return hr = S_OK;
}

HRESULT CRemoteStorage::_UploadFile(const TaskData_UpdateFile& TaskData, TransportProgressCallback callback,
                                    void* context, RecordTree* result) {
  ASSERT_FIELD(strSizeCheck);
  ASSERT_FIELD(strSha1Check);
  ASSERT_FIELD(strTempPath);
  ASSERT_FIELD(strUrl);
  ASSERT_FIELD(strStub);
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::_UploadFile()", &hr, "Url = %s, Stub = %s, Sha1Check = %s, TempPath = %s",
                     TaskData.strUrl.c_str(), TaskData.strStub.c_str(), TaskData.strSha1Check.c_str(),
                     TaskData.strTempPath.c_str());
  if (!QueryValuesSafe({&TaskData.strUrl, &TaskData.strStub, &TaskData.strSizeCheck, &TaskData.strSha1Check}))
    return hr = E_FAIL;
  RecordTree query;
  query.AddValue("stub", TaskData.strStub);
  query.AddValue("uploadSize", TaskData.strSizeCheck);
  query.AddValue("uploadSha1", TaskData.strSha1Check);
  RefPtr<ITransport> transport;
  hr = NewTransport(&transport, callback, context);
  if (FAILED(hr)) return hr;
  std::string reply;
  hr = transport->Upload(TaskData.strUrl + RecordTreeToKeyValueText(query, '&', '='), TaskData.strTempPath,
                         MakeRequestHeader(2), "", &reply, kTransferTimeoutSec);
  ERROR_CHECK_COM_MSG(hr, "%s", "CRemoteStorage::_UploadFile() Call CTransport::Upload() Failed");
  if (reply.empty()) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:!IsStrEmpty(bstrResultXml)");
    return hr = E_FAIL;
  }
  RecordTree tree;
  hr = ParseXmlToRecordTree(&tree, reply);
  if (FAILED(hr)) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOL:S_OK == hr && L\"CRemoteStorage::_UploadFile() Process XML Failed\"");
    return hr;
  }
  hr = MapUploadWord(tree.GetValue("result"));
  if (result) *result = std::move(tree);
  return hr;
}

HRESULT CRemoteStorage::UploadBlock(const std::string& url, TransportProgressCallback callback, void* context,
                                    const std::string& blockPath, const std::string& header, RecordTree* result) {
  if (url.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(szUri)");
  if (blockPath.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(szBlockPath)");
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::UploadBlock()", &hr, "szUri = %s, szBlockPath = %s", url.c_str(),
                     blockPath.c_str());
  RefPtr<ITransport> transport;
  hr = NewTransport(&transport, callback, context);
  if (FAILED(hr)) return hr;
  std::string reply;
  hr = transport->PostStream(url, blockPath, header, &reply, kTransferTimeoutSec);
  ERROR_CHECK_COM(hr);
  if (reply.empty()) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:!IsStrEmpty(bstrResultXml)");
    return hr = E_FAIL;
  }
  RecordTree tree;
  hr = JsonParse(&tree, reply);
  if (FAILED(hr)) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOL:S_OK == hr && L\"CRemoteStorage::UploadBlock() Process Xml Failed\"");
    return hr;
  }
  hr = MapUploadWord(tree.GetAttribute("code"));
  if (result) *result = std::move(tree);
  return hr;
}

HRESULT CRemoteStorage::DownloadBlock(const std::string& url, TransportProgressCallback callback, void* context,
                                      const std::string& localPath, const std::string&, const std::string& body) {
  return DownloadBlockWithin(url, callback, context, localPath, body, 0);
}

HRESULT CRemoteStorage::DownloadBlockWithin(const std::string& url, TransportProgressCallback callback,
                                            void* context, const std::string& localPath, const std::string& body,
                                            uint64_t maxBytes) {
  if (url.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(szURL)");
  if (localPath.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(szLocal)");
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("RemoteStorage::DownloadBlock()", &hr, "szUrl = %s, szLocal = %s", url.c_str(),
                     localPath.c_str());
  RefPtr<ITransport> transport;
  hr = NewTransport(&transport, callback, context);
  if (FAILED(hr)) return hr;
  transport->SetDownloadLimit(maxBytes != 0 ? maxBytes : MaxRtv0FileSize(kBlockSize));
  hr = transport->Download(url, localPath, MakeRequestHeader(2), body, kTransferTimeoutSec);
  ERROR_CHECK_COM_MSG(hr, "%s", "CRemoteStorage::DownloadBlock() Call CTransport::Download() Failed");
  return hr;
}

HRESULT CRemoteStorage::GetThumbnail(const TaskData_GetThumbnail& TaskData, TransportProgressCallback, void*,
                                     RecordTree*) {
  if (TaskData.strToken.empty() || TaskData.strId.empty())
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(TaskData.strToken) && !IsStrEmpty(TaskData.strId)");
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::GetThumbnail()", &hr,
                     "Token = %s, Id = %s, height = %ld, width = %ld, downloadPath = %s, cachePath = %s", "__token__",
                     TaskData.strId.c_str(), static_cast<long>(TaskData.nHeight), static_cast<long>(TaskData.nWidth),
                     TaskData.strPackagePath.c_str(), TaskData.strOutputFolder.c_str());
  if (!QueryValuesSafe({&TaskData.strToken, &TaskData.strId})) return hr = E_FAIL;
  RecordTree query;
  query.AddValue("token", TaskData.strToken);
  query.AddValue("fileId", TaskData.strId);
  query.AddValue("view", "ostrel");
  query.AddValue("clientWidth", StringFormat("%ld", static_cast<long>(TaskData.nWidth)));
  query.AddValue("clientHeight", StringFormat("%ld", static_cast<long>(TaskData.nHeight)));
  query.AddValue("compress", "zip");
  query.AddValue("suff", "jpg");
  std::string url = GetThumbnailRoot("/dsAgent/getHtmlPackage/?" + RecordTreeToKeyValueText(query, '&', '='));
  RefPtr<ITransport> transport;
  hr = NewTransport(&transport);
  if (FAILED(hr)) return hr;
  transport->SetDownloadLimit(kThumbnailPackageCap);
  hr = transport->Download(url, TaskData.strPackagePath, MakeRequestHeader(2), "", kTransferTimeoutSec);
  if (FAILED(hr)) {
    RemoveAfterFailure(m_env, TaskData.strPackagePath);
    ERROR_CHECK_COM(hr);
  }
  hr = UnzipThumbnailPackage(TaskData.strPackagePath, TaskData.strOutputFolder, m_env);
  if (FAILED(hr)) OSTREL_LOG(kLogError, "%s", "*ASSERT*: (((HRESULT)(hr)) >= 0)");
  if (FAILED(ForceDeleteFile(TaskData.strPackagePath, m_env))) OSTREL_LOG(kLogError, "%s", "*ASSERT*: bRet");
  return hr;
}
