// MD5: vectors of RFC 1321, incremental updates, and digests of files of every awkward
// size against md5sum and openssl.
#include "common/md5.h"

#include <algorithm>
#include <string>

#include "support/testenv.h"

namespace {

class Md5Test : public OstrelTest {
 protected:
  static std::string Md5Of(const std::string& s) { return Md5Hex(s.data(), s.size()); }

  // The first field of a peer's output line.
  static std::string Peer(const std::string& command) {
    std::string out;
    EXPECT_EQ(0, RunCommand(command, &out)) << command;
    return out.substr(0, out.find_first_of(" \n"));
  }
};

// Buffers of the RFC 1321 suite; files of every awkward size are compared with md5sum.
TEST_F(Md5Test, Rfc1321SuiteAndEverySplitPointEqualsOneCall) {
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", Md5Of(""));
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", Md5Of("abc"));
  EXPECT_EQ("f96b697d7cb7938d525a2f31aaf161d0", Md5Of("message digest"));
  const std::string data = RandomBytes(130, 5);
  for (size_t len = 0; len <= data.size(); ++len) {
    const std::string whole = Md5Of(data.substr(0, len));
    for (size_t cut = 0; cut <= len; ++cut) {
      RizirMD5::MD5 md5;
      md5.Update(data.data(), cut);
      md5.Update(data.data() + cut, len - cut);
      uint8_t digest[16];
      md5.Final(digest);
      ASSERT_EQ(whole, Md5ToHex(digest)) << "length " << len << " cut " << cut;
    }
  }
}

TEST_F(Md5Test, FileDigestsEqualMd5sumAndOpenssl) {
  const size_t sizes[] = {0, 1, 55, 56, 63, 64, 65535, 65536, 65537, (size_t(3) << 20) + 17};
  uint32_t seed = 1;
  for (size_t size : sizes) {
    const std::string path = PathIn("f" + std::to_string(size));
    const std::string data = RandomBytes(size, static_cast<uint32_t>(size) + 1000);
    WriteFileBytes(path, data);
    // Fed in uneven pieces, as a stream reader would.
    RizirMD5::MD5 md5;
    for (size_t pos = 0; pos < data.size();) {
      seed = seed * 1103515245u + 12345u;
      size_t piece = std::min<size_t>((seed >> 8) % 100000, data.size() - pos);
      md5.Update(data.data() + pos, piece);
      pos += piece;
    }
    uint8_t digest[16];
    md5.Final(digest);
    const std::string ours = Md5ToHex(digest);
    EXPECT_EQ(Peer("md5sum " + ShellQuote(path)), ours) << size << " bytes";
    if (size == 65537) {
      EXPECT_EQ(Peer("openssl dgst -md5 -r " + ShellQuote(path)), ours);
    }
  }
}

}  // namespace
