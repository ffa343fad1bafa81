#include "platform/namedlock.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posixfile.h"

namespace {

// The folder without trailing separators ("/" stays).
std::string TrimFolder(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

// True when st is a folder of this user.
bool IsOwnFolder(const struct stat& st) { return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid(); }

// $XDG_RUNTIME_DIR when it is an absolute path to a folder of this user that it can
// write; "" otherwise.
std::string RuntimeFolder(FileEnv* env) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime != '/') return std::string();
  struct stat st {};
  if (!env->Stat(runtime, &st) || !IsOwnFolder(st) || !env->Access(runtime, W_OK)) return std::string();
  return runtime;
}

// Creates the folder and its missing parents, new ones 0700.
bool MakeFolders(FileEnv* env, const std::string& folder) {
  struct stat st {};
  if (env->Stat(folder, &st)) return true;  // its kind and owner are checked by the caller
  if (errno != ENOENT) return false;
  std::string parent = FolderOfPath(folder);
  if (!parent.empty() && parent != folder && !MakeFolders(env, parent)) return false;
  return env->Mkdir(folder, 0700) || errno == EEXIST;
}

}  // namespace

CNamedLock::CNamedLock(const std::string& name, const std::string& folder, FileEnv* env)
    : m_env(env), m_name(name), m_folder(folder) {
  std::lock_guard<std::mutex> guard(m_mutex);
  ErrnoKeeper keep;
  Open();
}

CNamedLock::~CNamedLock() {
  if (m_fd >= 0) m_env->Close(m_fd);
}

void CNamedLock::SetFolder(const std::string& folder) {
  std::lock_guard<std::mutex> guard(m_mutex);
  ErrnoKeeper keep;
  m_folder = folder;
  Open();
}

std::string CNamedLock::path() {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_path;
}

void CNamedLock::Open() {
  if (m_fd >= 0) m_env->Close(m_fd);
  m_fd = -1;
  m_path.clear();
  m_pid = ::getpid();
  std::string folder = RuntimeFolder(m_env);
  if (folder.empty()) folder = TrimFolder(m_folder);
  if (folder.empty()) return;
  std::string path = (folder == "/" ? folder : folder + "/") + m_name + ".lock";
  std::string why;
  m_fd = OpenOwnedFile(folder, path, &why);
  if (m_fd >= 0) {
    m_path = path;
  } else if (path != m_toldPath) {
    m_toldPath = path;
    std::fprintf(stderr, "%s: lock file %s not used (%s); only the threads of this process exclude each other\n",
                 program_invocation_short_name, path.c_str(), why.c_str());
  }
}

int CNamedLock::OpenOwnedFile(const std::string& folder, const std::string& path, std::string* why) {
  struct stat st {};
  if (!MakeFolders(m_env, folder) || !m_env->Stat(folder, &st)) {
    *why = std::string("its folder cannot be made: ") + std::strerror(errno);
    return -1;
  }
  if (!IsOwnFolder(st)) {
    *why = "its folder is not this user's";
    return -1;
  }
  int fd = m_env->Open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0) {
    *why = errno == ELOOP ? std::string("it is a symbolic link") : std::string(std::strerror(errno));
    return -1;
  }
  if (!m_env->Fstat(fd, &st) || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    *why = "it is not a regular file of this user";
    m_env->Close(fd);
    return -1;
  }
  return fd;
}

void CNamedLock::lock() {
  m_mutex.lock();
  ErrnoKeeper keep;
  if (m_pid != ::getpid()) Open();
  if (m_fd >= 0) m_env->Flock(m_fd, LOCK_EX);
}

void CNamedLock::unlock() {
  if (m_fd >= 0) {
    ErrnoKeeper keep;
    m_env->Flock(m_fd, LOCK_UN);
  }
  m_mutex.unlock();
}
