#include "common/db/cppsqlite3exception.h"

#include <sqlite3.h>

#include "common/strformat.h"

CppSQLite3Exception::CppSQLite3Exception(int errorCode, const char* errorMessage, bool deleteMessage)
    : m_code(errorCode),
      m_text(StringFormat("%s[%d]: %s", errorCodeAsString(errorCode), errorCode,
                          errorMessage ? errorMessage : "")) {
  if (deleteMessage && errorMessage) sqlite3_free(const_cast<char*>(errorMessage));
}

const char* CppSQLite3Exception::errorCodeAsString(int errorCode) {
  static const char* const kNames[] = {
      "SQLITE_OK",       "SQLITE_ERROR",  "SQLITE_INTERNAL", "SQLITE_PERM",     "SQLITE_ABORT",
      "SQLITE_BUSY",     "SQLITE_LOCKED", "SQLITE_NOMEM",    "SQLITE_READONLY", "SQLITE_INTERRUPT",
      "SQLITE_IOERR",    "SQLITE_CORRUPT", "SQLITE_NOTFOUND", "SQLITE_FULL",    "SQLITE_CANTOPEN",
      "SQLITE_PROTOCOL", "SQLITE_EMPTY",  "SQLITE_SCHEMA",   "SQLITE_TOOBIG",   "SQLITE_CONSTRAINT",
      "SQLITE_MISMATCH", "SQLITE_MISUSE", "SQLITE_NOLFS",    "SQLITE_AUTH",     "SQLITE_FORMAT",
      "SQLITE_RANGE",
  };
  if (errorCode >= 0 && errorCode < static_cast<int>(sizeof(kNames) / sizeof(kNames[0])))
    return kNames[errorCode];
  switch (errorCode) {
    case SQLITE_ROW: return "SQLITE_ROW";
    case SQLITE_DONE: return "SQLITE_DONE";
    case CPPSQLITE_ERROR: return "CPPSQLITE_ERROR";
    default: return "UNKNOWN_ERROR";
  }
}
