#include "core/remotestorage/blockfiles.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <set>

#include "common/checks.h"
#include "common/filehelper.h"
#include "common/md5.h"
#include "common/sha1.h"
#include "core/remotestorage/blockid.h"
#include "platform/guid.h"
#include "platform/posixfile.h"

namespace {

constexpr size_t kPiece = 65536;
constexpr size_t kPiecesPerBlock = kBlockSize / kPiece;
constexpr size_t kJoinBuffer = size_t(1) << 20;

bool IsGuidName(const std::string& name) {
  if (name.size() != 38 || name.front() != '{' || name.back() != '}') return false;
  for (size_t i = 1; i + 1 < name.size(); ++i) {
    char c = name[i];
    bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash ? c != '-' : !IsHexText(std::string_view(&c, 1), 1)) return false;
  }
  return true;
}

// Writes one block of the split: from the source into a GUID-named file in folder,
// then renamed to its SHA-1. *full is set when every one of the block's reads
// returned a whole piece: only then may more of the file follow.
HRESULT SplitOneBlock(PosixFile& source, const std::string& folder, uint8_t* buffer, SHA1_CTX* whole,
                      int64_t* total, std::string* path, bool* full) {
  std::string temp = folder + "/" + NewGuidString();
  PosixFile out(source.env());
  if (!out.Open(temp, O_WRONLY | O_CREAT | O_EXCL, 0600)) {
    OSTREL_LOG(kLogWarn, "SplitFileToBlocks: cannot create %s: %s", temp.c_str(), std::strerror(errno));
    return E_FAIL;
  }
  SHA1_CTX block;
  Sha1Init(&block);
  *full = false;
  size_t fullPieces = 0;
  while (fullPieces < kPiecesPerBlock) {
    ssize_t n = source.ReadFull(buffer, kPiece);
    if (n < 0) {
      OSTREL_LOG(kLogWarn, "SplitFileToBlocks: read error in %s: %s", source.path().c_str(), std::strerror(errno));
      return E_FAIL;
    }
    if (n > 0) {
      if (!out.WriteFull(buffer, static_cast<size_t>(n))) {
        OSTREL_LOG(kLogWarn, "SplitFileToBlocks: write error in %s: %s", temp.c_str(), std::strerror(errno));
        return E_FAIL;
      }
      Sha1Update(&block, buffer, static_cast<size_t>(n));
      Sha1Update(whole, buffer, static_cast<size_t>(n));
      *total += n;
    }
    if (static_cast<size_t>(n) < kPiece) break;
    ++fullPieces;
  }
  *full = fullPieces == kPiecesPerBlock;
  if (!out.Close()) {
    OSTREL_LOG(kLogWarn, "SplitFileToBlocks: close error in %s: %s", temp.c_str(), std::strerror(errno));
    return E_FAIL;
  }
  uint8_t digest[20];
  Sha1Final(&block, digest);
  *path = folder + "/" + Sha1ToHex(digest);
  if (!RenamePath(temp, *path, false, source.env())) {
    OSTREL_LOG(kLogWarn, "SplitFileToBlocks: cannot rename %s: %s", temp.c_str(), std::strerror(errno));
    return E_FAIL;
  }
  return S_OK;
}

}  // namespace

HRESULT SplitFileToBlocks(const std::string& pathOrgFile, std::vector<std::string>* blocks, int64_t* fileSize,
                          std::string* fileSha1, FileEnv* env) {
  ASSERT(!pathOrgFile.empty());
  blocks->clear();
  PosixFile source(env);
  if (!source.OpenRegularForRead(pathOrgFile)) {
    OSTREL_LOG(kLogWarn, "SplitFileToBlocks: cannot open %s: %s", pathOrgFile.c_str(), std::strerror(errno));
    return E_FAIL;
  }
  std::string parent = FolderOfPath(pathOrgFile);
  std::string folder = (parent.empty() ? std::string(".") : parent == "/" ? std::string() : parent) + "/" +
                       NewGuidString();
  HRESULT hr = EnsureDirectory(folder, 0700, env);
  ERROR_CHECK_COM(hr);

  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kPiece]);
  SHA1_CTX whole;
  Sha1Init(&whole);
  int64_t total = 0;
  bool full = true;
  while (full) {
    std::string path;
    hr = SplitOneBlock(source, folder, buffer.get(), &whole, &total, &path, &full);
    if (FAILED(hr)) {
      DeleteFolderTree(folder, false, true, env);
      blocks->clear();
      return hr;
    }
    blocks->push_back(std::move(path));
  }
  uint8_t digest[20];
  Sha1Final(&whole, digest);
  if (fileSize) *fileSize = total;
  if (fileSha1) *fileSha1 = Sha1ToHex(digest);
  return S_OK;
}

