// The block upload and block download of CRemoteStorage: the flow over the block
// protocol (remotefs.h) with the encoding and decoding of each block.
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/checks.h"
#include "common/filehelper.h"
#include "common/sha1.h"
#include "common/strformat.h"
#include "common/strhelper.h"
#include "common/tracestack.h"
#include "core/encrypt/encodedsize.h"
#include "core/encrypt/encodefile.h"
#include "core/interfaces/ilocalstorage.h"
#include "core/remotestorage/blockfiles.h"
#include "core/remotestorage/blockid.h"
#include "core/remotestorage/blockprogress.h"
#include "core/remotestorage/remotefs.h"
#include "core/remotestorage/remotestorage.h"
#include "platform/guid.h"
#include "platform/posixfile.h"
#include "platform/tempclaim.h"

namespace {

constexpr char kTargetExist[] = "TargetExist";
constexpr char kNoHint[] = "0000000000000000";

// Removes the file at path when it goes, unless released.
class TempFile {
 public:
  TempFile(FileEnv* env, std::string path) : m_env(env), m_path(std::move(path)) {}
  ~TempFile() {
    if (!m_path.empty()) CHECK_COM(ForceDeleteFile(m_path, m_env));
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& Path() const { return m_path; }
  void Release() { m_path.clear(); }

 private:
  FileEnv* m_env;
  std::string m_path;
};

// The folder a block download works in. A file's resume folder is
// "<temp>/resume-<SHA-1 of the file id>": it keeps the verified ".done" blocks between
// attempts. One transfer at a time, in this process or another, claims it; a second
// download of the same file meanwhile works in a private "<temp>/{GUID}" folder,
// claimed too, that goes with it. The claim ends with the download, after an empty
// resume folder is removed.
class DownloadFolder {
 public:
  DownloadFolder(FileEnv* env, const std::string& tempFolder, const std::string& fileId)
      : m_env(env), m_claim(env) {
    std::string resume = tempFolder + "resume-" + Sha1Hex(fileId.data(), fileId.size());
    if (m_claim.TryClaim(resume)) {
      m_path = resume;
      m_resume = true;
    } else {
      m_path = tempFolder + NewGuidString();
      m_claim.TryClaim(m_path);
    }
  }
  ~DownloadFolder() {
    if (m_resume)
      m_env->Rmdir(m_path);  // an empty resume folder is of no use to the next attempt
    else
      Remove();
    m_claim.Release();
  }
  DownloadFolder(const DownloadFolder&) = delete;
  DownloadFolder& operator=(const DownloadFolder&) = delete;

  const std::string& Path() const { return m_path; }
  void Remove() { DeleteFolderTree(m_path, false, true, m_env); }

