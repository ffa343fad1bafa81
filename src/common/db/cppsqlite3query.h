// Result objects of the SQLite wrapper: a row cursor over a prepared statement and a
// whole-table result. Both are move-only: exactly one object owns a statement or a
// result array, and a moved-from object is empty. Failures throw CppSQLite3Exception
// (wrapper checks with CPPSQLITE_ERROR and the texts below).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>

#include "common/db/busypolicy.h"
#include "common/db/cppsqlite3exception.h"
#include "common/db/cppsqlite3stmtcache.h"

// A cursor over the rows of one statement; the current row is read with the getters.
// Typed getters return the given null value for a NULL column. A bad index throws
// "Invalid field index requested", an unknown name "Invalid field name requested", an
// empty cursor "Null Virtual Machine pointer".
class CppSQLite3Query {
 public:
  CppSQLite3Query();
  // Takes the statement; with ownVM the cursor finalizes it, else it only steps it.
  CppSQLite3Query(sqlite3* db, sqlite3_stmt* vm, bool eof, bool ownVM, const BusyPolicy& policy);
  // Takes the statement, prepared from sql, and gives it back to cache (which may be
  // null: then it is finalized) when done with it.
  CppSQLite3Query(sqlite3* db, sqlite3_stmt* vm, bool eof, const BusyPolicy& policy,
                  std::shared_ptr<CppSQLite3StatementCache> cache, std::string sql);
  CppSQLite3Query(CppSQLite3Query&& other) noexcept;
  // Finalizes what this cursor held (errors ignored), then takes other's statement.
  CppSQLite3Query& operator=(CppSQLite3Query&& other) noexcept;
  CppSQLite3Query(const CppSQLite3Query&) = delete;
  CppSQLite3Query& operator=(const CppSQLite3Query&) = delete;
  virtual ~CppSQLite3Query();

  int numFields() const;
  int fieldIndex(const std::string& field) const;
  const char* fieldName(int col) const;
  const char* fieldDeclType(int col) const;
  int fieldDataType(int col) const;

  // The column's text, or null for NULL; valid until the row changes.
  const char* fieldValue(int field) const;
  const char* fieldValue(const std::string& field) const;
  int getIntField(int field, int nullValue = 0) const;
  int getIntField(const std::string& field, int nullValue = 0) const;
  int64_t getInt64Field(int field, int64_t nullValue = 0) const;
  int64_t getInt64Field(const std::string& field, int64_t nullValue = 0) const;
  double getFloatField(int field, double nullValue = 0.0) const;
  double getFloatField(const std::string& field, double nullValue = 0.0) const;
  std::string getStringField(int field, const std::string& nullValue = std::string()) const;
  std::string getStringField(const std::string& field, const std::string& nullValue = std::string()) const;
  std::string getBlobField(int field) const;
  std::string getBlobField(const std::string& field) const;
  bool fieldIsNull(int field) const;
  bool fieldIsNull(const std::string& field) const;

  // True when there is no current row.
  bool eof() const;
  // Steps to the next row. SQLITE_DONE sets eof, a row clears it; any other result
  // releases the statement (finalized when owned, else reset) and throws with the
  // library's message.
  void nextRow();
  // Finalizes an owned statement (a failure throws with the library's message) and
  // empties the cursor.
  void finalize();

 private:
  void checkVM() const;
  int checkIndex(int field) const;
  void release() noexcept;

  sqlite3* mpDB = nullptr;
  sqlite3_stmt* mpVM = nullptr;
  bool mbEof = true;
  int mnCols = 0;
  bool mbOwnVM = false;
  BusyPolicy m_policy;
  std::shared_ptr<CppSQLite3StatementCache> m_cache;  // where an owned statement goes back
  std::string m_sql;                                  // its text, the cache's key
};

// The whole result of a query as texts (sqlite3_get_table). A bad row is "Invalid row
// index requested", a missing result "Null Results pointer".
class CppSQLite3Table {
 public:
  CppSQLite3Table();
  // Takes the result array of sqlite3_get_table.
  CppSQLite3Table(char** results, int rows, int cols);
  CppSQLite3Table(CppSQLite3Table&& other) noexcept;
  CppSQLite3Table& operator=(CppSQLite3Table&& other) noexcept;
  CppSQLite3Table(const CppSQLite3Table&) = delete;
  CppSQLite3Table& operator=(const CppSQLite3Table&) = delete;
  virtual ~CppSQLite3Table();

  int numFields() const;
  int numRows() const;
  const char* fieldName(int col) const;
  // The current row's text, or null for NULL.
  const char* fieldValue(int field) const;
  const char* fieldValue(const std::string& field) const;
  int getIntField(int field, int nullValue = 0) const;
  int getIntField(const std::string& field, int nullValue = 0) const;
  double getFloatField(int field, double nullValue = 0.0) const;
  double getFloatField(const std::string& field, double nullValue = 0.0) const;
  std::string getStringField(int field, const std::string& nullValue = std::string()) const;
  std::string getStringField(const std::string& field, const std::string& nullValue = std::string()) const;
  bool fieldIsNull(int field) const;
  bool fieldIsNull(const std::string& field) const;
  void setRow(int row);
  void finalize();

 private:
  void checkResults() const;
  int checkIndex(int field) const;
  int indexOf(const std::string& field) const;

  int mnCurrentRow = 0;
  int mnCols = 0;
  int mnRows = 0;
  char** mpaszResults = nullptr;
};
