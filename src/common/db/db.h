// The data-base layer: what the engine uses to reach SQLite. CDB never lets an
// exception escape: every failure comes back as a result code after a level-0 line
// "Src:<operation> -- <SQLite message> -- SQL:<statement>":
//   E_CV_DB_FULL   SQLite reported SQLITE_FULL (disk or size limit reached);
//   E_CV_DB_ERROR  any other failure of the wrapper (busy after its bound, SQL error,
//                  a bad column, the data base not open);
//   E_FAIL         anything else (out of memory).
//
// One CDB is shared by several threads. The data-base lock (re-entrant) is held by every
// statement, query and row read, so statements never interleave inside one CDB. Texts
// are UTF-8. Values from the service or the user go into "?" parameters (params), never
// into the SQL text.
//
// Lock order, outermost first: the local storage's transaction lock, its storage lock,
// then the data-base lock, which is innermost: whoever holds it takes no other lock and
// waits for no thread that may need it (the waits for another process below keep to
// that). Config-table writes from outside the local storage take only the data-base lock.
//
// Waiting for another process. A statement that finds the file locked by another
// process waits within the connection's busy policy (BusyPolicy: the bound maxWait, the
// backoff, a busy line on the first, every logEvery-th and the last try); still busy
// then, it fails with E_CV_DB_ERROR. SQLite itself waits inside one step, under the
// data-base lock, only while the connection holds no lock on the file or holds its
// write lock (a commit waiting for other processes' readers): then no other process
// waits for this connection, and the wait needs no thread of ours to end. SQLite gives
// up at once instead when a write (BEGIN IMMEDIATE, a data-changing statement outside a
// transaction) meets another process's write lock while a listing of another thread
// holds the connection's read lock: that process may be waiting to commit until the
// read lock goes. The write is then tried again after pauses during which the calling
// thread lets the data-base lock go and the write holds no read lock, so the listing
// reads on and ends, the other process commits and the write goes through; a write
// whose data base is closed meanwhile fails with E_CV_DB_ERROR and runs no more. A
// thread that holds the lock from an outer Lock() cannot let it go: its write waits
// holding it while the listing stands still, and fails at the end of its wait. Inside
// a transaction the thread holds SQLite's write lock, and the data-base lock by design.
//
// Transactions belong to the thread that began them. BeginTransaction runs "BEGIN
// IMMEDIATE", which takes SQLite's write lock at once, so no other process changes the
// data base between a read and a write of the transaction; from then until its
// CommitTransaction or RollbackTransaction the thread holds the data-base lock, so no
// other thread's statement runs inside the transaction (they wait for its end). Begin
// on a thread with a transaction open nests; only the outermost Commit commits.
// A statement or commit that fails inside a transaction rolls the transaction back
// before its failure is returned; every later data-changing statement of the thread
// then fails with that result without running, until its Commit (which returns that
// result) or Rollback: nothing of a failed transaction is ever written on its own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/db/cppsqlite3db.h"
#include "common/db/dblock.h"
#include "common/db/dbqueryhelper.h"
#include "common/resultcodes.h"

// Values for the "?" parameters of a statement, in order.
using DBParams = CppSQLite3Params;

class CDB : private CppSQLite3DB {
 public:
  // A missing data-base file is created through env (see cppsqlite3db.h).
  explicit CDB(FileEnv* env = FileEnv::Default());
  ~CDB() override;

  // Opens (creating, mode 0600) the data-base file; an open connection is closed
  // first. E_FAIL when it cannot be opened.
  HRESULT Init(const std::string& dbPath);
  // Closes the data base; later calls fail with E_CV_DB_ERROR. Waits for another
  // thread's transaction to end; the caller's own open transaction is rolled back.
  // Always S_OK.
  HRESULT UnInit();

  // Runs one data-changing statement under the data-base lock.
  HRESULT execDML(const std::string& sql, const DBParams& params = {});
  // Runs a select; the first row (if any) is current in out.
  HRESULT execQuery(const std::string& sql, CDBQueryHelper& out, const DBParams& params = {});
  HRESULT tableExists(const std::string& table, bool* pExists);
  // execDML; when it fails, pauses (1000 ms) and runs it once more. Inside a
  // transaction that SQLite has already ended, the statement is not run again. The
  // pause is taken without the data-base lock, unless the calling thread holds it from
  // an outer Lock() or its transaction.
  HRESULT ExecDMLRetry(const std::string& sql, const DBParams& params = {});

  // See the transaction rules above. A failed outermost BEGIN leaves no transaction
  // open. Commit and Rollback on a thread without a transaction: E_FAIL, logged.
  HRESULT BeginTransaction();
  HRESULT CommitTransaction();
  // Rolls the thread's transaction back whole, however deeply nested; S_FALSE when it
  // has none.
  HRESULT RollbackTransaction();
  // The data-base lock, for callers that read many rows in runs. The thread's own
  // writes keep it through their waits (see above): hold it for reading.
  std::unique_lock<CDBLock> Lock() { return std::unique_lock<CDBLock>(*m_spLock); }
  // True when the calling thread has a transaction open.
  bool OwnsTransaction() const { return m_txnOwner.load() == std::this_thread::get_id(); }

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

  // Seams: the busy wait (bound, backoff, clock) and the pause of ExecDMLRetry, which
  // is taken from the busy policy's clock. Set before the CDB is shared.
  using CppSQLite3DB::busyPolicy;
  using CppSQLite3DB::isOpen;
  using CppSQLite3DB::setBusyPolicy;
  using CppSQLite3DB::setBusyTimeout;
  void SetRetryPause(std::chrono::milliseconds pause) { m_retryPause = pause; }

 private:
  // Lets the data-base lock go during the busy pauses of an operation that the calling
  // thread began without holding it, while no transaction is open.
  class PauseUnlock;

  // One statement under the data-base lock; pause (when given) is let go during its
  // busy pauses.
  HRESULT ExecOnce(const std::string& sql, const DBParams& params, BusyPauseLock* pause = nullptr);
  HRESULT ExecWithRetry(const std::string& sql, const DBParams& params, bool rollbackOnFailure);
  bool InTransaction() const { return isOpen() && !isAutoCommit(); }
  // After a failure inside a transaction: records it as the transaction's failure and
  // rolls the transaction back (SQLite may have done so already).
  void RollbackAfterFailure(HRESULT failure);
  // True, with *hr the recorded failure and a log line, for a data-changing statement
  // of a thread whose transaction was rolled back. Under the data-base lock.
  bool RefusedAfterFailure(const std::string& sql, HRESULT* hr);
  // Ends the calling thread's transaction: clears its state and releases the
  // data-base lock as often as BeginTransaction took it. Under the data-base lock.
  void EndTransaction();

  std::shared_ptr<CDBLock> m_spLock;
  std::chrono::milliseconds m_retryPause{1000};
  // The thread whose transaction is open (none: a default id); its nesting depth and
  // the failure that rolled it back (S_OK while it stands). Written under the
  // data-base lock by the owner only.
  std::atomic<std::thread::id> m_txnOwner{};
  int m_txnDepth = 0;
  HRESULT m_txnFailure = S_OK;
};

// The exception logger: "Src:%s -- %s -- SQL:%s" at level 0.
void LogDBException(const char* source, const CppSQLite3Exception& e, const std::string& sql);
// E_CV_DB_FULL for SQLITE_FULL, else E_CV_DB_ERROR.
HRESULT DBResultFromException(const CppSQLite3Exception& e);

// A copy of the text with every "'" doubled, for a value placed between quotes.
std::string EscapeSqlString(const std::string& value);