void DeleteBlockFiles(const std::vector<std::string>& blocks, FileEnv* env) {
  std::set<std::string> folders;
  for (const std::string& path : blocks) {
    CHECK_COM(ForceDeleteFile(path, env));
    std::string folder = FolderOfPath(path);
    size_t slash = folder.rfind('/');
    if (IsGuidName(slash == std::string::npos ? folder : folder.substr(slash + 1))) folders.insert(folder);
  }
  for (const std::string& folder : folders) env->Rmdir(folder);
}

HRESULT JoinBlocks(const std::vector<std::string>& blocks, const std::string& dest, int64_t* size,
                   std::string* sha1, FileEnv* env) {
  PosixFile out(env);
  if (!out.Open(dest, O_WRONLY | O_CREAT | O_TRUNC, 0600)) {
    OSTREL_LOG(kLogWarn, "JoinBlocks: cannot create %s: %s", dest.c_str(), std::strerror(errno));
    return E_FAIL;
  }
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kJoinBuffer]);
  SHA1_CTX ctx;
  Sha1Init(&ctx);
  int64_t total = 0;
  bool ok = true;
  for (const std::string& path : blocks) {
    PosixFile in(env);
    if (!in.Open(path, O_RDONLY)) {
      OSTREL_LOG(kLogWarn, "JoinBlocks: cannot open %s: %s", path.c_str(), std::strerror(errno));
      ok = false;
      break;
    }
    ssize_t n;
    while ((n = in.ReadFull(buffer.get(), kJoinBuffer)) > 0) {
      if (!out.WriteFull(buffer.get(), static_cast<size_t>(n))) {
        OSTREL_LOG(kLogWarn, "JoinBlocks: write error in %s: %s", dest.c_str(), std::strerror(errno));
        ok = false;
        break;
      }
      Sha1Update(&ctx, buffer.get(), static_cast<size_t>(n));
      total += n;
    }
    if (n < 0) {
      OSTREL_LOG(kLogWarn, "JoinBlocks: read error in %s: %s", path.c_str(), std::strerror(errno));
      ok = false;
    }
    if (!ok) break;
  }
  if (!out.Close() && ok) {
    OSTREL_LOG(kLogWarn, "JoinBlocks: close error in %s: %s", dest.c_str(), std::strerror(errno));
    ok = false;
  }
  if (!ok) {
    CHECK_COM(ForceDeleteFile(dest, env));
    return E_FAIL;
  }
  uint8_t digest[20];
  Sha1Final(&ctx, digest);
  if (size) *size = total;
  if (sha1) *sha1 = Sha1ToHex(digest);
  return S_OK;
}

HRESULT GetBlockFileSha1(const std::string& path, std::string* sha1, FileEnv* env) {
  HRESULT hr = GetFileSha1(path, nullptr, sha1, env);
  ERROR_CHECK_COM(hr);
  return hr;
}

HRESULT GetBlockDigest(const std::string& path, BlockDigest* digest, FileEnv* env) {
  PosixFile in(env);
  if (!in.Open(path, O_RDONLY)) {
    OSTREL_LOG(kLogWarn, "GetBlockDigest: cannot open %s: %s", path.c_str(), std::strerror(errno));
    return E_FAIL;
  }
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kJoinBuffer]);
  SHA1_CTX sha;
  Sha1Init(&sha);
  RizirMD5::MD5 md5;
  uint64_t total = 0;
  ssize_t n;
  while ((n = in.ReadFull(buffer.get(), kJoinBuffer)) > 0) {
    Sha1Update(&sha, buffer.get(), static_cast<size_t>(n));
    md5.Update(buffer.get(), static_cast<size_t>(n));
    total += static_cast<uint64_t>(n);
    if (total > kBlockSize) break;
  }
  if (n < 0 || total > kBlockSize) {
    OSTREL_LOG(kLogWarn, "GetBlockDigest: %s cannot be read or holds more than a block", path.c_str());
    return E_FAIL;
  }
  uint8_t sd[20], md[16];
  Sha1Final(&sha, sd);
  md5.Final(md);
  digest->size = static_cast<uint32_t>(total);
  digest->sha1 = Sha1ToHex(sd);
  digest->md5 = Md5ToHex(md);
  return S_OK;
}
