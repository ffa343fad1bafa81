// The local-file steps of the transfers: what lies in the cache folder, which names may
// become local paths, when a cached copy counts as unchanged, the read-only protection,
// the copy that keeps an edit aside, and the ".otl" markers that only ever remove
// what they made.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "core/filesystem/cachefiles.h"
#include "core/filesystem/downloadmarker.h"
#include "common/sha1.h"
#include "support/filefault.h"
#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

using CacheFilesTest = OstrelTest;

TEST(IsPathInFolderTest, InsideMeansBelowTheFolderComparedExactly) {
  const struct {
    const char* file;
    const char* folder;
    bool inside;
  } rows[] = {
      {"/home/a/cache/P/x.txt", "/home/a/cache", true},
      {"/home/a/cache/x.txt", "/home/a/cache/", true},
      {"/home/a/cache", "/home/a/cache", false},             // the folder itself
      {"/home/a/cache/", "/home/a/cache", false},            // with a trailing "/"
      {"/home/a/cache", "/home/a/cache/", false},
      {"/home/a/cache2/x.txt", "/home/a/cache", false},      // a sibling that begins alike
      {"/home/a/cachex", "/home/a/cache", false},
      {"/home/a/Cache/x.txt", "/home/a/cache", false},       // letter case counts here
      {"/home/a//cache/./P/x.txt", "/home/a/cache", true},   // normalised first
      {"/home/a/cache/../other/x.txt", "/home/a/cache", false},
      {"/home/a/cache/P/../x.txt", "/home/a/cache", true},
      {"home/a/cache/x.txt", "/home/a/cache", true},         // taken from the root
      {"/x", "", true},                                      // everything is below the root
      {"", "", false},
  };
  for (const auto& row : rows)
    EXPECT_EQ(IsPathInFolder(row.file, row.folder), row.inside) << row.file << " in " << row.folder;
}

// Two processes must name one cache copy alike, however its path was typed.
TEST_F(CacheFilesTest, AResolvedPathNamesTheFileWhicheverWayThePathReachesIt) {
  const std::string root = std::filesystem::canonical(PathIn("")).string();
  std::filesystem::create_directories(root + "/real/sub");
  std::filesystem::create_directory_symlink(root + "/real", root + "/link");
  std::filesystem::create_symlink(root + "/elsewhere", root + "/real/sub/linked.txt");
  const std::string file = root + "/real/sub/f.txt";
  const struct {
    std::string path;
    std::string named;
  } rows[] = {
      {file, file},
      {root + "/link/sub/f.txt", file},                                 // a folder's link is resolved
      {root + "//real/./sub/f.txt", file},                              // normalised
      {root + "/real/none/../sub/f.txt", file},                         // ".." past a missing folder
      {root + "/link/new/deeper/f.txt", root + "/real/new/deeper/f.txt"},  // missing folders are kept
      {"sub/f.txt", file},                                              // from the working folder
      {"./sub/../sub/f.txt", file},
      {root + "/real/sub/linked.txt", root + "/real/sub/linked.txt"},  // the file's own link is not
  };
  const std::string before = std::filesystem::current_path().string();
  ASSERT_EQ(chdir((root + "/real").c_str()), 0);
  for (const auto& row : rows) EXPECT_EQ(ResolveLocalPath(row.path, FileEnv::Default()), row.named) << row.path;
  ASSERT_EQ(chdir(before.c_str()), 0);
}

TEST_F(CacheFilesTest, JoinLocalNameTakesOnlyOneSafeElementThatFitsTheFileSystem) {
  const struct {
    std::string name;
    bool joined;
  } rows[] = {
      {"a.txt", true},
      {"文件 名.txt", true},
      {std::string(255, 'n'), true},
      {std::string(256, 'n'), false},
      {"", false},
      {".", false},
      {"..", false},
      {"a/b", false},
      {std::string("a\0b", 3), false},
  };
  for (const auto& row : rows) {
    LogCapture log;
    std::string path = "untouched";
    EXPECT_EQ(JoinLocalName("/f", row.name, &path), row.joined) << row.name;
    EXPECT_EQ(path, row.joined ? "/f/" + row.name : "untouched");
    EXPECT_EQ(log.Contains("skipped"), !row.joined) << log.All();
  }
  std::string path;
  EXPECT_FALSE(JoinLocalName("/" + std::string(4000, 'd'), std::string(100, 'n'), &path));
}

