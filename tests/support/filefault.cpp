#include "support/filefault.h"

#include <cerrno>

void FaultFileEnv::Fail(FileOp op, std::string pathPart, int err, int skip) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_rules.push_back(Rule{op, std::move(pathPart), err, skip});
}

void FaultFileEnv::SetHook(Hook hook) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_hook = hook ? std::make_shared<const Hook>(std::move(hook)) : nullptr;
}

void FaultFileEnv::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_rules.clear();
  m_hook = nullptr;
}

int FaultFileEnv::On(FileOp op, const std::string& path) {
  std::shared_ptr<const Hook> hook;
  int err = 0;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Rule& r : m_rules) {
      if (r.op != op || path.find(r.part) == std::string::npos) continue;
      if (r.seen++ < r.skip) continue;
      if (err == 0) err = r.err;
    }
    hook = m_hook;
  }
  if (err == 0 && hook) err = (*hook)(op, path);
  if (err != 0) {
    m_injected.fetch_add(1);
    errno = err;
  }
  return err;
}

int FaultFileEnv::OnFd(FileOp op, int fd) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_paths.find(fd);
    if (it != m_paths.end()) path = it->second;
  }
  return On(op, path);
}

int FaultFileEnv::Open(const std::string& path, int flags, mode_t mode) {
  if (On(FileOp::kOpen, path)) return -1;
  int fd = target()->Open(path, flags, mode);
  if (fd >= 0) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_paths[fd] = path;
  }
  return fd;
}

bool FaultFileEnv::Close(int fd) {
  int err = OnFd(FileOp::kClose, fd);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_paths.erase(fd);
  }
  bool closed = target()->Close(fd);
  if (err == 0) return closed;
  errno = err;
  return false;
}

