#include "core/remotestorage/remotefs.h"

#include "common/checks.h"
#include "common/httpcallhelper.h"
#include "common/jsonparse.h"
#include "common/recordtree.h"
#include "common/strformat.h"
#include "common/tracestack.h"
#include "common/xmlhelper.h"
#include "core/interfaces/iremotestorage.h"
#include "core/remotestorage/blockid.h"
#include "core/remotestorage/remotestorage.h"
#include "core/remotestorage/requestframe.h"
#include "core/remotestorage/serverresultmap.h"

namespace RMT_FS {
namespace {

constexpr int32_t kCallTimeoutSec = 30;

#define ASSERT_NOT_EMPTY(text, line)                         \
  do {                                                       \
    if ((text).empty()) OSTREL_LOG(kLogError, "%s", line);   \
  } while (0)

// One XML requester: the nuvra tree POSTed to ServerRoot + path (header version 3, or
// 2 for the global version), the reply parsed into *reply and its result word mapped.
// name goes into the failure line.
HRESULT XmlCall(IRemoteStorage* pRS, const char* name, const char* path, const RecordTree& request,
                RecordTree* reply, int headerVersion = 3) {
  if (pRS == nullptr) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: pRS");
    return E_POINTER;
  }
  std::string body;
  HRESULT hr = MakeRequestBody(request, &body);
  if (FAILED(hr)) return hr;
  std::string url = GetServerRootUrl(path);
  std::string text;
  hr = pRS->HttpRequest(url, MakeRequestHeader(headerVersion), &body, nullptr, nullptr, &text, kCallTimeoutSec);
  ERROR_CHECK_COM(hr);
  hr = ParseXmlToRecordTree(reply, text);
  ERROR_CHECK_COM(hr);
  std::string word = reply->GetAttribute("result");
  hr = ServerResultMap::Instance()[word];
  if (FAILED(hr)) {
    OSTREL_LOG(kLogError, "ERROR_CHECK_COM: hr = %x :L\"RMT_FS::%s Failed, URL = %s, Param = %s, ResultCode = '%s'\"",
               static_cast<unsigned>(hr), name, MaskSecrets(url).c_str(), MaskSecrets(body).c_str(), word.c_str());
  }
  return hr;
}

// One JSON call of the block server: body POSTed to url (v:3), the reply parsed into
// *reply; *word gets its member "code" and the mapped code is returned.
HRESULT JsonCall(IRemoteStorage* pRS, const std::string& url, const std::string& body, RecordTree* reply,
                 std::string* word) {
  if (pRS == nullptr) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: pRS");
    return E_POINTER;
  }
  std::string text;
  HRESULT hr = pRS->HttpRequest(url, MakeRequestHeader(3), &body, nullptr, nullptr, &text, kCallTimeoutSec);
  ERROR_CHECK_COM(hr);
  hr = JsonParse(reply, text);
  ERROR_CHECK_COM(hr);
  *word = reply->GetAttribute("code");
  return ServerResultMap::Instance()[*word];
}

// The leading decimal digits of a text as a number; 0 when there are none, -1 when it
// does not fit.
int64_t LeadingNumber(const std::string& text) {
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + (c - '0');
    if (value > INT32_MAX) return -1;
  }
  return value;
}

}  // namespace

HRESULT GlobalVersionGetter::Perform(IRemoteStorage* pRS) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE("GlobalVersionGetter::Perform", &hr);
  RecordTree request("nuvra");
  request.AddValue("token", m_strToken);
  RecordTree reply;
  hr = XmlCall(pRS, "GlobalversionGetter", "/xsvr/getGlobalVersion", request, &reply, 2);
  if (FAILED(hr)) return hr;
  m_strGlobalVersion = reply.GetValue("globalVersion");
  return hr;
}

