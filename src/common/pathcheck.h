// Checks for names and relative paths that come from the service or another caller
// and become local paths: they must never reach outside the folder they are put in.
#pragma once

#include <string_view>

// True for one safe path element: not empty, not "." or "..", no "/" and no NUL.
bool IsSafePathComponent(std::string_view name);

// True for a path that stays inside the folder it is joined to: "" (the folder
// itself), or safe elements joined by single "/" (no leading or trailing "/").
bool IsSafeRelativePath(std::string_view path);
