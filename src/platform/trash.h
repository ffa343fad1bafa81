// The user's Trash (freedesktop.org Trash specification) in place of the recycle bin.
// Moves keep the data: a file that cannot be moved to a Trash on its own file system
// stays where it is and the call fails. Nothing is ever deleted permanently.
#pragma once

#include <string>

// Moves a file or folder into $XDG_DATA_HOME/Trash (files/ and info/<name>.trashinfo),
// or into the .Trash-<uid> folder at the top of its own file system. True on success.
bool MoveToTrash(const std::string& path);
