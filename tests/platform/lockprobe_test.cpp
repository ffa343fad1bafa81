// The lock probe sees files that other processes hold open or locked, as flock(1) and
// an open shell leave them, and reads /proc/locks lines as the kernel writes them.
#include "platform/lockprobe.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>

#include "support/heldfile.h"
#include "support/testenv.h"

namespace {

class LockProbeTest : public OstrelTest {};

TEST_F(LockProbeTest, StatesOfAFile) {
  std::string path = PathIn("doc.txt"), other = PathIn("other.txt");
  EXPECT_EQ(ProbeFileLock(path), FileLockState::kMissing);
  EXPECT_EQ(ProbeFileLock(PathIn("doc.txt/below")), FileLockState::kMissing);
  WriteFileBytes(path, "text");
  WriteFileBytes(other, "text");
  EXPECT_EQ(ProbeFileLock(path), FileLockState::kUnlocked);

  // This process's own descriptors and locks do not count.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::flock(fd, LOCK_EX), 0);
  EXPECT_EQ(ProbeFileLock(path), FileLockState::kUnlocked);
  close(fd);

  // Another process holding it locked, or merely open, does.
  for (HeldFile::Kind kind : {HeldFile::kFlock, HeldFile::kOpenOnly}) {
    HeldFile holder(path, kind);
    ASSERT_TRUE(holder.Ready());
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(AnyProcessHasOpen(st.st_dev, st.st_ino, getpid()));
    EXPECT_EQ(ProbeFileLock(path), FileLockState::kLocked) << kind;
    EXPECT_EQ(ProbeFileLock(other), FileLockState::kUnlocked);
  }
}

TEST_F(LockProbeTest, ProcLocksLines) {
  const dev_t dev = makedev(0x08, 0x02);
  const ino_t ino = 131090;
  struct Case { const char* text; pid_t self; bool held; };
  const Case cases[] = {
      {"1: OFDLCK ADVISORY  READ  -1 08:02:131090 0 EOF\n", 1, true},
      {"1: LEASE  ACTIVE    READ  4242 08:02:131090 0 EOF\n", 1, true},
      {"1: FLOCK  ADVISORY  WRITE 4242 08:02:131091 0 EOF\n", 1, false},  // another inode
      {"1: FLOCK  ADVISORY  WRITE 4242 08:03:131090 0 EOF\n", 1, false},  // another device
      {"1: FLOCK  ADVISORY  WRITE 4242 08:02:131090 0 EOF\n", 4242, false},  // our own
      // A waiter does not hold the lock; the holder's line decides.
      {"1: FLOCK  ADVISORY  WRITE 7 00:2f:5 0 EOF\n1: -> FLOCK  ADVISORY  WRITE 4242 08:02:131090 0 EOF\n", 1,
       false},
      {"2: POSIX  ADVISORY  WRITE 7 fd:00:99 0 EOF\n3: POSIX  ADVISORY  WRITE 9 08:02:131090 100 200\n", 1, true},
      {"garbage\n\n1: POSIX\n1: POSIX ADVISORY WRITE x 08:02:131090 0 EOF\n", 1, false},
      {"", 1, false},
  };
  for (const Case& c : cases) EXPECT_EQ(ProcLocksHold(c.text, dev, ino, c.self), c.held) << c.text;

  // Hexadecimal device numbers as the kernel prints them.
  EXPECT_TRUE(ProcLocksHold("1: POSIX  ADVISORY  WRITE 5 fd:1a:77 0 EOF", makedev(0xfd, 0x1a), 77, 1));
}

}  // namespace
