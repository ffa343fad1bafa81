// The stored formats of file contents (RTV0 blocks, FileHeader files), made and read
// with OpenSSL, liblzma and 7zz directly, never with the client's code nor the local
// service's: a fault the client's encoder and decoder share (key digit order, table
// endianness, header offsets) shows against it, and tests play a client against the
// local service with it.
//
// Key texts are 64 hex digits whose digit pairs are read low digit first ("1a" is 0xA1).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr size_t kPeerBlockSize = size_t(4) << 20;

std::string PeerSha1(std::string_view bytes);  // lower-case hex
std::string PeerMd5(std::string_view bytes);   // lower-case hex
// "%06x" of the size followed by the SHA-1.
std::string PeerBlockId(std::string_view plain);
// plain cut into 4 MiB blocks, ending with an empty block when the size is 0 or a
// multiple of 4 MiB.
std::vector<std::string> PeerSplit(std::string_view plain);

// An RTV0 block: the payload enciphered, plain or packed in the LZMA-Alone layout the
// client writes (properties 5D, a 16 MiB dictionary, the plain size, a stream without
// end marker); the header holds the plain size and SHA-1 and a zero hint.
std::string PeerRtv0(std::string_view plain, const std::string& keyText, bool pack);
// A FileHeader file of payload (the content itself, or a 7z archive of it).
std::string PeerFileHeader(std::string_view payload, const std::string& keyText);
// A single-entry 7z archive of plain made by `7zz a -m0=lzma` in the folder dir.
std::string Peer7z(std::string_view plain, const std::string& dir);

// Decodes an RTV0 block or a FileHeader file (a 7z archive inside is extracted by 7zz
// in the folder dir). False when it is malformed or a FileHeader's MD5 does not match.
bool PeerDecode(std::string_view encoded, const std::string& keyText, const std::string& dir, std::string* plain);

// The layouts field by field, with raw keys of 16, 24 or 32 bytes.
namespace peer {

std::string KeyFromText(const std::string& text);  // 32 key bytes
std::string AesEcb(const std::string& key, const std::string& data, bool encrypt);
std::string Md5(const std::string& data);   // raw digest
std::string Sha1(const std::string& data);  // raw digest

struct FileHeaderFile {
  bool ok = false;
  std::string error;
  uint32_t version = 0, plainSize = 0, dataSize = 0;
  std::string storedMd5, actualMd5;
  std::string plain;  // deciphered, cut to the plain size
};
FileHeaderFile ReadFileHeader(const std::string& file, const std::string& key);

struct Rtv0File {
  bool ok = false;
  std::string error;
  uint8_t version = 0, flags = 0, fill = 0;
  uint32_t plainSize = 0;
  std::string sha1, hint, reserved;  // reserved: bytes 6-7 and 41-63
  std::string plain;                 // deciphered, fill removed
};
Rtv0File ReadRtv0(const std::string& file, const std::string& key);

// Writers of both formats, for files "from another client": payload zero-filled to
// whole blocks and enciphered.
std::string WriteFileHeader(const std::string& payload, const std::string& key);
std::string WriteRtv0(const std::string& payload, const std::string& key, bool packed, uint32_t plainSize,
                      const std::string& sha1);

}  // namespace peer
