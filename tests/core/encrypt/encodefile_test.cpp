// The file encoding end to end: both encoded forms round-trip, an independent decoder
// (OpenSSL, liblzma, 7zz, xz) reads what we write, we read what an independent writer makes,
// nothing is left behind, and a failed decode never harms an existing file.
#include "core/encrypt/encodefile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "encrypttestutil.h"
#include "support/peercodec.h"
#include "support/filefault.h"
#include "support/logcapture.h"
#include "support/testenv.h"
#include "support/textcodec.h"

namespace {

using enctest::ListFolder;
using enctest::RunOk;

// Digit pairs that differ when swapped, so a wrong digit order cannot pass.
const std::string kKeyText = "1a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f708192a3b4c5d6e7f809";

class EncodeFileTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    ASSERT_EQ(0, ::mkdir(PathIn("src").c_str(), 0700));
    ASSERT_EQ(0, ::mkdir(PathIn("enc").c_str(), 0700));
    ASSERT_EQ(0, ::mkdir(PathIn("dst").c_str(), 0700));
    m_src = PathIn("src/source");
    m_enc = PathIn("enc/encoded");
    m_dst = PathIn("dst/plain");
  }

  // The plain content of an encoded file as the peer codec reads it (OpenSSL, liblzma,
  // 7zz); *packed tells whether it was packed.
  std::string Peer(const std::string& encoded, bool* packed) {
    const peer::Rtv0File v0 = peer::ReadRtv0(encoded, peer::KeyFromText(kKeyText));
    *packed = v0.ok ? (v0.flags & 1) != 0
                    : peer::ReadFileHeader(encoded, peer::KeyFromText(kKeyText)).plain.starts_with("7z\xBC\xAF\x27\x1C");
    std::string plain;
    EXPECT_TRUE(PeerDecode(encoded, kKeyText, Root(), &plain));
    return plain;
  }

  HRESULT EncodeUfa(const std::string& name, const std::string& src, const std::string& dst, uint32_t orgSize,
                    const std::string& sha1Text, FileEnv* env = FileEnv::Default()) {
    return EncodeFile_UFA(orgSize, name, sha1Text, src, dst, kKeyText, "0000000000000000", env);
  }

  // The three folders hold their one file each and nothing else (no temp file).
  void ExpectOnlyTheFiles(const char* dst = "plain") {
    EXPECT_EQ((std::set<std::string>{"source"}), ListFolder(PathIn("src")));
    EXPECT_EQ((std::set<std::string>{"encoded"}), ListFolder(PathIn("enc")));
    EXPECT_EQ(*dst ? std::set<std::string>{dst} : std::set<std::string>{}, ListFolder(PathIn("dst")));
  }

  std::string m_src, m_enc, m_dst;
};

// Both encoded forms, for sizes around the cipher block and the 64 KiB chunk, on text and random
// data: checked by the independent decoder and by our own. Every path refuses what
// outgrows the output cap, and none logs the file key.
TEST_F(EncodeFileTest, RoundTripsCheckedByIndependentDecoder) {
  const uint64_t sizes[] = {0, 1, 15, 16, 17, 65535, 65536, 65537, 3 * 65536 + 1};
  LogCapture log;
  for (uint64_t n : sizes) {
    for (bool text : {true, false}) {
      const uint32_t seed = static_cast<uint32_t>(n);
      const std::string data = text ? enctest::TextBytes(n, seed) : RandomBytes(n, seed);
      const std::string name = text ? "notes.txt" : "data.bin";
      WriteFileBytes(m_src, data);
      const bool expectPacked = n >= 1024;
      for (bool rtv0 : {false, true}) {
        SCOPED_TRACE(std::to_string(n) + (text ? " text" : " random") + (rtv0 ? " rtv0" : " fileheader"));
        HRESULT hr = rtv0 ? EncodeUfa(name, m_src, m_enc, static_cast<uint32_t>(n), HexEncode(peer::Sha1(data)))
                          : EncodeFile(name, m_src, m_enc, kKeyText, false);
        ASSERT_EQ(S_OK, hr);
        bool packed = false;
        EXPECT_EQ(data, Peer(ReadFileBytes(m_enc), &packed));
        EXPECT_EQ(expectPacked, packed);
        if (n > 0) {
          WriteFileBytes(m_dst, "old");
          EXPECT_EQ(E_FAIL, DecodeFile(m_enc, m_dst, kKeyText, n - 1));
          EXPECT_EQ("old", ReadFileBytes(m_dst));
        }
        ASSERT_EQ(S_OK, DecodeFile(m_enc, m_dst, kKeyText, n));
        EXPECT_EQ(data, ReadFileBytes(m_dst));
        ExpectOnlyTheFiles();
      }
    }
  }
  EXPECT_FALSE(log.Contains(kKeyText));
  EXPECT_FALSE(log.Contains(HexEncode(peer::KeyFromText(kKeyText))));
}

