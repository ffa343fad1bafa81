// An open folder: its sub-folders made and entered without following a link, whatever
// lies in their place, and the paths of its entries, which keep to the folder opened
// after it was moved away and a link planted where it was.
#include "platform/folderhandle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/filefault.h"
#include "support/inthewaypath.h"
#include "support/testenv.h"

namespace {

class FolderHandleTest : public OstrelTest {
 protected:
  // How many descriptors this process has open.
  static size_t OpenDescriptors() {
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) n += !entry.path().empty();
    return n;
  }
};

TEST_F(FolderHandleTest, AChildIsEnteredOnlyWhenItIsARealFolder) {
  const std::string outside = PathIn("outside");
  ASSERT_EQ(mkdir(outside.c_str(), 0700), 0);
  const struct {
    const char* what;
    InTheWay kind;
    bool folderThere;
    const char* linkTo;  // below outside
    bool create;
    int err;  // 0: entered
  } rows[] = {
      {"a missing folder is made", InTheWay::kNothing, false, "", true, 0},
      {"a missing folder is not made unasked", InTheWay::kNothing, false, "", false, ENOENT},
      {"a folder there is entered", InTheWay::kNothing, true, "", true, 0},
      {"a link to a folder", InTheWay::kLink, false, "", true, ENOTDIR},
      {"a link to nothing, where a folder would be made", InTheWay::kLink, false, "/made", true, ENOTDIR},
      {"a regular file", InTheWay::kFile, false, "", true, ENOTDIR},
      {"a fifo, which is never waited on", InTheWay::kFifo, false, "", true, ENOTDIR},
  };
  FolderHandle parent;
  ASSERT_TRUE(parent.Open(Root()));
  const size_t before = OpenDescriptors();
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string name = "child" + std::to_string(n++), path = PathIn(name);
    if (row.folderThere) {
      ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    }
    ASSERT_NO_FATAL_FAILURE(PlantInTheWay(row.kind, path, outside + row.linkTo));

    FolderHandle child;
    errno = 0;
    const bool entered = parent.OpenChild(name, row.create, 0700, &child);
    // A kernel may tell a link as ELOOP.
    EXPECT_EQ(entered ? 0 : errno == ELOOP ? ENOTDIR : errno, row.err);
    EXPECT_EQ(child.IsOpen(), row.err == 0);
    if (row.err == 0) {
      // The child's entries are its own.
      WriteFileBytes(child.EntryPath("x.txt"), "x");
      EXPECT_EQ(ReadFileBytes(path + "/x.txt"), "x");
    }
    child.Close();
    EXPECT_TRUE(std::filesystem::is_empty(outside)) << "nothing was made through a link";
    EXPECT_TRUE(StillInTheWay(row.kind, path));
  }
  EXPECT_EQ(OpenDescriptors(), before) << "a closed handle keeps no descriptor";
}

TEST_F(FolderHandleTest, EntriesKeepToTheFolderOpenedAfterALinkTakesItsPlace) {
  const std::string folder = PathIn("folder"), outside = PathIn("outside");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(outside.c_str(), 0700), 0);
  FolderHandle opened;
  ASSERT_TRUE(opened.Open(folder));
  ASSERT_EQ(rename(folder.c_str(), PathIn("moved").c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), folder.c_str()), 0);

  WriteFileBytes(opened.EntryPath("a.txt"), "a");
  FolderHandle sub;
  ASSERT_TRUE(opened.OpenChild("sub", true, 0700, &sub));
  EXPECT_EQ(ReadFileBytes(PathIn("moved/a.txt")), "a");
  EXPECT_TRUE(std::filesystem::is_directory(PathIn("moved/sub")));
  EXPECT_TRUE(std::filesystem::is_empty(outside));

  // Moved on, the handle gives its descriptor to the new one.
  FolderHandle moved(std::move(opened));
  EXPECT_FALSE(opened.IsOpen());
  EXPECT_EQ(opened.EntryPath("a.txt"), "");
  EXPECT_EQ(ReadFileBytes(moved.EntryPath("a.txt")), "a");
}

TEST_F(FolderHandleTest, AFolderMadeButNotRecordedInItsParentIsAFailure) {
  FaultFileEnv env;
  FolderHandle parent(&env);
  ASSERT_TRUE(parent.Open(Root()));
  env.Fail(FileOp::kSync, Root(), EIO);
  FolderHandle child;
  EXPECT_FALSE(parent.OpenChild("new", true, 0700, &child));
  EXPECT_EQ(errno, EIO);
  EXPECT_FALSE(child.IsOpen());
  // Made already, it needs no record the next time.
  env.Clear();
  env.Fail(FileOp::kSync, "", EIO);
  EXPECT_TRUE(parent.OpenChild("new", true, 0700, &child));
}

}  // namespace
