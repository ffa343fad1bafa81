// The AES block cipher: the FIPS-197 examples and random keys and blocks against the
// openssl command-line tool, for every key size on both engines.
#include "core/encrypt/zaes.h"

#include <string>
#include <vector>

#include "encrypttestutil.h"
#include "support/testenv.h"
#include "support/textcodec.h"

namespace {

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::vector<ZAES::Engine> Engines() {
  std::vector<ZAES::Engine> e = {ZAES::Engine::kTable};
  if (ZAES::CpuHasAes()) e.push_back(ZAES::Engine::kCpu);
  return e;
}

const char* Name(ZAES::Engine e) { return e == ZAES::Engine::kCpu ? "cpu" : "table"; }

class ZaesTest : public OstrelTest {};

TEST_F(ZaesTest, Fips197Examples) {
  struct { const char* key; const char* plain; const char* cipher; } rows[] = {
      // Appendix B and C.1 to C.3.
      {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734", "3925841d02dc09fbdc118597196a0b32"},
      {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
       "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "00112233445566778899aabbccddeeff",
       "8ea2b7ca516745bfeafc49904b496089"},
  };
  for (ZAES::Engine engine : Engines()) {
    for (const auto& r : rows) {
      SCOPED_TRACE(std::string(Name(engine)) + " key " + r.key);
      std::string key = HexDecode(r.key), plain = HexDecode(r.plain), cipher = HexDecode(r.cipher);
      ZAES aes(engine);
      EXPECT_EQ(engine, aes.engine());
      ASSERT_TRUE(aes.SetKey(U8(key), key.size()));
      uint8_t out[16];
      aes.EncryptBlock(U8(plain), out);
      EXPECT_EQ(r.cipher, HexEncode(std::string(reinterpret_cast<char*>(out), 16)));
      aes.DecryptBlock(U8(cipher), out);
      EXPECT_EQ(r.plain, HexEncode(std::string(reinterpret_cast<char*>(out), 16)));
    }
  }
}

TEST_F(ZaesTest, RejectsKeyLengthsOtherThan16_24_32) {
  uint8_t key[33] = {};
  for (size_t len : {0u, 1u, 15u, 17u, 20u, 31u, 33u}) {
    ZAES aes;
    EXPECT_FALSE(aes.SetKey(key, len)) << len;
    EXPECT_FALSE(aes.HasKey());
  }
  ZAES aes;
  EXPECT_FALSE(aes.SetKey(nullptr, 32));
  EXPECT_TRUE(aes.SetKey(key, 24));
  EXPECT_TRUE(aes.HasKey());
}

// Random keys of every length and runs of blocks (not multiples of the eight the
// instructions work on at once) against `openssl enc -aes-<bits>-ecb -nopad`.
TEST_F(ZaesTest, RandomKeysAndBlocksAgreeWithOpenssl) {
  const size_t blockCounts[] = {1, 2, 7, 8, 9, 17, 64, 100};
  const std::string in = PathIn("plain.bin"), out = PathIn("cipher.bin");
  for (size_t keyLen : {16u, 24u, 32u}) {
    for (uint32_t seed = 0; seed < 8; ++seed) {
      std::string key = RandomBytes(keyLen, seed * 7 + static_cast<uint32_t>(keyLen));
      std::string plain = RandomBytes(16 * blockCounts[seed], seed + 1000);
      WriteFileBytes(in, plain);
      enctest::RunOk("openssl enc -aes-" + std::to_string(keyLen * 8) + "-ecb -nopad -K " + HexEncode(key) +
                     " -in " + in + " -out " + out);
      std::string expected = ReadFileBytes(out);
      ASSERT_EQ(plain.size(), expected.size());
      for (ZAES::Engine engine : Engines()) {
        SCOPED_TRACE(std::string(Name(engine)) + " key " + std::to_string(keyLen) + " seed " + std::to_string(seed));
        ZAES aes(engine);
        ASSERT_TRUE(aes.SetKey(U8(key), keyLen));
        std::string got(plain.size(), '\0');
        aes.EncryptBlocks(U8(plain), reinterpret_cast<uint8_t*>(got.data()), plain.size() / 16);
        EXPECT_EQ(expected, got);
        // In place, back again.
        aes.DecryptBlocks(reinterpret_cast<uint8_t*>(got.data()), reinterpret_cast<uint8_t*>(got.data()),
                          got.size() / 16);
        EXPECT_EQ(plain, got);
      }
    }
  }
}

}  // namespace
