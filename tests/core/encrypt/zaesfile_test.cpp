// The two encrypted-file formats, read back by an independent decoder built on OpenSSL,
// and every way a damaged or hostile file is refused.
#include "core/encrypt/zaesfile.h"

#include <unistd.h>

#include <string>

#include "encrypttestutil.h"
#include "support/logcapture.h"
#include "support/peercodec.h"
#include "support/testenv.h"

namespace {

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

const uint64_t kSizes[] = {0, 1, 15, 16, 17, 65535, 65536, 65537, 20 * 65536 + 5};

class ZAesFileTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    m_key = RandomBytes(32, 4242);
  }
  bool EncryptFH(const std::string& src, const std::string& dst) {
    return ZAesFile::EncryptFile(U8(m_key), 32, src, dst);
  }
  bool EncryptV0(const std::string& src, const std::string& dst, bool packed = false) {
    std::string sha1(20, '\x11'), hint(8, '\x22');
    return ZAesFile::EncryptFileV0(src, dst, packed, 12345, U8(sha1), U8(hint), U8(m_key));
  }

  std::string m_key;
};

TEST_F(ZAesFileTest, FileHeaderFormatReadByIndependentDecoder) {
  for (size_t keyLen : {32u, 16u, 24u}) {
    const std::string key = keyLen == 32 ? m_key : RandomBytes(keyLen, static_cast<uint32_t>(keyLen));
    for (uint64_t n : kSizes) {
      SCOPED_TRACE(std::to_string(n) + " bytes, key " + std::to_string(keyLen));
      std::string plain = RandomBytes(n, static_cast<uint32_t>(n) + 1);
      WriteFileBytes(PathIn("plain"), plain);
      ASSERT_TRUE(ZAesFile::EncryptFile(U8(key), keyLen, PathIn("plain"), PathIn("enc")));
      std::string file = ReadFileBytes(PathIn("enc"));
      const uint64_t data = (n + 15) / 16 * 16;
      ASSERT_EQ(47 + data, file.size());

      peer::FileHeaderFile r = peer::ReadFileHeader(file, key);
      ASSERT_TRUE(r.ok) << r.error;
      EXPECT_EQ(1u, r.version);
      EXPECT_EQ(n, r.plainSize);
      EXPECT_EQ(data, r.dataSize);
      EXPECT_EQ(r.actualMd5, r.storedMd5);
      EXPECT_EQ(plain, r.plain);
      // The cipher text is plain ECB of the zero-filled input.
      std::string filled = plain + std::string(data - n, '\0');
      EXPECT_EQ(peer::AesEcb(key, filled, true), file.substr(47));

      int format = -1;
      ASSERT_TRUE(ZAesFile::DecryptFile(U8(key), keyLen, PathIn("enc"), PathIn("back"), &format));
      EXPECT_EQ(ZAesFile::kDecryptedFileHeader, format);
      EXPECT_EQ(plain, ReadFileBytes(PathIn("back")));
    }
  }
  EXPECT_FALSE(ZAesFile::EncryptFile(U8(m_key), 20, PathIn("plain"), PathIn("enc2")));
}

