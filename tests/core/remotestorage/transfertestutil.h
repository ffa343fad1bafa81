// Helpers of the transfer tests: a local storage in the test's folder, whose temp
// folder the block download works in, and what transfers left in that folder.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/db/dbhelper.h"
#include "common/filehelper.h"
#include "common/unknown.h"
#include "core/interfaces/ilocalstorage.h"
#include "core/localstorage/localstorage.h"
#include "core/remotestorage/blockid.h"
#include "support/testenv.h"

class TransferStorage {
 public:
  // A store on the user's data base in root/user, its sync folder root/sync.
  void Open(const std::string& root) {
    const std::string user = root + "/user";
    ASSERT_EQ(0, RunCommand("mkdir -p " + ShellQuote(user)));
    ASSERT_EQ(S_OK, OpenUserDB(user));
    GetUserDB()->SetRetryPause(std::chrono::milliseconds(0));
    ASSERT_EQ(S_OK, CreateLocalStorage(m_store.Receive()));
    ASSERT_EQ(S_OK, m_store->Init(user, root + "/sync"));
  }
  void Close() {
    m_store = nullptr;
    CloseUserDB();
  }
  ILocalStorage* Store() { return m_store.get(); }
  std::string Temp() { return m_store->GetTempFolder(); }

  // Every path below the temp folder (relative, sorted), folders with a trailing "/",
  // but for the store's own work folder and its lock file (what is inside is listed).
  std::vector<std::string> Entries() {
    std::vector<std::string> out;
    const std::string temp = Temp();
    const std::string work = FolderOfPath(m_store->GetTempFilePath()).substr(temp.size());
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
  std::vector<std::string> Leftovers() {
    std::vector<std::string> out;
    for (const std::string& e : Entries()) {
      bool resume = e.rfind("resume-", 0) == 0;
      size_t slash = e.find('/');
      std::string name = slash == std::string::npos ? e : e.substr(slash + 1);
      bool keptBlock = resume && name.size() == kBlockIdLength + 5 && name.ends_with(".done") &&
                       IsValidBlockId(name.substr(0, kBlockIdLength));
      if (!(resume && (name.empty() || keptBlock))) out.push_back(e);
    }
    return out;
  }
  // The kept blocks of every resume folder.
  std::vector<std::string> KeptBlocks() {
    std::vector<std::string> out;
    for (const std::string& e : Entries())
      if (e.ends_with(".done")) out.push_back(e);
    return out;
  }

 private:
  RefPtr<ILocalStorage> m_store;
};
