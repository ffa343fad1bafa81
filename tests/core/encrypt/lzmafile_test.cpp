// Raw LZMA files: what we write is read by xz, what xz writes is read by us, and
// damaged or hostile headers and streams fail without harm.
#include "core/encrypt/lzmafile.h"

#include <string>

#include "core/encrypt/lzmacoder.h"
#include "encrypttestutil.h"
#include "support/testenv.h"

namespace {

using enctest::RunOk;

class LzmaFileTest : public OstrelTest {
 protected:
  // Packs bytes with LzmaPackFile into "packed" and returns the packed file.
  std::string Pack(const std::string& plain) {
    WriteFileBytes(PathIn("plain"), plain);
    EXPECT_TRUE(LzmaPackFile(PathIn("plain"), PathIn("packed")));
    return ReadFileBytes(PathIn("packed"));
  }
  // Unpacks bytes; true with *out on success.
  bool Unpack(const std::string& packed, std::string* out, uint64_t cap = kLzmaDefaultOutputCap) {
    WriteFileBytes(PathIn("in.lzma"), packed);
    if (!LzmaUnpackFile(PathIn("in.lzma"), PathIn("out"), cap)) return false;
    *out = ReadFileBytes(PathIn("out"));
    return true;
  }
  // The LZMA-Alone file xz makes of plain: the size unknown (all ones), an end marker.
  std::string XzPack(const std::string& plain, const std::string& options = "") {
    WriteFileBytes(PathIn("plain"), plain);
    RunOk("xz --format=lzma " + options + " -c " + PathIn("plain") + " > " + PathIn("xz.lzma"));
    return ReadFileBytes(PathIn("xz.lzma"));
  }
};

std::string Le64(uint64_t v) {
  std::string s;
  for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
  return s;
}

// Each way: xz reads what we write (the default properties, a 16 MiB dictionary and the
// size), and we read what xz writes (the size unknown, all ones, and an end marker).
TEST_F(LzmaFileTest, RoundTripsAndXzReadsOurFilesAndWeReadXzs) {
  struct { const char* name; std::string data; const char* xzOptions; } rows[] = {
      {"empty", "", ""},
      {"one byte", "x", ""},
      {"1 MiB + 1 random", RandomBytes((1 << 20) + 1, 4), ""},
      {"text", enctest::TextBytes(300000, 6), ""},
      {"64 MiB dictionary", enctest::TextBytes(100000, 8), "--lzma1=preset=9"},
      {"other lc/lp/pb", enctest::TextBytes(100000, 9), "--lzma1=lc=0,lp=2,pb=0,dict=1MiB"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    std::string packed = Pack(r.data);
    EXPECT_EQ(std::string("\x5D\x00\x00\x00\x01", 5) + Le64(r.data.size()), packed.substr(0, 13));
    std::string out;
    ASSERT_TRUE(Unpack(packed, &out));
    EXPECT_EQ(r.data, out);
    RunOk("xz -dc --format=lzma " + PathIn("packed") + " > " + PathIn("xz.out"));
    EXPECT_EQ(r.data, ReadFileBytes(PathIn("xz.out")));

    std::string xzFile = XzPack(r.data, r.xzOptions);
    ASSERT_EQ(Le64(kLzmaUnknownSize), xzFile.substr(5, 8));
    ASSERT_TRUE(Unpack(xzFile, &out));
    EXPECT_EQ(r.data, out);
  }
}

TEST_F(LzmaFileTest, DamagedAndHostileFilesFail) {
  const std::string data = enctest::TextBytes(200000, 10);
  const std::string good = Pack(data);
  const std::string marked = XzPack(data);

  struct { const char* name; std::string bytes; } rows[] = {
      {"empty file", ""},
      {"12 bytes", good.substr(0, 12)},
      {"header only", good.substr(0, 13)},
      {"truncated stream", good.substr(0, good.size() - 10)},
      {"truncated end marker", marked.substr(0, marked.size() - 2)},
      {"flipped stream byte", enctest::FlipByte(good, good.size() / 2)},
      {"size one larger", enctest::Patched(good, 5, Le64(data.size() + 1))},
      {"size one smaller", enctest::Patched(good, 5, Le64(data.size() - 1))},
      {"unknown size without end marker", enctest::Patched(good, 5, Le64(kLzmaUnknownSize))},
      {"properties byte 0xFF", enctest::Patched(good, 0, "\xFF")},
      {"known size above the cap", enctest::Patched(good, 5, Le64(1ull << 40))},
  };
  for (const auto& r : rows) {
    std::string out;
    EXPECT_FALSE(Unpack(r.bytes, &out)) << r.name;
  }
}

// The output is cut off at the cap, also where no size is stated. A header may claim
// any dictionary; the decoder allocates only what the output can need, and refuses what
// it would have to hold in full.
TEST_F(LzmaFileTest, OutputCapAndTheDictionaryFromTheHeader) {
  const std::string data = enctest::TextBytes(50000, 11);
  const std::string good = Pack(data), marked = XzPack(data);
  std::string out;
  EXPECT_FALSE(Unpack(good, &out, data.size() - 1));
  EXPECT_FALSE(Unpack(marked, &out, data.size() - 1));
  ASSERT_TRUE(Unpack(good, &out, data.size()));
  EXPECT_EQ(data, out);
  ASSERT_TRUE(Unpack(marked, &out, data.size()));
  EXPECT_EQ(data, out);

  const std::string huge = enctest::Patched(good, 1, "\xFF\xFF\xFF\xFF");
  LzmaResetLargestAllocation();
  ASSERT_TRUE(Unpack(huge, &out)) << "a known size bounds the dictionary";
  EXPECT_EQ(data, out);
  EXPECT_LT(LzmaLargestAllocation(), 1u << 20);

  const std::string unknownHuge = enctest::Patched(marked, 1, "\xFF\xFF\xFF\xFF");
  LzmaResetLargestAllocation();
  EXPECT_FALSE(Unpack(unknownHuge, &out)) << "unknown size, 4 GiB dictionary";
  EXPECT_LT(LzmaLargestAllocation(), 1u << 20) << "refused before allocating";

  LzmaResetLargestAllocation();
  ASSERT_TRUE(Unpack(unknownHuge, &out, 60000)) << "an output cap bounds the dictionary";
  EXPECT_EQ(data, out);
  EXPECT_LE(LzmaLargestAllocation(), 60001u + 4096);
}

// Missing sources, destinations that cannot be written and the source as destination
// fail; nothing is truncated and a missing source creates nothing.
TEST_F(LzmaFileTest, FileFailures) {
  const std::string data = enctest::TextBytes(5000, 13);
  WriteFileBytes(PathIn("plain"), data);
  ASSERT_TRUE(LzmaPackFile(PathIn("plain"), PathIn("good.lzma")));
  const std::string packed = ReadFileBytes(PathIn("good.lzma"));
  const struct { bool pack; const char* src; std::string dst; } rows[] = {
      {true, "missing", PathIn("out")},  {true, "plain", PathIn("plain")},           {true, "plain", "/dev/full"},
      {true, "plain", PathIn("no/out")}, {false, "good.lzma", PathIn("good.lzma")}, {false, "good.lzma", "/dev/full"},
      {false, "missing", PathIn("out")},
  };
  for (const auto& r : rows) {
    EXPECT_FALSE(r.pack ? LzmaPackFile(PathIn(r.src), r.dst) : LzmaUnpackFile(PathIn(r.src), r.dst))
        << r.src << " -> " << r.dst;
  }
  EXPECT_EQ(data, ReadFileBytes(PathIn("plain")));
  EXPECT_EQ(packed, ReadFileBytes(PathIn("good.lzma")));
  EXPECT_FALSE(FileExists(PathIn("out")));
}

}  // namespace
