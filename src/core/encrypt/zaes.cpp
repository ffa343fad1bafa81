#include "core/encrypt/zaes.h"

#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ZAES_HAVE_AESNI 1
#endif

static_assert(std::endian::native == std::endian::little, "the round keys are kept as little-endian words");

namespace {

// ---- Tables, built at compile time ------------------------------------------------

constexpr uint8_t XTime(uint8_t x) { return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0)); }

constexpr uint8_t GfMul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  while (b) {
    if (b & 1) r ^= a;
    a = XTime(a);
    b >>= 1;
  }
  return r;
}

constexpr uint8_t Rotl8(uint8_t x, int n) { return static_cast<uint8_t>((x << n) | (x >> (8 - n))); }

struct Tables {
  uint8_t sbox[256];
  uint8_t inv[256];
  // Little-endian words: byte r of a word is row r of a state column.
  uint32_t te[4][256];  // SubBytes + MixColumns for a byte in row k
  uint32_t td[4][256];  // InvSubBytes + InvMixColumns for a byte in row k
  uint8_t rcon[11];
};

constexpr Tables MakeTables() {
  Tables t{};
  // S-box: multiplicative inverse in GF(2^8) followed by the affine map. p walks the
  // powers of 3 and q the powers of 3^-1, so q = p^-1 at every step.
  uint8_t p = 1, q = 1;
  do {
    p = static_cast<uint8_t>(p ^ (p << 1) ^ ((p & 0x80) ? 0x1B : 0));
    q = static_cast<uint8_t>(q ^ (q << 1));
    q = static_cast<uint8_t>(q ^ (q << 2));
    q = static_cast<uint8_t>(q ^ (q << 4));
    if (q & 0x80) q ^= 0x09;
    uint8_t x = static_cast<uint8_t>(q ^ Rotl8(q, 1) ^ Rotl8(q, 2) ^ Rotl8(q, 3) ^ Rotl8(q, 4));
    t.sbox[p] = static_cast<uint8_t>(x ^ 0x63);
  } while (p != 1);
  t.sbox[0] = 0x63;
  for (int i = 0; i < 256; ++i) t.inv[t.sbox[i]] = static_cast<uint8_t>(i);

  for (int i = 0; i < 256; ++i) {
    uint8_t s = t.sbox[i];
    uint32_t e = uint32_t{GfMul(s, 2)} | uint32_t{s} << 8 | uint32_t{s} << 16 | uint32_t{GfMul(s, 3)} << 24;
    uint8_t v = t.inv[i];
    uint32_t d = uint32_t{GfMul(v, 14)} | uint32_t{GfMul(v, 9)} << 8 | uint32_t{GfMul(v, 13)} << 16 |
                 uint32_t{GfMul(v, 11)} << 24;
    for (int k = 0; k < 4; ++k) {
      t.te[k][i] = std::rotl(e, 8 * k);
      t.td[k][i] = std::rotl(d, 8 * k);
    }
  }
  uint8_t r = 1;
  for (int i = 1; i < 11; ++i) {
    t.rcon[i] = r;
    r = XTime(r);
  }
  return t;
}

constexpr Tables kT = MakeTables();
static_assert(kT.sbox[0x00] == 0x63 && kT.sbox[0x53] == 0xED && kT.sbox[0xFF] == 0x16, "S-box");
static_assert(kT.inv[0x63] == 0x00 && kT.rcon[10] == 0x36, "inverse S-box and round constants");

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void Store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline uint32_t B(uint32_t w, int row) { return (w >> (8 * row)) & 0xFF; }

uint32_t SubWord(uint32_t w) {
  return uint32_t{kT.sbox[B(w, 0)]} | uint32_t{kT.sbox[B(w, 1)]} << 8 | uint32_t{kT.sbox[B(w, 2)]} << 16 |
         uint32_t{kT.sbox[B(w, 3)]} << 24;
}

uint32_t InvMixColumn(uint32_t w) {
  return kT.td[0][kT.sbox[B(w, 0)]] ^ kT.td[1][kT.sbox[B(w, 1)]] ^ kT.td[2][kT.sbox[B(w, 2)]] ^
         kT.td[3][kT.sbox[B(w, 3)]];
}

// ---- Portable engine ----------------------------------------------------------------