TEST_F(ZAesFileTest, Rtv0FormatReadByIndependentDecoder) {
  for (uint64_t n : kSizes) {
    for (bool packed : {false, true}) {
      SCOPED_TRACE(std::to_string(n) + (packed ? " packed" : ""));
      std::string plain = RandomBytes(n, static_cast<uint32_t>(n) + 9);
      std::string sha1 = RandomBytes(20, 1), hint = RandomBytes(8, 2);
      WriteFileBytes(PathIn("plain"), plain);
      ASSERT_TRUE(ZAesFile::EncryptFileV0(PathIn("plain"), PathIn("enc"), packed, 0xA1B2C3D4u, U8(sha1), U8(hint),
                                          U8(m_key)));
      std::string file = ReadFileBytes(PathIn("enc"));
      ASSERT_EQ(64 + (n + 15) / 16 * 16, file.size());

      peer::Rtv0File r = peer::ReadRtv0(file, m_key);
      ASSERT_TRUE(r.ok) << r.error;
      EXPECT_EQ(1, r.version);
      EXPECT_EQ(packed ? 3 : 2, r.flags);
      EXPECT_EQ(0xA1B2C3D4u, r.plainSize);
      EXPECT_EQ(sha1, r.sha1);
      EXPECT_EQ(hint, r.hint);
      EXPECT_EQ((16 - n % 16) % 16, r.fill);
      EXPECT_EQ(std::string(25, '\0'), r.reserved);
      EXPECT_EQ(plain, r.plain);

      int format = -1;
      ZAesFile::Rtv0Header header;
      ASSERT_TRUE(ZAesFile::DecryptFile(U8(m_key), 32, PathIn("enc"), PathIn("back"), &format, &header));
      EXPECT_EQ(packed ? ZAesFile::kDecryptedRtv0Packed : ZAesFile::kDecryptedRtv0Plain, format);
      EXPECT_EQ(plain, ReadFileBytes(PathIn("back")));
      EXPECT_EQ(packed, header.packed);
      EXPECT_EQ(0xA1B2C3D4u, header.plainSize);
      EXPECT_EQ(sha1, std::string(reinterpret_cast<char*>(header.sha1), 20));
      EXPECT_EQ(hint, std::string(reinterpret_cast<char*>(header.hint), 8));
    }
  }
}