// The header carries the caller's size, SHA-1 and hint; a decoded block that differs
// from them is only a warning (other writers may fill them differently).
TEST_F(EncodeFileTest, Rtv0HeaderCarriesSizeSha1AndHintAndAMismatchIsOnlyAWarning) {
  const std::string data = enctest::TextBytes(5000, 3);
  WriteFileBytes(m_src, data);
  const std::string sha1 = peer::Sha1(data);
  ASSERT_EQ(S_OK, EncodeFile_UFA(5000, "block", HexEncode(sha1), m_src, m_enc, kKeyText, "0102030405060708"));
  peer::Rtv0File r = peer::ReadRtv0(ReadFileBytes(m_enc), peer::KeyFromText(kKeyText));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(5000u, r.plainSize);
  EXPECT_EQ(sha1, r.sha1);
  EXPECT_EQ(std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8), r.hint);
  EXPECT_EQ(3, r.flags);
  for (bool matching : {true, false}) {
    if (!matching) {
      ASSERT_EQ(S_OK, EncodeUfa("block", m_src, m_enc, 4999, std::string(40, 'e')));
    }
    LogCapture log;
    ASSERT_EQ(S_OK, DecodeFile(m_enc, m_dst, kKeyText));
    EXPECT_EQ(data, ReadFileBytes(m_dst));
    EXPECT_EQ(!matching, log.Contains("CHECK_BOOL:bRtv0HeaderMatchesMSG:")) << log.All();
  }
}

TEST_F(EncodeFileTest, PolicyDecidesAndNoCompressStoresAsIs) {
  const std::string data = RandomBytes(70000, 5);
  WriteFileBytes(m_src, data);
  const struct { const char* name; bool noCompress, packed; } rows[] = {
      {"photo.jpg", false, false}, {"photo.txt", false, true}, {"photo.txt", true, false}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ASSERT_EQ(S_OK, EncodeFile(r.name, m_src, m_enc, kKeyText, r.noCompress));
    bool packed = !r.packed;
    EXPECT_EQ(data, Peer(ReadFileBytes(m_enc), &packed));
    EXPECT_EQ(r.packed, packed);
    ASSERT_EQ(S_OK, EncodeUfa(r.name, m_src, m_enc, 70000, ""));
    EXPECT_EQ(data, Peer(ReadFileBytes(m_enc), &packed));
    EXPECT_EQ(r.name == std::string("photo.txt"), packed) << "the block format has no way to skip the policy";
    ASSERT_EQ(S_OK, DecodeFile(m_enc, m_dst, kKeyText));
    EXPECT_EQ(data, ReadFileBytes(m_dst));
  }
}

