// Where the folder watcher looks by default: the user's home folder and the folders
// where removable media are mounted for the user.
#pragma once

#include <string>
#include <vector>

// The home folder (GetHomeFolder; left out when it is not known, never "/"),
// "/media/<user>" and "/run/media/<user>", with the user name from $USER, else from
// the password data base (left out when no name is known). Folders that do not exist are listed all the same: a
// watch leaves them out.
std::vector<std::string> DefaultWatchRoots();
