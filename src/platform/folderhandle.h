// An open folder: an O_DIRECTORY descriptor (close-on-exec) opened through a FileEnv,
// through which the folders below it are made and entered without following a link,
// and whose entries are named by paths that keep to this very folder whatever its own
// path names meanwhile (it may be moved away and a link planted in its place). The
// path-based calls of FileEnv, and everything built on them (MoveReplace among them),
// then act inside the folder that was opened.
//
// A handle is owned by one thread at a time; it holds its descriptor until Close or
// its end, so hold one only while working in the folder.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/fileenv.h"

class FolderHandle {
 public:
  explicit FolderHandle(FileEnv* env = FileEnv::Default()) : m_env(env) {}
  ~FolderHandle() { Close(); }
  FolderHandle(FolderHandle&& o) noexcept;
  FolderHandle& operator=(FolderHandle&& o) noexcept;
  FolderHandle(const FolderHandle&) = delete;
  FolderHandle& operator=(const FolderHandle&) = delete;

  // Opens path as a folder (one open before is closed first). Links on the way, the
  // last element's included, are followed: for a folder the user chose. False with
  // errno set (ENOTDIR when path is no folder).
  bool Open(const std::string& path);
  // Opens this folder's entry name as *child without following a link; with create the
  // entry is made first when missing (mode less the umask), and recorded durably here
  // (this folder is fsynced). name must be one path element. False with errno set,
  // *child closed: ENOTDIR for a link or anything else but a folder (ELOOP where the
  // kernel tells a link so), else the errno of the failed mkdir, open or fsync (a file
  // system that cannot sync a folder, EINVAL, counts as synced). A link in the way is
  // never followed, and nothing is made in or through it. The child works through this
  // handle's FileEnv.
  bool OpenChild(const std::string& name, bool create, mode_t mode, FolderHandle* child) const;

  // A path naming the entry name of this very folder for as long as the handle is
  // open: "/proc/self/fd/<descriptor>/<name>". "" when the handle is closed. A link at
  // the entry itself is that of the folder: calls that follow a final link follow it.
  std::string EntryPath(const std::string& name) const;

  bool IsOpen() const { return m_fd >= 0; }
  // Closes the descriptor; a closed handle stays closed.
  void Close();

 private:
  std::string Path() const;

  FileEnv* m_env;
  int m_fd = -1;
};
