// The folders a download makes and enters below the folder the user chose to download
// into. That folder is the user's: a link there is followed. Every folder below it is
// made when missing and opened relative to the one above without following a link, so
// that a link planted at a folder's place (by another user of a shared folder such as
// /tmp, or by anything else) is never written through, and nothing is made in its
// target. Every file-system call goes through the FileEnv of the handles given.
#pragma once

#include <string>

#include "common/resultcodes.h"
#include "platform/folderhandle.h"

// The mode of the folders a download makes (less the umask): those of the user.
inline constexpr mode_t kDownloadFolderMode = 0777;

// The result of a folder that could not be made or entered, by the errno of the failed
// call: E_CV_LOCAL_NOT_FOLDER for a link or anything else but a folder in its place
// (ENOTDIR, ELOOP), E_CV_LOCAL_NOT_EXIST (ENOENT), E_CV_LOCAL_LOCKED (EACCES, EPERM,
// EROFS), else E_FAIL.
HRESULT FolderEntryResult(int err);

// Makes parent's entry name when missing and opens it as *child without following a
// link. S_OK, or FolderEntryResult of the failure with *child closed.
HRESULT EnterSubFolder(const FolderHandle& parent, const std::string& name, FolderHandle* child);

// Opens the folder that holds the file at path, which lies below root: root is opened
// as it is (a link followed), then each folder between root and the file is entered
// with EnterSubFolder, each relative to the one above; *folder works through env. S_OK
// with *folder open and *name the file's name (its entry in *folder). E_INVALIDARG when
// path is not root followed by "/" and safe elements (see IsSafeRelativePath); else the
// result of the folder that failed, whose path *failedAt then names.
HRESULT OpenFolderOfFileBeneath(const std::string& root, const std::string& path, FolderHandle* folder,
                                std::string* name, std::string* failedAt, FileEnv* env);
