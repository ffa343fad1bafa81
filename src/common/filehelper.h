// File and folder helpers. Paths are UTF-8 with "/" separators. Nothing here follows
// a symbolic link when walking or deleting: a link is removed, never its target. Every
// file-system call goes through the FileEnv given (the real file system by default).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/resultcodes.h"
#include "platform/posixfile.h"

// Creates the folder and every missing parent ("/" creates nothing). 0, or E_FAIL
// with "ERROR_CHECK_BOOL:path.IsDirectory()" when the path is still no folder (a
// link to a folder counts as one). New folders are 0700 unless mode says otherwise.
// Each folder made is recorded durably in its parent (the parent is fsynced), so that
// it survives a power loss; when that fsync fails the call fails too (E_FAIL, logged),
// although the folder was made.
HRESULT EnsureDirectory(const std::string& path, unsigned mode = 0700, FileEnv* env = FileEnv::Default());

// Visit kinds of WalkFolder.
enum WalkKind { kWalkFile = 0, kWalkEnter = 1, kWalkLeave = 2 };
// folder always ends in "/"; name is the entry's name for kWalkFile, else "".
using WalkVisit = std::function<bool(WalkKind kind, const std::string& folder, const std::string& name)>;

// Enters the folder, visits each file matching the pattern ("*.*" and "*" match every
// name; otherwise "*" and "?" wildcards, ASCII case-insensitive) and walks each
// matching sub-folder, in byte order of the names, then leaves. Symbolic links and
// special files are visited as files, never entered; a folder that is itself a link
// is entered and left but not listed. True when every visit said go on (the leaving
// visit is made in every case); false for an empty folder path, with no visit.
// A folder that cannot be listed is logged and its listing skipped.
bool WalkFolder(const std::string& folder, const std::string& pattern, const WalkVisit& visit,
                FileEnv* env = FileEnv::Default());

// Deletes the folder and everything in it; with toRecycleBin each file goes to the
// Trash (and the emptied folders are removed). A symbolic link, inside the tree or as
// the folder itself, is removed as a link; its target is never touched. Folders of
// the user without write permission are made writable first. With goOnAfterErrors a
// failure is logged and the walk continues, else it stops there. True when
// everything went; false for "" and "/", which are never deleted. A missing folder
// counts as deleted.
bool DeleteFolderTree(const std::string& folder, bool toRecycleBin, bool goOnAfterErrors,
                      FileEnv* env = FileEnv::Default());

// Moves a file, folder or link to the user's Trash (see platform/trash.h). 0, or
// E_FAIL with the item untouched and the cause logged; never deletes permanently.
HRESULT DeleteToRecycleBin(const std::string& path, FileEnv* env = FileEnv::Default());

// 0 with the size (of the link's target for a link; 0 for a folder), or E_FAIL
// ("ERROR_CHECK_BOOLEX:bRet").
HRESULT GetFileSizeByPath(const std::string& path, int64_t* size, FileEnv* env = FileEnv::Default());

// Creation and last-write times as local time "YYYY-MM-DD hh:mm:ss.fffffff" (the last
// field in units of 100 ns). Where the file system keeps no creation time the
// last-write time stands for it. A link's own times. Both outs must be empty on
// entry. 0 or E_FAIL.
HRESULT GetFileTimeStrings(const std::string& path, std::string* creationTime, std::string* lastWriteTime,
                           FileEnv* env = FileEnv::Default());

// Moves source onto target, replacing it; across file systems (regular files only)
// by copy to a temp file beside the target, fsync and rename, so the target is never
// half-written. True only when the source is gone and the target exists, durably; a
// failure is logged. A false may follow a move that happened but whose folder could
// not be synced (see MoveReplace): the target is then not to be taken as untouched.
bool MoveFileReplace(const std::string& source, const std::string& target, FileEnv* env = FileEnv::Default());

// Deletes a file (a link itself) whatever its permission bits; a folder is never
// deleted. S_OK when nothing exists at the path any more (also when nothing did);
// else E_FAIL with "ERROR_CHECK_BOOLEX:!::PathFileExistsW(szFilePath)".
HRESULT ForceDeleteFile(const std::string& path, FileEnv* env = FileEnv::Default());

// The file's size and its SHA-1 text (40 lower-case hex digits); cancel may be empty
// and returns false to stop. The first failure is logged and returned.
HRESULT GetFileSizeAndSha1(const std::string& path, int64_t* size, std::string* sha1,
                           const std::function<bool()>& cancel, FileEnv* env = FileEnv::Default());

// A file read from the start, opened on the first Read (read-only, existing only).
// The file is closed when the object goes.
class CReadFileHandle {
 public:
  explicit CReadFileHandle(std::string path, FileEnv* env = FileEnv::Default());
  ~CReadFileHandle();
  CReadFileHandle(const CReadFileHandle&) = delete;
  CReadFileHandle& operator=(const CReadFileHandle&) = delete;
  // Bytes read (fewer only at the end of the file); 0 at the end or on failure. After
  // a failure every later Read gives 0.
  size_t Read(void* buffer, size_t count);
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
  PosixFile m_file;
  bool m_failed = false;
};

// A file written from the start, created (or emptied) on the first Write with mode
// (less the umask). The file is closed, without a flush to disk, when the object goes.
class CWriteFileHandle {
 public:
  explicit CWriteFileHandle(std::string path, unsigned mode = 0666, FileEnv* env = FileEnv::Default());
  ~CWriteFileHandle();
  CWriteFileHandle(const CWriteFileHandle&) = delete;
  CWriteFileHandle& operator=(const CWriteFileHandle&) = delete;
  // Bytes written: count, or 0 on failure. After a failure every later Write gives 0,
  // so that the file never holds a gap.
  size_t Write(const void* buffer, size_t count);
  // Flushes to disk and closes; false when a write, the flush or the close failed.
  // True when nothing was ever written (no file is created then).
  bool Close();
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
  unsigned m_mode;
  PosixFile m_file;
  bool m_failed = false;
};
