// The configuration folder: where config.ini, the log, the dumps and every user's
// folder live.
#pragma once

#include <string>

#include "platform/fileenv.h"
#include "platform/homefolder.h"  // GetHomeFolder

// The global registry value ConfigPath when it is not empty, exactly as stored (no
// separator added); otherwise the application-data folder joined with
// "Tarvelin/ostrel/", with the trailing separator. The application-data folder is
// $XDG_DATA_HOME when it is an absolute path, else ~/.local/share (the home folder
// from $HOME, else the password data base). Callers join names to the result with a
// separator test, never by plain concatenation. The store is read through env.
std::string GetConfigFolder(FileEnv* env = FileEnv::Default());
