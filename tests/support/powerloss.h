// A file system for tests that can lose power. It forwards every call to the real one
// and keeps, for the tree below one folder (the root), what a power loss would leave:
//  - a file's data is durable only as it stood at the last Sync of that file; a file
//    never synced is durable empty;
//  - a folder's entries (created, renamed or removed names) are durable only as they
//    stood at the last Sync of that folder, or at the moment the file system's journal
//    last committed, which the seed places anywhere between the start and the loss
//    (at the start: nothing committed but what was synced);
//  - a file cut short (O_TRUNC, Truncate) before that commit and not synced after the
//    cut is found cut short, without what was written after the cut.
// That is what ext4 with data=ordered and delayed allocation may lose, taken at its
// worst: a rename or a new name may survive while the data it points at does not.
//
// CutAfter(n) stops the machine: the call after the n-th counted call on the tree, and
// every call after it, fails with EIO (a Close still releases its descriptor). Calls
// that only move data (Read, Write, PRead, PWrite, Seek) are not counted: a stop
// between two of them leaves what a stop at the next counted call leaves, and their
// number may depend on how the data arrived, not on the seed. Then
// DropUnsyncedData() puts the tree back as the power loss leaves it, and the test starts
// the component again (on this env or the real one).
//
// What is there when the env is made counts as durable. Folders are told apart by
// path, files by inode; removed files are kept alive beside the root (a hidden
// "<root>.powerloss" folder) so that their inodes are not reused while the env lives.
// Sync records what it makes durable but does not reach the real disk (the env, not
// the disk, decides what survives). The root must be a folder of the test's own that
// nothing else changes meanwhile;
// calls on paths outside it reach the real file system, uncounted. Any thread may
// call; the count is deterministic only when one thread at a time works on the tree.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fileenv.h"

class PowerLossFileEnv : public FileEnvWrapper {
 public:
  // root must be a folder, named as the code under test names it (a path through a
  // link is not resolved). seed decides the journal's last commit at the power loss.
  PowerLossFileEnv(const std::string& root, uint32_t seed, FileEnv* target = FileEnv::Default());
  ~PowerLossFileEnv() override;

  // From now on the call after n more counted calls, and every call after it, fails with
  // EIO (n = 0: the very next one). A negative n lets every call through again.
  void CutAfter(long n);
  bool IsCut() const;
  // Counted calls on the tree so far, and a line per call ("Open <path below the
  // root>", "Sync <path>", ...; the call that met the stop ends with " (cut)").
  long Ops() const;
  std::vector<std::string> Trace() const;

  // The power loss: every file and folder below the root is put back as it would be
  // found at the next boot, the env forgets the cut, the count and the trace, and
  // what is there now counts as durable. Every descriptor on the tree must be closed
  // first. Fails the current test when the tree cannot be rebuilt.
  void DropUnsyncedData();

  int Open(const std::string& path, int flags, mode_t mode) override;
  bool Close(int fd) override;
  ssize_t Read(int fd, void* b, size_t n) override;
  ssize_t Write(int fd, const void* b, size_t n) override;
  ssize_t PRead(int fd, void* b, size_t n, off_t at) override;
  ssize_t PWrite(int fd, const void* b, size_t n, off_t at) override;
  off_t Seek(int fd, off_t at, int whence) override;
  bool Sync(int fd) override;
  bool Truncate(int fd, off_t size) override;
  bool Fstat(int fd, struct stat* st) override;
  bool Fchmod(int fd, mode_t mode) override;
  bool Futimens(int fd, const struct timespec t[2]) override;
  bool SetNonBlocking(int fd, bool on) override;
  bool Flock(int fd, int operation) override;
  bool Stat(const std::string& p, struct stat* st) override;
  bool Lstat(const std::string& p, struct stat* st) override;
  bool Statx(const std::string& p, int flags, unsigned mask, struct statx* stx) override;
  bool Access(const std::string& p, int mode) override;
  bool Rename(const std::string& from, const std::string& to, bool noReplace) override;
  bool Unlink(const std::string& p) override;
  bool Mkdir(const std::string& p, mode_t mode) override;
  bool Rmdir(const std::string& p) override;
  bool Chmod(const std::string& p, mode_t mode) override;
  bool ReadLink(const std::string& p, std::string* t) override;
  bool RealPath(const std::string& p, std::string* r) override;
  bool ListFolder(const std::string& p, bool followLink, std::vector<FolderEntry>* entries) override;

 private:
  struct State;
  // Counts a call on path (when below the root and counted) and decides it: false,
  // errno EIO, once the machine has stopped.
  bool Admit(const char* op, const std::string& path, bool counted = true);
  bool AdmitFd(const char* op, int fd, bool counted = true);
  // Keeps the file at path alive when the call about to be made may remove its last name.
  void KeepAlive(const std::string& path);
  // Records the folder's entries as they are now, after a call changed them.
  void NoteChanged(const std::string& folder);
  // Records that the file open on fd was cut to size.
  void NoteShortened(int fd, off_t size);

  std::unique_ptr<State> m_state;
  mutable std::mutex m_mutex;
};
