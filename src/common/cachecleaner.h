// Trims the signed-in user's sync folder to a size limit at the end of a session,
// deleting the least recently accessed cached files first.
#pragma once

#include <cstdint>
#include <string>

#include "platform/fileenv.h"

inline constexpr int64_t kCacheLimitBytes = 524288000;

// Reads the global UserId and that user's SyncRoot; when the sync folder is set and
// is a folder other than "/" and the home folder, walks it and deletes files, least
// recently accessed first, while the listed files together hold more than
// kCacheLimitBytes (their sizes as recorded, not the blocks they use).
//
// Only cached copies are listed: regular files that their owner cannot write (the
// engine keeps synced copies read-only; a writable file holds an edit not yet sent,
// or is open for editing). Symbolic links are neither followed nor deleted; special
// files are left alone. A failed delete is logged ("*ASSERT*: bRet") and the next
// file is tried; the walk ends at the end of the list. The store and the files are
// reached through env.
void CleanCache(FileEnv* env = FileEnv::Default());

// The same trim on a given folder with a given limit; returns the bytes deleted.
int64_t TrimCacheFolder(const std::string& folder, int64_t limitBytes, FileEnv* env = FileEnv::Default());
