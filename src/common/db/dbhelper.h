// The data base of the signed-in user: "tevok.db" in the user's folder, with its
// key-value table "config".
#pragma once

#include <string>

#include "common/db/db.h"
#include "common/db/kvdb.h"

class CDBHelper : public CDB {
 public:
  // Opens <rootPath>/tevok.db and binds GetConfigTable() to its table "config"
  // (created when missing). The first failure is logged and returned.
  HRESULT Init(const std::string& rootPath);
  // Unbinds GetConfigTable() and closes the data base. Always S_OK.
  HRESULT UnInit();
  const std::string& GetDBPath() const { return m_strDBPath; }

 private:
  std::string m_strDBPath;
};

// The process-wide instances, created on first use and destroyed at exit. The first
// use is on the sign-in path, before other threads use the data base.
CDBHelper& GetUserDB();
CKVDB& GetConfigTable();
