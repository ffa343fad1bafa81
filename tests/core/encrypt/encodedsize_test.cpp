// The bounds of stored files hold for content that does not compress, packed by every
// writer in use: our encoders, and the independent ones (liblzma's LZMA-Alone encoder
// for blocks, 7zz for whole files). A download bounded by them never refuses a real file.
#include "core/encrypt/encodedsize.h"

#include <sys/stat.h>

#include <string>

#include "core/encrypt/encodefile.h"
#include "encrypttestutil.h"
#include "support/peercodec.h"
#include "support/testenv.h"

namespace {

const std::string kKeyText = "1a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f708192a3b4c5d6e7f809";

class EncodedSizeTest : public OstrelTest {};

TEST_F(EncodedSizeTest, EveryWritersFileOfIncompressibleContentFitsItsBound) {
  ASSERT_EQ(0, ::mkdir(PathIn("src").c_str(), 0700));
  const std::string src = PathIn("src/a.bin"), enc = PathIn("encoded");
  const std::string key = peer::KeyFromText(kKeyText);
  // Around the cipher block, the small-file rule of the compress policy (1024) and the
  // 64 KiB chunk; one block of a megabyte.
  for (size_t size : {size_t(0), size_t(1), size_t(15), size_t(1023), size_t(1024), size_t(65537), size_t(1) << 20}) {
    SCOPED_TRACE(size);
    const std::string plain = RandomBytes(size, static_cast<uint32_t>(size) + 1);
    WriteFileBytes(src, plain);
    const std::string sha1 = PeerSha1(plain);
    // Blocks: ours (packed from 1024 bytes on) and liblzma's, packed whatever the size.
    ASSERT_EQ(S_OK, EncodeFile_UFA(static_cast<uint32_t>(size), "a.bin", sha1, src, enc, kKeyText, "0000000000000000"));
    const uint64_t ours = ReadFileBytes(enc).size();
    EXPECT_LE(ours, MaxRtv0FileSize(size));
    EXPECT_LE(PeerRtv0(plain, kKeyText, true).size(), MaxRtv0FileSize(size));
    if (size >= 1024) {
      EXPECT_GT(ours, size + 64) << "packing made the block larger than its plain size";
    }
    // Whole files: ours (a 7z container of our own from 1024 bytes on) and 7zz's archive.
    ASSERT_EQ(S_OK, EncodeFile("a.bin", src, enc, kKeyText, false));
    EXPECT_LE(ReadFileBytes(enc).size(), MaxFileHeaderFileSize(size));
    EXPECT_LE(peer::WriteFileHeader(Peer7z(plain, Root()), key).size(), MaxFileHeaderFileSize(size));
  }
}

}  // namespace
