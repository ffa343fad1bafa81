// MD5 (RFC 1321). The one MD5 of the project.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace RizirMD5 {

class MD5 {
 public:
  MD5();
  virtual ~MD5();
  void Init();
  void Update(const void* data, size_t length);
  // Writes the 16-byte digest, then starts a new digest: the object is reusable at once.
  void Final(uint8_t digest[16]);

 private:
  uint32_t m_state[4];
  uint64_t m_bits;  // message length in bits
  uint8_t m_buffer[64];
};

}  // namespace RizirMD5

// 32 lower-case hex digits of a digest, byte by byte.
std::string Md5ToHex(const uint8_t digest[16]);
// MD5 text of a byte string.
std::string Md5Hex(const void* data, size_t length);
