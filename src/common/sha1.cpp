#include "common/sha1.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define OSTREL_SHA1_X86 1
#endif

#include "common/checks.h"
#include "common/strhelper.h"
#include "platform/posixfile.h"

namespace {

// Hashes `blocks` whole 64-byte blocks into state.
using BlockFunction = void (*)(uint32_t state[5], const uint8_t* data, size_t blocks);

inline uint32_t Rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t LoadBe32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}

inline void StoreBe32(uint8_t* p, uint32_t v) {
  v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}

// Portable block function: 80 unrolled rounds over a rolling 16-word schedule. The
// round functions are written so that their terms add independently (Ch as
// d ^ (b & (c ^ d)), Maj as (b & c) + (d & (b ^ c)), whose terms share no bits).
void Sha1BlocksPortable(uint32_t state[5], const uint8_t* p, size_t blocks) {
  uint32_t w[16];
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  for (; blocks > 0; --blocks, p += 64) {
    const uint32_t sa = a, sb = b, sc = c, sd = d, se = e;

#define SHA1_W0(i) (w[i] = LoadBe32(p + 4 * (i)))
#define SHA1_WX(i) \
  (w[(i) & 15] = Rol(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ w[((i) + 2) & 15] ^ w[(i) & 15], 1))
#define SHA1_R0(v, x, y, u, z, i) \
  z += SHA1_W0(i) + 0x5A827999u + (u ^ (x & (y ^ u))) + Rol(v, 5); x = Rol(x, 30);
#define SHA1_R1(v, x, y, u, z, i) \
  z += SHA1_WX(i) + 0x5A827999u + (u ^ (x & (y ^ u))) + Rol(v, 5); x = Rol(x, 30);
#define SHA1_R2(v, x, y, u, z, i) \
  z += SHA1_WX(i) + 0x6ED9EBA1u + (x ^ y ^ u) + Rol(v, 5); x = Rol(x, 30);
#define SHA1_R3(v, x, y, u, z, i) \
  z += SHA1_WX(i) + 0x8F1BBCDCu + (u & (x ^ y)) + (x & y) + Rol(v, 5); x = Rol(x, 30);
#define SHA1_R4(v, x, y, u, z, i) \
  z += SHA1_WX(i) + 0xCA62C1D6u + (x ^ y ^ u) + Rol(v, 5); x = Rol(x, 30);

    SHA1_R0(a, b, c, d, e, 0) SHA1_R0(e, a, b, c, d, 1) SHA1_R0(d, e, a, b, c, 2)
    SHA1_R0(c, d, e, a, b, 3) SHA1_R0(b, c, d, e, a, 4) SHA1_R0(a, b, c, d, e, 5)
    SHA1_R0(e, a, b, c, d, 6) SHA1_R0(d, e, a, b, c, 7) SHA1_R0(c, d, e, a, b, 8)
    SHA1_R0(b, c, d, e, a, 9) SHA1_R0(a, b, c, d, e, 10) SHA1_R0(e, a, b, c, d, 11)
    SHA1_R0(d, e, a, b, c, 12) SHA1_R0(c, d, e, a, b, 13) SHA1_R0(b, c, d, e, a, 14)
    SHA1_R0(a, b, c, d, e, 15) SHA1_R1(e, a, b, c, d, 16) SHA1_R1(d, e, a, b, c, 17)
    SHA1_R1(c, d, e, a, b, 18) SHA1_R1(b, c, d, e, a, 19)

    SHA1_R2(a, b, c, d, e, 20) SHA1_R2(e, a, b, c, d, 21) SHA1_R2(d, e, a, b, c, 22)
    SHA1_R2(c, d, e, a, b, 23) SHA1_R2(b, c, d, e, a, 24) SHA1_R2(a, b, c, d, e, 25)
    SHA1_R2(e, a, b, c, d, 26) SHA1_R2(d, e, a, b, c, 27) SHA1_R2(c, d, e, a, b, 28)
    SHA1_R2(b, c, d, e, a, 29) SHA1_R2(a, b, c, d, e, 30) SHA1_R2(e, a, b, c, d, 31)
    SHA1_R2(d, e, a, b, c, 32) SHA1_R2(c, d, e, a, b, 33) SHA1_R2(b, c, d, e, a, 34)
    SHA1_R2(a, b, c, d, e, 35) SHA1_R2(e, a, b, c, d, 36) SHA1_R2(d, e, a, b, c, 37)
    SHA1_R2(c, d, e, a, b, 38) SHA1_R2(b, c, d, e, a, 39)

    SHA1_R3(a, b, c, d, e, 40) SHA1_R3(e, a, b, c, d, 41) SHA1_R3(d, e, a, b, c, 42)
    SHA1_R3(c, d, e, a, b, 43) SHA1_R3(b, c, d, e, a, 44) SHA1_R3(a, b, c, d, e, 45)
    SHA1_R3(e, a, b, c, d, 46) SHA1_R3(d, e, a, b, c, 47) SHA1_R3(c, d, e, a, b, 48)
    SHA1_R3(b, c, d, e, a, 49) SHA1_R3(a, b, c, d, e, 50) SHA1_R3(e, a, b, c, d, 51)
    SHA1_R3(d, e, a, b, c, 52) SHA1_R3(c, d, e, a, b, 53) SHA1_R3(b, c, d, e, a, 54)
    SHA1_R3(a, b, c, d, e, 55) SHA1_R3(e, a, b, c, d, 56) SHA1_R3(d, e, a, b, c, 57)
    SHA1_R3(c, d, e, a, b, 58) SHA1_R3(b, c, d, e, a, 59)

    SHA1_R4(a, b, c, d, e, 60) SHA1_R4(e, a, b, c, d, 61) SHA1_R4(d, e, a, b, c, 62)
    SHA1_R4(c, d, e, a, b, 63) SHA1_R4(b, c, d, e, a, 64) SHA1_R4(a, b, c, d, e, 65)
    SHA1_R4(e, a, b, c, d, 66) SHA1_R4(d, e, a, b, c, 67) SHA1_R4(c, d, e, a, b, 68)
    SHA1_R4(b, c, d, e, a, 69) SHA1_R4(a, b, c, d, e, 70) SHA1_R4(e, a, b, c, d, 71)
    SHA1_R4(d, e, a, b, c, 72) SHA1_R4(c, d, e, a, b, 73) SHA1_R4(b, c, d, e, a, 74)
    SHA1_R4(a, b, c, d, e, 75) SHA1_R4(e, a, b, c, d, 76) SHA1_R4(d, e, a, b, c, 77)
    SHA1_R4(c, d, e, a, b, 78) SHA1_R4(b, c, d, e, a, 79)

#undef SHA1_W0
#undef SHA1_WX
#undef SHA1_R0
#undef SHA1_R1
#undef SHA1_R2
#undef SHA1_R3
#undef SHA1_R4

    a += sa;
    b += sb;
    c += sc;
    d += sd;
    e += se;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
  state[4] = e;
}

#ifdef OSTREL_SHA1_X86

#define OSTREL_SHANI_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// Four rounds with the SHA instructions. `g` is the group number 0..19 (rounds 4g to
// 4g+3); m[g % 4] holds their message words. For g >= 4 the words are first derived
// from the four groups before (W[t] = rol1(W[t-3] ^ W[t-8] ^ W[t-14] ^ W[t-16])).
#define SHA1_NI_GROUP(g)                                                               \
  if ((g) >= 4) {                                                                      \
    m[(g) % 4] = _mm_sha1msg2_epu32(                                                   \
        _mm_xor_si128(_mm_sha1msg1_epu32(m[(g) % 4], m[((g) + 1) % 4]), m[((g) + 2) % 4]), \
        m[((g) + 3) % 4]);                                                             \
  }                                                                                    \
  e = (g) == 0 ? _mm_add_epi32(e0, m[0]) : _mm_sha1nexte_epu32(prev, m[(g) % 4]);      \
  prev = abcd;                                                                         \
  abcd = _mm_sha1rnds4_epu32(abcd, e, (g) / 5);

OSTREL_SHANI_TARGET
void Sha1BlocksShaNi(uint32_t state[5], const uint8_t* p, size_t blocks) {
  // Lanes hold A..D with A highest, E in the highest lane of e0; message words are
  // loaded big-endian with W[4g] in the highest lane.
  const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
  __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
  for (; blocks > 0; --blocks, p += 64) {
    const __m128i abcdSave = abcd;
    const __m128i eSave = e0;
    __m128i m[4];
    for (int i = 0; i < 4; ++i) {
      m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i)), byteSwap);
    }
    __m128i e, prev;
    SHA1_NI_GROUP(0) SHA1_NI_GROUP(1) SHA1_NI_GROUP(2) SHA1_NI_GROUP(3) SHA1_NI_GROUP(4)
    SHA1_NI_GROUP(5) SHA1_NI_GROUP(6) SHA1_NI_GROUP(7) SHA1_NI_GROUP(8) SHA1_NI_GROUP(9)
    SHA1_NI_GROUP(10) SHA1_NI_GROUP(11) SHA1_NI_GROUP(12) SHA1_NI_GROUP(13) SHA1_NI_GROUP(14)
    SHA1_NI_GROUP(15) SHA1_NI_GROUP(16) SHA1_NI_GROUP(17) SHA1_NI_GROUP(18) SHA1_NI_GROUP(19)
    e0 = _mm_sha1nexte_epu32(prev, eSave);
    abcd = _mm_add_epi32(abcd, abcdSave);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
  state[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

#undef SHA1_NI_GROUP

bool CpuHasShaInstructions() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool ssse3 = (c & bit_SSSE3) != 0;
  const bool sse41 = (c & bit_SSE4_1) != 0;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  const bool sha = (b & (1u << 29)) != 0;
  return ssse3 && sse41 && sha;
}

