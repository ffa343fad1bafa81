#include "core/encrypt/zaesfile.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/md5.h"
#include "core/encrypt/fileio.h"
#include "core/encrypt/zaes.h"

namespace {

constexpr char kFileHeaderMagic[] = "Tarvelin_FileHeader";
constexpr size_t kFileHeaderMagicSize = 19;
constexpr char kRtv0Magic[] = "RTV0";
constexpr size_t kRtv0MagicSize = 4;
constexpr size_t kBlock = 16;
constexpr size_t kMd5Size = 16;
constexpr uint32_t kFileHeaderVersion = 1;
constexpr uint8_t kRtv0Version = 0x01;
constexpr uint8_t kRtv0FlagPacked = 0x01;
constexpr uint8_t kRtv0FlagEnciphered = 0x02;
// Offsets inside the headers.
constexpr size_t kFhVersion = 19, kFhMd5 = 23, kFhPlainSize = 39, kFhDataSize = 43;
constexpr size_t kV0Version = 4, kV0Flags = 5, kV0PlainSize = 8, kV0Sha1 = 12, kV0Hint = 32, kV0Fill = 40;
// The FileHeader code yields the processor before every twentieth chunk.
constexpr size_t kYieldEvery = 20;

#define AES_ASSERT(cond, text)                                   \
  do {                                                           \
    if (!(cond)) OSTREL_LOG(kLogError, "%s", "*ASSERT*: " text); \
  } while (0)
#define AES_FAIL(text)                                    \
  do {                                                    \
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOL:" text); \
    return false;                                         \
  } while (0)
#define AES_FAIL_EX(text)                                   \
  do {                                                      \
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:" text); \
    return false;                                           \
  } while (0)

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t GetLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint64_t RoundUpToBlock(uint64_t n) { return (n + kBlock - 1) / kBlock * kBlock; }

// Enciphers everything `in` yields into `out`, chunk by chunk, the last block filled
// with zeros. Feeds the cipher text to md5 when given and yields before every
// twentieth chunk when asked. *counted gets the plain bytes read; more than limit
// fails.
bool EncipherStream(const ZAES& aes, PosixFile& in, PosixFile& out, RizirMD5::MD5* md5, bool yield, uint64_t limit,
                    uint64_t* counted) {
  std::vector<uint8_t> buf(ZAesFile::kChunkSize);
  *counted = 0;
  for (size_t chunk = 1;; ++chunk) {
    if (yield && chunk % kYieldEvery == 0) std::this_thread::yield();
    std::fill(buf.begin(), buf.end(), 0);
    ssize_t n = in.ReadFull(buf.data(), buf.size());
    if (n < 0) AES_FAIL("bRet");
    if (n == 0) break;
    *counted += static_cast<uint64_t>(n);
    if (*counted > limit) AES_FAIL_EX("qwSrcFileSize <= qwMaxFileSize");
    size_t blocks = (static_cast<size_t>(n) + kBlock - 1) / kBlock;
    aes.EncryptBlocks(buf.data(), buf.data(), blocks);
    if (!out.WriteFull(buf.data(), blocks * kBlock)) AES_FAIL("bRet");
    if (md5) md5->Update(buf.data(), blocks * kBlock);
    if (static_cast<size_t>(n) < buf.size()) break;
  }
  return true;
}

// Deciphers the data section of `in` (from its position to its end) into `out`,
// writing at most plainBytes bytes. Feeds the cipher text to md5 when given.
// *deciphered gets the cipher bytes read.
bool DecipherStream(const ZAES& aes, PosixFile& in, PosixFile& out, RizirMD5::MD5* md5, bool yield, uint64_t plainBytes,
                    uint64_t* deciphered) {
  std::vector<uint8_t> cipher(ZAesFile::kChunkSize), plain(ZAesFile::kChunkSize);
  *deciphered = 0;
  uint64_t toWrite = plainBytes;
  for (size_t chunk = 1;; ++chunk) {
    if (yield && chunk % kYieldEvery == 0) std::this_thread::yield();
    ssize_t n = in.ReadFull(cipher.data(), cipher.size());
    if (n < 0) AES_FAIL("bRet");
    if (n == 0) break;
    if (static_cast<size_t>(n) % kBlock != 0) AES_FAIL_EX("(dwReadBytes % _def_K_AES_BLOCK_SIZE) == 0");
    if (md5) md5->Update(cipher.data(), static_cast<size_t>(n));
    aes.DecryptBlocks(cipher.data(), plain.data(), static_cast<size_t>(n) / kBlock);
    size_t w = static_cast<size_t>(std::min<uint64_t>(toWrite, static_cast<uint64_t>(n)));
    if (w > 0 && !out.WriteFull(plain.data(), w)) AES_FAIL("bRet");
    toWrite -= w;
    *deciphered += static_cast<uint64_t>(n);
    if (static_cast<size_t>(n) < cipher.size()) break;
  }
  return true;
}

// The start of every routine: the key set, the source opened and measured.
bool OpenCipherSource(ZAES& aes, const uint8_t* key, size_t keyLength, const std::string& src,
                      const std::string& dst, PosixFile* in, uint64_t* size) {
  AES_ASSERT(!src.empty(), "!IsStrEmpty(szSrcFilePath)");
  AES_ASSERT(!dst.empty(), "!IsStrEmpty(szDestFilePath)");
  if (!aes.SetKey(key, keyLength)) AES_FAIL("bRet");
  if (!encrypt_io::OpenSource(src, in)) AES_FAIL_EX("hSrcFile != INVALID_HANDLE_VALUE");
  if (!encrypt_io::FileSize(*in, size)) AES_FAIL("bRet");
  return true;
}

// Reads a reader's header from the start of `in`. A file shorter than the header or
// with another magic is not of this format: false without a log line.
bool ReadFormatHeader(PosixFile& in, uint64_t size, uint8_t* header, size_t headerSize, const char* magic,
                      size_t magicSize) {
  if (size < headerSize) return false;
  if (in.ReadFull(header, headerSize) != static_cast<ssize_t>(headerSize)) AES_FAIL("bRet");
  return std::memcmp(header, magic, magicSize) == 0;
}

}  // namespace

bool ZAesFile::EncryptFile(const uint8_t* key, size_t keyLength, const std::string& src, const std::string& dst,
                           FileEnv* env) {
  ZAES aes;
  PosixFile in(env);
  uint64_t size = 0;
  if (!OpenCipherSource(aes, key, keyLength, src, dst, &in, &size)) return false;
  if (size > kMaxFileHeaderSource) AES_FAIL_EX("qwSrcFileSize <= qwMaxFileSize");
  PosixFile out(env);
  if (!encrypt_io::CreateDestination(dst, in, &out)) AES_FAIL_EX("hDestFile != INVALID_HANDLE_VALUE");

  uint8_t header[kFileHeaderSize] = {};
  std::memcpy(header, kFileHeaderMagic, kFileHeaderMagicSize);
  PutLe32(header + kFhVersion, kFileHeaderVersion);
  PutLe32(header + kFhPlainSize, static_cast<uint32_t>(size));
  PutLe32(header + kFhDataSize, static_cast<uint32_t>(RoundUpToBlock(size)));
  if (!out.WriteFull(header, sizeof(header))) AES_FAIL("bRet");

  RizirMD5::MD5 md5;
  uint64_t counted = 0;
  if (!EncipherStream(aes, in, out, &md5, true, kMaxFileHeaderSource, &counted)) return false;

  // The digest and the sizes of what was actually enciphered, in one write.
  uint8_t tail[kFileHeaderSize - kFhMd5];
  md5.Final(tail);
  PutLe32(tail + (kFhPlainSize - kFhMd5), static_cast<uint32_t>(counted));
  PutLe32(tail + (kFhDataSize - kFhMd5), static_cast<uint32_t>(RoundUpToBlock(counted)));
  if (!out.WriteFullAt(tail, sizeof(tail), kFhMd5)) AES_FAIL("bRet");
  if (!out.Close()) AES_FAIL("bRet");
  return true;
}

bool ZAesFile::EncryptFileV0(const std::string& src, const std::string& dst, bool packed, uint32_t plainSize,
                             const uint8_t sha1[20], const uint8_t hint[8], const uint8_t key[32], FileEnv* env) {
  ZAES aes;
  PosixFile in(env);
  uint64_t size = 0;
  if (!OpenCipherSource(aes, key, 32, src, dst, &in, &size)) return false;
  if (size > kMaxRtv0Source) AES_FAIL_EX("qwSrcFileSize <= qwMaxFileSize");
  PosixFile out(env);
  if (!encrypt_io::CreateDestination(dst, in, &out)) AES_FAIL_EX("hDestFile != INVALID_HANDLE_VALUE");

  uint8_t header[kRtv0HeaderSize] = {};
  std::memcpy(header, kRtv0Magic, kRtv0MagicSize);
  header[kV0Version] = kRtv0Version;
  header[kV0Flags] = static_cast<uint8_t>(kRtv0FlagEnciphered | (packed ? kRtv0FlagPacked : 0));
  PutLe32(header + kV0PlainSize, plainSize);
  std::memcpy(header + kV0Sha1, sha1, 20);
  std::memcpy(header + kV0Hint, hint, 8);
  header[kV0Fill] = static_cast<uint8_t>((kBlock - size % kBlock) % kBlock);
  if (!out.WriteFull(header, sizeof(header))) AES_FAIL("bRet");

  uint64_t counted = 0;
  if (!EncipherStream(aes, in, out, nullptr, false, kMaxRtv0Source, &counted)) return false;
  uint8_t fill = static_cast<uint8_t>((kBlock - counted % kBlock) % kBlock);
  if (fill != header[kV0Fill] && !out.WriteFullAt(&fill, 1, kV0Fill)) AES_FAIL("bRet");
  if (!out.Close()) AES_FAIL("bRet");
  return true;
}

bool ZAesFile::GetFileFormat(const std::string& path, int* format, FileEnv* env) {
  PosixFile file(env);
  if (!encrypt_io::OpenSource(path, &file)) AES_FAIL("bRet");
  uint8_t head[kFileHeaderMagicSize] = {};
  ssize_t n = file.ReadFull(head, sizeof(head));
  if (n < 0) AES_FAIL("bRet");
  if (static_cast<size_t>(n) == kFileHeaderMagicSize &&
      std::memcmp(head, kFileHeaderMagic, kFileHeaderMagicSize) == 0) {
    *format = kFormatFileHeader;
    return true;
  }
  if (static_cast<size_t>(n) >= kRtv0MagicSize && std::memcmp(head, kRtv0Magic, kRtv0MagicSize) == 0) {
    *format = kFormatRtv0;
    return true;
  }
  AES_FAIL("bRet");
}

bool ZAesFile::DecryptFileV1(const uint8_t* key, size_t keyLength, const std::string& src, const std::string& dst,
                             FileEnv* env) {
  ZAES aes;
  PosixFile in(env);
  uint64_t size = 0;
  if (!OpenCipherSource(aes, key, keyLength, src, dst, &in, &size)) return false;
  uint8_t header[kFileHeaderSize];
  if (!ReadFormatHeader(in, size, header, sizeof(header), kFileHeaderMagic, kFileHeaderMagicSize)) return false;

  if (GetLe32(header + kFhVersion) != kFileHeaderVersion) AES_FAIL_EX("1 == dwVersion");
  const uint32_t plainSize = GetLe32(header + kFhPlainSize);
  const uint32_t dataSize = GetLe32(header + kFhDataSize);
  if (dataSize < plainSize) AES_FAIL_EX("dwAesDataSectionSize >= dwOrgFileSizeShouldBe");
  const uint64_t cipherBytes = size - kFileHeaderSize;
  if (cipherBytes % kBlock != 0) AES_FAIL_EX("(qwCipherBytes % _def_K_AES_BLOCK_SIZE) == 0");
  if (cipherBytes < plainSize) AES_FAIL_EX("qwCipherBytes >= dwOrgFileSizeShouldBe");
  if (cipherBytes != dataSize)
    OSTREL_LOG(kLogWarn, "CHECK_BOOL:qwCipherBytes == dwAesDataSectionSizeMSG: %llu cipher bytes, data size %u",
               static_cast<unsigned long long>(cipherBytes), dataSize);

  PosixFile out(env);
  if (!encrypt_io::CreateDestination(dst, in, &out)) AES_FAIL_EX("hDestFile != INVALID_HANDLE_VALUE");
  RizirMD5::MD5 md5;
  uint64_t deciphered = 0;
  if (!DecipherStream(aes, in, out, &md5, true, plainSize, &deciphered)) return false;
  uint8_t bufCurrentMd5[kMd5Size];
  md5.Final(bufCurrentMd5);
  if (std::memcmp(bufCurrentMd5, header + kFhMd5, kMd5Size) != 0)
    AES_FAIL_EX("0 == memcmp(bufCurrentMd5, bufMD5ShouldBe, _def_K_AES_OLD_MD5LEN)");
  // The file may have changed while it was read.
  if (deciphered < plainSize) AES_FAIL_EX("qwCipherBytes >= dwOrgFileSizeShouldBe");
  if (!out.Close()) AES_FAIL("bRet");
  return true;
}

bool ZAesFile::DecryptFileV0(const std::string& src, const std::string& dst, const uint8_t key[32], bool* packed,
                             Rtv0Header* headerOut, FileEnv* env) {
  ZAES aes;
  PosixFile in(env);
  uint64_t size = 0;
  if (!OpenCipherSource(aes, key, 32, src, dst, &in, &size)) return false;
  uint8_t header[kRtv0HeaderSize];
  if (!ReadFormatHeader(in, size, header, sizeof(header), kRtv0Magic, kRtv0MagicSize)) return false;

  if (header[kV0Version] != kRtv0Version) AES_FAIL_EX("0x01 == byteFileVersion");
  const bool bEncrypted = (header[kV0Flags] & kRtv0FlagEnciphered) != 0;
  if (!bEncrypted) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: bEncrypted");
    return false;
  }
  const uint8_t bytePadding = header[kV0Fill];
  if (bytePadding > 0x0F) AES_FAIL_EX("(bytePadding >= 0x00 && bytePadding <= 0x0F)");
  const uint64_t cipherBytes = size - kRtv0HeaderSize;
  if (cipherBytes % kBlock != 0) AES_FAIL_EX("(dwReadBytes % _def_K_AES_BLOCK_SIZE) == 0");
  if (bytePadding > cipherBytes) AES_FAIL_EX("bytePadding <= qwCipherBytes");

  PosixFile out(env);
  if (!encrypt_io::CreateDestination(dst, in, &out)) AES_FAIL_EX("hDestFile != INVALID_HANDLE_VALUE");
  const uint64_t plainBytes = cipherBytes - bytePadding;
  uint64_t deciphered = 0;
  if (!DecipherStream(aes, in, out, nullptr, false, plainBytes, &deciphered)) return false;
  if (deciphered != cipherBytes) AES_FAIL_EX("qwReadBytes == qwCipherBytes");
  if (!out.Close()) AES_FAIL("bRet");

  *packed = (header[kV0Flags] & kRtv0FlagPacked) != 0;
  if (headerOut) {
    headerOut->packed = *packed;
    headerOut->plainSize = GetLe32(header + kV0PlainSize);
    std::memcpy(headerOut->sha1, header + kV0Sha1, 20);
    std::memcpy(headerOut->hint, header + kV0Hint, 8);
  }
  return true;
}

bool ZAesFile::DecryptFile(const uint8_t* key, size_t keyLength, const std::string& src, const std::string& dst,
                           int* format, Rtv0Header* header, FileEnv* env) {
  int probed = 0;
  if (!GetFileFormat(src, &probed, env)) return false;
  if (probed == kFormatRtv0) {
    bool packed = false;
    if (!DecryptFileV0(src, dst, key, &packed, header, env)) return false;
    *format = packed ? kDecryptedRtv0Packed : kDecryptedRtv0Plain;
    return true;
  }
  if (!DecryptFileV1(key, keyLength, src, dst, env)) return false;
  *format = kDecryptedFileHeader;
  return true;
}
