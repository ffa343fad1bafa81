#include "common/md5.h"

#include <cstring>

#include "common/strhelper.h"

namespace {

inline uint32_t Rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t LoadLe32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;  // little-endian hosts only (checked below)
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "MD5 words are read little-endian");

// The four rounds of RFC 1321. Each step is a = b + rol(a + f(b, c, d) + X[k] + T[i], s),
// with the terms ordered so that the longest chain runs only through b, the word
// computed last: the parts that depend on c and d alone are added first, and the
// G round uses (b & d) + (c & ~d), whose terms share no bits.
#define MD5_F(a, b, c, d, k, t, s) \
  a += X(k) + (t);                 \
  a += (d) ^ ((b) & ((c) ^ (d)));  \
  a = Rol(a, s) + (b);
#define MD5_G(a, b, c, d, k, t, s) \
  a += X(k) + (t) + ((c) & ~(d));  \
  a += (b) & (d);                  \
  a = Rol(a, s) + (b);
#define MD5_H(a, b, c, d, k, t, s) \
  a += X(k) + (t);                 \
  a += (b) ^ ((c) ^ (d));          \
  a = Rol(a, s) + (b);
#define MD5_I(a, b, c, d, k, t, s) \
  a += X(k) + (t);                 \
  a += (c) ^ ((b) | ~(d));         \
  a = Rol(a, s) + (b);

void Md5Blocks(uint32_t state[4], const uint8_t* p, size_t blocks) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (; blocks > 0; --blocks, p += 64) {
    const uint32_t sa = a, sb = b, sc = c, sd = d;
#define X(k) LoadLe32(p + 4 * (k))
    MD5_F(a, b, c, d, 0, 0xd76aa478u, 7)
    MD5_F(d, a, b, c, 1, 0xe8c7b756u, 12)
    MD5_F(c, d, a, b, 2, 0x242070dbu, 17)
    MD5_F(b, c, d, a, 3, 0xc1bdceeeu, 22)
    MD5_F(a, b, c, d, 4, 0xf57c0fafu, 7)
    MD5_F(d, a, b, c, 5, 0x4787c62au, 12)
    MD5_F(c, d, a, b, 6, 0xa8304613u, 17)
    MD5_F(b, c, d, a, 7, 0xfd469501u, 22)
    MD5_F(a, b, c, d, 8, 0x698098d8u, 7)
    MD5_F(d, a, b, c, 9, 0x8b44f7afu, 12)
    MD5_F(c, d, a, b, 10, 0xffff5bb1u, 17)
    MD5_F(b, c, d, a, 11, 0x895cd7beu, 22)
    MD5_F(a, b, c, d, 12, 0x6b901122u, 7)
    MD5_F(d, a, b, c, 13, 0xfd987193u, 12)
    MD5_F(c, d, a, b, 14, 0xa679438eu, 17)
    MD5_F(b, c, d, a, 15, 0x49b40821u, 22)

    MD5_G(a, b, c, d, 1, 0xf61e2562u, 5)
    MD5_G(d, a, b, c, 6, 0xc040b340u, 9)
    MD5_G(c, d, a, b, 11, 0x265e5a51u, 14)
    MD5_G(b, c, d, a, 0, 0xe9b6c7aau, 20)
    MD5_G(a, b, c, d, 5, 0xd62f105du, 5)
    MD5_G(d, a, b, c, 10, 0x02441453u, 9)
    MD5_G(c, d, a, b, 15, 0xd8a1e681u, 14)
    MD5_G(b, c, d, a, 4, 0xe7d3fbc8u, 20)
    MD5_G(a, b, c, d, 9, 0x21e1cde6u, 5)
    MD5_G(d, a, b, c, 14, 0xc33707d6u, 9)
    MD5_G(c, d, a, b, 3, 0xf4d50d87u, 14)
    MD5_G(b, c, d, a, 8, 0x455a14edu, 20)
    MD5_G(a, b, c, d, 13, 0xa9e3e905u, 5)
    MD5_G(d, a, b, c, 2, 0xfcefa3f8u, 9)
    MD5_G(c, d, a, b, 7, 0x676f02d9u, 14)
    MD5_G(b, c, d, a, 12, 0x8d2a4c8au, 20)

    MD5_H(a, b, c, d, 5, 0xfffa3942u, 4)
    MD5_H(d, a, b, c, 8, 0x8771f681u, 11)
    MD5_H(c, d, a, b, 11, 0x6d9d6122u, 16)
    MD5_H(b, c, d, a, 14, 0xfde5380cu, 23)
    MD5_H(a, b, c, d, 1, 0xa4beea44u, 4)
    MD5_H(d, a, b, c, 4, 0x4bdecfa9u, 11)
    MD5_H(c, d, a, b, 7, 0xf6bb4b60u, 16)
    MD5_H(b, c, d, a, 10, 0xbebfbc70u, 23)
    MD5_H(a, b, c, d, 13, 0x289b7ec6u, 4)
    MD5_H(d, a, b, c, 0, 0xeaa127fau, 11)
    MD5_H(c, d, a, b, 3, 0xd4ef3085u, 16)
    MD5_H(b, c, d, a, 6, 0x04881d05u, 23)
    MD5_H(a, b, c, d, 9, 0xd9d4d039u, 4)
    MD5_H(d, a, b, c, 12, 0xe6db99e5u, 11)
    MD5_H(c, d, a, b, 15, 0x1fa27cf8u, 16)
    MD5_H(b, c, d, a, 2, 0xc4ac5665u, 23)

    MD5_I(a, b, c, d, 0, 0xf4292244u, 6)
    MD5_I(d, a, b, c, 7, 0x432aff97u, 10)
    MD5_I(c, d, a, b, 14, 0xab9423a7u, 15)
    MD5_I(b, c, d, a, 5, 0xfc93a039u, 21)
    MD5_I(a, b, c, d, 12, 0x655b59c3u, 6)
    MD5_I(d, a, b, c, 3, 0x8f0ccc92u, 10)
    MD5_I(c, d, a, b, 10, 0xffeff47du, 15)
    MD5_I(b, c, d, a, 1, 0x85845dd1u, 21)
    MD5_I(a, b, c, d, 8, 0x6fa87e4fu, 6)
    MD5_I(d, a, b, c, 15, 0xfe2ce6e0u, 10)
    MD5_I(c, d, a, b, 6, 0xa3014314u, 15)
    MD5_I(b, c, d, a, 13, 0x4e0811a1u, 21)
    MD5_I(a, b, c, d, 4, 0xf7537e82u, 6)
    MD5_I(d, a, b, c, 11, 0xbd3af235u, 10)
    MD5_I(c, d, a, b, 2, 0x2ad7d2bbu, 15)
    MD5_I(b, c, d, a, 9, 0xeb86d391u, 21)
#undef X
    a += sa;
    b += sb;
    c += sc;
    d += sd;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I

}  // namespace

