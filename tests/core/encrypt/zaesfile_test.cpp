// The two encrypted-file formats, read back by an independent decoder built on OpenSSL,
// and every way a damaged or hostile file is refused.
#include "core/encrypt/zaesfile.h"

#include <unistd.h>

#include <string>
#include <vector>

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
  // A FileHeader and an RTV0 file of a 100-byte plain text.
  std::string GoodFileHeader() {
    WriteFileBytes(PathIn("p"), RandomBytes(100, 5));
    EXPECT_TRUE(EncryptFH(PathIn("p"), PathIn("e")));
    return ReadFileBytes(PathIn("e"));
  }
  std::string GoodRtv0() {
    WriteFileBytes(PathIn("p"), RandomBytes(100, 5));
    EXPECT_TRUE(EncryptV0(PathIn("p"), PathIn("e")));
    return ReadFileBytes(PathIn("e"));
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
  const std::string fh = GoodFileHeader();
  const std::string v0 = GoodRtv0();
  // An extra block on a FileHeader file with a matching MD5: a file that grew while
  // an older writer read it. It is read, cut to the plain size, with a warning.
  std::string grown = fh + std::string(16, 'g');
  grown.replace(23, 16, peer::Md5(grown.substr(47)));

  struct Row {
    const char* name;
    std::string bytes;
    bool ok;
    const char* logText;  // expected in the log: the system's text, or a failed check's prefix
  } rows[] = {
      {"file header shorter than its header", fh.substr(0, 46), false, ""},
      {"file header bad magic", enctest::FlipByte(fh, 3), false, "ERROR_CHECK_BOOL:bRet"},
      {"file header version 2", enctest::Patched(fh, 19, std::string("\x02\0\0\0", 4)), false,
       "ERROR_CHECK_BOOLEX:1 == dwVersion"},
      {"file header data size below plain size", enctest::Patched(fh, 43, std::string("\x10\0\0\0", 4)), false,
       "ERROR_CHECK_BOOLEX:dwAesDataSectionSize >= dwOrgFileSizeShouldBe"},
      {"file header partial last block", fh.substr(0, fh.size() - 1), false, "ERROR_CHECK_BOOLEX:"},
      {"file header missing last block", fh.substr(0, fh.size() - 16), false, "ERROR_CHECK_BOOLEX:"},
      {"file header flipped cipher byte", enctest::FlipByte(fh, 60), false,
       "ERROR_CHECK_BOOLEX:0 == memcmp(bufCurrentMd5, bufMD5ShouldBe, _def_K_AES_OLD_MD5LEN)"},
      {"file header flipped digest byte", enctest::FlipByte(fh, 30), false,
       "ERROR_CHECK_BOOLEX:0 == memcmp(bufCurrentMd5, bufMD5ShouldBe, _def_K_AES_OLD_MD5LEN)"},
      {"file header with a grown data section", grown, true, "CHECK_BOOL:"},
      {"rtv0 shorter than its header", v0.substr(0, 63), false, ""},
      {"rtv0 magic in a 30-byte file", v0.substr(0, 30), false, ""},
      {"rtv0 version 2", enctest::Patched(v0, 4, "\x02"), false, "ERROR_CHECK_BOOLEX:0x01 == byteFileVersion"},
      {"rtv0 not enciphered", enctest::Patched(v0, 5, std::string(1, '\0')), false, "*ASSERT*: bEncrypted"},
      {"rtv0 fill 16", enctest::Patched(v0, 40, "\x10"), false,
       "ERROR_CHECK_BOOLEX:(bytePadding >= 0x00 && bytePadding <= 0x0F)"},
      {"rtv0 fill larger than the data", enctest::Patched(v0.substr(0, 64), 40, "\x05"), false, "ERROR_CHECK_BOOLEX:"},
      {"rtv0 partial last block", v0.substr(0, v0.size() - 3), false,
       "ERROR_CHECK_BOOLEX:(dwReadBytes % _def_K_AES_BLOCK_SIZE) == 0"},
      // The RTV0 format carries no digest: a damaged block deciphers to garbage.
      {"rtv0 flipped cipher byte", enctest::FlipByte(v0, 70), true, ""},
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
    if (*r.logText) {
      EXPECT_TRUE(log.Contains(r.logText)) << log.All();
    }
  }
  // The grown file gives exactly its plain size.
  WriteFileBytes(PathIn("bad"), grown);
  int format = 0;
  ASSERT_TRUE(ZAesFile::DecryptFile(U8(m_key), 32, PathIn("bad"), PathIn("out"), &format));
  EXPECT_EQ(ReadFileBytes(PathIn("p")), ReadFileBytes(PathIn("out")));
}