#else

bool CpuHasShaInstructions() { return false; }

#endif  // OSTREL_SHA1_X86

std::atomic<bool> g_forcePortable{false};

bool ShaInstructionsInUse() {
  static const bool cpuHasSha = CpuHasShaInstructions();
  return cpuHasSha && !g_forcePortable.load(std::memory_order_relaxed);
}

BlockFunction CurrentBlockFunction() {
#ifdef OSTREL_SHA1_X86
  if (ShaInstructionsInUse()) return Sha1BlocksShaNi;
#endif
  return Sha1BlocksPortable;
}

constexpr size_t kFileBlockBytes = 65536;

}  // namespace

void Sha1SetEngine(Sha1Engine engine) {
  g_forcePortable.store(engine == Sha1Engine::kPortable, std::memory_order_relaxed);
}

bool Sha1UsesShaInstructions() { return ShaInstructionsInUse(); }

void Sha1Init(SHA1_CTX* ctx) {
  ctx->state[0] = 0x67452301u;
  ctx->state[1] = 0xEFCDAB89u;
  ctx->state[2] = 0x98BADCFEu;
  ctx->state[3] = 0x10325476u;
  ctx->state[4] = 0xC3D2E1F0u;
  ctx->count = 0;
  std::memset(ctx->buffer, 0, sizeof(ctx->buffer));
}

