#include "core/encrypt/sevenzipwriter.h"

#include <sys/stat.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "common/utf8.h"
#include "core/encrypt/fileio.h"
#include "core/encrypt/lzmacoder.h"

namespace {

constexpr size_t kStartHeaderSize = 32;

// 7z property identifiers.
enum : uint8_t {
  kEnd = 0x00,
  kHeader = 0x01,
  kMainStreamsInfo = 0x04,
  kFilesInfo = 0x05,
  kPackInfo = 0x06,
  kUnpackInfo = 0x07,
  kSubStreamsInfo = 0x08,
  kSize = 0x09,
  kFolder = 0x0B,
  kCodersUnpackSize = 0x0C,
  kName = 0x11,
  kMTime = 0x14,
  kWinAttributes = 0x15,
};

constexpr uint32_t kArchiveAttribute = 0x20;
// Seconds from 1601-01-01 (FILETIME's epoch) to 1970-01-01.
constexpr uint64_t kFileTimeEpochOffset = 11644473600ull;

class HeaderBuilder {
 public:
  void Byte(uint8_t b) { m_bytes.push_back(b); }
  void Bytes(const uint8_t* p, size_t n) { m_bytes.insert(m_bytes.end(), p, p + n); }
  void Le(uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) Byte(static_cast<uint8_t>(v >> (8 * i)));
  }
  // The 7z variable-length number: as many leading one bits in the first byte as
  // bytes follow it (little-endian), the first byte's remaining bits the high part.
  void Number(uint64_t v) {
    uint8_t first = 0, mask = 0x80;
    int i = 0;
    for (; i < 8; ++i) {
      if (v < (uint64_t{1} << (7 * (i + 1)))) {
        first |= static_cast<uint8_t>(v >> (8 * i));
        break;
      }
      first |= mask;
      mask >>= 1;
    }
    Byte(first);
    for (int j = 0; j < i; ++j) Byte(static_cast<uint8_t>(v >> (8 * j)));
  }
  const std::vector<uint8_t>& bytes() const { return m_bytes; }

 private:
  std::vector<uint8_t> m_bytes;
};

uint32_t Crc32(const uint8_t* p, size_t n) {
  return static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), p, static_cast<uInt>(n)));
}

std::vector<uint8_t> BuildHeader(uint64_t packedSize, uint64_t plainSize, const uint8_t props[kLzmaPropsSize],
                                 const std::u16string& name, uint64_t fileTime) {
  HeaderBuilder h;
  h.Byte(kHeader);
  h.Byte(kMainStreamsInfo);

  h.Byte(kPackInfo);
  h.Number(0);  // pack position
  h.Number(1);  // one packed stream
  h.Byte(kSize);
  h.Number(packedSize);
  h.Byte(kEnd);

  h.Byte(kUnpackInfo);
  h.Byte(kFolder);
  h.Number(1);    // one folder
  h.Byte(0x00);   // not external
  h.Number(1);    // one coder
  h.Byte(0x23);   // method id of 3 bytes, with properties
  const uint8_t lzma[3] = {0x03, 0x01, 0x01};
  h.Bytes(lzma, sizeof(lzma));
  h.Number(kLzmaPropsSize);
  h.Bytes(props, kLzmaPropsSize);
  h.Byte(kCodersUnpackSize);
  h.Number(plainSize);
  h.Byte(kEnd);

  h.Byte(kSubStreamsInfo);
  h.Byte(kEnd);
  h.Byte(kEnd);  // end of MainStreamsInfo

  h.Byte(kFilesInfo);
  h.Number(1);  // one file
  h.Byte(kName);
  h.Number(2 * name.size() + 3);  // the external byte and the terminating zero included
  h.Byte(0x00);                   // not external
  for (char16_t c : name) h.Le(c, 2);
  h.Le(0, 2);
  h.Byte(kMTime);
  h.Number(10);
  h.Byte(0x01);  // all defined
  h.Byte(0x00);  // not external
  h.Le(fileTime, 8);
  h.Byte(kWinAttributes);
  h.Number(6);
  h.Byte(0x01);
  h.Byte(0x00);
  h.Le(kArchiveAttribute, 4);
  h.Byte(kEnd);  // end of FilesInfo
  h.Byte(kEnd);  // end of Header
  return h.bytes();
}

std::string LastPathElement(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int Write7zArchive(PosixFile& out, const std::string& entryName, PosixFile& in) {
  uint8_t start[kStartHeaderSize] = {};
  for (size_t i = 0; i < sizeof(k7zSignature); ++i) start[i] = k7zSignature[i];
  start[6] = 0;  // format version 0.3
  start[7] = 3;
  if (!out.WriteFull(start, sizeof(start))) return kSzErrorWrite;

  uint8_t props[kLzmaPropsSize];
  uint64_t plainSize = 0, packedSize = 0;
  int res = LzmaEncodeStream(in, out, props, &plainSize, &packedSize);
  if (res != kSzOk) return res;
  off_t pos = out.Seek(0, SEEK_CUR);
  if (pos < 0 || static_cast<uint64_t>(pos) != kStartHeaderSize + packedSize) return kSzErrorWrite;

  struct stat st;
  if (!out.Stat(&st)) return kSzErrorWrite;
  uint64_t fileTime = (static_cast<uint64_t>(st.st_mtim.tv_sec) + kFileTimeEpochOffset) * 10000000ull +
                      static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
  std::vector<uint8_t> header = BuildHeader(packedSize, plainSize, props, Utf8ToUtf16(entryName), fileTime);
  if (!out.WriteFull(header.data(), header.size())) return kSzErrorWrite;

  uint8_t tail[20];
  for (int i = 0; i < 8; ++i) tail[i] = static_cast<uint8_t>(packedSize >> (8 * i));
  for (int i = 0; i < 8; ++i) tail[8 + i] = static_cast<uint8_t>(uint64_t{header.size()} >> (8 * i));
  uint32_t headerCrc = Crc32(header.data(), header.size());
  for (int i = 0; i < 4; ++i) tail[16 + i] = static_cast<uint8_t>(headerCrc >> (8 * i));
  uint32_t startCrc = Crc32(tail, sizeof(tail));
  for (int i = 0; i < 4; ++i) start[8 + i] = static_cast<uint8_t>(startCrc >> (8 * i));
  for (size_t i = 0; i < sizeof(tail); ++i) start[12 + i] = tail[i];
  if (!out.WriteFullAt(start + 8, kStartHeaderSize - 8, 8)) return kSzErrorWrite;
  return kSzOk;
}

bool PackFileTo7z(const std::string& archivePath, const std::string& srcPath, FileEnv* env) {
  PosixFile in(env), out(env);
  if (!encrypt_io::OpenSource(srcPath, &in)) return false;
  if (!encrypt_io::CreateDestination(archivePath, in, &out)) return false;
  if (Write7zArchive(out, LastPathElement(srcPath), in) != kSzOk) return false;
  return out.Close();
}