TEST_F(ZAesFileTest, SameFileIsRefusedBeforeAnythingIsTruncated) {
  const std::string plain = RandomBytes(5000, 8);
  WriteFileBytes(PathIn("a"), plain);
  ASSERT_EQ(0, ::link(PathIn("a").c_str(), PathIn("hardlink").c_str()));
  for (const std::string& dst : {PathIn("a"), PathIn("hardlink"), PathIn("./a")}) {
    SCOPED_TRACE(dst);
    EXPECT_FALSE(EncryptFH(PathIn("a"), dst));
    EXPECT_FALSE(EncryptV0(PathIn("a"), dst));
    EXPECT_EQ(plain, ReadFileBytes(PathIn("a")));
  }
  ASSERT_TRUE(EncryptFH(PathIn("a"), PathIn("enc")));
  const std::string enc = ReadFileBytes(PathIn("enc"));
  int format = 0;
  EXPECT_FALSE(ZAesFile::DecryptFile(U8(m_key), 32, PathIn("enc"), PathIn("enc"), &format));
  EXPECT_EQ(enc, ReadFileBytes(PathIn("enc")));
}

// Missing sources, folders, and destinations that cannot be written (/dev/full fails
// every write with ENOSPC): every call fails, and a missing source creates nothing.
TEST_F(ZAesFileTest, FailurePathsFail) {
  WriteFileBytes(PathIn("p"), RandomBytes(70000, 1));
  ASSERT_EQ(0, ::mkdir(PathIn("folder").c_str(), 0700));
  ASSERT_TRUE(EncryptFH(PathIn("p"), PathIn("fh")));
  ASSERT_TRUE(EncryptV0(PathIn("p"), PathIn("v0")));
  const struct { char op; const char* src; std::string dst; const char* logText; } rows[] = {
      {'F', "missing", PathIn("out"), "ERROR_CHECK_BOOLEX:hSrcFile != INVALID_HANDLE_VALUE"},
      {'F', "p", PathIn("folder"), "ERROR_CHECK_BOOLEX:hDestFile != INVALID_HANDLE_VALUE"},
      {'F', "folder", PathIn("out"), ""},
      {'V', "p", PathIn("no/such/out"), ""},
      {'F', "p", "/dev/full", ""},
      {'V', "p", "/dev/full", ""},
      {'D', "fh", "/dev/full", ""},
      {'D', "v0", "/dev/full", ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(1, r.op) + " " + r.src + " -> " + r.dst);
    LogCapture log;
    int format = 0;
    EXPECT_FALSE(r.op == 'F'   ? EncryptFH(PathIn(r.src), r.dst)
                 : r.op == 'V' ? EncryptV0(PathIn(r.src), r.dst)
                               : ZAesFile::DecryptFile(U8(m_key), 32, PathIn(r.src), r.dst, &format));
    EXPECT_TRUE(log.Contains(r.logText)) << log.All();
  }
  EXPECT_FALSE(FileExists(PathIn("out")));
}

// Sparse sources: refused from their size alone, before anything is read.
TEST_F(ZAesFileTest, SourcesTooLargeForTheFormatsAreRefused) {
  enctest::MakeSparseFile(PathIn("huge"), 1ull << 32);
  EXPECT_FALSE(EncryptV0(PathIn("huge"), PathIn("out")));
  EXPECT_FALSE(EncryptFH(PathIn("huge"), PathIn("out")));
  // The FileHeader data size is 32-bit: the plain size must round up within it.
  enctest::MakeSparseFile(PathIn("huge"), 0xFFFFFFF1ull);
  EXPECT_FALSE(EncryptFH(PathIn("huge"), PathIn("out")));
  EXPECT_FALSE(FileExists(PathIn("out")));
}

}  // namespace
