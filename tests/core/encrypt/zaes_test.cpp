// The AES block cipher: random keys and blocks against the openssl command-line tool,
// for every key size on both engines.
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

TEST_F(ZaesTest, TakesKeysOf16_24And32BytesOnly) {
  uint8_t key[33] = {};
  ZAES aes;
  for (size_t len : {0u, 1u, 15u, 17u, 20u, 31u, 33u}) EXPECT_FALSE(aes.SetKey(key, len)) << len;
  EXPECT_FALSE(aes.SetKey(nullptr, 32));
  EXPECT_FALSE(aes.HasKey());
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
