// What a folder upload left out. The engine's folder upload goes on past the entries it
// cannot take and answers only with the code of its last one; this check walks the
// same local tree afterwards and holds it against the transfers that were queued, so
// that every entry that did not become a transfer is named, with the reason in words.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <vector>

class FileEnv;

// An entry of a local folder that did not become a transfer.
struct LeftOutEntry {
  std::string localPath;
  std::string why;  // for the user, in English
};

// Why a file larger than the upload limit is left out.
std::string OverUploadLimitReason();

struct FolderUploadCheck {
  // Entries the upload does not take: links, special files, names a cloud item cannot
  // have, files over the size limit, folders too deep, and folders that could not be
  // listed (whole or in part), each with its reason. Nothing below a refused folder is
  // looked at.
  std::vector<LeftOutEntry> refused;
  // Regular files the upload takes, by whether a transfer was queued for them.
  std::vector<std::string> unqueued;
  size_t queued = 0;
};

// Walks localFolder as the folder upload does (links are never followed; a regular
// file is queued under the cloud path made of cloudFolder, in the engine's form, and
// the names below it) and sorts every entry below it. queuedPaths holds the cloud
// paths (engine form) of the transfers queued. Every file-system call goes through
// env; a call that fails is a reason, never an error of the check.
FolderUploadCheck CheckFolderUpload(FileEnv* env, const std::string& localFolder, const std::string& cloudFolder,
                                    const std::set<std::string>& queuedPaths);
