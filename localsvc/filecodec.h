// The stored formats of file contents, read and written with the service's own code
// (OpenSSL's libcrypto for AES-256-ECB, SHA-1 and MD5, liblzma's LZMA-Alone coder,
// libarchive restricted to 7z for reading and the 7zz program for writing), so that the
// service is an independent peer of the client's encoder and decoder.
//
// RTV0 (one block): a 64-byte header, all numbers little-endian: "RTV0", version 0x01,
// flags (bit 0: the plain text is an LZMA-Alone stream, bit 1: enciphered; no other
// bit), two reserved zero bytes, the plain size (32 bits), the plain SHA-1 (20 bytes),
// an 8-byte hint, the count of zero fill bytes in the last AES block (0..15) and 23
// reserved zero bytes; then the cipher text.
//
// FileHeader (a whole file): "Tarvelin_FileHeader", version 1 (32 bits), the MD5 of the
// cipher text, the plain size and the data size (the plain size rounded up to 16, both
// 32 bits), then the cipher text. Its plain text is the file itself, or a 7z archive
// holding the file as its single entry (always so when the file begins with the 7z
// signature).
//
// File keys are 64 hex digits; byte i of the AES key is the digit pair (2i+1, 2i): the
// pair "1a" stands for 0xA1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace localsvc {

inline constexpr size_t kBlockSize = size_t(4) << 20;  // 4 MiB, the largest block

// Lower-case hex digests.
std::string Sha1Hex(std::string_view bytes);
std::string Md5Hex(std::string_view bytes);
// An incremental SHA-1.
class Sha1Stream {
 public:
  Sha1Stream();
  ~Sha1Stream();
  Sha1Stream(const Sha1Stream&) = delete;
  Sha1Stream& operator=(const Sha1Stream&) = delete;
  void Update(std::string_view bytes);
  // The digest of everything given, lower-case hex. Call once.
  std::string HexDigest();

 private:
  void* m_ctx;  // EVP_MD_CTX
};

// bytes random bytes as lower-case hex digits (OpenSSL's generator).
std::string RandomHex(size_t bytes);
// A new random file key: 64 lower-case hex digits.
std::string NewFileKey();
// A new random ticket (stub): 32 lower-case hex digits.
std::string NewStub();
bool IsHex(std::string_view text, size_t digits, bool lowerOnly);

// "%06x%s" of the plain size and SHA-1: 46 lower-case hex digits.
std::string BlockIdOf(std::string_view plain);
// Splits a blockId; false unless it is 46 lower-case hex digits.
bool ParseBlockId(std::string_view blockId, int64_t* size, std::string* sha1);

// What a reader found besides the plain text.
struct DecodeInfo {
  std::string format;  // "rtv0", "rtv0-lzma", "fileheader", "fileheader-7z"
  // RTV0 header fields
  uint32_t headerSize = 0;
  std::string headerSha1;  // lower-case hex
  std::string hint;        // 16 lower-case hex digits
};

// Reads an RTV0 block with the key text. The plain text may not exceed cap bytes.
// False with a reason for anything malformed, including trailing bytes after an
// LZMA-Alone stream.
bool DecodeRtv0(std::string_view encoded, const std::string& keyText, size_t cap, std::string* plain,
                DecodeInfo* info, std::string* reason);
// Writes an RTV0 block of plain (at most 4 MiB): packed with liblzma's LZMA-Alone
// encoder (unknown size, end marker) when pack is set; plain size and SHA-1 in the
// header, a zero hint.
std::string EncodeRtv0(std::string_view plain, const std::string& keyText, bool pack);

// Reads a FileHeader file and, when its plain text is a 7z archive, its single entry.
// The file may not exceed cap bytes.
bool DecodeFileHeader(std::string_view encoded, const std::string& keyText, size_t cap, std::string* plain,
                      DecodeInfo* info, std::string* reason);
// Writes a FileHeader file of plain, or of a single-entry 7z archive of plain made by
// `7zz a -m0=lzma` when pack7z is set. Plain that begins with the 7z signature is
// always packed. False with a reason when 7zz fails or plain reaches 4 GiB.
bool EncodeFileHeader(std::string_view plain, const std::string& keyText, bool pack7z, std::string* encoded,
                      std::string* reason);

bool Has7zSignature(std::string_view bytes);

// The whole regular file at path into *out; false when it is no regular file, cannot
// be opened or read, or holds more than cap bytes.
bool ReadWholeFile(const std::string& path, std::string* out, size_t cap = SIZE_MAX);

}  // namespace localsvc
