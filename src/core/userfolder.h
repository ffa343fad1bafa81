// The signed-in user's folder inside the configuration folder: what may name it, and
// how "not my computer" removes it.
#pragma once

#include <string>
#include <string_view>

#include "platform/fileenv.h"

// The longest user id, in bytes.
inline constexpr size_t kUserIdMaxBytes = 128;

// True when the service's user id can name the user's folder and registry key: one
// path element of [A-Za-z0-9._@-], not "." or "..", 1 to kUserIdMaxBytes bytes.
bool IsSafeUserId(std::string_view userId);

// The user's folder: the configuration folder joined with the user id.
std::string UserFolderPath(const std::string& configRoot, const std::string& userId);

// Deletes the user's folder with everything in it, permanently: the data base and
// every file below it, a sync folder inside it included. Nothing outside it is
// touched: links inside are removed as links, never followed. Refuses (false, nothing
// deleted, logged) an unsafe user id or an empty configuration folder. Failures of
// single entries are logged and the walk goes on; true when everything went (a
// missing folder counts as deleted).
bool DeleteUserFolder(const std::string& configRoot, const std::string& userId, FileEnv* env = FileEnv::Default());
