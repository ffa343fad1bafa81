// The data-base layer: what the engine uses to reach SQLite. CDB never lets an
// exception escape: every failure comes back as a result code after a level-0 line
// "Src:<operation> -- <SQLite message> -- SQL:<statement>":
//   E_CV_DB_FULL   SQLite reported SQLITE_FULL (disk or size limit reached);
//   E_CV_DB_ERROR  any other failure of the wrapper (busy after its bound, SQL error,
//                  a bad column, the data base not open);
//   E_FAIL         anything else (out of memory).
//
// One CDB is shared by several threads. The data-base lock (re-entrant, innermost of
// the engine's locks) is held by every statement, query and row read, so statements
// never interleave inside one CDB. Texts are UTF-8. Values from the service or the user
// go into "?" parameters (params), never into the SQL text.
//
// Transactions: a statement or commit that fails inside a transaction rolls the
// transaction back before its failure is returned, so the connection never stays inside
// a half-done transaction; the caller's later statements then run on their own and its
// commit fails.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "common/db/cppsqlite3db.h"
#include "common/db/dbqueryhelper.h"
#include "common/resultcodes.h"

// Values for the "?" parameters of a statement, in order.
using DBParams = CppSQLite3Params;

class CDB : private CppSQLite3DB {
 public:
  CDB();
  ~CDB() override;

  // Opens (creating, mode 0600) the data-base file; an open connection is closed
  // first. E_FAIL when it cannot be opened.
  HRESULT Init(const std::string& dbPath);
  // Closes the data base; later calls fail with E_CV_DB_ERROR. Always S_OK.
  HRESULT UnInit();

  // Runs one data-changing statement under the data-base lock.
  HRESULT execDML(const std::string& sql, const DBParams& params = {});
  // Runs a select; the first row (if any) is current in out.
  HRESULT execQuery(const std::string& sql, CDBQueryHelper& out, const DBParams& params = {});
  HRESULT tableExists(const std::string& table, bool* pExists);
  // execDML; when it fails, pauses (1000 ms) and runs it once more. Inside a
  // transaction that SQLite has already ended, the statement is not run again.
  HRESULT ExecDMLRetry(const std::string& sql, const DBParams& params = {});

  HRESULT BeginTransaction();
  HRESULT CommitTransaction();
  // Rolls back the open transaction; S_FALSE when none is open.
  HRESULT RollbackTransaction();

  // The templates, each "... %s ..." filled with the arguments as they stand (names,
  // column lists, conditions with "?" for values).
  HRESULT CreateTable(const std::string& table, const std::string& columns);
  HRESULT SelectWhere(const std::string& table, CDBQueryHelper& out, const std::string& condition,
                      const std::string& tail = std::string(), const DBParams& params = {});
  HRESULT InsertRow(const std::string& table, const std::string& fields, const std::string& values,
                    const DBParams& params = {});
  HRESULT UpdateRows(const std::string& table, const std::string& fieldsAndValues, const std::string& condition,
                     const DBParams& params = {});
  // Without a condition every row goes.
  HRESULT DeleteRows(const std::string& table, const std::string& condition = std::string(),
                     const DBParams& params = {});
  HRESULT DeleteById(const std::string& table, int64_t id);
  // Compares column names ignoring case.
  HRESULT ColumnExists(const std::string& table, const std::string& column, bool* pExists);
  // Adds the column when it is missing; S_FALSE (nothing changed) when it is there.
  HRESULT AddColumn(const std::string& table, const std::string& field, const std::string& type,
                    const std::string& defaultValue);

  // The data-base lock, for callers that must make several statements one step.
  std::unique_lock<std::recursive_mutex> Lock() { return std::unique_lock<std::recursive_mutex>(*m_spLock); }

  // Seams: the busy wait (bound, backoff, clock) and the pause of ExecDMLRetry, which
  // is taken from the busy policy's clock. Set before the CDB is shared.
  using CppSQLite3DB::busyPolicy;
  using CppSQLite3DB::isOpen;
  using CppSQLite3DB::setBusyPolicy;
  using CppSQLite3DB::setBusyTimeout;
  void SetRetryPause(std::chrono::milliseconds pause) { m_retryPause = pause; }

 private:
  HRESULT ExecOnce(const std::string& sql, const DBParams& params);
  HRESULT ExecWithRetry(const std::string& sql, const DBParams& params, bool rollbackOnFailure);
  bool InTransaction() const { return isOpen() && !isAutoCommit(); }
  void RollbackAfterFailure();

  std::shared_ptr<std::recursive_mutex> m_spLock;
  std::chrono::milliseconds m_retryPause{1000};
};

// The exception logger: "Src:%s -- %s -- SQL:%s" at level 0.
void LogDBException(const char* source, const CppSQLite3Exception& e, const std::string& sql);
// E_CV_DB_FULL for SQLITE_FULL, else E_CV_DB_ERROR.
HRESULT DBResultFromException(const CppSQLite3Exception& e);

// A copy of the text with every "'" doubled, for a value placed between quotes.
std::string EscapeSqlString(const std::string& value);
