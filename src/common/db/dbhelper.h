// The data base of the signed-in user: "tevok.db" in the user's folder, with its
// key-value table "config".
//
// Each sign-in opens a session of its own (a new CDBHelper) and log-out ends it.
// Components keep the session they were made in by a shared reference: a worker left
// over from an ended session keeps that session's objects alive, but its data base is
// closed, so its statements fail (E_CV_DB_ERROR, logged) and never reach the file of
// the user who signed in next.
#pragma once

#include <memory>
#include <string>

#include "common/db/db.h"
#include "common/db/kvdb.h"

class CDBHelper : public CDB {
 public:
  // Opens <rootPath>/tevok.db and binds Config() to its table "config" (created when
  // missing). The first failure is logged and returned.
  HRESULT Init(const std::string& rootPath);
  // Unbinds Config() and closes the data base, after any transaction in progress.
  // Always S_OK.
  HRESULT UnInit();
  const std::string& GetDBPath() const { return m_strDBPath; }
  CKVDB& Config() { return m_config; }

 private:
  std::string m_strDBPath;
  CKVDB m_config;
};

// The current session's data base and config table; null while no user is signed in.
// Safe from any thread.
std::shared_ptr<CDBHelper> GetUserDB();
std::shared_ptr<CKVDB> GetConfigTable();

// Opens a new session on <rootPath>/tevok.db, ending the current one first. When the
// open fails, its failure is returned and no session is current.
HRESULT OpenUserDB(const std::string& rootPath);
// Ends the current session (see above); without one, nothing happens.
void CloseUserDB();
