// The Trash keeps what it is given: the item lands in files/ with its .trashinfo, a
// taken name gets a new one, and every failure leaves the item where it was.
#include "platform/trash.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/guid.h"
#include "support/fakeclock.h"
#include "support/filefault.h"
#include "support/testenv.h"

namespace {

class TrashTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    m_trash = PathIn("data/Trash");
  }
  // The path stored in a .trashinfo, decoded by Python's own URL parser.
  std::string DecodedPathOf(const std::string& infoFile) {
    std::string out;
    std::string script =
        "import configparser,sys,urllib.parse\n"
        "c=configparser.ConfigParser(interpolation=None)\n"
        "c.read(sys.argv[1])\n"
        "sys.stdout.buffer.write(urllib.parse.unquote_to_bytes(c['Trash Info']['Path']))\n";
    EXPECT_EQ(RunCommand("python3 -c " + ShellQuote(script) + " " + ShellQuote(infoFile), &out), 0);
    return out;
  }
  std::string InfoOf(const std::string& name) { return ReadFileBytes(m_trash + "/info/" + name + ".trashinfo"); }

  std::string m_trash;
  FakeClock m_clock{1709632800 + 3661};  // 2024-03-05 11:01:01 UTC
};

TEST_F(TrashTest, FileAndItsInfoArriveAndALinkMovesAsALink) {
  std::string file = PathIn("doc.txt");
  WriteFileBytes(file, "precious");
  ASSERT_TRUE(MoveToTrash(file, &m_clock)) << std::strerror(errno);
  EXPECT_FALSE(FileExists(file));
  EXPECT_EQ(ReadFileBytes(m_trash + "/files/doc.txt"), "precious");
  EXPECT_EQ(InfoOf("doc.txt"), "[Trash Info]\nPath=" + file + "\nDeletionDate=2024-03-05T11:01:01\n");
  struct stat st {};
  ASSERT_EQ(::stat(m_trash.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // A link moves as a link.
  ASSERT_EQ(::mkdir(PathIn("target").c_str(), 0700), 0);
  WriteFileBytes(PathIn("target/keep"), "k");
  ASSERT_EQ(::symlink(PathIn("target").c_str(), PathIn("link").c_str()), 0);
  ASSERT_TRUE(MoveToTrash(PathIn("link"), &m_clock));
  ASSERT_EQ(::lstat((m_trash + "/files/link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFileBytes(PathIn("target/keep")), "k");
}

TEST_F(TrashTest, TakenNamesGetUniqueOnes) {
  std::vector<std::string> expected = {"a.txt", "a.2.txt", "a.3.txt"};
  for (int i = 0; i < 3; ++i) {
    WriteFileBytes(PathIn("a.txt"), "v" + std::to_string(i));
    ASSERT_TRUE(MoveToTrash(PathIn("a.txt"), &m_clock));
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(ReadFileBytes(m_trash + "/files/" + expected[i]), "v" + std::to_string(i));
    EXPECT_NE(InfoOf(expected[i]).find("Path=" + PathIn("a.txt") + "\n"), std::string::npos);
  }
  // A leftover in files/ without its info file is never overwritten either.
  WriteFileBytes(m_trash + "/files/b", "leftover");
  WriteFileBytes(PathIn("b"), "new");
  ASSERT_TRUE(MoveToTrash(PathIn("b"), &m_clock));
  EXPECT_EQ(ReadFileBytes(m_trash + "/files/b"), "leftover");
  EXPECT_EQ(ReadFileBytes(m_trash + "/files/b.2"), "new");
  EXPECT_FALSE(FileExists(m_trash + "/info/b.trashinfo"));
  // Long names are cut so that the info file's name fits.
  std::string name(250, 'n');
  for (const char* content : {"1", "2"}) {
    WriteFileBytes(PathIn(name), content);
    ASSERT_TRUE(MoveToTrash(PathIn(name), &m_clock)) << std::strerror(errno);
  }
}

TEST_F(TrashTest, OddNamesRoundTripThroughThePath) {
  std::string name = "50% off & more #1 \xe4\xb8\xad\xe6\x96\x87 [x]\nline";
  std::string file = PathIn(name);
  WriteFileBytes(file, "odd");
  ASSERT_TRUE(MoveToTrash(file, &m_clock));
  std::string info = InfoOf(name);
  size_t path = info.find("Path=");
  ASSERT_NE(path, std::string::npos);
  std::string encoded = info.substr(path + 5, info.find('\n', path) - path - 5);
  EXPECT_EQ(encoded.find_first_of(" \n#&[]"), std::string::npos) << encoded;
  EXPECT_EQ(DecodedPathOf(m_trash + "/info/" + name + ".trashinfo"), file);
}

TEST_F(TrashTest, FailuresKeepTheItemAndLeaveNoTrace) {
  std::string file = PathIn("keep.txt");
  struct Row {
    FileOp op;
    std::string part;
    const char* what;
  } rows[] = {{FileOp::kMkdir, m_trash, "Trash folder not made"},
              {FileOp::kOpen, ".trashinfo", "info not created"},
              {FileOp::kWrite, ".trashinfo", "info write"},
              {FileOp::kSync, ".trashinfo", "info fsync"},
              {FileOp::kRename, file, "move"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    RemoveTree(m_trash);
    WriteFileBytes(file, "must survive");
    FaultFileEnv env;
    env.Fail(r.op, r.part, EIO);
    EXPECT_FALSE(MoveToTrash(file, &m_clock, &env));
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(ReadFileBytes(file), "must survive");
    EXPECT_FALSE(FileExists(m_trash + "/info/keep.txt.trashinfo"));
    EXPECT_FALSE(FileExists(m_trash + "/files/keep.txt"));
  }
}

TEST_F(TrashTest, ItemsThatCannotGoKeepTheirPlace) {
  EXPECT_FALSE(MoveToTrash(PathIn("nothing"), &m_clock));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(MoveToTrash("/", &m_clock));
  EXPECT_FALSE(MoveToTrash("", &m_clock));
  // The Trash folder itself.
  WriteFileBytes(PathIn("f"), "f");
  ASSERT_TRUE(MoveToTrash(PathIn("f"), &m_clock));
  EXPECT_FALSE(MoveToTrash(PathIn("data"), &m_clock));
  EXPECT_EQ(ReadFileBytes(m_trash + "/files/f"), "f");
  // An unusable home Trash: no other Trash is taken instead.
  RemoveTree(m_trash);
  WriteFileBytes(m_trash, "a file where the Trash should be");
  WriteFileBytes(PathIn("g"), "kept");
  EXPECT_FALSE(MoveToTrash(PathIn("g"), &m_clock));
  EXPECT_EQ(ReadFileBytes(PathIn("g")), "kept");
  EXPECT_FALSE(FileExists(Root() + "/.Trash-" + std::to_string(::getuid())));
}

// An item on another file system goes to the Trash at that file system's top (here
// /dev/shm/.Trash-<uid>), or stays where it is.
TEST_F(TrashTest, OtherFileSystemUsesItsOwnTrashOrKeepsTheFile) {
  struct stat shm {}, here {};
  if (::stat("/dev/shm", &shm) != 0 || ::stat(Root().c_str(), &here) != 0 || shm.st_dev == here.st_dev)
    GTEST_SKIP() << "/dev/shm is not another file system here";
  std::string name = "ostrel-trash-" + NewGuidString().substr(1, 36);  // no braces: they would be escaped
  std::string file = "/dev/shm/" + name;
  WriteFileBytes(file, "on tmpfs");
  std::string topTrash = "/dev/shm/.Trash-" + std::to_string(::getuid());
  bool hadTopTrash = FileExists(topTrash);
  if (MoveToTrash(file, &m_clock)) {
    std::string inTrash = (FileExists(topTrash + "/files/" + name) ? topTrash : "/dev/shm/.Trash/" +
                                                                                    std::to_string(::getuid()));
    EXPECT_EQ(ReadFileBytes(inTrash + "/files/" + name), "on tmpfs");
    EXPECT_NE(ReadFileBytes(inTrash + "/info/" + name + ".trashinfo").find("Path=" + file + "\n"), std::string::npos);
    ::unlink((inTrash + "/files/" + name).c_str());
    ::unlink((inTrash + "/info/" + name + ".trashinfo").c_str());
    if (!hadTopTrash) {
      ::rmdir((topTrash + "/files").c_str());
      ::rmdir((topTrash + "/info").c_str());
      ::rmdir(topTrash.c_str());
    }
  } else {
    EXPECT_EQ(ReadFileBytes(file), "on tmpfs");
    ::unlink(file.c_str());
  }
  EXPECT_FALSE(FileExists(m_trash + "/files/" + name)) << "never copied into the home Trash";
}

}  // namespace
