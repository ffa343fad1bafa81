// Single-entry 7z archives: 7zz tests, lists and extracts what we write, byte for byte
// and name for name; we read what 7zz writes; damaged archives and programs with an
// archive inside are refused; every failed write, read and seek is reported.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <csignal>
#include <ctime>
#include <map>
#include <string>

#include "core/encrypt/lzmacoder.h"
#include "core/encrypt/sevenzipreader.h"
#include "core/encrypt/sevenzipwriter.h"
#include "encrypttestutil.h"
#include "platform/posixfile.h"
#include "support/filefault.h"
#include "support/testenv.h"

namespace {

using enctest::RunOk;

uint64_t Le(const std::string& s, size_t off, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[off + i]);
  return v;
}

uint32_t Crc(const std::string& s) {
  return static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(s.data()), s.size()));
}

class SevenZipTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    ASSERT_EQ(0, ::mkdir(PathIn("src").c_str(), 0700));
  }
  // 7zz archive of the given files (relative to folder), in that order.
  void SevenZip(const std::string& folder, const std::string& files, const std::string& archive,
                const std::string& options = "") {
    RunOk("cd " + ShellQuote(folder) + " && 7zz a -bd -y " + options + " " + ShellQuote(archive) + " " + files);
  }
};

// What 7zz lists of the entry: its name, size, the time it was packed, the archive
// attribute alone, and LZMA with the header's 16 MiB dictionary.
TEST_F(SevenZipTest, SevenZipToolAcceptsOurArchives) {
  struct { const char* name; std::string data; } rows[] = {  // the entry's name, UTF-8
      {"empty.bin", ""},
      {"one.bin", "Z"},
      {"random.bin", RandomBytes(5 << 20, 21)},
      {"文档 résumé.txt", enctest::TextBytes(100000, 22)},
      {"\xF0\x9D\x84\x9E music \xF0\x9F\x98\x80.txt", enctest::TextBytes(3000, 23)},  // U+1D11E, U+1F600
  };
  auto stamp = [](time_t t) {  // as 7zz prints it (the tests run with TZ=UTC)
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", std::gmtime(&t));
    return std::string(text);
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string src = PathIn("src/") + r.name;
    WriteFileBytes(src, r.data);
    const std::string before = stamp(std::time(nullptr) - 2);  // the file system's clock may lag by a tick
    ASSERT_TRUE(PackFileTo7z(PathIn("a.7z"), src));
    const std::string after = stamp(std::time(nullptr) + 1);
    RunOk("7zz t -bd " + PathIn("a.7z"));
    std::string listing;
    RunOk("7zz l -slt " + PathIn("a.7z") + " | sed -n '/^----------$/,$p'", &listing);
    EXPECT_EQ("----------\nPath = " + std::string(r.name) + "\nSize = " + std::to_string(r.data.size()) + "\n",
              listing.substr(0, listing.find("Packed Size")));
    for (const char* line : {"\nAttributes = A\n", "\nMethod = LZMA:24\n", "\nModified = "})
      EXPECT_NE(std::string::npos, listing.find(line)) << line << " in\n" << listing;
    const std::string modified = listing.substr(listing.find("\nModified = ") + 12, 19);
    EXPECT_LE(before, modified);
    EXPECT_GE(after, modified);
    const std::string x = PathIn("x" + std::to_string(&r - rows) + "/");
    RunOk("7zz x -bd -y -o" + x + " " + PathIn("a.7z"));
    ASSERT_TRUE(FileExists(x + r.name)) << "the name comes back as it was";
    EXPECT_EQ(r.data, ReadFileBytes(x + r.name));
    // And our own reader.
    uint64_t size = 0;
    ASSERT_TRUE(Get7zEntryInfo(PathIn("a.7z"), &size));
    EXPECT_EQ(r.data.size(), size);
    ASSERT_TRUE(Unpack7zArchive(PathIn("out"), PathIn("a.7z")));
    EXPECT_EQ(r.data, ReadFileBytes(PathIn("out")));
  }
}

TEST_F(SevenZipTest, ReadsArchivesTheSevenZipToolWrote) {
  const std::string data = enctest::TextBytes(150000, 25);
  WriteFileBytes(PathIn("src/file.txt"), data);
  WriteFileBytes(PathIn("src/empty.txt"), "");
  ASSERT_EQ(0, ::mkdir(PathIn("src/adir").c_str(), 0700));
  struct Row { const char* name; const char* files; const char* options; std::string expected; } rows[] = {
      {"lzma2 with CRC", "file.txt", "", data},
      {"lzma with CRC", "file.txt", "-m0=lzma", data},
      {"stored", "file.txt", "-m0=copy", data},
      {"empty file", "empty.txt", "", ""},
      {"directory entry first", "adir file.txt", "", data},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ::unlink(PathIn("peer.7z").c_str());
    SevenZip(PathIn("src"), r.files, PathIn("peer.7z"), r.options);
    uint64_t size = 99;
    ASSERT_TRUE(Get7zEntryInfo(PathIn("peer.7z"), &size));
    EXPECT_EQ(r.expected.size(), size);
    ASSERT_TRUE(Unpack7zArchive(PathIn("out"), PathIn("peer.7z")));
    EXPECT_EQ(r.expected, ReadFileBytes(PathIn("out")));
  }
}

