// The two encrypted-file formats, read back by an independent decoder built on OpenSSL,
// and every way a damaged or hostile file is refused.
#include "core/encrypt/zaesfile.h"

#include <unistd.h>

#include <string>
#include <vector>

#include "encrypttestutil.h"
#include "peerdecoder.h"
#include "support/logcapture.h"
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
  for (uint64_t n : kSizes) {
    SCOPED_TRACE(n);
    std::string plain = RandomBytes(n, static_cast<uint32_t>(n) + 1);
    WriteFileBytes(PathIn("plain"), plain);
    ASSERT_TRUE(EncryptFH(PathIn("plain"), PathIn("enc")));
    std::string file = ReadFileBytes(PathIn("enc"));
    const uint64_t data = (n + 15) / 16 * 16;
    ASSERT_EQ(47 + data, file.size());

    peer::FileHeaderFile r = peer::ReadFileHeader(file, m_key);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(1u, r.version);
    EXPECT_EQ(n, r.plainSize);
    EXPECT_EQ(data, r.dataSize);
    EXPECT_EQ(r.actualMd5, r.storedMd5);
    EXPECT_EQ(plain, r.plain);
    // The cipher text is plain ECB of the zero-filled input.
    std::string filled = plain + std::string(data - n, '\0');
    EXPECT_EQ(peer::AesEcb(m_key, filled, true), file.substr(47));

    int format = -1;
    ASSERT_TRUE(ZAesFile::DecryptFile(U8(m_key), 32, PathIn("enc"), PathIn("back"), &format));
    EXPECT_EQ(ZAesFile::kDecryptedFileHeader, format);
    EXPECT_EQ(plain, ReadFileBytes(PathIn("back")));
  }
}