void TableEncrypt(const uint32_t* rk, int rounds, const uint8_t* in, uint8_t* out) {
  uint32_t s0 = Load32(in) ^ rk[0], s1 = Load32(in + 4) ^ rk[1];
  uint32_t s2 = Load32(in + 8) ^ rk[2], s3 = Load32(in + 12) ^ rk[3];
  const auto& te = kT.te;
  for (int r = 1; r < rounds; ++r) {
    rk += 4;
    uint32_t t0 = te[0][B(s0, 0)] ^ te[1][B(s1, 1)] ^ te[2][B(s2, 2)] ^ te[3][B(s3, 3)] ^ rk[0];
    uint32_t t1 = te[0][B(s1, 0)] ^ te[1][B(s2, 1)] ^ te[2][B(s3, 2)] ^ te[3][B(s0, 3)] ^ rk[1];
    uint32_t t2 = te[0][B(s2, 0)] ^ te[1][B(s3, 1)] ^ te[2][B(s0, 2)] ^ te[3][B(s1, 3)] ^ rk[2];
    uint32_t t3 = te[0][B(s3, 0)] ^ te[1][B(s0, 1)] ^ te[2][B(s1, 2)] ^ te[3][B(s2, 3)] ^ rk[3];
    s0 = t0, s1 = t1, s2 = t2, s3 = t3;
  }
  rk += 4;
  const uint8_t* S = kT.sbox;
  auto last = [&](uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
    return (uint32_t{S[B(a, 0)]} | uint32_t{S[B(b, 1)]} << 8 | uint32_t{S[B(c, 2)]} << 16 |
            uint32_t{S[B(d, 3)]} << 24) ^ k;
  };
  Store32(out, last(s0, s1, s2, s3, rk[0]));
  Store32(out + 4, last(s1, s2, s3, s0, rk[1]));
  Store32(out + 8, last(s2, s3, s0, s1, rk[2]));
  Store32(out + 12, last(s3, s0, s1, s2, rk[3]));
}

void TableDecrypt(const uint32_t* rk, int rounds, const uint8_t* in, uint8_t* out) {
  uint32_t s0 = Load32(in) ^ rk[0], s1 = Load32(in + 4) ^ rk[1];
  uint32_t s2 = Load32(in + 8) ^ rk[2], s3 = Load32(in + 12) ^ rk[3];
  const auto& td = kT.td;
  for (int r = 1; r < rounds; ++r) {
    rk += 4;
    uint32_t t0 = td[0][B(s0, 0)] ^ td[1][B(s3, 1)] ^ td[2][B(s2, 2)] ^ td[3][B(s1, 3)] ^ rk[0];
    uint32_t t1 = td[0][B(s1, 0)] ^ td[1][B(s0, 1)] ^ td[2][B(s3, 2)] ^ td[3][B(s2, 3)] ^ rk[1];
    uint32_t t2 = td[0][B(s2, 0)] ^ td[1][B(s1, 1)] ^ td[2][B(s0, 2)] ^ td[3][B(s3, 3)] ^ rk[2];
    uint32_t t3 = td[0][B(s3, 0)] ^ td[1][B(s2, 1)] ^ td[2][B(s1, 2)] ^ td[3][B(s0, 3)] ^ rk[3];
    s0 = t0, s1 = t1, s2 = t2, s3 = t3;
  }
  rk += 4;
  const uint8_t* I = kT.inv;
  auto last = [&](uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
    return (uint32_t{I[B(a, 0)]} | uint32_t{I[B(b, 1)]} << 8 | uint32_t{I[B(c, 2)]} << 16 |
            uint32_t{I[B(d, 3)]} << 24) ^ k;
  };
  Store32(out, last(s0, s3, s2, s1, rk[0]));
  Store32(out + 4, last(s1, s0, s3, s2, rk[1]));
  Store32(out + 8, last(s2, s1, s0, s3, rk[2]));
  Store32(out + 12, last(s3, s2, s1, s0, rk[3]));
}

// ---- AES instructions -----------------------------------------------------------------

#ifdef ZAES_HAVE_AESNI
#define ZAES_NI __attribute__((target("aes,sse2")))

template <bool kEncrypt>
ZAES_NI inline __m128i NiRound(__m128i x, __m128i key) {
  if constexpr (kEncrypt) return _mm_aesenc_si128(x, key);
  else return _mm_aesdec_si128(x, key);
}

template <bool kEncrypt>
ZAES_NI inline __m128i NiLast(__m128i x, __m128i key) {
  if constexpr (kEncrypt) return _mm_aesenclast_si128(x, key);
  else return _mm_aesdeclast_si128(x, key);
}

