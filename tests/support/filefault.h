// A file system for tests that makes chosen calls fail: by operation, by a part of the
// path concerned and after a number of matching calls went through, with a chosen
// errno; or by a callback that decides each call. Everything else reaches the real
// file system. Hand it to the unit under test in place of FileEnv::Default().
//
// Calls on a descriptor concern the path it was opened with through this env ("" for
// any other descriptor); a rename concerns its source. Any thread may call.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fileenv.h"

enum class FileOp {
  kOpen,
  kClose,     // the descriptor is closed all the same
  kRead,      // Read, PRead
  kWrite,     // Write, PWrite
  kSeek,
  kSync,
  kTruncate,
  kStat,      // Stat, Lstat, Fstat, Statx
  kChmod,     // Chmod, Fchmod
  kTimes,     // Futimens
  kSetFlags,  // SetNonBlocking
  kFlock,
  kAccess,
  kRename,
  kUnlink,
  kMkdir,
  kRmdir,
  kReadLink,
  kRealPath,
  kList,      // ListFolder
};

class FaultFileEnv : public FileEnvWrapper {
 public:
  // Decides one call: 0 lets it run, anything else is the errno it fails with.
  using Hook = std::function<int(FileOp op, const std::string& path)>;

  explicit FaultFileEnv(FileEnv* target = FileEnv::Default()) : FileEnvWrapper(target) {}

  // From now on every call of op on a path that contains pathPart ("" matches every
  // path) fails with err, once skip such calls went through. Rules add up; the first
  // one added that fails a call decides its errno.
  void Fail(FileOp op, std::string pathPart, int err, int skip = 0);
  // Asked before every call that no rule failed (an empty hook removes it). It is
  // called outside the env's lock: it may use the env, and replace itself.
  void SetHook(Hook hook);
  // Forgets the rules and the hook.
  void Clear();
  // Calls failed so far, by rules and by the hook.
  int Injected() const { return m_injected.load(); }

  int Open(const std::string& path, int flags, mode_t mode) override;
  bool Close(int fd) override;
  ssize_t Read(int fd, void* b, size_t n) override { return OnFd(FileOp::kRead, fd) ? -1 : target()->Read(fd, b, n); }
  ssize_t Write(int fd, const void* b, size_t n) override {
    return OnFd(FileOp::kWrite, fd) ? -1 : target()->Write(fd, b, n);
  }
  ssize_t PRead(int fd, void* b, size_t n, off_t at) override {
    return OnFd(FileOp::kRead, fd) ? -1 : target()->PRead(fd, b, n, at);
  }
  ssize_t PWrite(int fd, const void* b, size_t n, off_t at) override {
    return OnFd(FileOp::kWrite, fd) ? -1 : target()->PWrite(fd, b, n, at);
  }
  off_t Seek(int fd, off_t at, int whence) override {
    return OnFd(FileOp::kSeek, fd) ? -1 : target()->Seek(fd, at, whence);
  }
  bool Sync(int fd) override { return !OnFd(FileOp::kSync, fd) && target()->Sync(fd); }
  bool Truncate(int fd, off_t size) override { return !OnFd(FileOp::kTruncate, fd) && target()->Truncate(fd, size); }
  bool Fstat(int fd, struct stat* st) override { return !OnFd(FileOp::kStat, fd) && target()->Fstat(fd, st); }
  bool Fchmod(int fd, mode_t mode) override { return !OnFd(FileOp::kChmod, fd) && target()->Fchmod(fd, mode); }
  bool Futimens(int fd, const struct timespec t[2]) override {
    return !OnFd(FileOp::kTimes, fd) && target()->Futimens(fd, t);
  }
  bool SetNonBlocking(int fd, bool on) override {
    return !OnFd(FileOp::kSetFlags, fd) && target()->SetNonBlocking(fd, on);
  }
  bool Flock(int fd, int operation) override { return !OnFd(FileOp::kFlock, fd) && target()->Flock(fd, operation); }
  bool Stat(const std::string& p, struct stat* st) override { return !On(FileOp::kStat, p) && target()->Stat(p, st); }
  bool Lstat(const std::string& p, struct stat* st) override { return !On(FileOp::kStat, p) && target()->Lstat(p, st); }
  bool Statx(const std::string& p, int flags, unsigned mask, struct statx* stx) override {
    return !On(FileOp::kStat, p) && target()->Statx(p, flags, mask, stx);
  }
  bool Access(const std::string& p, int mode) override { return !On(FileOp::kAccess, p) && target()->Access(p, mode); }
  bool Rename(const std::string& from, const std::string& to, bool noReplace) override {
    return !On(FileOp::kRename, from) && target()->Rename(from, to, noReplace);
  }
  bool Unlink(const std::string& p) override { return !On(FileOp::kUnlink, p) && target()->Unlink(p); }
  bool Mkdir(const std::string& p, mode_t mode) override { return !On(FileOp::kMkdir, p) && target()->Mkdir(p, mode); }
  bool Rmdir(const std::string& p) override { return !On(FileOp::kRmdir, p) && target()->Rmdir(p); }
  bool Chmod(const std::string& p, mode_t mode) override { return !On(FileOp::kChmod, p) && target()->Chmod(p, mode); }
  bool ReadLink(const std::string& p, std::string* t) override {
    return !On(FileOp::kReadLink, p) && target()->ReadLink(p, t);
  }
  bool RealPath(const std::string& p, std::string* r) override {
    return !On(FileOp::kRealPath, p) && target()->RealPath(p, r);
  }
  bool ListFolder(const std::string& p, bool followLink, std::vector<FolderEntry>* entries) override {
    return !On(FileOp::kList, p) && target()->ListFolder(p, followLink, entries);
  }

 private:
  struct Rule {
    FileOp op;
    std::string part;
    int err;
    int skip;
    int seen = 0;
  };
  // 0, or the errno the call of op on path (or on the descriptor) is to fail with;
  // errno is set then.
  int On(FileOp op, const std::string& path);
  int OnFd(FileOp op, int fd);

  mutable std::mutex m_mutex;
  std::vector<Rule> m_rules;
  std::shared_ptr<const Hook> m_hook;
  std::map<int, std::string> m_paths;  // descriptors opened through this env
  std::atomic<int> m_injected{0};
};