 private:
  FileEnv* m_env;
  CTempClaim m_claim;
  std::string m_path;
  bool m_resume = false;
};

// True when the plain block file has the size and SHA-1 its blockId names.
bool MatchesBlockId(FileEnv* env, const std::string& path, const std::string& blockId) {
  int64_t size = -1;
  std::string sha1;
  if (FAILED(GetFileSizeAndSha1(path, &size, &sha1, nullptr, env))) return false;
  return size == BlockSizeFromBlockId(blockId) && sha1 == Sha1OfBlockId(blockId);
}

bool Exists(FileEnv* env, const std::string& path) {
  struct stat st {};
  return env->Lstat(path, &st);
}

}  // namespace

HRESULT CRemoteStorage::UploadFile_UFA(const TaskData_UpdateFile_UFA& TaskData, const std::vector<std::string>& blocks,
                                       TransportProgressCallback callback, void* context,
                                       std::string* newFileVersion) {
  if (TaskData.strFileId.empty() || TaskData.strFileName.empty())
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(TaskData.strFileId) && !IsStrEmpty(TaskData.strFileName)");
  if (TaskData.strFileVer.empty() || TaskData.strSizeOrg.empty())
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(TaskData.strFileVer) && !IsStrEmpty(TaskData.strSizeOrg)");
  if (TaskData.strFileOrgSha1.empty() || TaskData.pathEncode.empty())
    OSTREL_LOG(kLogError, "%s",
               "*ASSERT*: !IsStrEmpty(TaskData.strFileOrgSha1) && !IsStrEmpty(TaskData.pathEncode.m_strPath)");
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::UploadFile_UFA()", &hr, "strFileId = %s, strFileName = %s, strFileVer = %s",
                     TaskData.strFileId.c_str(), TaskData.strFileName.c_str(), TaskData.strFileVer.c_str());
  if (blocks.empty() || TaskData.pathEncode.empty()) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:!blocks.empty() && !IsStrEmpty(TaskData.pathEncode)");
    return hr = E_INVALIDARG;
  }
  // The encode file is reused for every block and never outlives the upload.
  TempFile encoded(m_env, TaskData.pathEncode);

  // Every block is read before the service is asked: an unreadable block fails here.
  std::vector<BlockDigest> digests(blocks.size());
  for (size_t p = 0; p < blocks.size(); ++p) {
    hr = GetBlockDigest(blocks[p], &digests[p], m_env);
    ERROR_CHECK_COM(hr);
  }

  RMT_FS::UploadRequester request;
  request.m_strToken = TaskData.strToken;
  request.m_strFileVer = TaskData.strFileVer;
  request.m_strSize = TaskData.strSizeOrg;
  request.m_strFileId = TaskData.strFileId;
  request.m_strSha1 = TaskData.strFileOrgSha1;
  hr = request.Perform(this);
  ERROR_CHECK_COM(hr);

  RMT_FS::MetadataUploader metadata;
  metadata.m_strToken = TaskData.strToken;
  metadata.m_strStub = request.m_strStub;
  metadata.m_strURL = request.m_strUrl;
  for (size_t p = 0; p < blocks.size(); ++p)
    metadata._AddBlock(static_cast<int32_t>(p + 1), digests[p].sha1, digests[p].md5, digests[p].size);
  hr = metadata.Perform(this);
  ERROR_CHECK_COM(hr);

  // Every block must be held by the service or come with a key: a block without one
  // would be stored under a key nobody has, so nothing is sent at all.
  std::vector<std::string> words(blocks.size());
  for (size_t p = 0; p < blocks.size(); ++p) {
    if (!metadata._GetBlockStatus(static_cast<int32_t>(p + 1), &words[p])) {
      OSTREL_LOG(kLogError, "%s", "*ASSERT*: bRet");
      OSTREL_LOG(kLogWarn, "UFA_FILE::Upload block %d has no word in the metadata reply", static_cast<int>(p + 1));
      return hr = E_FAIL;
    }
    if (words[p] != kTargetExist && !IsHexText(words[p], 64)) {
      OSTREL_LOG(kLogWarn, "UFA_FILE::Upload block %d has no valid key in the metadata reply",
                 static_cast<int>(p + 1));
      return hr = E_FAIL;
    }
  }

  BlockProgressState progress;
  progress.callback = callback;
  progress.context = context;
  progress.total = static_cast<double>(std::strtoll(TaskData.strSizeOrg.c_str(), nullptr, 10));
  for (size_t p = 0; p < blocks.size(); ++p) {
    const BlockDigest& block = digests[p];
    if (words[p] == kTargetExist) {
      progress.finished += block.size;
      continue;
    }
    // Packing a block takes a while: a cancel is heard before it starts.
    if (callback && callback(context, 0, 0, progress.total, progress.finished, 0) == E_FAIL) {
      OSTREL_LOG(kLogTrace, "CHECK_COM hr = %x: hr", static_cast<unsigned>(E_CV_CURL_CANCEL));
      return hr = E_CV_CURL_CANCEL;
    }
    hr = EncodeFile_UFA(block.size, TaskData.strFileName, block.sha1, blocks[p], TaskData.pathEncode, words[p],
                        kNoHint, m_env);
    ERROR_CHECK_COM(hr);
    // Nor is anything sent for a cancel heard while the block was packed.
    if (callback && callback(context, 0, 0, progress.total, progress.finished, 0) == E_FAIL) {
      OSTREL_LOG(kLogTrace, "CHECK_COM hr = %x: hr", static_cast<unsigned>(E_CV_CURL_CANCEL));
      return hr = E_CV_CURL_CANCEL;
    }
    int64_t encodedSize = 0;
    std::string encodedSha1;
    hr = GetFileSizeAndSha1(TaskData.pathEncode, &encodedSize, &encodedSha1, nullptr, m_env);
    ERROR_CHECK_COM(hr);
    RMT_FS::BlockUploader uploader;
    uploader.m_strURL = request.m_strUrl;
    uploader.m_strStub = request.m_strStub;
    uploader.m_strSize = StringFormat("%lld", static_cast<long long>(encodedSize));
    uploader.m_strSha1 = encodedSha1;
    uploader.m_strIndex = StringFormat("%d", static_cast<int>(p + 1));
    uploader.m_pathTmp = TaskData.pathEncode;
    uploader.m_callback = UploadProgressAdapter;
    uploader.m_context = &progress;
    hr = uploader.Perform(this);
    CHECK_COM(ForceDeleteFile(TaskData.pathEncode, m_env));
    ERROR_CHECK_COM(hr);
    progress.finished += block.size;
  }

  RMT_FS::Committer commit;
  commit.m_strToken = TaskData.strToken;
  commit.m_strStub = request.m_strStub;
  hr = commit.Perform(this);
  ERROR_CHECK_COM(hr);
  if (newFileVersion) *newFileVersion = commit.m_strFileVer;
  return hr = S_OK;
}

