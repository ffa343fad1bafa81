#include "platform/folderhandle.h"

#include <fcntl.h>

#include <cerrno>

FolderHandle::FolderHandle(FolderHandle&& o) noexcept : m_env(o.m_env), m_fd(o.m_fd) { o.m_fd = -1; }

FolderHandle& FolderHandle::operator=(FolderHandle&& o) noexcept {
  if (this != &o) {
    Close();
    m_env = o.m_env;
    m_fd = o.m_fd;
    o.m_fd = -1;
  }
  return *this;
}

void FolderHandle::Close() {
  if (m_fd < 0) return;
  const int saved = errno;
  m_env->Close(m_fd);
  m_fd = -1;
  errno = saved;
}

bool FolderHandle::Open(const std::string& path) {
  Close();
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  m_fd = m_env->Open(path, O_RDONLY | O_DIRECTORY, 0);
  return m_fd >= 0;
}

std::string FolderHandle::Path() const { return "/proc/self/fd/" + std::to_string(m_fd); }

std::string FolderHandle::EntryPath(const std::string& name) const {
  return m_fd < 0 ? std::string() : Path() + "/" + name;
}

bool FolderHandle::OpenChild(const std::string& name, bool create, mode_t mode, FolderHandle* child) const {
  child->Close();
  if (m_fd < 0) {
    errno = EBADF;
    return false;
  }
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    errno = EINVAL;
    return false;
  }
  const std::string entry = EntryPath(name);
  // mkdir never follows a link at its last element: a link there is EEXIST, and is
  // refused by the open below.
  const bool made = create && m_env->Mkdir(entry, mode);
  if (create && !made && errno != EEXIST) return false;
  const int fd = m_env->Open(entry, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0);
  if (fd < 0) return false;
  FolderHandle opened(m_env);
  opened.m_fd = fd;
  if (made && !m_env->Sync(m_fd) && errno != EINVAL) return false;
  *child = std::move(opened);
  return true;
}