TEST_F(CacheFilesTest, ACopyIsUnchangedOnlyWhenItsSizeAndSha1AreTheItems) {
  const std::string path = PathIn("copy.txt");
  WriteFileBytes(path, "cached content");
  CFileItemRecord item;
  item.size = 14;
  item.strSha1 = Sha1Hex("cached content", 14);
  EXPECT_TRUE(IsLocalCopyUnchanged(path, item, FileEnv::Default()));
  for (char& c : item.strSha1) c = static_cast<char>(toupper(c));
  EXPECT_TRUE(IsLocalCopyUnchanged(path, item, FileEnv::Default())) << "SHA-1 texts compare ignoring case";

  CFileItemRecord other = item;
  other.size = 15;
  EXPECT_FALSE(IsLocalCopyUnchanged(path, other, FileEnv::Default()));
  other = item;
  other.strSha1 = Sha1Hex("cached contenT", 14);
  EXPECT_FALSE(IsLocalCopyUnchanged(path, other, FileEnv::Default()));
  other.strSha1.clear();
  EXPECT_FALSE(IsLocalCopyUnchanged(path, other, FileEnv::Default()));
  EXPECT_FALSE(IsLocalCopyUnchanged(PathIn("missing"), item, FileEnv::Default()));
  ASSERT_EQ(symlink(path.c_str(), PathIn("link").c_str()), 0);
  EXPECT_FALSE(IsLocalCopyUnchanged(PathIn("link"), item, FileEnv::Default())) << "a link is no cached copy";

  FaultFileEnv faults;
  faults.Fail(FileOp::kRead, "copy.txt", EIO);
  EXPECT_FALSE(IsLocalCopyUnchanged(path, item, &faults)) << "a copy that cannot be read is not unchanged";
}

TEST_F(CacheFilesTest, ReadOnlyClearsEveryWriteBitAndWritableGivesTheUsersBack) {
  const std::string path = PathIn("f");
  WriteFileBytes(path, "x");
  ASSERT_EQ(chmod(path.c_str(), 0764), 0);
  ASSERT_TRUE(SetFileReadOnly(path, FileEnv::Default()));
  struct stat st {};
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0544u);
  const mode_t mask = umask(022);
  ASSERT_TRUE(SetFileWritable(path, FileEnv::Default()));
  umask(mask);
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0744u);

  // Links, folders and missing paths are left alone.
  ASSERT_EQ(symlink(path.c_str(), PathIn("link").c_str()), 0);
  EXPECT_FALSE(SetFileReadOnly(PathIn("link"), FileEnv::Default()));
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0744u) << "the link's target keeps its bits";
  EXPECT_FALSE(SetFileReadOnly(Root(), FileEnv::Default()));
  EXPECT_FALSE(SetFileWritable(PathIn("missing"), FileEnv::Default()));
}

TEST_F(CacheFilesTest, ACopyAsideReplacesTheTargetWholeOrNotAtAll) {
  const std::string source = PathIn("edit.txt");
  const std::string target = PathIn("aside.txt");
  WriteFileBytes(source, "my edit");
  WriteFileBytes(target, "older");
  ASSERT_TRUE(CopyFileReplace(source, target, FileEnv::Default()));
  EXPECT_EQ(ReadFileBytes(target), "my edit");
  EXPECT_EQ(ReadFileBytes(source), "my edit");

  const struct {
    const char* what;
    FileOp op;
    const char* part;
  } faults[] = {
      {"the source cannot be opened", FileOp::kOpen, "edit.txt"},
      {"the copy cannot be written", FileOp::kWrite, ".tmp"},
      {"the copy cannot be synced", FileOp::kSync, ".tmp"},
      {"the copy cannot be renamed into place", FileOp::kRename, ".tmp"},
  };
  for (const auto& fault : faults) {
    WriteFileBytes(target, "older");
    FaultFileEnv env;
    env.Fail(fault.op, fault.part, EIO);
    EXPECT_FALSE(CopyFileReplace(source, target, &env)) << fault.what;
    EXPECT_EQ(ReadFileBytes(target), "older") << fault.what;
    std::string listing;
    RunCommand("ls -A " + ShellQuote(Root()), &listing);
    EXPECT_EQ(listing.find(".tmp"), std::string::npos) << fault.what << ": " << listing;
  }
}

TEST_F(CacheFilesTest, AMarkerIsRemovedOnlyByTheLastDownloadThatMadeIt) {
  CDownloadMarkers markers(FileEnv::Default());
  const std::string dest = PathIn("report.doc");
  markers.Acquire(dest);
  EXPECT_TRUE(FileExists(dest + ".otl"));
  EXPECT_EQ(ReadFileBytes(dest + ".otl"), "");
  markers.Acquire(dest);  // a second download to the same place
  markers.Release(dest);
  EXPECT_TRUE(FileExists(dest + ".otl"));
  markers.Release(dest);
  EXPECT_FALSE(FileExists(dest + ".otl"));
  markers.Release(dest);  // one more end changes nothing

  // A file of that name that was there before is somebody else's.
  const std::string other = PathIn("notes.txt");
  WriteFileBytes(other + ".otl", "the user's own");
  markers.Acquire(other);
  markers.Release(other);
  EXPECT_EQ(ReadFileBytes(other + ".otl"), "the user's own");

  // A marker that cannot be made is no failure of the download, and nothing is removed.
  FaultFileEnv faults;
  faults.Fail(FileOp::kOpen, ".otl", EACCES);
  CDownloadMarkers refused(&faults);
  LogCapture log;
  refused.Acquire(PathIn("x"));
  refused.Release(PathIn("x"));
  EXPECT_FALSE(FileExists(PathIn("x.otl")));
  EXPECT_TRUE(log.Contains("cannot be made"));
}

}  // namespace
