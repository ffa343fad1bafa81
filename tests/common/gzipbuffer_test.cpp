// Inflation of gzip and zlib streams made by the gzip program and by zlib: payloads
// of every size through small and large windows, the output cap, and damaged and
// truncated input.
#include "common/gzipbuffer.h"

#include <zlib.h>

#include <string>

#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

class GzipBufferTest : public OstrelTest {
 protected:
  // The gzip program's output for a payload.
  std::string GzipProgram(const std::string& payload, const std::string& level = "-6") {
    const std::string path = PathIn("payload");
    WriteFileBytes(path, payload);
    std::string out;
    EXPECT_EQ(0, RunCommand("gzip -c -n " + level + " " + ShellQuote(path), &out));
    return out;
  }

  // zlib's deflate with the given window bits (15: zlib wrapper, 31: gzip, -15: raw).
  static std::string Deflate(const std::string& payload, int windowBits, int level = Z_DEFAULT_COMPRESSION) {
    z_stream zs{};
    EXPECT_EQ(Z_OK, deflateInit2(&zs, level, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY));
    std::string out(deflateBound(&zs, payload.size()), '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(payload.data()));
    zs.avail_in = static_cast<uInt>(payload.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(Z_STREAM_END, deflate(&zs, Z_FINISH));
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
  }

  static bool Inflate(const std::string& in, std::string* out, size_t window = 1024,
                      size_t cap = GzipBuffer::kDefaultMaxOutput) {
    GzipBuffer buffer(window);
    return buffer.Inflate(in.data(), in.size(), out, cap);
  }
};

TEST_F(GzipBufferTest, StreamsOfTheGzipProgramAndOfZlib) {
  const std::string payloads[] = {
      "",
      "hello, world\n",
      RandomBytes(1000000, 11),  // incompressible: many window refills
      std::string(3000000, 'x') + RandomBytes(1000, 2),
  };
  for (const auto& payload : payloads) {
    struct Source { const char* name; std::string stream; } sources[] = {
        {"gzip -1", GzipProgram(payload, "-1")},
        {"zlib wrapper", Deflate(payload, 15)},
        {"zlib gzip wrapper", Deflate(payload, 31, 9)},
    };
    for (const auto& s : sources) {
      for (size_t window : {size_t(1), size_t(1024), size_t(65536)}) {
        if (window == 1 && payload.size() > 100000) continue;  // slow, nothing new
        std::string out = "stale";
        ASSERT_TRUE(Inflate(s.stream, &out, window)) << s.name << ", " << payload.size() << " bytes";
        ASSERT_EQ(payload.size(), out.size()) << s.name;
        ASSERT_TRUE(payload == out) << s.name << ", window " << window;
      }
    }
  }
}

TEST_F(GzipBufferTest, OutputCap) {
  const std::string zeros(50000000, '\0');
  const std::string stream = Deflate(zeros, 31, 1);
  ASSERT_LT(stream.size(), size_t(1) << 20);
  std::string out;
  struct Row {
    size_t cap;
    bool ok;
  } rows[] = {{zeros.size(), true}, {zeros.size() - 1, false}, {size_t(1) << 20, false}, {0, false}};
  for (const auto& r : rows) {
    out.clear();
    EXPECT_EQ(r.ok, Inflate(stream, &out, 65536, r.cap)) << r.cap;
    EXPECT_EQ(r.ok ? zeros.size() : r.cap, out.size()) << r.cap;  // filled up to the cap
    EXPECT_EQ(out.find_first_not_of('\0'), std::string::npos);
  }
  // An empty payload fits a cap of 0.
  EXPECT_TRUE(Inflate(Deflate("", 15), &out, 1024, 0));
}

TEST_F(GzipBufferTest, TruncatedStreamsFailAndKeepWhatWasInflated) {
  LogCapture cap;
  const std::string payload = "The quick brown fox jumps over the lazy dog, again and again.";
  for (const std::string& stream : {GzipProgram(payload), Deflate(payload, 15)}) {
    for (size_t cut = 0; cut < stream.size(); ++cut) {
      std::string out;
      ASSERT_FALSE(Inflate(stream.substr(0, cut), &out)) << "cut at " << cut << " of " << stream.size();
      ASSERT_EQ(payload.substr(0, out.size()), out);
    }
  }
  EXPECT_FALSE(cap.Lines().empty()) << "a truncated stream is logged";
}

TEST_F(GzipBufferTest, DamagedInputFails) {
  const std::string payload = RandomBytes(5000, 8) + std::string(5000, 'a');
  const std::string gz = GzipProgram(payload), zlib = Deflate(payload, 15);
  auto flip = [](std::string s, size_t at, int mask) {
    s[at] = static_cast<char>(s[at] ^ mask);
    return s;
  };
  struct Row { const char* name; std::string input; } rows[] = {
      {"empty input", ""},
      {"random bytes", RandomBytes(4096, 9)},
      {"raw deflate, no header", Deflate(payload, -15)},
      {"gzip CRC", flip(gz, gz.size() - 6, 0x01)},     // the CRC-32 in the trailer
      {"gzip length", flip(gz, gz.size() - 1, 0x01)},  // ISIZE in the trailer
      {"zlib Adler-32", flip(zlib, zlib.size() - 1, 0x01)},
      {"damaged body", flip(gz, gz.size() / 2, 0x55)},
  };
  for (const auto& r : rows) {
    std::string out;
    EXPECT_FALSE(Inflate(r.input, &out)) << r.name;
  }
}

}  // namespace