// Blocks are processed eight at a time so that the instruction latencies overlap.
template <bool kEncrypt>
ZAES_NI void NiBlocks(const uint32_t* keys, int rounds, const uint8_t* in, uint8_t* out, size_t count) {
  __m128i k[15];
  for (int r = 0; r <= rounds; ++r) k[r] = _mm_load_si128(reinterpret_cast<const __m128i*>(keys + 4 * r));
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    __m128i x[8];
    for (int j = 0; j < 8; ++j)
      x[j] = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * (i + j))), k[0]);
    for (int r = 1; r < rounds; ++r)
      for (int j = 0; j < 8; ++j) x[j] = NiRound<kEncrypt>(x[j], k[r]);
    for (int j = 0; j < 8; ++j)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * (i + j)), NiLast<kEncrypt>(x[j], k[rounds]));
  }
  for (; i < count; ++i) {
    __m128i x = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * i)), k[0]);
    for (int r = 1; r < rounds; ++r) x = NiRound<kEncrypt>(x, k[r]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * i), NiLast<kEncrypt>(x, k[rounds]));
  }
}
#endif

}  // namespace

ZAES::ZAES(Engine engine) : m_engine(engine) {
  if (m_engine == Engine::kAuto || (m_engine == Engine::kCpu && !CpuHasAes()))
    m_engine = CpuHasAes() ? Engine::kCpu : Engine::kTable;
  std::memset(m_encKeys, 0, sizeof(m_encKeys));
  std::memset(m_decKeys, 0, sizeof(m_decKeys));
}

ZAES::~ZAES() {
  explicit_bzero(m_encKeys, sizeof(m_encKeys));
  explicit_bzero(m_decKeys, sizeof(m_decKeys));
}

bool ZAES::CpuHasAes() {
#ifdef ZAES_HAVE_AESNI
  static const bool has = __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse2");
  return has;
#else
  return false;
#endif
}

bool ZAES::SetKey(const uint8_t* key, size_t length) {
  m_rounds = 0;
  if (!key || (length != 16 && length != 24 && length != 32)) return false;
  const int nk = static_cast<int>(length / 4);
  const int rounds = nk + 6;
  const int words = 4 * (rounds + 1);
  uint32_t* w = m_encKeys;
  for (int i = 0; i < nk; ++i) w[i] = Load32(key + 4 * i);
  for (int i = nk; i < words; ++i) {
    uint32_t t = w[i - 1];
    if (i % nk == 0)
      t = SubWord(std::rotr(t, 8)) ^ kT.rcon[i / nk];
    else if (nk > 6 && i % nk == 4)
      t = SubWord(t);
    w[i] = w[i - nk] ^ t;
  }
  // Equivalent inverse cipher: the rounds in reverse order, inner ones through
  // InvMixColumns.
  for (int r = 0; r <= rounds; ++r)
    for (int c = 0; c < 4; ++c) {
      uint32_t k = w[4 * (rounds - r) + c];
      m_decKeys[4 * r + c] = (r == 0 || r == rounds) ? k : InvMixColumn(k);
    }
  m_rounds = rounds;
  return true;
}

void ZAES::EncryptBlock(const uint8_t in[16], uint8_t out[16]) const { EncryptBlocks(in, out, 1); }

void ZAES::DecryptBlock(const uint8_t in[16], uint8_t out[16]) const { DecryptBlocks(in, out, 1); }

void ZAES::EncryptBlocks(const uint8_t* in, uint8_t* out, size_t count) const {
  if (m_rounds == 0) return;
#ifdef ZAES_HAVE_AESNI
  if (m_engine == Engine::kCpu) return NiBlocks<true>(m_encKeys, m_rounds, in, out, count);
#endif
  for (size_t i = 0; i < count; ++i) TableEncrypt(m_encKeys, m_rounds, in + 16 * i, out + 16 * i);
}

void ZAES::DecryptBlocks(const uint8_t* in, uint8_t* out, size_t count) const {
  if (m_rounds == 0) return;
#ifdef ZAES_HAVE_AESNI
  if (m_engine == Engine::kCpu) return NiBlocks<false>(m_decKeys, m_rounds, in, out, count);
#endif
  for (size_t i = 0; i < count; ++i) TableDecrypt(m_decKeys, m_rounds, in + 16 * i, out + 16 * i);
}