namespace RizirMD5 {

MD5::MD5() { Init(); }

MD5::~MD5() = default;

void MD5::Init() {
  m_state[0] = 0x67452301u;
  m_state[1] = 0xefcdab89u;
  m_state[2] = 0x98badcfeu;
  m_state[3] = 0x10325476u;
  m_bits = 0;
  std::memset(m_buffer, 0, sizeof(m_buffer));
}

void MD5::Update(const void* data, size_t length) {
  if (length == 0) return;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  size_t used = static_cast<size_t>((m_bits >> 3) & 63);
  m_bits += static_cast<uint64_t>(length) << 3;
  if (used > 0) {
    size_t take = 64 - used < length ? 64 - used : length;
    std::memcpy(m_buffer + used, p, take);
    p += take;
    length -= take;
    if (used + take < 64) return;
    Md5Blocks(m_state, m_buffer, 1);
  }
  if (length >= 64) {
    size_t n = length / 64;
    Md5Blocks(m_state, p, n);
    p += n * 64;
    length -= n * 64;
  }
  if (length > 0) std::memcpy(m_buffer, p, length);
}

void MD5::Final(uint8_t digest[16]) {
  const uint64_t bits = m_bits;
  uint8_t pad[72] = {0x80};
  size_t used = static_cast<size_t>((bits >> 3) & 63);
  size_t padLen = used < 56 ? 56 - used : 120 - used;
  for (int i = 0; i < 8; ++i) pad[padLen + i] = static_cast<uint8_t>(bits >> (8 * i));
  Update(pad, padLen + 8);
  for (int i = 0; i < 4; ++i) std::memcpy(digest + 4 * i, &m_state[i], 4);
  Init();
}

}  // namespace RizirMD5

std::string Md5ToHex(const uint8_t digest[16]) { return BytesToHex(digest, 16); }

std::string Md5Hex(const void* data, size_t length) {
  RizirMD5::MD5 md5;
  md5.Update(data, length);
  uint8_t digest[16];
  md5.Final(digest);
  return Md5ToHex(digest);
}