TEST_F(SevenZipTest, DamagedArchivesAndProgramsAreRefused) {
  const std::string data = enctest::TextBytes(100000, 26);
  WriteFileBytes(PathIn("src/f.txt"), data);
  ASSERT_TRUE(PackFileTo7z(PathIn("ours.7z"), PathIn("src/f.txt")));
  const std::string ours = ReadFileBytes(PathIn("ours.7z"));
  SevenZip(PathIn("src"), "f.txt", PathIn("peer.7z"));
  const std::string peerArchive = ReadFileBytes(PathIn("peer.7z"));
  ASSERT_EQ(0, ::mkdir(PathIn("src/onlydir").c_str(), 0700));
  SevenZip(PathIn("src"), "onlydir", PathIn("dironly.7z"));
  // A program with an archive appended at 0x27000, as self-extracting files are.
  std::string program = "MZ" + RandomBytes(0x27000 - 2, 27) + peerArchive;
  std::string elf = "\x7F" "ELF" + RandomBytes(0x27000 - 4, 28) + peerArchive;
  // An archive with no entry: the start header's CRC is that of its 20 zero bytes.
  const std::string empty = std::string("7z\xBC\xAF\x27\x1C\x00\x04\x8d\x9b\xd5\x0f", 12) + std::string(20, '\0');

  // A start header whose next header lies beyond the file, its own CRC made right.
  auto withNextHeader = [&](uint64_t offset, uint64_t size) {
    std::string a = ours;
    for (int i = 0; i < 8; ++i) a[12 + i] = static_cast<char>(offset >> (8 * i));
    for (int i = 0; i < 8; ++i) a[20 + i] = static_cast<char>(size >> (8 * i));
    uint32_t crc = Crc(a.substr(12, 20));
    for (int i = 0; i < 4; ++i) a[8 + i] = static_cast<char>(crc >> (8 * i));
    return a;
  };
  const uint64_t packedSize = Le(ours, 12, 8), headerSize = Le(ours, 20, 8);

  struct { const char* name; std::string bytes; bool isArchive; } rows[] = {  // isArchive: Get7zEntryInfo
      {"damaged start header CRC", enctest::FlipByte(ours, 9), false},
      {"damaged header CRC", enctest::FlipByte(ours, 30), false},
      {"next header one byte past the end", withNextHeader(packedSize, headerSize + 1), false},
      {"next header size of 2^63", withNextHeader(packedSize, 1ull << 63), false},
      {"next header offset of 2^64 - 1", withNextHeader(~0ull, headerSize), false},
      {"damaged header byte", enctest::FlipByte(ours, ours.size() - 5), false},
      {"truncated header", ours.substr(0, ours.size() - 8), false},
      {"flipped data byte, no CRC stored", enctest::FlipByte(ours, 32 + 500), true},
      {"flipped data byte, CRC stored", enctest::FlipByte(peerArchive, 32 + 500), true},
      {"truncated data", ours.substr(0, 32 + 100) + ours.substr(32 + 200), false},
      {"program with an archive at 0x27000", program, false},
      {"ELF with an archive at 0x27000", elf, false},
      {"signature only", ours.substr(0, 6), false},
      {"no entry", empty, false},
      {"only a directory", ReadFileBytes(PathIn("dironly.7z")), false},
      {"not an archive", enctest::TextBytes(5000, 29), false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    WriteFileBytes(PathIn("bad.7z"), r.bytes);
    uint64_t size = 0;
    EXPECT_EQ(r.isArchive, Get7zEntryInfo(PathIn("bad.7z"), &size));
    EXPECT_FALSE(Unpack7zArchive(PathIn("out"), PathIn("bad.7z")));
  }
}

// The output cap; the same file as source and destination, missing sources and
// destinations that cannot be written; a pipe takes the data but cannot seek back for
// the start header; a folder as the source cannot be read.
TEST_F(SevenZipTest, OutputCapAndFileFailures) {
  const std::string data = enctest::TextBytes(10000, 30);
  WriteFileBytes(PathIn("src/f.txt"), data);
  ASSERT_TRUE(PackFileTo7z(PathIn("a.7z"), PathIn("src/f.txt")));
  EXPECT_FALSE(Unpack7zArchive(PathIn("out"), PathIn("a.7z"), data.size() - 1));
  EXPECT_TRUE(Unpack7zArchive(PathIn("out"), PathIn("a.7z"), data.size()));

  const std::string archive = ReadFileBytes(PathIn("a.7z"));
  EXPECT_FALSE(Unpack7zArchive(PathIn("a.7z"), PathIn("a.7z")));
  EXPECT_EQ(archive, ReadFileBytes(PathIn("a.7z"))) << "same file refused before truncation";
  EXPECT_FALSE(Unpack7zArchive("/dev/full", PathIn("a.7z")));
  EXPECT_FALSE(PackFileTo7z(PathIn("src/f.txt"), PathIn("src/f.txt")));
  EXPECT_EQ(data, ReadFileBytes(PathIn("src/f.txt")));
  EXPECT_FALSE(PackFileTo7z(PathIn("b.7z"), PathIn("missing")));
  EXPECT_FALSE(FileExists(PathIn("b.7z")));
  EXPECT_FALSE(PackFileTo7z("/dev/full", PathIn("src/f.txt")));

  int fds[2];
  ASSERT_EQ(0, ::pipe2(fds, O_CLOEXEC | O_NONBLOCK));
  ::fcntl(fds[0], F_SETPIPE_SZ, 1 << 20);
  PosixFile pipeOut(fds[1]), pipeIn(fds[0]);
  PosixFile in;
  ASSERT_TRUE(in.Open(PathIn("src/f.txt"), O_RDONLY));
  EXPECT_EQ(kSzErrorWrite, Write7zArchive(pipeOut, "f.txt", in));
  PosixFile out, dir;
  ASSERT_TRUE(out.Open(PathIn("d.7z"), O_WRONLY | O_CREAT | O_TRUNC));
  ASSERT_TRUE(dir.Open(PathIn("src"), O_RDONLY));
  EXPECT_EQ(kSzErrorRead, Write7zArchive(out, "src", dir));
}

// Each write of the archive made to fail in turn, the first (the place holder of the
// start header) and the last (the header) among them; and each read or seek of an
// archive while it is unpacked.
TEST_F(SevenZipTest, EveryFailedWriteReadAndSeekIsAFailure) {
  WriteFileBytes(PathIn("src/f.bin"), RandomBytes(200000, 33));
  const std::string archive = PathIn("a.7z");
  FaultFileEnv env;
  std::map<FileOp, int> calls;
  env.SetHook([&](FileOp op, const std::string& path) {
    if (path == archive) ++calls[op];
    return 0;
  });
  ASSERT_TRUE(PackFileTo7z(archive, PathIn("src/f.bin"), &env));
  const int writes = calls[FileOp::kWrite];
  ASSERT_GE(writes, 3);
  calls.clear();
  ASSERT_TRUE(Unpack7zArchive(PathIn("out"), archive, k7zDefaultOutputCap, &env));
  const int reads = calls[FileOp::kRead], seeks = calls[FileOp::kSeek];
  ASSERT_GE(reads, 2);
  ASSERT_GE(seeks, 1);
  env.SetHook(nullptr);
  for (auto [op, total] : {std::pair{FileOp::kWrite, writes}, {FileOp::kRead, reads}, {FileOp::kSeek, seeks}}) {
    for (int fail = 0; fail < total; ++fail) {
      SCOPED_TRACE(std::to_string(static_cast<int>(op)) + " call " + std::to_string(fail + 1) + " of " +
                   std::to_string(total));
      env.Clear();
      env.Fail(op, archive, ENOSPC, fail);
      EXPECT_FALSE(op == FileOp::kWrite ? PackFileTo7z(archive, PathIn("src/f.bin"), &env)
                                        : Unpack7zArchive(PathIn("out"), archive, k7zDefaultOutputCap, &env));
    }
  }
}

// The file-size limit makes the header's write fail after the stream went out: the
// writer must not report a broken archive as written.
TEST_F(SevenZipTest, FailedHeaderWriteIsAFailure) {
  const std::string data = RandomBytes(20000, 32);
  WriteFileBytes(PathIn("src/f.bin"), data);
  ASSERT_TRUE(PackFileTo7z(PathIn("full.7z"), PathIn("src/f.bin")));
  const off_t fullSize = static_cast<off_t>(ReadFileBytes(PathIn("full.7z")).size());
  for (off_t limit : {fullSize - 1, fullSize - 40, static_cast<off_t>(32)}) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      struct rlimit rl = {static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
      ::setrlimit(RLIMIT_FSIZE, &rl);
      _exit(PackFileTo7z(PathIn("limited.7z"), PathIn("src/f.bin")) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(1, WEXITSTATUS(status)) << "limit " << limit;
  }
}

}  // namespace
