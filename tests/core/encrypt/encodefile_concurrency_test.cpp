// Encoding and decoding share no state: several threads encode the same source at
// once, each to its own destination, with their own temporary files, and every
// result decodes to the source.
#include <sys/stat.h>

#include <string>
#include <thread>
#include <vector>

#include "core/encrypt/encodefile.h"
#include "core/encrypt/zaesfile.h"
#include "encrypttestutil.h"
#include "support/testenv.h"

namespace {

const std::string kKeyText = "1a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f708192a3b4c5d6e7f809";

class EncodeFileConcurrencyTest : public OstrelTest {};

TEST_F(EncodeFileConcurrencyTest, SameSourceOnSeveralThreads) {
  ASSERT_EQ(0, ::mkdir(PathIn("src").c_str(), 0700));
  ASSERT_EQ(0, ::mkdir(PathIn("out").c_str(), 0700));
  const std::string data = enctest::TextBytes(40000, 1);
  const std::string src = PathIn("src/source");
  WriteFileBytes(src, data);
  constexpr int kThreads = 4;
  std::vector<HRESULT> encoded(kThreads, E_FAIL), decoded(kThreads, E_FAIL);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      const std::string enc = PathIn("out/enc" + std::to_string(i));
      encoded[i] = i % 2 ? EncodeFile("a.txt", src, enc, kKeyText, false)
                         : EncodeFile_UFA(40000, "a.txt", std::string(40, '0'), src, enc, kKeyText, "0000000000000000");
      decoded[i] = DecodeFile(enc, PathIn("out/plain" + std::to_string(i)), kKeyText);
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(S_OK, encoded[i]) << i;
    EXPECT_EQ(S_OK, decoded[i]) << i;
    EXPECT_EQ(data, ReadFileBytes(PathIn("out/plain" + std::to_string(i))));
  }
  EXPECT_EQ((std::set<std::string>{"source"}), enctest::ListFolder(PathIn("src")));
  EXPECT_EQ(size_t{2 * kThreads}, enctest::ListFolder(PathIn("out")).size());
}

TEST_F(EncodeFileConcurrencyTest, CipherOnManyThreads) {
  const std::string data = RandomBytes(300000, 2);
  WriteFileBytes(PathIn("plain"), data);
  const std::string key = RandomBytes(32, 3);
  const auto* k = reinterpret_cast<const uint8_t*>(key.data());
  constexpr int kThreads = 8;
  std::vector<int> ok(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      const std::string enc = PathIn("enc" + std::to_string(i)), back = PathIn("back" + std::to_string(i));
      int format = -1;
      uint8_t sha1[20] = {}, hint[8] = {};
      bool encOk = i % 2 ? ZAesFile::EncryptFile(k, 32, PathIn("plain"), enc)
                         : ZAesFile::EncryptFileV0(PathIn("plain"), enc, false, 0, sha1, hint, k);
      ok[i] = encOk && ZAesFile::DecryptFile(k, 32, enc, back, &format);
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_TRUE(ok[i]) << i;
    EXPECT_EQ(data, ReadFileBytes(PathIn("back" + std::to_string(i))));
  }
}

}  // namespace