void Sha1Update(SHA1_CTX* ctx, const void* data, size_t length) {
  if (length == 0) return;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  const BlockFunction blocksFn = CurrentBlockFunction();
  size_t used = static_cast<size_t>(ctx->count & 63);
  ctx->count += length;
  if (used > 0) {
    size_t take = 64 - used < length ? 64 - used : length;
    std::memcpy(ctx->buffer + used, p, take);
    p += take;
    length -= take;
    if (used + take < 64) return;
    blocksFn(ctx->state, ctx->buffer, 1);
  }
  if (length >= 64) {
    size_t n = length / 64;
    blocksFn(ctx->state, p, n);
    p += n * 64;
    length -= n * 64;
  }
  if (length > 0) std::memcpy(ctx->buffer, p, length);
}

void Sha1Final(SHA1_CTX* ctx, uint8_t digest[20]) {
  const uint64_t bits = ctx->count * 8;
  uint8_t pad[72] = {0x80};
  size_t used = static_cast<size_t>(ctx->count & 63);
  size_t padLen = used < 56 ? 56 - used : 120 - used;
  for (int i = 0; i < 8; ++i) pad[padLen + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  Sha1Update(ctx, pad, padLen + 8);
  for (int i = 0; i < 5; ++i) StoreBe32(digest + 4 * i, ctx->state[i]);
  std::memset(ctx, 0, sizeof(*ctx));
}

std::string Sha1ToHex(const uint8_t digest[20]) { return BytesToHex(digest, 20); }

std::string Sha1Hex(const void* data, size_t length) {
  SHA1_CTX ctx;
  Sha1Init(&ctx);
  Sha1Update(&ctx, data, length);
  uint8_t digest[20];
  Sha1Final(&ctx, digest);
  return Sha1ToHex(digest);
}

HRESULT GetFileSha1(const std::string& path, const std::function<bool()>& cancel, std::string* sha1, FileEnv* env) {
  sha1->clear();
  PosixFile file(env);
  if (!file.OpenRegularForRead(path) && errno == EINVAL) {
    OSTREL_LOG(kLogWarn, "GetFileSha1: not a regular file: %s", path.c_str());
    return E_INVALIDARG;
  }
  const bool pf = file.IsOpen();
  ERROR_CHECK_BOOLEX(pf);

  std::vector<uint8_t> block(kFileBlockBytes);
  SHA1_CTX ctx;
  Sha1Init(&ctx);
  for (;;) {
    ssize_t n = file.ReadFull(block.data(), block.size());
    std::this_thread::yield();
    ERROR_CHECK_BOOLEX(n >= 0);
    Sha1Update(&ctx, block.data(), static_cast<size_t>(n));
    if (cancel && !cancel()) return E_FAIL;
    if (static_cast<size_t>(n) < block.size()) break;
  }
  uint8_t digest[20];
  Sha1Final(&ctx, digest);
  *sha1 = Sha1ToHex(digest);
  if (sha1->empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(szSha1)");
  return S_OK;
}