// A small 7z archive is packed all the same (with noCompress too), so that decoding,
// which unwraps one 7z layer, gives back the archive and not its content.
TEST_F(EncodeFileTest, SmallSevenZipArchivesRoundTripAsThemselves) {
  WriteFileBytes(PathIn("src/inner.txt"), "inner content");
  RunOk("cd " + PathIn("src") + " && 7zz a -bd " + PathIn("src/small.7z") + " inner.txt");
  const std::string small = ReadFileBytes(PathIn("src/small.7z"));
  ASSERT_LT(small.size(), 1024u);
  // An archive with no entry: the start header's CRC is that of its 20 zero bytes.
  std::string emptyArchive = std::string("7z\xBC\xAF\x27\x1C\x00\x04\x8d\x9b\xd5\x0f", 12) + std::string(20, '\0');
  for (const std::string& archive : {small, emptyArchive}) {
    WriteFileBytes(m_src, archive);
    for (int mode = 0; mode < 3; ++mode) {
      SCOPED_TRACE(std::to_string(archive.size()) + " mode " + std::to_string(mode));
      HRESULT hr = mode == 2 ? EncodeUfa("small.7z", m_src, m_enc, 0, "")
                             : EncodeFile("small.7z", m_src, m_enc, kKeyText, mode == 1);
      ASSERT_EQ(S_OK, hr);
      ASSERT_EQ(S_OK, DecodeFile(m_enc, m_dst, kKeyText));
      EXPECT_EQ(archive, ReadFileBytes(m_dst));
    }
  }
}

