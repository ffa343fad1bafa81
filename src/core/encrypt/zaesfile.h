// The two encrypted-file formats, AES in electronic-codebook mode over 16-byte blocks
// (the last one filled with zero bytes). All numbers little-endian.
//
// FileHeader format (whole files), 47-byte header:
//   0  19  "Tarvelin_FileHeader"        23 16  MD5 of every byte from offset 47 on
//   19  4  version, 1                   39  4  plain size (bytes enciphered)
//                                       43  4  data size (plain size rounded up to 16)
// RTV0 format (blocks), 64-byte header:
//   0   4  "RTV0"                       12 20  SHA-1 of the plain file (caller's)
//   4   1  version, 0x01                32  8  hint (caller's)
//   5   1  flags: bit 0 packed,         40  1  fill bytes in the last block, 0..15
//          bit 1 enciphered             41 23  zero
//   6   2  zero
//   8   4  plain size (caller's)
//
// Files are streamed in 64 KiB chunks. Paths are UTF-8. Every routine returns true or
// false and logs each failure where it happens. Destinations are created anew (0600
// when new); the source is never the destination (refused before anything is
// truncated). On failure the destination keeps what was written: callers write to a
// temporary file. Neither format can tell a wrong key: the result is then garbage.
// Every routine opens, reads and writes its files through the FileEnv it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/fileenv.h"

class ZAesFile {
 public:
  // Codes of GetFileFormat.
  enum FileFormat : int { kFormatFileHeader = 0, kFormatRtv0 = 1 };
  // Codes of DecryptFile.
  enum DecryptedFormat : int { kDecryptedRtv0Packed = 0, kDecryptedRtv0Plain = 1, kDecryptedFileHeader = 2 };

  static constexpr size_t kFileHeaderSize = 47;
  static constexpr size_t kRtv0HeaderSize = 64;
  static constexpr size_t kChunkSize = 65536;
  // The largest source the FileHeader format can describe (its data size is 32-bit).
  static constexpr uint64_t kMaxFileHeaderSource = 0xFFFFFFF0ull;
  // The largest source of the RTV0 format.
  static constexpr uint64_t kMaxRtv0Source = 0xFFFFFFFFull;

  // The fields of an RTV0 header as the caller of the writer gave them.
  struct Rtv0Header {
    bool packed = false;
    uint32_t plainSize = 0;
    uint8_t sha1[20] = {};
    uint8_t hint[8] = {};
  };

  // Writes src enciphered into dst in the FileHeader format, with a key of 16, 24 or
  // 32 bytes. The sizes and the MD5 written describe the bytes actually enciphered.
  // Sources larger than kMaxFileHeaderSource are refused.
  static bool EncryptFile(const uint8_t* key, size_t keyLength, const std::string& src, const std::string& dst,
                          FileEnv* env = FileEnv::Default());

  // Writes src enciphered into dst in the RTV0 format with a 32-byte key; the packed
  // flag, plain size, SHA-1 and hint go into the header as given, the fill count is
  // that of the bytes actually enciphered. Sources of 4 GiB and more are refused.
  static bool EncryptFileV0(const std::string& src, const std::string& dst, bool packed, uint32_t plainSize,
                            const uint8_t sha1[20], const uint8_t hint[8], const uint8_t key[32],
                            FileEnv* env = FileEnv::Default());

  // True when the file begins with either magic; *format gets a FileFormat code.
  static bool GetFileFormat(const std::string& path, int* format, FileEnv* env = FileEnv::Default());

  // Reads the FileHeader format. Fails for a short file or another magic (without a
  // log line), a version other than 1, a data size below the plain size, a data
  // section that is not whole blocks or holds fewer bytes than the plain size, or an
  // MD5 that differs. Writes exactly the plain size.
  static bool DecryptFileV1(const uint8_t* key, size_t keyLength, const std::string& src, const std::string& dst,
                            FileEnv* env = FileEnv::Default());

  // Reads the RTV0 format with a 32-byte key. Fails for a short file or another
  // magic (without a log line), a version other than 0x01, the enciphered flag clear,
  // a fill count above 15 or above the data, or a data section that is not whole
  // blocks. *packed gets flag bit 0; header (may be null) gets the header's fields.
  static bool DecryptFileV0(const std::string& src, const std::string& dst, const uint8_t key[32], bool* packed,
                            Rtv0Header* header = nullptr, FileEnv* env = FileEnv::Default());

  // Tells the format by its magic and reads it: RTV0 always with the 32-byte key, the
  // FileHeader format with the given key length. *format gets a DecryptedFormat code
  // on success and is left as it was on failure; header (may be null) gets the RTV0
  // header's fields.
  static bool DecryptFile(const uint8_t* key, size_t keyLength, const std::string& src, const std::string& dst,
                          int* format, Rtv0Header* header = nullptr, FileEnv* env = FileEnv::Default());
};
