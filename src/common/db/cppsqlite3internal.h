// Internal to the SQLite wrapper: the busy accounting of one operation, and the
// prepare, bind and step calls that go with it.
//
// A connection has one busy handler, installed when it is opened. When SQLite calls it,
// the handler looks up the operation that the calling thread is running on that
// connection (a CppSQLite3BusyScope on the thread's stack) for its log text and the
// start of its wait, so it never refers to memory of an operation that has ended.
#pragma once

#include <sqlite3.h>

#include <string>

#include "common/db/busypolicy.h"
#include "common/db/cppsqlite3statement.h"
#include "platform/clock.h"

class CppSQLite3BusyScope {
 public:
  // text is the operation's log text (a literal); sql, when given, is appended to it in
  // log lines and must outlive the scope. The policy is copied.
  CppSQLite3BusyScope(sqlite3* db, const BusyPolicy& policy, const char* text, const char* sql);
  ~CppSQLite3BusyScope();
  CppSQLite3BusyScope(const CppSQLite3BusyScope&) = delete;
  CppSQLite3BusyScope& operator=(const CppSQLite3BusyScope&) = delete;

  // One sqlite3_step. While it reports SQLITE_BUSY and reRun is set, the step is run
  // again after a pause, within the operation's time bound and at most 129 times; the
  // caller's pauseLock (when given) is let go during each such pause, and what its
  // Relock throws ends the step. On SQLITE_DONE *changes (when given) receives
  // sqlite3_changes; on a failure *message receives the connection's message. Both are
  // read together with the step, under the connection's mutex.
  int Step(sqlite3_stmt* vm, bool reRun, std::string* message, int* changes = nullptr,
           BusyPauseLock* pauseLock = nullptr);

  // The connection's busy handler body: pauses and returns true to have SQLite try
  // again, or returns false when the operation's bound is reached. fallback is used
  // when no operation of this thread is running on db.
  static bool OnBusy(sqlite3* db, const BusyPolicy& fallback, int count);

 private:
  enum class Kind { kHandler, kReRun };
  static CppSQLite3BusyScope* Find(sqlite3* db);
  // Logs and pauses (pauseLock let go during the pause); false, without a pause, when
  // the bound is reached.
  bool WaitOnce(int attempt, Kind kind, bool forceLast, BusyPauseLock* pauseLock = nullptr);
  std::string Text() const;
  Clock& GetClock() const;

  sqlite3* m_db;
  BusyPolicy m_policy;
  const char* m_text;
  const char* m_sql;
  bool m_started = false;
  Clock::Ticks m_start{};
  CppSQLite3BusyScope* m_prev;
};

// sqlite3_prepare_v2 under the connection's mutex. Throws CppSQLite3Exception with the
// result code and the connection's message on failure. *tail (when given) points after
// the first statement. The result is null for a text without a statement.
sqlite3_stmt* CppSQLite3Prepare(sqlite3* db, const char* sql, int bytes, const char** tail);

// The connection's current message, read under its mutex.
std::string CppSQLite3ErrorMessage(sqlite3* db);

// Binds the values to the parameters 1..n; a failure throws with the bind result and
// the binding text of the value's kind.
void CppSQLite3BindAll(sqlite3_stmt* vm, const CppSQLite3Params& params);