HRESULT UploadRequester::Perform(IRemoteStorage* pRS) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("UploadRequester::Perform", &hr, "Id = %s", m_strFileId.c_str());
  ASSERT_NOT_EMPTY(m_strToken, "*ASSERT*: !m_strToken.IsEmpty()");
  ASSERT_NOT_EMPTY(m_strFileId, "*ASSERT*: !m_strFileId.IsEmpty()");
  RecordTree request("nuvra");
  request.AddValue("token", m_strToken);
  request.AddValue("fileVer", m_strFileVer);
  request.AddValue("size", m_strSize);
  request.AddValue("fileId", m_strFileId);
  request.AddValue("sha1", m_strSha1);
  RecordTree reply;
  hr = XmlCall(pRS, "UploadRequester", "/xsvr/requestUpload/", request, &reply);
  if (FAILED(hr)) return hr;
  std::string stub = reply.GetValue("stub"), url = reply.GetValue("url");
  if (stub.empty() || url.empty() || !IsRawQueryValueSafe(stub) || !IsRawQueryValueSafe(url)) {
    OSTREL_LOG(kLogWarn, "ERROR_CHECK_BOOLEX:IsRawQueryValueSafe(stub) && IsRawQueryValueSafe(url)MSG: %s",
               "the upload ticket's stub or URL is empty or unsafe");
    return hr = E_FAIL;
  }
  m_strStub = std::move(stub);
  m_strUrl = std::move(url);
  return hr;
}

HRESULT Committer::Perform(IRemoteStorage* pRS) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("Committer::Perform", &hr, "Stub = %s", m_strStub.c_str());
  ASSERT_NOT_EMPTY(m_strStub, "*ASSERT*: !m_strStub.IsEmpty()");
  ASSERT_NOT_EMPTY(m_strToken, "*ASSERT*: !m_strToken.IsEmpty()");
  RecordTree request("nuvra");
  request.AddValue("token", m_strToken);
  request.AddValue("stub", m_strStub);
  RecordTree reply;
  hr = XmlCall(pRS, "Committer", "/xsvr/commit/", request, &reply);
  if (FAILED(hr)) return hr;
  m_strFileVer = reply.GetValue("fileVer");
  return hr;
}

HRESULT DownloadRequester::PerformDownload(IRemoteStorage* pRS) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("DownloadRequester::PerformDownload", &hr, "Id = %s", m_strId.c_str());
  return hr = _Perform(pRS, false);
}

HRESULT DownloadRequester::PerformDownload_PrevVer(IRemoteStorage* pRS) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("DownloadRequester::PerformDownload_PrevVer", &hr, "Id = %s", m_strId.c_str());
  return hr = _Perform(pRS, true);
}

HRESULT DownloadRequester::_Perform(IRemoteStorage* pRS, bool previous) {
  ASSERT_NOT_EMPTY(m_strToken, "*ASSERT*: !m_strToken.IsEmpty()");
  ASSERT_NOT_EMPTY(m_strId, "*ASSERT*: !m_strId.IsEmpty()");
  RecordTree request("nuvra");
  request.AddValue("token", m_strToken);
  request.AddValue("fileId", m_strId);
  RecordTree reply;
  HRESULT hr = XmlCall(pRS, "DownloadRequester",
                       previous ? "/xsvr/requestDownloadPreviousVer/" : "/xsvr/requestDownload/", request, &reply);
  if (FAILED(hr)) return hr;
  std::string url = reply.GetValue("url");
  if (url.empty() || !IsRawQueryValueSafe(url)) {
    OSTREL_LOG(kLogWarn, "ERROR_CHECK_BOOLEX:IsRawQueryValueSafe(url)MSG: %s",
               "the download ticket's URL is empty or unsafe");
    return E_FAIL;
  }
  m_strStub = reply.GetValue("stub");
  m_strUrl = std::move(url);
  m_strFileVer = reply.GetValue("fileVer");
  m_strSha1 = reply.GetValue("sha1");
  return hr;
}

void MetadataUploader::_AddBlock(int32_t index, const std::string& sha1, const std::string& md5, uint32_t size) {
  BlockEntry& entry = m_Metadata[index];
  entry.size = size;
  entry.sha1 = sha1;
  entry.md5 = md5;
}

uint32_t MetadataUploader::_GetBlockSize(int32_t index) const {
  auto it = m_Metadata.find(index);
  if (it == m_Metadata.end()) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: m_Metadata.end() != blockInfo");
    return 0;
  }
  return it->second.size;
}

std::string MetadataUploader::_GetBlockSha1(int32_t index) const {
  auto it = m_Metadata.find(index);
  if (it == m_Metadata.end()) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: m_Metadata.end() != blockInfo");
    return std::string();
  }
  return it->second.sha1;
}

