// The block protocol's calls. On the API root, XML requesters ask for the protocol
// (GlobalVersionGetter) and open and close a transfer (UploadRequester, Committer,
// DownloadRequester). On the block server named by the URL they return, JSON calls
// move the blocks (MetadataUploader, BlockUploader, MetadataDownloader,
// BlockDownloader). Every call goes through the IRemoteStorage it is given, with a
// transport of its own.
//
// Each record is filled by its caller, performs once and is then read. Perform returns
// S_OK with the output fields set, or the transport's, the parser's or the service
// word's code (ServerResultMap) with the output fields as they were. Values from the
// service that later go into a URL query are refused (E_FAIL) when
// IsRawQueryValueSafe says no; blockIds, SHA-1 texts and keys of the download metadata
// are checked before anything is kept.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "common/resultcodes.h"
#include "core/interfaces/itransport.h"

class IRemoteStorage;

namespace RMT_FS {

// POST ServerRoot + "/xsvr/getGlobalVersion" (v:2, 30 s): token -> the account's
// global version.
struct GlobalVersionGetter {
  std::string m_strToken;
  std::string m_strGlobalVersion;  // out
  HRESULT Perform(IRemoteStorage* pRS);
};

// POST ServerRoot + "/xsvr/requestUpload/" (v:3): token, fileVer, size, fileId, sha1
// of the whole plain file -> the stub and the block server's URL.
struct UploadRequester {
  std::string m_strToken, m_strFileVer, m_strSize, m_strFileId, m_strSha1;
  std::string m_strStub, m_strUrl;  // out
  HRESULT Perform(IRemoteStorage* pRS);
};

// POST ServerRoot + "/xsvr/commit/" (v:3): token, stub -> the new file version.
struct Committer {
  std::string m_strToken, m_strStub;
  std::string m_strFileVer;  // out
  HRESULT Perform(IRemoteStorage* pRS);
};

// POST ServerRoot + "/xsvr/requestDownload/" or "/xsvr/requestDownloadPreviousVer/"
// (v:3): token, fileId -> stub, URL, file version and the plain file's SHA-1.
struct DownloadRequester {
  std::string m_strToken, m_strId;
  std::string m_strStub, m_strUrl, m_strFileVer, m_strSha1;  // out
  HRESULT PerformDownload(IRemoteStorage* pRS);
  HRESULT PerformDownload_PrevVer(IRemoteStorage* pRS);

 private:
  HRESULT _Perform(IRemoteStorage* pRS, bool previous);
};

// One block of an upload as announced.
struct BlockEntry {
  uint32_t size = 0;
  std::string sha1;  // 40 lower-case hex digits
  std::string md5;   // 32 lower-case hex digits
};

// POST URL + "uploadMetadata" (v:3, JSON): the blocks of the upload -> for each
// blockId the service's word: "TargetExist" when it holds the block, else the key to
// encode the block with.
struct MetadataUploader {
  std::string m_strToken, m_strStub, m_strURL;
  std::map<int32_t, BlockEntry> m_Metadata;                 // block number (from 1) -> entry
  std::map<std::string, std::string> m_BlockStatus;         // out: blockId (exact) -> word

  void _AddBlock(int32_t index, const std::string& sha1, const std::string& md5, uint32_t size);
  // The entry's size or SHA-1; 0 or "" (with an assertion line) for a missing index.
  uint32_t _GetBlockSize(int32_t index) const;
  std::string _GetBlockSha1(int32_t index) const;
  // The word the service gave for the block; false when the index or its blockId is
  // missing (blockIds compared exactly).
  bool _GetBlockStatus(int32_t index, std::string* word) const;
  // The request body, as sent (the stub escaped for JSON).
  std::string _Body() const;
  HRESULT Perform(IRemoteStorage* pRS);
};

// POST URL + "uploadBlock?stub=&sha1=&size=&index=" with the encoded block file as the
// raw body, through IRemoteStorage::UploadBlock.
struct BlockUploader {
  std::string m_strURL, m_strStub, m_strSize, m_strSha1, m_strIndex;
  std::string m_pathTmp;  // the encoded block
  TransportProgressCallback m_callback = nullptr;
  void* m_context = nullptr;
  HRESULT Perform(IRemoteStorage* pRS);
};

// One block of a download as the service listed it.
struct DownloadedBlock {
  int32_t index = 0;
  std::string fileKey, blockId, sha1;  // sha1: of the encoded block
  int32_t size = 0;                    // plain size, from the blockId
};

// POST URL + "downloadMetadata" (v:3): {"stub"} -> the blocks. Perform fails (E_FAIL)
// unless the blocks are numbered exactly 1..n and each has a valid blockId, a 40-digit
// SHA-1 text and a 64-digit key.
struct MetadataDownloader {
  std::string m_strURL, m_strStub;
  std::map<int32_t, DownloadedBlock> m_Blocks;  // out
  int64_t m_nTotalSize = 0;                     // out: sum of the plain sizes
  HRESULT Perform(IRemoteStorage* pRS);
};

// POST URL + "downloadBlock" {"stub","index"} through IRemoteStorage::DownloadBlock,
// which writes the reply bytes to m_pathLocal. The reply may bring m_nMaxBytes bytes
// (the encoded bound of the block's size, MaxRtv0FileSize); the transfer fails with
// E_CV_NETWORK_ERROR3 as soon as it brings more. 0, and an IRemoteStorage other than
// CRemoteStorage, bound it by the largest block.
struct BlockDownloader {
  std::string m_strStub, m_strURL;
  int32_t m_nIndex = 0;
  std::string m_pathLocal;
  uint64_t m_nMaxBytes = 0;
  TransportProgressCallback m_callback = nullptr;
  void* m_context = nullptr;
  HRESULT Perform(IRemoteStorage* pRS);
};

}  // namespace RMT_FS