TEST_F(ZAesFileTest, FileHeaderWithShorterKeys) {
  std::string plain = RandomBytes(1000, 3);
  WriteFileBytes(PathIn("plain"), plain);
  for (size_t len : {16u, 24u}) {
    std::string key = RandomBytes(len, static_cast<uint32_t>(len));
    ASSERT_TRUE(ZAesFile::EncryptFile(U8(key), len, PathIn("plain"), PathIn("enc")));
    peer::FileHeaderFile r = peer::ReadFileHeader(ReadFileBytes(PathIn("enc")), key);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(plain, r.plain);
    ASSERT_TRUE(ZAesFile::DecryptFileV1(U8(key), len, PathIn("enc"), PathIn("back")));
    EXPECT_EQ(plain, ReadFileBytes(PathIn("back")));
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

TEST_F(ZAesFileTest, GetFileFormatProbesBothMagics) {
  struct Row {
    const char* name;
    std::string bytes;
    bool ok;
    int format;
  } rows[] = {
      {"file header", "Tarvelin_FileHeader" + std::string(40, 'x'), true, ZAesFile::kFormatFileHeader},
      {"exactly the magic", "Tarvelin_FileHeader", true, ZAesFile::kFormatFileHeader},
      {"rtv0", "RTV0" + std::string(80, '\0'), true, ZAesFile::kFormatRtv0},
      {"short rtv0 is probed for RTV0 only", "RTV0abcdef", true, ZAesFile::kFormatRtv0},
      {"cut file header magic", "Tarvelin_FileHead", false, 0},
      {"empty", "", false, 0},
      {"other", "PK\x03\x04 some zip", false, 0},
  };
  for (const auto& r : rows) {
    WriteFileBytes(PathIn("f"), r.bytes);
    int format = 99;
    EXPECT_EQ(r.ok, ZAesFile::GetFileFormat(PathIn("f"), &format)) << r.name;
    if (r.ok) {
      EXPECT_EQ(r.format, format) << r.name;
    }
  }
  int format = 99;
  EXPECT_FALSE(ZAesFile::GetFileFormat(PathIn("missing"), &format));
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
    const char* logText;  // a line expected in the log, or ""
  } rows[] = {
      {"file header shorter than its header", fh.substr(0, 46), false, ""},
      {"file header bad magic", enctest::FlipByte(fh, 3), false, "ERROR_CHECK_BOOL:bRet"},
      {"file header version 2", enctest::Patched(fh, 19, std::string("\x02\0\0\0", 4)), false,
       "ERROR_CHECK_BOOLEX:1 == dwVersion"},
      {"file header data size below plain size", enctest::Patched(fh, 43, std::string("\x10\0\0\0", 4)), false,
       "ERROR_CHECK_BOOLEX:dwAesDataSectionSize >= dwOrgFileSizeShouldBe"},
      {"file header partial last block", fh.substr(0, fh.size() - 1), false,
       "ERROR_CHECK_BOOLEX:(qwCipherBytes % _def_K_AES_BLOCK_SIZE) == 0"},
      {"file header missing last block", fh.substr(0, fh.size() - 16), false,
       "ERROR_CHECK_BOOLEX:qwCipherBytes >= dwOrgFileSizeShouldBe"},
      {"file header flipped cipher byte", enctest::FlipByte(fh, 60), false,
       "ERROR_CHECK_BOOLEX:0 == memcmp(bufCurrentMd5, bufMD5ShouldBe, _def_K_AES_OLD_MD5LEN)"},
      {"file header flipped digest byte", enctest::FlipByte(fh, 30), false,
       "ERROR_CHECK_BOOLEX:0 == memcmp(bufCurrentMd5, bufMD5ShouldBe, _def_K_AES_OLD_MD5LEN)"},
      {"file header with a grown data section", grown, true, "CHECK_BOOL:qwCipherBytes == dwAesDataSectionSize"},
      {"rtv0 shorter than its header", v0.substr(0, 63), false, ""},
      {"rtv0 magic in a 30-byte file", v0.substr(0, 30), false, ""},
      {"rtv0 version 2", enctest::Patched(v0, 4, "\x02"), false, "ERROR_CHECK_BOOLEX:0x01 == byteFileVersion"},
      {"rtv0 not enciphered", enctest::Patched(v0, 5, std::string(1, '\0')), false, "*ASSERT*: bEncrypted"},
      {"rtv0 fill 16", enctest::Patched(v0, 40, "\x10"), false,
       "ERROR_CHECK_BOOLEX:(bytePadding >= 0x00 && bytePadding <= 0x0F)"},
      {"rtv0 fill larger than the data", enctest::Patched(v0.substr(0, 64), 40, "\x05"), false,
       "ERROR_CHECK_BOOLEX:bytePadding <= qwCipherBytes"},
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

TEST_F(ZAesFileTest, WrongKeyIsNotDetected) {
  GoodFileHeader();
  std::string other = RandomBytes(32, 99);
  ASSERT_TRUE(ZAesFile::DecryptFileV1(U8(other), 32, PathIn("e"), PathIn("out")));
  EXPECT_EQ(100u, ReadFileBytes(PathIn("out")).size());
  EXPECT_NE(ReadFileBytes(PathIn("p")), ReadFileBytes(PathIn("out")));
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

TEST_F(ZAesFileTest, MissingSourceAndUnwritableDestinationFail) {
  WriteFileBytes(PathIn("p"), "some plain text");
  LogCapture log;
  EXPECT_FALSE(EncryptFH(PathIn("missing"), PathIn("out")));
  EXPECT_FALSE(FileExists(PathIn("out"))) << "nothing is created for a missing source";
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOLEX:hSrcFile != INVALID_HANDLE_VALUE"));
  // A folder as destination, a folder as source, a destination in a missing folder.
  ASSERT_EQ(0, ::mkdir(PathIn("folder").c_str(), 0700));
  EXPECT_FALSE(EncryptFH(PathIn("p"), PathIn("folder")));
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOLEX:hDestFile != INVALID_HANDLE_VALUE"));
  EXPECT_FALSE(EncryptV0(PathIn("p"), PathIn("no/such/out")));
  EXPECT_FALSE(EncryptFH(PathIn("folder"), PathIn("out")));
}

// /dev/full fails every write with ENOSPC: no writer may report success.
TEST_F(ZAesFileTest, WriteFailuresFail) {
  WriteFileBytes(PathIn("p"), RandomBytes(70000, 1));
  EXPECT_FALSE(EncryptFH(PathIn("p"), "/dev/full"));
  EXPECT_FALSE(EncryptV0(PathIn("p"), "/dev/full"));
  ASSERT_TRUE(EncryptFH(PathIn("p"), PathIn("fh")));
  ASSERT_TRUE(EncryptV0(PathIn("p"), PathIn("v0")));
  int format = 0;
  EXPECT_FALSE(ZAesFile::DecryptFile(U8(m_key), 32, PathIn("fh"), "/dev/full", &format));
  EXPECT_FALSE(ZAesFile::DecryptFile(U8(m_key), 32, PathIn("v0"), "/dev/full", &format));
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