bool MetadataUploader::_GetBlockStatus(int32_t index, std::string* word) const {
  auto it = m_Metadata.find(index);
  if (it == m_Metadata.end()) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: m_Metadata.end() != blockInfo");
    return false;
  }
  auto status = m_BlockStatus.find(FormatBlockId(it->second.size, it->second.sha1));
  if (status == m_BlockStatus.end()) return false;
  *word = status->second;
  return true;
}

std::string MetadataUploader::_Body() const {
  std::string body = "{\"stub\":\"" + JsonEscape(m_strStub) + "\",\"metas\":[";
  bool first = true;
  for (const auto& [index, entry] : m_Metadata) {
    if (!first) body += ',';
    first = false;
    body += StringFormat("{\"index\":%d,\"md5\":\"", index);
    body += entry.md5;
    body += "\",\"blockId\":";
    body += FormatBlockId(entry.size, entry.sha1);
    body += '}';
  }
  body += "]}";
  return body;
}

HRESULT MetadataUploader::Perform(IRemoteStorage* pRS) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("MetadataUploader::Perform", &hr, "Stub = %s BlockCount = %d", m_strStub.c_str(),
                     static_cast<int>(m_Metadata.size()));
  if (m_strToken.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(m_strToken)");
  if (m_strStub.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(m_strStub)");
  if (m_strURL.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(m_strURL)");
  if (m_Metadata.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !m_Metadata.empty()");
  std::string url = m_strURL + "uploadMetadata";
  RecordTree reply;
  std::string word;
  hr = JsonCall(pRS, url, _Body(), &reply, &word);
  if (FAILED(hr)) {
    if (!word.empty())
      OSTREL_LOG(kLogError,
                 "ERROR_CHECK_COM: hr = %x :L\"RMT_FS::MetadataUploader Failed, URL = %s, ResultCode = '%s'\"",
                 static_cast<unsigned>(hr), url.c_str(), word.c_str());
    return hr;
  }
  std::map<std::string, std::string> status;
  if (reply.GetChildCount() > 0) {
    for (const auto& [blockId, text] : reply.GetChild(0).GetAttributeMap()) status[blockId] = text;
  }
  m_BlockStatus = std::move(status);
  return hr;
}

HRESULT BlockUploader::Perform(IRemoteStorage* pRS) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("BlockUploader::Perform", &hr, "Url = %s, Stub = %s, BlockSHA1 = %s Index = %s",
                     m_strURL.c_str(), m_strStub.c_str(), m_strSha1.c_str(), m_strIndex.c_str());
  if (pRS == nullptr) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: pRS");
    return hr = E_POINTER;
  }
  ASSERT_NOT_EMPTY(m_strStub, "*ASSERT*: !IsStrEmpty(m_strStub)");
  ASSERT_NOT_EMPTY(m_strURL, "*ASSERT*: !IsStrEmpty(m_strURL)");
  ASSERT_NOT_EMPTY(m_strSha1, "*ASSERT*: !IsStrEmpty(m_strSha1)");
  ASSERT_NOT_EMPTY(m_strSize, "*ASSERT*: !IsStrEmpty(m_strSize)");
  ASSERT_NOT_EMPTY(m_strIndex, "*ASSERT*: !IsStrEmpty(m_strIndex)");
  ASSERT_NOT_EMPTY(m_pathTmp, "*ASSERT*: !CString(m_pathTmp).IsEmpty()");
  RecordTree query;
  query.AddValue("stub", m_strStub);
  query.AddValue("sha1", m_strSha1);
  query.AddValue("size", m_strSize);
  query.AddValue("index", m_strIndex);
  for (const RecordTreePair& pair : query.GetPairs()) {
    if (!IsRawQueryValueSafe(pair.Value)) {
      OSTREL_LOG(kLogWarn, "ERROR_CHECK_BOOLEX:IsRawQueryValueSafe(value)MSG: %s", pair.Key.c_str());
      return hr = E_FAIL;
    }
  }
  std::string url = m_strURL + "uploadBlock?" + RecordTreeToKeyValueText(query, '&', '=');
  RecordTree reply;
  hr = pRS->UploadBlock(url, m_callback, m_context, m_pathTmp, MakeRequestHeader(3), &reply);
  if (FAILED(hr)) {
    std::string word = reply.GetAttribute("code");
    if (!word.empty())
      OSTREL_LOG(kLogError,
                 "ERROR_CHECK_COM: hr = %x :L\"RMT_FS::BlockUploader Failed, URL = %s, ResultCode = '%s'\"",
                 static_cast<unsigned>(hr), url.c_str(), word.c_str());
  }
  return hr;
}

HRESULT MetadataDownloader::Perform(IRemoteStorage* pRS) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("MetadataDownloader::Perform", &hr, "Stub = %s URL = %s", m_strStub.c_str(), m_strURL.c_str());
  std::string url = m_strURL + "downloadMetadata";
  RecordTree reply;
  std::string word;
  hr = JsonCall(pRS, url, "{\"stub\":\"" + JsonEscape(m_strStub) + "\"}", &reply, &word);
  if (FAILED(hr)) {
    if (!word.empty())
      OSTREL_LOG(kLogError, "ERROR_CHECK_COM: hr = %x :L\"RMT_FS::MetadataDownloader Failed, ResultCode = '%s'\"",
                 static_cast<unsigned>(hr), word.c_str());
    return hr;
  }
  std::map<int32_t, DownloadedBlock> blocks;
  int64_t total = 0;
  const RecordTree* list = reply.GetChildCount() > 0 ? &reply.GetChild(0) : nullptr;
  for (size_t i = 0; list != nullptr && i < list->GetChildCount(); ++i) {
    const RecordTree& element = list->GetChild(i);
    DownloadedBlock block;
    int64_t index = LeadingNumber(element.GetAttribute("index"));
    block.index = static_cast<int32_t>(index);
    block.blockId = element.GetAttribute("blockId");
    block.sha1 = element.GetAttribute("sha1");
    block.fileKey = element.GetAttribute("fileKey");
    const char* fault = nullptr;
    if (index < 1)
      fault = "a block without a valid index";
    else if (!IsValidBlockId(block.blockId))
      fault = "a block with an invalid blockId";
    else if (!IsHexText(block.sha1, 40))
      fault = "a block without a valid SHA-1";
    else if (!IsHexText(block.fileKey, 64))
      fault = "a block without a valid key";
    else if (blocks.count(block.index) != 0)
      fault = "two blocks with one index";
    if (fault != nullptr) {
      OSTREL_LOG(kLogWarn, "MetadataDownloader::Perform: refused: %s (index '%s', blockId '%s')", fault,
                 element.GetAttribute("index").c_str(), block.blockId.c_str());
      return hr = E_FAIL;
    }
    block.size = BlockSizeFromBlockId(block.blockId);
    total += block.size;
    blocks[block.index] = std::move(block);
  }
  if (blocks.empty() || blocks.rbegin()->first != static_cast<int32_t>(blocks.size())) {
    OSTREL_LOG(kLogWarn, "MetadataDownloader::Perform: refused: the blocks are not numbered 1 to %d",
               static_cast<int>(blocks.size()));
    return hr = E_FAIL;
  }
  m_Blocks = std::move(blocks);
  m_nTotalSize = total;
  return hr;
}

HRESULT BlockDownloader::Perform(IRemoteStorage* pRS) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("BlockDownloader::Perform", &hr, "Index = %d Stub = %s", m_nIndex, m_strStub.c_str());
  if (pRS == nullptr) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: pRS");
    return hr = E_POINTER;
  }
  std::string body = "{\"stub\":\"" + JsonEscape(m_strStub) + StringFormat("\",\"index\":\"%d\"}", m_nIndex);
  // The interface's slot has no room for the block's own bound: our remote storage
  // takes it beside the slot; any other bounds the reply its own way.
  if (auto* ours = dynamic_cast<CRemoteStorage*>(pRS))
    hr = ours->DownloadBlockWithin(m_strURL + "downloadBlock", m_callback, m_context, m_pathLocal, body, m_nMaxBytes);
  else
    hr = pRS->DownloadBlock(m_strURL + "downloadBlock", m_callback, m_context, m_pathLocal, MakeRequestHeader(3),
                            body);
  if (FAILED(hr)) OSTREL_LOG(kLogError, "%s", "*ASSERT*: (((HRESULT)(hr)) >= 0)");
  return hr;
}

}  // namespace RMT_FS
