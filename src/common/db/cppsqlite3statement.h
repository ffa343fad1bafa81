// A prepared statement of the SQLite wrapper: bind values to its "?" parameters, run it
// as a data-changing statement or as a query, reset it and run it again. Move-only.
// Failures throw CppSQLite3Exception.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "common/db/busypolicy.h"
#include "common/db/cppsqlite3query.h"

// One value for a "?" parameter: NULL, a 64-bit integer, a double or a UTF-8 text.
// Integers and booleans of every width up to 63 bits convert implicitly.
using CppSQLite3Value = std::variant<std::nullptr_t, int64_t, double, std::string>;
// Values for the parameters 1, 2, ... in order.
using CppSQLite3Params = std::vector<CppSQLite3Value>;

class CppSQLite3Statement {
 public:
  CppSQLite3Statement();
  // Takes the prepared statement; it is finalized with this object.
  CppSQLite3Statement(sqlite3* db, sqlite3_stmt* vm, const BusyPolicy& policy);
  CppSQLite3Statement(CppSQLite3Statement&& other) noexcept;
  // Finalizes what this statement held (errors ignored), then takes other's.
  CppSQLite3Statement& operator=(CppSQLite3Statement&& other) noexcept;
  CppSQLite3Statement(const CppSQLite3Statement&) = delete;
  CppSQLite3Statement& operator=(const CppSQLite3Statement&) = delete;
  virtual ~CppSQLite3Statement();

  // Runs the statement to its end and resets it; returns the rows changed. A result
  // other than SQLITE_DONE resets the statement and throws with the library's message.
  int execDML();
  // Runs the statement's first step; the cursor does not own the statement, which
  // must outlive it. A result other than SQLITE_DONE or SQLITE_ROW resets and throws.
  CppSQLite3Query execQuery();

  // Parameters count from 1. Texts are copied. Failures throw with the bind result
  // and "Error binding string param" (int, double, blob, NULL likewise).
  void bind(int param, const char* value);
  void bind(int param, const std::string& value);
  void bind(int param, int value);
  void bind(int param, int64_t value);
  void bind(int param, double value);
  void bind(int param, const unsigned char* blob, int bytes);
  void bindNull(int param);
  // Binds values to the parameters 1..n.
  void bindAll(const CppSQLite3Params& params);

  // Makes the statement ready to run again; bindings stay.
  void reset();
  void finalize();

 private:
  void checkDB() const;
  void checkVM() const;

  sqlite3* mpDB = nullptr;
  sqlite3_stmt* mpVM = nullptr;
  BusyPolicy m_policy;
};
