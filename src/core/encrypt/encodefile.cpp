#include "core/encrypt/encodefile.h"

#include <strings.h>
#include <sys/stat.h>

#include <cstring>
#include <vector>

#include "common/checks.h"
#include "common/filehelper.h"
#include "common/sha1.h"
#include "common/strhelper.h"
#include "core/encrypt/compresspolicy.h"
#include "core/encrypt/fileio.h"
#include "core/encrypt/lzmafile.h"
#include "core/encrypt/sevenzipreader.h"
#include "core/encrypt/sevenzipwriter.h"
#include "core/encrypt/zaesfile.h"
#include "platform/atomicfile.h"
#include "platform/guid.h"

namespace {

constexpr size_t kKeySize = 32;
constexpr size_t kSha1Size = 20;
constexpr size_t kHintSize = 8;
constexpr uint64_t kMaxSource = 0xFFFFFFFFull;

#define ENC_ASSERT(cond, text)                                   \
  do {                                                           \
    if (!(cond)) OSTREL_LOG(kLogError, "%s", "*ASSERT*: " text); \
  } while (0)
#define ENC_LOG_BOOLEX(text) OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:" text)
#define DEC_LOG_MSG(msg) OSTREL_LOG(kLogInfo, "ERROR_CHECK_BOOLEX:bRet--MSG:%s", msg)

int HexDigit(const std::string& s, size_t i) { return i < s.size() ? HexDigitValue(s[i]) : -1; }

// A key that is wiped when it goes.
struct FileKey {
  uint8_t bytes[kKeySize];
  explicit FileKey(const std::string& text) { HexTextToBytes(text, kKeySize, bytes, true); }
  ~FileKey() { explicit_bzero(bytes, sizeof(bytes)); }
};

// Temporary files of one call, removed when it ends.
class TempFiles {
 public:
  explicit TempFiles(FileEnv* env) : m_env(env) {}
  ~TempFiles() {
    for (const auto& p : m_paths) ForceDeleteFile(p, m_env);
  }
  std::string Beside(const std::string& path) {
    m_paths.push_back(MakeSiblingPath(path, NewGuidString()));
    return m_paths.back();
  }

 private:
  FileEnv* m_env;
  std::vector<std::string> m_paths;
};

// Refuses sources of 4 GiB and more; the failure of the size read is returned.
HRESULT CheckSourceSize(FileEnv* env, const std::string& srcFile) {
  int64_t size = 0;
  HRESULT hr = GetFileSizeByPath(srcFile, &size, env);
  ERROR_CHECK_COM(hr);
  if (static_cast<uint64_t>(size) > kMaxSource) {
    ENC_LOG_BOOLEX("qwSrcFileSize < 4 GiB");
    return E_FAIL;
  }
  return S_OK;
}

// Refuses what no encoding may take: a source of 4 GiB or more, and a destination that
// is the source itself. The failure of the size read is returned.
HRESULT CheckEncodeFiles(FileEnv* env, const std::string& srcFile, const std::string& desFile) {
  HRESULT hr = CheckSourceSize(env, srcFile);
  ERROR_CHECK_COM(hr);
  if (encrypt_io::IsSameFile(srcFile, desFile, env)) {
    ENC_LOG_BOOLEX("!IsSameFile(szSrcFile, szDesFile)");
    return E_FAIL;
  }
  return S_OK;
}

// Moves a finished temporary file onto the destination.
HRESULT PutInPlace(FileEnv* env, const std::string& temp, const std::string& desFile) {
  if (!MoveReplace(temp, desFile, env)) {
    ENC_LOG_BOOLEX("bRet");
    return E_FAIL;
  }
  return S_OK;
}

uint64_t SizeOf(FileEnv* env, const std::string& path) {
  struct stat st;
  return env->Stat(path, &st) ? static_cast<uint64_t>(st.st_size) : 0;
}

// Blocks are checked against their block ids by the caller; the header's own fields
// may be filled differently by other writers, so a difference is only a warning.
void CompareWithRtv0Header(FileEnv* env, const std::string& plainFile, const ZAesFile::Rtv0Header& header) {
  uint64_t size = SizeOf(env, plainFile);
  std::string sha1;
  if (FAILED(GetFileSha1(plainFile, {}, &sha1, env))) return;
  std::string expected = Sha1ToHex(header.sha1);
  if (size != header.plainSize || strcasecmp(sha1.c_str(), expected.c_str()) != 0)
    OSTREL_LOG(kLogWarn, "CHECK_BOOL:bRtv0HeaderMatchesMSG: size %llu, header %u; SHA-1 %s, header %s",
               static_cast<unsigned long long>(size), header.plainSize, sha1.c_str(), expected.c_str());
}

}  // namespace

