// The local-file steps of the transfers and of the watch of opened files: where a name
// from the service may become a local path, whether a path lies in the cache folder,
// whether a cached copy still holds what the local storage says, the read-only
// protection of synced copies, and the copy that keeps an edit aside. Paths are UTF-8
// with "/" between elements; every file-system call goes through the FileEnv given.
#pragma once

#include <string>

#include "core/interfaces/fileitemrecord.h"
#include "platform/fileenv.h"

// True when filePath lies below folderPath. Both are normalised first, lexically: taken
// from "/" when relative, empty and "." elements dropped, ".." taking back the element
// before it (never past the root); then the folder's elements must begin the file's,
// compared exactly, and the file must have at least one more. So the folder itself
// (with or without a trailing "/") is not in it, nor is "/a/cache2/x" in "/a/cache";
// letter case counts, as it does on this file system. No link is resolved.
bool IsPathInFolder(const std::string& filePath, const std::string& folderPath);

// One name for the file at path, the same whichever way path reaches it, so that two
// paths of one file (and two processes) can tell that it is one: absolute (a relative
// path is taken from the working folder), the longest leading folder that exists
// resolved through its links (RealPath), the rest normalised as IsPathInFolder does.
// The last element is not resolved: a file that is a link is named by the link. The
// normalised path when no leading folder resolves.
std::string ResolveLocalPath(const std::string& path, FileEnv* env);

// Joins folder and name into *path when name may become one element of a local path:
// one safe element (see IsSafePathComponent) of at most NAME_MAX bytes, and the joined
// path shorter than PATH_MAX. Else false, with a log line naming the item, and *path
// untouched.
bool JoinLocalName(const std::string& folder, const std::string& name, std::string* path);

// True when path is a regular file (a link is not followed).
bool IsRegularFile(const std::string& path, FileEnv* env);

// True when path is a regular file whose size and SHA-1 (ignoring case) are those of
// the item. A file that cannot be read, or an item without a SHA-1, is not unchanged.
// Reads the whole file: call it under no lock.
bool IsLocalCopyUnchanged(const std::string& path, const CFileItemRecord& item, FileEnv* env);

// Clears every write bit of a regular file (the stand-in for the read-only attribute),
// or gives back the write bits a file the user saves would get. False with errno set
// when path is no regular file (a link is never followed) or the change fails.
bool SetFileReadOnly(const std::string& path, FileEnv* env);
bool SetFileWritable(const std::string& path, FileEnv* env);

// Copies the regular file source onto target, replacing it: the copy is written to a
// temp file beside target, synced and renamed over it, so target is either untouched
// or whole. The copy gets the permission bits a file the user saves would get. False
// with errno set, no temp file left and target untouched, on failure.
bool CopyFileReplace(const std::string& source, const std::string& target, FileEnv* env);
