// The compress policy: content rules first (7z signature at any size, zip archives),
// then the small-file rule, then the extension lists with their size limits.
#include "core/encrypt/compresspolicy.h"

#include <string>

#include "encrypttestutil.h"
#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

enum class Content { kText, kSparse, kZip, k7z };

class CompressPolicyTest : public OstrelTest {
 protected:
  // Writes a file of the given size and kind at path.
  void Make(const std::string& path, uint64_t size, Content content) {
    switch (content) {
      case Content::kText:
        WriteFileBytes(path, enctest::TextBytes(size, 1));
        break;
      case Content::kSparse:
        enctest::MakeSparseFile(path, size);
        break;
      case Content::k7z:
        WriteFileBytes(path, (std::string("7z\xBC\xAF\x27\x1C", 6) + std::string(size, 'q')).substr(0, size));
        break;
      case Content::kZip: {
        // A zip archive of exactly `size` bytes: one stored member filled up.
        const uint64_t overhead = 31 + 47 + 22;  // local and central headers of "m", end record
        enctest::RunOk("python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1],'w',zipfile.ZIP_STORED); "
                       "z.writestr('m', b'\\0' * int(sys.argv[2])); z.close()\" " +
                       ShellQuote(path) + " " + std::to_string(size - overhead));
        EXPECT_EQ(size, ReadFileBytes(path).size());
        break;
      }
    }
  }
};

TEST_F(CompressPolicyTest, DecisionTable) {
  const uint64_t MiB = 1 << 20;
  struct { const char* name; uint64_t size; Content content; int flag; } rows[] = {
      {"a.txt", 1023, Content::kText, 0},
      {"a.txt", 1024, Content::kText, 1},
      {"a.DOC", 20 * MiB, Content::kSparse, 0},
      {"a.log", 20 * MiB, Content::kSparse, 1},
      {"a.docx", 20 * MiB, Content::kZip, 1},
      {"photo.jpg", 2000, Content::kZip, 1},
      {"song.mp3", 5 * MiB, Content::kSparse, 0},
      {"file.tar.gz", 5000, Content::kText, 0},
      {"book.pdf", 5242880, Content::kSparse, 1},
      {"book.pdf", 5242881, Content::kSparse, 0},
      {"setup.exe", 3145728, Content::kSparse, 1},
      {"setup.exe", 3145729, Content::kSparse, 0},
      {"sheet.xlsx", 10485760, Content::kSparse, 1},
      {"sheet.xlsx", 10485761, Content::kSparse, 0},
      {"noextension", 20 * MiB, Content::kSparse, 1},
      {"a.doc x", 20 * MiB, Content::kSparse, 1},  // a space after the dot: no extension
      {"photo.jpg.txt", 5000, Content::kText, 1},
      // Content that begins with the 7z signature is packed at any size and name, so
      // that decoding gives back the archive itself.
      {"image.jpg", 5000, Content::k7z, 1},
      {"big.pdf", 6 * MiB, Content::k7z, 1},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.name) + " " + std::to_string(r.size));
    // The name gives the extension, the content comes from another file, as for the
    // blocks of an upload.
    const std::string src = PathIn("content");
    Make(src, r.size, r.content);
    int flag = -1;
    EXPECT_EQ(S_OK, NeedCompressFile(r.name, src, &flag));
    EXPECT_EQ(r.flag, flag);
  }
  LogCapture log;
  int flag = -1;
  EXPECT_TRUE(FAILED(NeedCompressFile("a.txt", PathIn("missing"), &flag))) << "an unreadable source";
  EXPECT_GT(log.Failures(), 0);
}

}  // namespace
