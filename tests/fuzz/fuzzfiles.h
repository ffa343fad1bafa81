// A private scratch folder for fuzz targets that work on files, made once per
// process and removed at exit, with the log written there without pauses.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "common/log.h"

namespace fuzzfiles {

inline const std::string& Folder() {
  static const std::string folder = [] {
    std::string templ = std::filesystem::temp_directory_path().string() + "/ostrel-fuzz-XXXXXX";
    if (!mkdtemp(templ.data())) abort();
    logcontrol::SetPauseMs(0);
    LogInit("fuzz", templ + "/fuzz.log", 0, 0, -1);
    static std::string removeAtExit = templ;
    atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(removeAtExit, ec);
    });
    return templ;
  }();
  return folder;
}

inline std::string Path(const char* name) { return Folder() + "/" + name; }

// Writes the input as the file "input" and returns its path.
inline std::string WriteInput(const uint8_t* data, size_t size) {
  std::string path = Path("input");
  FILE* f = std::fopen(path.c_str(), "wbe");
  if (!f) abort();
  if (size && std::fwrite(data, 1, size, f) != size) abort();
  std::fclose(f);
  return path;
}

}  // namespace fuzzfiles