TEST_F(ZAesFileTest, DamagedFilesAreRefused) {
  WriteFileBytes(PathIn("p"), RandomBytes(100, 5));
  ASSERT_TRUE(EncryptFH(PathIn("p"), PathIn("fh")) && EncryptV0(PathIn("p"), PathIn("v0")));
  const std::string fh = ReadFileBytes(PathIn("fh")), v0 = ReadFileBytes(PathIn("v0"));
  // An extra block on a FileHeader file with a matching MD5: a file that grew while
  // an older writer read it. It is read, cut to the plain size, with a warning.
  std::string grown = fh + std::string(16, 'g');
  grown.replace(23, 16, peer::Md5(grown.substr(47)));

  // logged: a failed check or a warning is logged.
  struct { const char* name; std::string bytes; bool ok, logged; } rows[] = {
      {"file header shorter than its header", fh.substr(0, 46), false, false},
      {"file header bad magic", enctest::FlipByte(fh, 3), false, true},
      {"file header version 2", enctest::Patched(fh, 19, std::string("\x02\0\0\0", 4)), false, true},
      {"file header data size below plain size", enctest::Patched(fh, 43, std::string("\x10\0\0\0", 4)), false, true},
      {"file header partial last block", fh.substr(0, fh.size() - 1), false, true},
      {"file header missing last block", fh.substr(0, fh.size() - 16), false, true},
      {"file header flipped cipher byte", enctest::FlipByte(fh, 60), false, true},
      {"file header flipped digest byte", enctest::FlipByte(fh, 30), false, true},
      {"file header with a grown data section", grown, true, true},
      {"rtv0 shorter than its header", v0.substr(0, 63), false, false},
      {"rtv0 magic in a 30-byte file", v0.substr(0, 30), false, false},
      {"rtv0 version 2", enctest::Patched(v0, 4, "\x02"), false, true},
      {"rtv0 not enciphered", enctest::Patched(v0, 5, std::string(1, '\0')), false, true},
      {"rtv0 fill 16", enctest::Patched(v0, 40, "\x10"), false, true},
      {"rtv0 fill larger than the data", enctest::Patched(v0.substr(0, 64), 40, "\x05"), false, true},
      {"rtv0 partial last block", v0.substr(0, v0.size() - 3), false, true},
      // The RTV0 format carries no digest: a damaged block deciphers to garbage.
      {"rtv0 flipped cipher byte", enctest::FlipByte(v0, 70), true, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    WriteFileBytes(PathIn("bad"), r.bytes);
    LogCapture log;
    int format = 77;
    EXPECT_EQ(r.ok, ZAesFile::DecryptFile(U8(m_key), 32, PathIn("bad"), PathIn("out"), &format));
    if (!r.ok) {
      EXPECT_EQ(77, format) << "the format code is left alone on failure";
    }
    if (r.logged) {
      EXPECT_GT(log.Failures(), 0) << log.All();
    }
  }
  // The grown file gives exactly its plain size.
  WriteFileBytes(PathIn("bad"), grown);
  int format = 0;
  ASSERT_TRUE(ZAesFile::DecryptFile(U8(m_key), 32, PathIn("bad"), PathIn("out"), &format));
  EXPECT_EQ(ReadFileBytes(PathIn("p")), ReadFileBytes(PathIn("out")));
}

// Refused before anything is written: a destination that is the source (by any path)
// and sources too large for the formats (sparse, so refused from their size alone).
// Missing sources, folders and destinations that cannot be written (/dev/full fails
// every write) fail too. Nothing is truncated, and no call creates a file it failed.
TEST_F(ZAesFileTest, RefusalsAndFailurePaths) {
  const std::string plain = RandomBytes(70000, 1);
  WriteFileBytes(PathIn("p"), plain);
  ASSERT_EQ(0, ::link(PathIn("p").c_str(), PathIn("hardlink").c_str()));
  ASSERT_EQ(0, ::mkdir(PathIn("folder").c_str(), 0700));
  ASSERT_TRUE(EncryptFH(PathIn("p"), PathIn("fh")));
  ASSERT_TRUE(EncryptV0(PathIn("p"), PathIn("v0")));
  const std::string fh = ReadFileBytes(PathIn("fh"));
  enctest::MakeSparseFile(PathIn("4g"), 1ull << 32);
  enctest::MakeSparseFile(PathIn("4g-15"), 0xFFFFFFF1ull);  // its FileHeader data size would pass 32 bits
  const struct { const char* ops; const char* src; std::string dst; const char* logText; } rows[] = {
      // F: EncryptFile, V: EncryptFileV0, D: DecryptFile.
      {"FV", "p", PathIn("p"), ""},
      {"FV", "p", PathIn("hardlink"), ""},
      {"FV", "p", PathIn("./p"), ""},
      {"D", "fh", PathIn("fh"), ""},
      {"FV", "4g", PathIn("out"), ""},
      {"F", "4g-15", PathIn("out"), ""},
      {"F", "missing", PathIn("out"), "ERROR_CHECK_BOOLEX:hSrcFile != INVALID_HANDLE_VALUE"},
      {"F", "p", PathIn("folder"), "ERROR_CHECK_BOOLEX:hDestFile != INVALID_HANDLE_VALUE"},
      {"F", "folder", PathIn("out"), ""},
      {"V", "p", PathIn("no/such/out"), ""},
      {"FV", "p", "/dev/full", ""},
      {"D", "fh", "/dev/full", ""},
      {"D", "v0", "/dev/full", ""},
  };
  for (const auto& r : rows) {
    for (const char* op = r.ops; *op; ++op) {
      SCOPED_TRACE(std::string(1, *op) + " " + r.src + " -> " + r.dst);
      LogCapture log;
      int format = 0;
      EXPECT_FALSE(*op == 'F'   ? EncryptFH(PathIn(r.src), r.dst)
                   : *op == 'V' ? EncryptV0(PathIn(r.src), r.dst)
                                : ZAesFile::DecryptFile(U8(m_key), 32, PathIn(r.src), r.dst, &format));
      EXPECT_TRUE(log.Contains(r.logText)) << log.All();
    }
  }
  EXPECT_EQ(plain, ReadFileBytes(PathIn("p")));
  EXPECT_EQ(fh, ReadFileBytes(PathIn("fh")));
  EXPECT_FALSE(FileExists(PathIn("out")));
}

}  // namespace
