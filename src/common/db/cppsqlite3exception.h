// The one exception of the SQLite wrapper. Every failure of the wrapper is thrown as a
// CppSQLite3Exception; the data-base layer (CDB) catches them all and turns them into
// result codes, so none crosses the base library's boundary.
#pragma once

#include <string>

// Code of the failures that the wrapper itself detects.
inline constexpr int CPPSQLITE_ERROR = 1000;

class CppSQLite3Exception {
 public:
  // The text is "<code name>[<code>]: <message>" (an empty message when null). With
  // deleteMessage the message was allocated by SQLite and is freed here.
  CppSQLite3Exception(int errorCode, const char* errorMessage, bool deleteMessage = false);
  CppSQLite3Exception(const CppSQLite3Exception&) = default;
  CppSQLite3Exception& operator=(const CppSQLite3Exception&) = default;
  virtual ~CppSQLite3Exception() = default;

  int errorCode() const { return m_code; }
  const char* errorMessage() const { return m_text.c_str(); }

  // SQLITE_OK..SQLITE_RANGE for 0..25, "SQLITE_ROW", "SQLITE_DONE", "CPPSQLITE_ERROR"
  // for 1000 and "UNKNOWN_ERROR" for any other code.
  static const char* errorCodeAsString(int errorCode);

 private:
  int m_code;
  std::string m_text;
};