// Files another client wrote (an independent writer: a FileHeader file with a plain or a
// 7z content, an RTV0 block packed by xz) decode. A failed decode leaves an existing
// destination as it was and nothing beside either file; the failure is logged with its
// message.
TEST_F(EncodeFileTest, IndependentWritersFilesDecodeAndAFailedDecodeKeepsTheDestination) {
  const std::string key = peer::KeyFromText(kKeyText);
  const std::string data = enctest::TextBytes(30000, 7), sha1 = peer::Sha1(data);
  WriteFileBytes(m_src, data);
  RunOk("cd " + PathIn("src") + " && 7zz a -bd " + PathIn("doc.7z") + " source");
  RunOk("xz --format=lzma -c " + m_src + " > " + PathIn("doc.lzma"));
  ASSERT_EQ(S_OK, EncodeFile("a.txt", m_src, m_enc, kKeyText, false));
  const std::string good = ReadFileBytes(m_enc);
  ASSERT_EQ(S_OK, EncodeUfa("a.txt", m_src, m_enc, 30000, ""));
  const std::string goodV0 = ReadFileBytes(m_enc);
  // A 7z container whose stream is damaged, enciphered correctly; an LZMA stream cut short.
  peer::FileHeaderFile inner = peer::ReadFileHeader(good, key);
  ASSERT_TRUE(inner.ok);
  const std::string badContainer = peer::WriteFileHeader(enctest::FlipByte(inner.plain, 40), key);
  peer::Rtv0File innerV0 = peer::ReadRtv0(goodV0, key);
  const std::string badLzma =
      peer::WriteRtv0(innerV0.plain.substr(0, innerV0.plain.size() - 20), key, true, 30000, sha1);
  // message: "" for a file that decodes.
  struct Row { const char* name; std::string file; std::string key; const char* message; } rows[] = {
      {"file header, plain", peer::WriteFileHeader(data, key), kKeyText, ""},
      {"file header, 7z", peer::WriteFileHeader(ReadFileBytes(PathIn("doc.7z")), key), kKeyText, ""},
      {"rtv0, plain", peer::WriteRtv0(data, key, false, 30000, sha1), kKeyText, ""},
      {"rtv0, lzma", peer::WriteRtv0(ReadFileBytes(PathIn("doc.lzma")), key, true, 30000, sha1), kKeyText, ""},
      {"neither format", enctest::TextBytes(3000, 8), kKeyText, "DecryptFile File Failded!"},
      {"damaged cipher text", enctest::FlipByte(good, 100), kKeyText, "DecryptFile File Failded!"},
      {"damaged container", badContainer, kKeyText, "UnCompress File Failded!"},
      {"truncated lzma", badLzma, kKeyText, "UnCompress File Failded!"},
      {"wrong key, packed block", goodV0, std::string(64, '7'), "UnCompress File Failded!"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const bool decodes = !*r.message;
    WriteFileBytes(m_enc, r.file);
    WriteFileBytes(m_dst, "precious old content");
    LogCapture log;
    EXPECT_EQ(decodes ? S_OK : E_FAIL, DecodeFile(m_enc, m_dst, r.key));
    EXPECT_EQ(decodes ? data : "precious old content", ReadFileBytes(m_dst));
    EXPECT_TRUE(decodes ? !log.Contains("bRtv0HeaderMatches")
                        : log.Contains(std::string("ERROR_CHECK_BOOLEX:bRet--MSG:") + r.message))
        << log.All();
    EXPECT_FALSE(log.Contains(kKeyText));
    ExpectOnlyTheFiles();
  }
  EXPECT_EQ(E_FAIL, DecodeFile(PathIn("enc/missing"), m_dst, kKeyText));
}

// Content another writer stored as it is although it begins with the 7z signature (no
// archive follows) decodes to itself. A deciphered file that cannot be read to tell
// whether it is an archive fails the decode, and an existing destination stays: also an
// archive that can be read no further than its start header.
TEST_F(EncodeFileTest, ContentThatOnlyBeginsWithThe7zSignatureDecodesToItself) {
  const std::string key = peer::KeyFromText(kKeyText);
  const std::string signature("7z\xBC\xAF\x27\x1C", 6);
  const std::string text = enctest::TextBytes(3000, 14);
  struct Row { const char* name; std::string plain; } rows[] = {
      {"the signature and text", signature + text},
      {"the signature alone", signature},
      {"a start header whose CRC is wrong", signature + std::string(26, '\0') + text},
      {"the signature and random bytes", signature + RandomBytes(70000, 3)},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    WriteFileBytes(m_enc, peer::WriteFileHeader(r.plain, key));
    WriteFileBytes(m_dst, "old plain");
    EXPECT_EQ(S_OK, DecodeFile(m_enc, m_dst, kKeyText));
    EXPECT_TRUE(ReadFileBytes(m_dst) == r.plain);
  }
  WriteFileBytes(m_src, text);
  ASSERT_EQ(S_OK, EncodeFile("a.txt", m_src, PathIn("enc/archive"), kKeyText, false));
  // skip: reads of the deciphered file that go through before the rest fail.
  struct Failing { const char* name; std::string file; int skip; } failing[] = {
      {"the signature and text, not read", peer::WriteFileHeader(signature + text, key), 0},
      {"an archive, not read", ReadFileBytes(PathIn("enc/archive")), 0},
      {"an archive, read as far as its start header", ReadFileBytes(PathIn("enc/archive")), 1},
  };
  ::unlink(PathIn("enc/archive").c_str());
  for (const Failing& f : failing) {
    SCOPED_TRACE(f.name);
    WriteFileBytes(m_enc, f.file);
    WriteFileBytes(m_dst, "old plain");
    FaultFileEnv env;
    env.Fail(FileOp::kRead, PathIn("enc/{"), EIO, f.skip);
    LogCapture log;
    EXPECT_EQ(E_FAIL, DecodeFile(m_enc, m_dst, kKeyText, kDecodeDefaultCap, &env));
    EXPECT_GT(env.Injected(), 0);
    EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOLEX:bRet--MSG:UnCompress File Failded!")) << log.All();
    EXPECT_EQ("old plain", ReadFileBytes(m_dst));
    ExpectOnlyTheFiles();
  }
}

TEST_F(EncodeFileTest, RefusedEncodingsLeaveNothingBehind) {
  const std::string data = enctest::TextBytes(5000, 10);
  WriteFileBytes(m_src, data);
  WriteFileBytes(m_enc, "earlier encoded file");
  // Same file as source and destination: refused, the source untouched.
  EXPECT_EQ(E_FAIL, EncodeFile("a.txt", m_src, m_src, kKeyText, false));
  EXPECT_EQ(E_FAIL, EncodeUfa("a.txt", m_src, m_src, 5000, ""));
  EXPECT_EQ(data, ReadFileBytes(m_src));
  // A destination in a missing folder, a folder as destination.
  EXPECT_EQ(E_FAIL, EncodeFile("a.txt", m_src, PathIn("none/out"), kKeyText, false));
  EXPECT_EQ(E_FAIL, EncodeUfa("a.txt", m_src, PathIn("none/out"), 5000, ""));
  EXPECT_EQ(E_FAIL, EncodeFile("a.txt", m_src, PathIn("dst"), kKeyText, false));
  // A missing source is the size read's failure; sources of 4 GiB are refused.
  EXPECT_TRUE(FAILED(EncodeFile("a.txt", PathIn("src/missing"), m_enc, kKeyText, false)));
  EXPECT_TRUE(FAILED(EncodeUfa("a.txt", PathIn("src/missing"), m_enc, 5000, "")));
  enctest::MakeSparseFile(PathIn("src/huge"), 1ull << 32);
  LogCapture log;
  EXPECT_EQ(E_FAIL, EncodeFile("a.bin", PathIn("src/huge"), m_enc, kKeyText, false));
  EXPECT_EQ(E_FAIL, EncodeFile("a.jpg", PathIn("src/huge"), m_enc, kKeyText, true));
  EXPECT_EQ(E_FAIL, EncodeUfa("a.bin", PathIn("src/huge"), m_enc, 0, ""));
  EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOLEX:qwSrcFileSize < 4 GiB"));
  ::unlink(PathIn("src/huge").c_str());
  ExpectOnlyTheFiles("");
  EXPECT_EQ("earlier encoded file", ReadFileBytes(m_enc));
}

// Calls of the file system made to fail in one folder: the call fails, an earlier
// destination stays as it was, and no temporary file remains.
TEST_F(EncodeFileTest, InjectedFileFailures) {
  const std::string data = enctest::TextBytes(30000, 12);
  WriteFileBytes(m_src, data);
  // call: 0 EncodeFile, 1 EncodeFile_UFA, 2 DecodeFile of a FileHeader file, 3 of an RTV0 file;
  // pathPart: below the test's root; message: expected in the log.
  struct { const char* name; int call; FileOp op; const char* pathPart; const char* message; } rows[] = {
      {"source not read", 0, FileOp::kRead, "src/", ""},
      {"packed copy not written", 0, FileOp::kWrite, "src/", ""},
      {"lzma copy not written", 1, FileOp::kWrite, "src/", ""},
      {"encoded file not created", 1, FileOp::kOpen, "enc/", ""},
      {"encoded file not written", 0, FileOp::kWrite, "enc/", ""},
      {"encoded block not written", 1, FileOp::kWrite, "enc/", ""},
      {"encoded file not synced", 0, FileOp::kSync, "enc/", ""},
      {"encoded file not renamed", 1, FileOp::kRename, "enc/", ""},
      {"encoded file not read", 3, FileOp::kRead, "enc/", "DecryptFile File Failded!"},
      {"deciphered file not written", 2, FileOp::kWrite, "enc/", "DecryptFile File Failded!"},
      {"deciphered file not read", 2, FileOp::kRead, "enc/{", "UnCompress File Failded!"},
      {"unpacked file not created", 2, FileOp::kOpen, "dst/", "UnCompress File Failded!"},
      {"unpacked file not written", 2, FileOp::kWrite, "dst/", "UnCompress File Failded!"},
      {"unpacked block not written", 3, FileOp::kWrite, "dst/", "UnCompress File Failded!"},
      {"plain file not synced", 3, FileOp::kSync, "dst/", ""},
      {"plain file not renamed", 2, FileOp::kRename, "dst/", ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ASSERT_EQ(S_OK, r.call == 3 ? EncodeUfa("a.txt", m_src, m_enc, 30000, "")
                                : EncodeFile("a.txt", m_src, m_enc, kKeyText, false));
    const std::string encoded = ReadFileBytes(m_enc);
    WriteFileBytes(m_dst, "old plain");
    FaultFileEnv env;
    env.Fail(r.op, PathIn(r.pathPart), EIO);
    LogCapture log;
    HRESULT hr = r.call == 0   ? EncodeFile("a.txt", m_src, m_enc, kKeyText, false, &env)
                 : r.call == 1 ? EncodeUfa("a.txt", m_src, m_enc, 30000, "", &env)
                               : DecodeFile(m_enc, m_dst, kKeyText, kDecodeDefaultCap, &env);
    EXPECT_EQ(E_FAIL, hr);
    EXPECT_GT(env.Injected(), 0);
    EXPECT_TRUE(log.Contains(r.message)) << log.All();  // "" asks only that something was logged
    EXPECT_EQ(encoded, ReadFileBytes(m_enc));
    EXPECT_EQ("old plain", ReadFileBytes(m_dst));
    ExpectOnlyTheFiles();
  }
}

}  // namespace