HRESULT HexTextToBytes(const std::string& hex, size_t count, uint8_t* out, bool swapDigits) {
  ENC_ASSERT(!hex.empty(), "!IsStrEmpty(szHexString)");
  ENC_ASSERT(hex.size() == count * 2, "wcslen(szHexString) == nCountOfBytes * 2");
  for (size_t i = 0; i < count; ++i) {
    int hi = HexDigit(hex, swapDigits ? 2 * i + 1 : 2 * i);
    int lo = HexDigit(hex, swapDigits ? 2 * i : 2 * i + 1);
    if (hi < 0)
      out[i] = 0;
    else if (lo < 0)
      out[i] = static_cast<uint8_t>(hi);
    else
      out[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return S_OK;
}

std::string MakeSiblingPath(const std::string& fullPath, const std::string& newName) {
  return JoinPath(FolderOfPath(fullPath), newName);
}

HRESULT EncodeFile(const std::string& fileName, const std::string& srcFile, const std::string& desFile,
                   const std::string& fileKey, bool noCompress, FileEnv* env) {
  ENC_ASSERT(!fileName.empty(), "!IsStrEmpty(szFileName)");
  ENC_ASSERT(!srcFile.empty(), "!IsStrEmpty(szSrcFile)");
  ENC_ASSERT(!desFile.empty(), "!IsStrEmpty(szDesFile)");
  ENC_ASSERT(!fileKey.empty(), "!IsStrEmpty(szFileKey)");

  HRESULT hr = CheckEncodeFiles(env, srcFile, desFile);
  if (FAILED(hr)) return hr;
  int flag = 1;
  if (!noCompress) {
    hr = NeedCompressFile(fileName, srcFile, &flag, env);
    ERROR_CHECK_COM(hr);
  } else {
    flag = StartsWith7zSignature(srcFile, env) ? 1 : 0;
  }

  TempFiles temps(env);
  std::string plainSource = srcFile;
  if (flag == 1) {
    plainSource = temps.Beside(srcFile);
    if (!PackFileTo7z(plainSource, srcFile, env)) {
      ENC_LOG_BOOLEX("bRet");
      return E_FAIL;
    }
  }
  FileKey key(fileKey);
  std::string encoded = temps.Beside(desFile);
  if (!ZAesFile::EncryptFile(key.bytes, kKeySize, plainSource, encoded, env)) {
    ENC_LOG_BOOLEX("bRet");
    return E_FAIL;
  }
  return PutInPlace(env, encoded, desFile);
}

HRESULT EncodeFile_UFA(uint32_t orgSize, const std::string& fileName, const std::string& orgFileSha1,
                       const std::string& srcFile, const std::string& desFile, const std::string& fileKey,
                       const std::string& hint, FileEnv* env) {
  ENC_ASSERT(!fileName.empty(), "!IsStrEmpty(szFileName)");
  ENC_ASSERT(!orgFileSha1.empty(), "!IsStrEmpty(szOrgFileSha1)");
  ENC_ASSERT(!srcFile.empty(), "!IsStrEmpty(szSrcFile)");
  ENC_ASSERT(!desFile.empty(), "!IsStrEmpty(szDesFile)");
  ENC_ASSERT(!fileKey.empty(), "!IsStrEmpty(szFileKey)");
  ENC_ASSERT(!hint.empty(), "!IsStrEmpty(szHint)");

  HRESULT hr = CheckEncodeFiles(env, srcFile, desFile);
  if (FAILED(hr)) return hr;
  int flag = 1;
  hr = NeedCompressFile(fileName, srcFile, &flag, env);
  ERROR_CHECK_COM(hr);

  TempFiles temps(env);
  std::string plainSource = srcFile;
  if (flag == 1) {
    plainSource = temps.Beside(srcFile);
    if (!LzmaPackFile(srcFile, plainSource, env)) {
      ENC_LOG_BOOLEX("bRet");
      return E_FAIL;
    }
  }
  uint8_t sha1[kSha1Size], hintBytes[kHintSize];
  HexTextToBytes(orgFileSha1, kSha1Size, sha1, false);
  HexTextToBytes(hint, kHintSize, hintBytes, false);
  FileKey key(fileKey);
  std::string encoded = temps.Beside(desFile);
  if (!ZAesFile::EncryptFileV0(plainSource, encoded, flag == 1, orgSize, sha1, hintBytes, key.bytes, env)) {
    ENC_LOG_BOOLEX("bRet");
    return E_FAIL;
  }
  return PutInPlace(env, encoded, desFile);
}

HRESULT DecodeFile(const std::string& srcFile, const std::string& desFile, const std::string& fileKey,
                   uint64_t maxPlainSize, FileEnv* env) {
  FileKey key(fileKey);
  TempFiles temps(env);
  const std::string deciphered = temps.Beside(srcFile);
  int format = ZAesFile::kDecryptedFileHeader;
  ZAesFile::Rtv0Header header;
  if (!ZAesFile::DecryptFile(key.bytes, kKeySize, srcFile, deciphered, &format, &header, env)) {
    DEC_LOG_MSG("DecryptFile File Failded!");
    return E_FAIL;
  }

  std::string plain;  // the finished plain file, to be moved onto desFile
  switch (format) {
    case ZAesFile::kDecryptedRtv0Packed:
      plain = temps.Beside(desFile);
      if (!LzmaUnpackFile(deciphered, plain, maxPlainSize, env)) {
        DEC_LOG_MSG("UnCompress File Failded!");
        return E_FAIL;
      }
      break;
    case ZAesFile::kDecryptedRtv0Plain:
      plain = deciphered;
      break;
    case ZAesFile::kDecryptedFileHeader: {
      uint64_t entrySize = ~uint64_t{0};
      switch (Probe7zArchive(deciphered, &entrySize, env)) {
        case SevenZipProbe::kArchive:
          plain = temps.Beside(desFile);
          if (!Unpack7zArchive(plain, deciphered, maxPlainSize, env)) {
            DEC_LOG_MSG("UnCompress File Failded!");
            return E_FAIL;
          }
          break;
        case SevenZipProbe::kNotArchive:
          // The file itself, also when it merely begins with the 7z signature: other
          // writers store such content as it is.
          plain = deciphered;
          break;
        case SevenZipProbe::kReadError:
          // Content that could not be read is never handed out as the plain file.
          DEC_LOG_MSG("UnCompress File Failded!");
          return E_FAIL;
      }
      break;
    }
    default:
      OSTREL_LOG(kLogError, "%s", "*ASSERT*: 0");
      return E_FAIL;
  }
  if (SizeOf(env, plain) > maxPlainSize) {
    ENC_LOG_BOOLEX("qwPlainSize <= qwMaxPlainSize");
    return E_FAIL;
  }
  if (format != ZAesFile::kDecryptedFileHeader) CompareWithRtv0Header(env, plain, header);
  return PutInPlace(env, plain, desFile);
}