HRESULT CRemoteStorage::DownloadFile_UFA(TaskData_DownloadFile_UFA& TaskData, ILocalStorage* localStorage,
                                         TransportProgressCallback callback, void* context, bool previousVersion) {
  if (TaskData.strFileId.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(TaskData.strFileId)");
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::DownloadFile_UFA()", &hr, "strFileId = %s", TaskData.strFileId.c_str());
  std::string tempFolder = localStorage ? localStorage->GetTempFolder() : std::string();
  if (tempFolder.empty() || TaskData.pathDownload.empty()) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:pLocalStorage && !IsStrEmpty(TaskData.pathDownload)");
    return hr = E_INVALIDARG;
  }
  AddBackslash(&tempFolder);

  RMT_FS::DownloadRequester request;
  request.m_strToken = TaskData.strToken;
  request.m_strId = TaskData.strFileId;
  hr = previousVersion ? request.PerformDownload_PrevVer(this) : request.PerformDownload(this);
  ERROR_CHECK_COM(hr);
  TaskData.strFileVer = request.m_strFileVer;
  TaskData.strFileSha1 = request.m_strSha1;
  if (!IsHexText(request.m_strSha1, 40)) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:IsSha1Text(strSha1)MSG: the download ticket has no valid SHA-1");
    return hr = E_FAIL;
  }

  RMT_FS::MetadataDownloader metadata;
  metadata.m_strURL = request.m_strUrl;
  metadata.m_strStub = request.m_strStub;
  hr = metadata.Perform(this);
  ERROR_CHECK_COM(hr);

  DownloadFolder folder(m_env, tempFolder, TaskData.strFileId);
  hr = EnsureDirectory(folder.Path(), 0700, m_env);
  ERROR_CHECK_COM(hr);
  const std::string base = folder.Path() + "/";

  BlockProgressState progress;
  progress.callback = callback;
  progress.context = context;
  progress.total = static_cast<double>(metadata.m_nTotalSize);
  bool allBlocksGood = true;
  std::vector<std::string> blockFiles;
  for (const auto& [index, block] : metadata.m_Blocks) {
    const std::string done = base + block.blockId + ".done";
    blockFiles.push_back(done);
    if (Exists(m_env, done)) {
      if (MatchesBlockId(m_env, done, block.blockId)) {
        progress.finished += block.size;
        continue;
      }
      OSTREL_LOG(kLogWarn, "UFA_FILE::Download block %d: the kept block does not match its blockId", index);
      CHECK_COM(ForceDeleteFile(done, m_env));
    }
    TempFile received(m_env, base + NewGuidString() + ".part");
    RMT_FS::BlockDownloader downloader;
    downloader.m_strStub = request.m_strStub;
    downloader.m_strURL = request.m_strUrl;
    downloader.m_nIndex = index;
    downloader.m_pathLocal = received.Path();
    downloader.m_nMaxBytes = MaxRtv0FileSize(static_cast<uint64_t>(block.size));
    downloader.m_callback = DownloadProgressAdapter;
    downloader.m_context = &progress;
    hr = downloader.Perform(this);
    ERROR_CHECK_COM(hr);
    if (!CheckFileSha1(received.Path(), block.sha1, m_env)) {
      OSTREL_LOG(kLogWarn, "UFA_FILE::Download block %d: SHA-1 differs from the metadata", index);
      allBlocksGood = false;
      continue;
    }
    TempFile plain(m_env, base + NewGuidString() + ".plain");
    hr = DecodeFile(received.Path(), plain.Path(), block.fileKey, static_cast<uint64_t>(block.size), m_env);
    ERROR_CHECK_COM(hr);
    if (!MatchesBlockId(m_env, plain.Path(), block.blockId)) {
      OSTREL_LOG(kLogWarn, "UFA_FILE::Download block %d: decoded block does not match its blockId", index);
      allBlocksGood = false;
      continue;
    }
    if (!RenamePath(plain.Path(), done, false, m_env)) {
      OSTREL_LOG(kLogWarn, "UFA_FILE::Download block %d: cannot keep the decoded block", index);
      return hr = E_FAIL;
    }
    plain.Release();
    progress.finished += block.size;
  }
  if (!allBlocksGood) {
    OSTREL_LOG(kLogWarn, "%s", "UFA_FILE::Download Some blocks dropped because of network error.");
    return hr = E_FAIL;
  }

  TempFile joined(m_env, base + NewGuidString() + ".join");
  int64_t size = 0;
  std::string sha1;
  hr = JoinBlocks(blockFiles, joined.Path(), &size, &sha1, m_env);
  ERROR_CHECK_COM(hr);
  if (size != metadata.m_nTotalSize || !Sha1TextEquals(sha1, request.m_strSha1)) {
    OSTREL_LOG(kLogWarn, "UFA_FILE::Download joined file differs: size %lld of %lld, SHA-1 %s, expected %s",
               static_cast<long long>(size), static_cast<long long>(metadata.m_nTotalSize), sha1.c_str(),
               request.m_strSha1.c_str());
    folder.Remove();
    return hr = E_CV_SHA1_MISMATCH;
  }
  if (!MoveFileReplace(joined.Path(), TaskData.pathDownload, m_env)) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: bRet");
    return hr = E_FAIL;
  }
  joined.Release();
  folder.Remove();
  return hr = S_OK;
}
