// The user's home folder and the XDG base folders below it.
#pragma once

#include <string>

// $HOME when it is an absolute path, else the password data base's entry for this
// user when that is absolute; "/" when neither is known.
std::string GetHomeFolder();

// An XDG base folder: $<variable> when it is an absolute path, else the home folder
// joined with homeRelative (".config", ".local/share"). No trailing "/" is added.
std::string GetXdgBaseFolder(const char* variable, const char* homeRelative);
