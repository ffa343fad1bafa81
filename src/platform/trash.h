// The user's Trash (freedesktop.org Trash standard) in place of the recycle bin.
// Moves keep the data: a file that cannot be moved to a Trash on its own file system
// stays where it is and the call fails. Nothing is ever deleted permanently.
#pragma once

#include <string>

#include "platform/fileenv.h"

class Clock;

// Moves a file, folder or symbolic link (the link itself) into the home Trash
// ($XDG_DATA_HOME/Trash, else ~/.local/share/Trash, the home folder as homefolder.h
// finds it) when it lies on the same file system, else into $topdir/.Trash/<uid> or
// $topdir/.Trash-<uid> at the top of its own file system. The entry goes to files/<name> (a unique name when <name> is
// taken) with info/<name>.trashinfo holding the percent-encoded absolute path and the
// local deletion time from the clock (the system clock when null). True on success;
// false with errno set and the item untouched, with no trace left in the Trash. Every
// file-system call goes through env.
bool MoveToTrash(const std::string& path, Clock* clock = nullptr, FileEnv* env = FileEnv::Default());
