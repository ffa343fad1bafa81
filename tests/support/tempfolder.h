// What a local storage's temp folder holds, as tests of transfers check it: after a
// transfer it must hold nothing but resume folders of unfinished block downloads and
// the blocks they keep.
#pragma once

#include <regex>
#include <string>
#include <vector>

#include "common/filehelper.h"
#include "core/interfaces/ilocalstorage.h"

// Every path below the store's temp folder (relative, sorted), folders with a trailing
// "/", but for the store's own work folder and its lock file (what is inside is listed).
inline std::vector<std::string> TempFolderEntries(ILocalStorage* store) {
  std::vector<std::string> out;
  const std::string temp = store->GetTempFolder();
  const std::string work = FolderOfPath(store->GetTempFilePath()).substr(temp.size());
  WalkFolder(temp, "*", [&](WalkKind kind, const std::string& folder, const std::string& name) {
    std::string rel = folder.substr(temp.size());
    if (kind == kWalkFile && rel + name != work + ".lock") out.push_back(rel + name);
    if (kind == kWalkEnter && !rel.empty() && rel != work + "/") out.push_back(rel);
    return true;
  });
  return out;
}

// The entries that are neither a resume folder nor a kept block in one: what a
// transfer must never leave behind.
inline std::vector<std::string> TempLeftovers(ILocalStorage* store) {
  static const std::regex kept("resume-[^/]*/([0-9a-f]{46}\\.done)?");
  std::vector<std::string> out;
  for (const std::string& e : TempFolderEntries(store))
    if (!std::regex_match(e, kept)) out.push_back(e);
  return out;
}
