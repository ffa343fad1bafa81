#include "core/remotestorage/thumbnailpackage.h"

#include <minizip/unzip.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/checks.h"
#include "common/filehelper.h"
#include "core/encrypt/zipfileenv.h"
#include "platform/atomicfile.h"
#include "platform/posixfile.h"

namespace {

// The current entry's name (any length).
bool CurrentName(unzFile zip, std::string* name, unz_file_info64* info) {
  if (unzGetCurrentFileInfo64(zip, info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) return false;
  std::vector<char> buffer(info->size_filename + 1, '\0');
  if (unzGetCurrentFileInfo64(zip, info, buffer.data(), buffer.size(), nullptr, 0, nullptr, 0) != UNZ_OK)
    return false;
  name->assign(buffer.data(), info->size_filename);
  return true;
}

bool IsJpgName(const std::string& name) {
  size_t dot = name.rfind('.');
  return dot != std::string::npos && name.compare(dot + 1, std::string::npos, "jpg") == 0;
}

// Reads the current entry whole: exactly its claimed size, then the CRC check of
// unzCloseCurrentFile. False (logged) for a claim above the cap or a failed check.
bool ReadCurrentEntry(unzFile zip, uint64_t claimed, std::string* out) {
  if (claimed > kThumbnailEntryCap) {
    OSTREL_LOG(kLogError, "ERROR_CHECK_BOOLEX:lFileLen <= kThumbnailEntryCapMSG: entry claims %llu bytes",
               static_cast<unsigned long long>(claimed));
    return false;
  }
  if (unzOpenCurrentFile(zip) != UNZ_OK) return false;
  out->assign(static_cast<size_t>(claimed), '\0');
  size_t done = 0;
  bool ok = true;
  while (done < out->size()) {
    unsigned chunk = static_cast<unsigned>(std::min<size_t>(out->size() - done, size_t(1) << 20));
    int n = unzReadCurrentFile(zip, out->data() + done, chunk);
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  char probe;
  if (ok && unzReadCurrentFile(zip, &probe, 1) != 0) ok = false;
  int closed = unzCloseCurrentFile(zip);
  if (!ok || closed != UNZ_OK) {
    OSTREL_LOG(kLogError, "ERROR_CHECK_BOOLEX:nRead == lFileLen && UNZ_OK == unzCloseCurrentFile()MSG: %s",
               closed == UNZ_CRCERROR ? "CRC mismatch" : "short or unreadable entry");
    out->clear();
    return false;
  }
  return true;
}

}  // namespace

HRESULT UnzipThumbnailPackage(const std::string& packagePath, const std::string& pictPath, FileEnv* env) {
  ASSERT(!packagePath.empty() && !pictPath.empty());
  zlib_filefunc64_def funcs;
  FillZipFileFuncs(&funcs, env);
  unzFile zip = packagePath.empty() ? nullptr : unzOpen2_64(packagePath.c_str(), &funcs);
  if (zip == nullptr) {
    OSTREL_LOG(kLogError, "ERROR_CHECK_BOOLEX:hzMSG: %s", "被解压文件不存在！");
    return E_FAIL;
  }
  unz_global_info64 global{};
  if (unzGetGlobalInfo64(zip, &global) != UNZ_OK || global.number_entry == 0) {
    unzClose(zip);
    OSTREL_LOG(kLogError, "ERROR_CHECK_BOOLEX:FALSEMSG: %s", "被解压文件不是zip格式！");
    return E_FAIL;
  }
  std::string picture;
  bool found = false;
  for (int rc = unzGoToFirstFile(zip); rc == UNZ_OK; rc = unzGoToNextFile(zip)) {
    std::string name;
    unz_file_info64 info{};
    if (!CurrentName(zip, &name, &info)) break;
    if (!IsJpgName(name)) continue;
    found = ReadCurrentEntry(zip, info.uncompressed_size, &picture);
    break;
  }
  unzClose(zip);
  if (!found) {
    OSTREL_LOG(kLogError, "ERROR_CHECK_BOOLEX:pbufMSG: %s", "解压文件失败！");
    return E_FAIL;
  }
  std::string parent = FolderOfPath(pictPath);
  if (!parent.empty()) CHECK_COM(EnsureDirectory(parent, 0700, env));
  if (!AtomicWriteFile(pictPath, picture, 0600, env)) {
    OSTREL_LOG(kLogError, "ERROR_CHECK_BOOLEX:fileMSG: %s", "创建解压以后的文件失败！");
    return E_FAIL;
  }
  return S_OK;
}
