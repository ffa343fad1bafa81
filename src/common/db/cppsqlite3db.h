// A connection to one SQLite data-base file, in serialized mode: one connection may be
// used by several threads, SQLite serialising the calls. All SQL is UTF-8. Every
// failure throws CppSQLite3Exception: library failures with the library's code and
// message, the wrapper's own checks with CPPSQLITE_ERROR ("Database not open", ...).
//
// A busy data base (another connection or process holds the lock) is waited for by
// one busy handler, installed at open with this object as its context: it pauses with
// a short backoff and gives up when the operation has waited BusyPolicy::maxWait; an
// execution still busy then (or busy at once: SQLite calls no handler for a write while
// the connection holds a read lock) re-runs its first step within the same bound,
// outside a transaction from its start, so that it holds no read lock while it pauses.
// A statement that stays busy throws with code SQLITE_BUSY (text "SQLITE_BUSY[5]: ...").
// execDML and execQuery let a lock of the caller's (pauseLock) go during the pauses
// between those re-runs, never while SQLite waits inside a step; the caller then opens
// and closes the connection only under that lock. An execution whose connection was
// closed or replaced during such a pause throws "Database not open" and runs no more.
//
// execDML and execQuery keep the statements they prepare for the next run of the same
// text (see cppsqlite3stmtcache.h); closing the connection lets them go.
//
// The wrapper creates a missing data-base file through its FileEnv; SQLite opens,
// reads, writes and locks the file and its journals itself, through its own file
// access (no SQLite VFS is put over the FileEnv).
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>

#include "common/db/busypolicy.h"
#include "common/db/cppsqlite3exception.h"
#include "common/db/cppsqlite3query.h"
#include "common/db/cppsqlite3statement.h"
#include "common/db/cppsqlite3stmtcache.h"
#include "platform/fileenv.h"

class CppSQLite3DB {
 public:
  explicit CppSQLite3DB(FileEnv* env = FileEnv::Default());
  virtual ~CppSQLite3DB();
  CppSQLite3DB(const CppSQLite3DB&) = delete;
  CppSQLite3DB& operator=(const CppSQLite3DB&) = delete;

  // Opens the file read-write, creating it (mode 0600) when missing; a connection
  // already open is closed first.
  void open(const std::string& file);
  // Closes the connection. Statements and queries still alive keep working on it
  // until they are finalized (the connection goes with the last of them), but no
  // longer wait when busy.
  void close();
  bool isOpen() const { return mpDB != nullptr; }
  // False while a transaction is open.
  bool isAutoCommit() const;

  // The busy bound in milliseconds (60000 by default).
  void setBusyTimeout(int ms);
  // Set before the connection is shared between threads.
  void setBusyPolicy(const BusyPolicy& policy) { m_busyPolicy = policy; }
  const BusyPolicy& busyPolicy() const { return m_busyPolicy; }

  // True when a table of that name exists (the name is bound, any length).
  bool tableExists(const std::string& table);
  // Runs exactly one statement (a text holding a second one is refused before
  // anything runs) with the values bound to its parameters; rows it returns are
  // passed over. Returns the rows changed.
  int execDML(const std::string& sql, const CppSQLite3Params& params = {}, BusyPauseLock* pauseLock = nullptr);
  // Runs a query with the values bound; the first row, if any, is current.
  CppSQLite3Query execQuery(const std::string& sql, const CppSQLite3Params& params = {},
                            BusyPauseLock* pauseLock = nullptr);
  // The first column of the first row as an int; "Invalid scalar query" without one.
  int execScalar(const std::string& sql);
  CppSQLite3Table getTable(const std::string& sql);
  CppSQLite3Statement compileStatement(const std::string& sql);

 private:
  static int BusyHandler(void* context, int count);
  void checkDB() const;

  FileEnv* m_env;
  sqlite3* mpDB = nullptr;
  BusyPolicy m_busyPolicy;
  std::shared_ptr<CppSQLite3StatementCache> m_statements;  // of the open connection
};
