// The stored formats of file contents made and read with OpenSSL, liblzma and 7zz
// directly, never with the client's code nor the local service's: tests play a client
// against the local service with them, or check what it serves, and client tests can
// compare the client's encodings with an independent peer.
//
// Keys are 64 hex digits whose digit pairs are read low digit first ("1a" is 0xA1).
#pragma once

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

// The LZMA-Alone layout the client writes: properties 5D, a 16 MiB dictionary, the
// plain size, and an LZMA stream without end marker.
std::string PeerLzmaPack(std::string_view plain);
// An RTV0 block: the payload (plain, or PeerLzmaPack of it) enciphered; the header
// holds the plain size and SHA-1 and a zero hint.
std::string PeerRtv0(std::string_view plain, const std::string& keyText, bool pack);
// A FileHeader file of payload (the content itself, or a 7z archive of it).
std::string PeerFileHeader(std::string_view payload, const std::string& keyText);
// A single-entry 7z archive of plain made by `7zz a -m0=lzma` in the folder dir.
std::string Peer7z(std::string_view plain, const std::string& dir);

// Decodes an RTV0 block or a FileHeader file (a 7z archive inside is extracted by 7zz
// in the folder dir). False when it is malformed.
bool PeerDecode(std::string_view encoded, const std::string& keyText, const std::string& dir, std::string* plain);
